#pragma once
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// A Windows code page, converted with the system's converter (iconv on
// Linux, the Win32 conversion calls on Windows). Not safe to share between
// threads.
class CodePage {
 public:
  // Throws ToolError when the system cannot convert this code page.
  explicit CodePage(unsigned number);
  ~CodePage();
  CodePage(const CodePage&) = delete;
  CodePage& operator=(const CodePage&) = delete;

  unsigned Number() const { return m_number; }

  // False when some character has no exact form in the code page: a
  // converter would write a substitute or a look-alike in its place.
  bool Encode(const std::wstring& text, std::string& bytes) const;

  // Each byte that starts no valid character becomes U+FFFD, and its offset
  // is added to invalidOffsets when given.
  std::wstring Decode(std::string_view bytes, std::vector<std::size_t>* invalidOffsets = nullptr) const;

 private:
  struct Impl;
  unsigned m_number;
  std::unique_ptr<Impl> m_impl;
};

// The clients' ANSI code page unless told otherwise: 936 on Linux, the
// system's on Windows.
unsigned DefaultCodePage();
