#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "engine/separators.h"
#include "engine/win.h"
#include "publisher/system.h"
#include "publisher/text.h"
#include "publisher/tool_error.h"

namespace fs = std::filesystem;

namespace {

std::wstring FullPath(const std::wstring& path) {
  const DWORD size = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (size == 0) return path;
  std::wstring full(size, L'\0');
  const DWORD written = ::GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
  full.resize(written);
  return full;
}

std::wstring WithoutTrailingSeparator(std::wstring path) {
  // "C:\" keeps its separator: without it the path means the drive's current folder.
  while (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
  return path;
}

std::string Utf8(const std::wstring& text) { return WideToUtf8(text); }

std::string LastErrorText() {
  const DWORD code = ::GetLastError();
  wchar_t* buffer = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text = length ? std::wstring(buffer, length) : L"error " + std::to_wstring(code);
  if (buffer) ::LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L'.')) text.pop_back();
  return Utf8(text);
}

// Walks with the Win32 listing so that junctions and folder links, which
// could lead back to an ancestor, are seen as such and not entered.
void Walk(const std::wstring& folder, const std::wstring& prefix, std::vector<ReleaseFile>& files,
          std::vector<std::string>& notes) {
  WIN32_FIND_DATAW data;
  const std::wstring pattern = ExtendedLengthPath(folder + L"\\*");
  HANDLE find = ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch,
                                   nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (find == INVALID_HANDLE_VALUE) {
    if (::GetLastError() == ERROR_FILE_NOT_FOUND) return;  // no entries at all
    throw ToolError("cannot list folder " + Utf8(folder) + ": " + LastErrorText());
  }
  struct Closer {
    HANDLE h;
    ~Closer() { ::FindClose(h); }
  } closer{find};
  do {
    const std::wstring entry = data.cFileName;
    if (entry == L"." || entry == L"..") continue;
    const std::wstring name = prefix.empty() ? entry : prefix + L"\\" + entry;
    const std::wstring full = folder + L"\\" + entry;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        notes.push_back("linked folder not entered: " + Utf8(name));
      } else {
        Walk(full, name, files, notes);
      }
      continue;
    }
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) {
      notes.push_back("not a regular file, left out: " + Utf8(name));
      continue;
    }
    const std::uint64_t size = (std::uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    files.push_back({name, fs::path(full), size});
  } while (::FindNextFileW(find, &data));
  if (::GetLastError() != ERROR_NO_MORE_FILES) {
    throw ToolError("cannot list folder " + Utf8(folder) + ": " + LastErrorText());
  }
}

}  // namespace

std::vector<ReleaseFile> ListReleaseFiles(const fs::path& root, std::vector<std::string>& notes) {
  if (!IsFolder(root)) throw ToolError("release folder not found: " + DisplayPath(root));
  std::vector<ReleaseFile> files;
  Walk(WithoutTrailingSeparator(FullPath(root.wstring())), std::wstring(), files, notes);
  return files;
}

std::optional<std::wstring> NameInsideRelease(const fs::path& root, const fs::path& file) {
  const std::wstring base = WithoutTrailingSeparator(FullPath(root.wstring()));
  const std::wstring full = FullPath(file.wstring());
  if (full.size() <= base.size() + 1) return std::nullopt;
  if (::CompareStringOrdinal(base.c_str(), static_cast<int>(base.size()), full.c_str(),
                             static_cast<int>(base.size()), TRUE) != CSTR_EQUAL) {
    return std::nullopt;
  }
  std::size_t start = base.size();
  if (base.back() != L'\\') {
    if (full[start] != L'\\') return std::nullopt;
    ++start;
  }
  return full.substr(start);
}

bool SameNameOnDisk(const std::wstring& a, const std::wstring& b) {
  return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

bool IsFolder(const fs::path& path) {
  const DWORD attributes = ::GetFileAttributesW(ExtendedLengthPath(FullPath(path.wstring())).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::FILE* OpenForReading(const fs::path& path) {
  std::FILE* file = ::_wfopen(ExtendedLengthPath(FullPath(path.wstring())).c_str(), L"rb");
  if (file) std::setvbuf(file, nullptr, _IONBF, 0);
  return file;
}

std::FILE* OpenForWriting(const fs::path& path) {
  return ::_wfopen(ExtendedLengthPath(FullPath(path.wstring())).c_str(), L"wb");
}

std::optional<std::string> MoveReplacing(const fs::path& from, const fs::path& to) {
  const std::wstring source = ExtendedLengthPath(FullPath(from.wstring()));
  const std::wstring target = ExtendedLengthPath(FullPath(to.wstring()));
  if (!::MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return LastErrorText();
  }
  return std::nullopt;
}

void RemoveFile(const fs::path& path) { ::DeleteFileW(ExtendedLengthPath(FullPath(path.wstring())).c_str()); }

bool IsTerminal(std::FILE* stream) { return ::_isatty(::_fileno(stream)) != 0; }

fs::path PathFromArgument(const std::string& argument) {
  std::wstring wide;
  if (!Utf8ToWide(argument, wide)) throw ToolError("argument is not valid text: " + argument);
  return fs::path(wide);
}

std::string DisplayPath(const fs::path& path) { return WideToUtf8(path.wstring()); }

namespace {
UINT g_consoleCodePage = 0;
void RestoreConsole() { ::SetConsoleOutputCP(g_consoleCodePage); }
}  // namespace

void PrepareStandardStreams() {
  ::_setmode(::_fileno(stdout), _O_BINARY);
  ::_setmode(::_fileno(stderr), _O_BINARY);
  g_consoleCodePage = ::GetConsoleOutputCP();
  if (g_consoleCodePage != 0 && g_consoleCodePage != CP_UTF8 && ::SetConsoleOutputCP(CP_UTF8)) {
    std::atexit(RestoreConsole);
  }
}
