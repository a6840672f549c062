#pragma once
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// The few things the tool needs from the operating system, one file per
// platform.

struct ReleaseFile {
  std::wstring name;           // relative, backslash-separated, spelled as on disk
  std::filesystem::path path;  // where to open it
  std::uint64_t size = 0;
};

// Every regular file below root, in no particular order. Linked folders are
// not entered and entries that are no regular file are left out, each with a
// note. Throws ToolError when root is no folder, a folder cannot be listed or
// a name is not valid text.
std::vector<ReleaseFile> ListReleaseFiles(const std::filesystem::path& root,
                                          std::vector<std::string>& notes);

// The relative name that file has (or would have) below root, if it lies
// inside it.
std::optional<std::wstring> NameInsideRelease(const std::filesystem::path& root,
                                              const std::filesystem::path& file);

// True when two relative names denote one file on this system: exact on
// Linux, regardless of letter case on Windows.
bool SameNameOnDisk(const std::wstring& a, const std::wstring& b);

bool IsFolder(const std::filesystem::path& path);

// Binary mode. Null on failure, with errno set.
std::FILE* OpenForReading(const std::filesystem::path& path);
std::FILE* OpenForWriting(const std::filesystem::path& path);

// Moves from over to, replacing it. On failure returns the reason.
std::optional<std::string> MoveReplacing(const std::filesystem::path& from,
                                       const std::filesystem::path& to);
void RemoveFile(const std::filesystem::path& path);

bool IsTerminal(std::FILE* stream);

// Command-line arguments arrive as UTF-8 on Windows (converted from the
// wide command line) and as raw bytes elsewhere.
std::filesystem::path PathFromArgument(const std::string& argument);
std::string DisplayPath(const std::filesystem::path& path);

// Manifest bytes must reach stdout unchanged, and UTF-8 names must show as
// such in a console.
void PrepareStandardStreams();
