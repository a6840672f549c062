#pragma once
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

struct ManifestFile {
  std::wstring name;   // relative, backslash-separated
  std::uint64_t size = 0;
  std::string digest;  // 32 lowercase hex digits
};

struct GenerateRequest {
  std::filesystem::path releaseDir;
  unsigned codePage = 0;
  // Left out of the manifest when it lies inside the release, and so is its
  // temporary ".tmp" sibling.
  std::optional<std::filesystem::path> outputFile;
  unsigned threads = 0;           // 0: one per hardware thread
  // Also write each large file's delta index below releaseDir/UpDate.delta,
  // made in the same read as its digest, and remove indexes left over.
  bool delta = false;
  // Also write the compressed form of each file of 4 KiB or more that
  // deflates to at most 90 % of its size, below releaseDir/UpDate.frames,
  // made in the same read as its digest; remove forms left over.
  bool compress = false;
  // Also write releaseDir/UpDate.pack, every file of 1 byte to 128 KiB back
  // to back in manifest order (each deflated where that pays off as a form
  // must), and its table UpDate.pack.ini; remove both when no file is that
  // small.
  bool pack = false;
  std::FILE* progress = nullptr;  // a terminal to show progress on, or null
};

struct GeneratedManifest {
  std::vector<ManifestFile> files;  // in manifest order
  std::string bytes;                // the manifest as the updater reads it
};

// Lists, checks and hashes a release folder. Throws ToolError for a missing
// folder, an unreadable file or a name that clients could not reproduce
// (not representable in the code page, leaving the folder, or clashing with
// another name on a case-insensitive disk). Notes about left-out entries are
// appended to notes.
GeneratedManifest GenerateManifest(const GenerateRequest& request, std::vector<std::string>& notes);

// Writes through "<path>.tmp" and a rename, so a failure leaves no partial
// file under the final name. Throws ToolError.
void WriteFileReplacing(const std::filesystem::path& path, const std::string& bytes);

// Throws ToolError.
std::string ReadWholeFile(const std::filesystem::path& path);

std::filesystem::path TemporaryPathFor(const std::filesystem::path& path);
