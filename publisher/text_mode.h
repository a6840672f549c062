#pragma once
#include <cstddef>
#include <string>
#include <string_view>

class CodePage;

// What ended the bytes that the updater keeps of a manifest file.
enum class TextEnd { kWholeFile, kCtrlZ, kNul };

struct UpdaterBytes {
  std::string text;          // the bytes handed to the code page conversion
  TextEnd end = TextEnd::kWholeFile;
  std::size_t endOffset = 0;  // offset in the file of the byte that ended the text
};

// The updater's read of a manifest: text mode turns each CR LF into LF
// (a lone CR stays) and stops at the first 0x1A; the conversion then takes
// the bytes up to the first NUL.
UpdaterBytes BytesAsUpdaterReads(std::string_view file);

// The text the updater compares: those bytes decoded in the code page,
// trimmed as a whole, with one LF appended.
std::wstring PreparedTextOf(std::string_view file, const CodePage& codePage);
