#include "support/win_test_support.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

std::wstring Utf8ToWide(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int n = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

std::string WideToUtf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                      0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                        nullptr, nullptr);
  return out;
}

std::wstring MakeTempFolder(const std::wstring& tag) {
  wchar_t base[MAX_PATH] = {};
  ::GetTempPathW(MAX_PATH, base);
  static unsigned counter = 0;
  for (;;) {
    std::wstring folder = std::wstring(base) + L"updater-" + tag + L"-" +
                          std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
    if (::CreateDirectoryW(folder.c_str(), nullptr)) return folder + L"\\";
  }
}

void RemoveTree(const std::wstring& folder) {
  std::wstring dir = folder;
  if (!dir.empty() && dir.back() == L'\\') dir.pop_back();
  WIN32_FIND_DATAW entry;
  HANDLE find = ::FindFirstFileW((dir + L"\\*").c_str(), &entry);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = entry.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring path = dir + L"\\" + name;
      ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
          !(entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        RemoveTree(path);
      } else if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        ::RemoveDirectoryW(path.c_str());
      } else {
        ::DeleteFileW(path.c_str());
      }
    } while (::FindNextFileW(find, &entry));
    ::FindClose(find);
  }
  ::RemoveDirectoryW(dir.c_str());
}

void WriteBytes(const std::wstring& path, const std::string& bytes) {
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  if (!bytes.empty()) ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  ::CloseHandle(file);
}

std::string ReadBytes(const std::wstring& path) {
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::string();
  std::string out;
  char buffer[65536];
  DWORD got = 0;
  while (::ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0) out.append(buffer, got);
  ::CloseHandle(file);
  return out;
}

bool PathExists(const std::wstring& path) {
  return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

namespace {
std::wstring Env(const wchar_t* name) {
  wchar_t value[1024] = {};
  const DWORD n = ::GetEnvironmentVariableW(name, value, 1024);
  return n > 0 && n < 1024 ? std::wstring(value, n) : std::wstring();
}

// Unix paths reach Windows programs through Wine's Z: drive.
std::wstring UnixToWindows(const std::wstring& unixPath) {
  std::wstring path = L"Z:" + unixPath;
  for (wchar_t& c : path) {
    if (c == L'/') c = L'\\';
  }
  if (path.back() != L'\\') path += L'\\';
  return path;
}

std::wstring UrlPathToFile(const std::string& urlPath) {
  std::wstring path = ServerRoot() + Utf8ToWide(urlPath.substr(1));
  for (wchar_t& c : path) {
    if (c == L'/') c = L'\\';
  }
  return path;
}

void MakeParents(const std::wstring& path) {
  for (size_t cut = path.find(L'\\', 3); cut != std::wstring::npos; cut = path.find(L'\\', cut + 1)) {
    ::CreateDirectoryW(path.substr(0, cut).c_str(), nullptr);
  }
}

// Writes through a temporary name so the server never reads half a file.
void WriteAtomically(const std::wstring& path, const std::string& bytes) {
  const std::wstring temporary = path + L".part";
  WriteBytes(temporary, bytes);
  ::MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}
}  // namespace

std::wstring ServerUrl() { return Env(L"UPDATER_TEST_SERVER"); }

std::wstring ServerRoot() {
  const std::wstring root = Env(L"UPDATER_TEST_SERVER_ROOT");
  return root.empty() ? std::wstring() : UnixToWindows(root);
}

void ServeBytes(const std::string& urlPath, const std::string& bytes) {
  const std::wstring path = UrlPathToFile(urlPath);
  MakeParents(path);
  WriteAtomically(path, bytes);
}

void RemoveServed(const std::string& urlPath) { ::DeleteFileW(UrlPathToFile(urlPath).c_str()); }

void SetFaults(const std::string& json) {
  const std::wstring path = ServerRoot() + L".faults.json";
  if (json.empty()) {
    ::DeleteFileW(path.c_str());
  } else {
    WriteAtomically(path, json);
  }
}

namespace {
std::wstring LogPath() {
  const std::wstring log = Env(L"UPDATER_TEST_SERVER_LOG");
  if (log.empty()) return ServerRoot() + L".requests.log";
  std::wstring path = UnixToWindows(log);
  path.pop_back();
  return path;
}
}  // namespace

std::vector<std::string> RequestLog() {
  std::vector<std::string> lines;
  std::istringstream in(ReadBytes(LogPath()));
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

void ClearRequestLog() { WriteBytes(LogPath(), ""); }

std::string JsonField(const std::string& line, const std::string& field) {
  const std::string key = "\"" + field + "\": ";
  auto at = line.find(key);
  if (at == std::string::npos) return std::string();
  at += key.size();
  if (line.compare(at, 4, "null") == 0) return std::string();
  if (line[at] != '"') {
    const auto end = line.find_first_of(",}", at);
    return line.substr(at, end - at);
  }
  std::string value;
  for (size_t i = at + 1; i < line.size() && line[i] != '"'; ++i) {
    if (line[i] == '\\' && i + 1 < line.size()) ++i;
    value += line[i];
  }
  return value;
}

std::vector<std::string> RequestsFor(const std::string& urlPath) {
  std::vector<std::string> matching;
  for (const std::string& line : RequestLog()) {
    if (JsonField(line, "path") == urlPath) matching.push_back(line);
  }
  return matching;
}
