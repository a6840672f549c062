#include "engine/separators.h"

void AddTrailingSeparators(std::wstring& folder, std::wstring& url) {
  if (!url.empty() && url.back() != L'/') url += L'/';
  if (!folder.empty() && folder.back() != L'\\') folder += L'\\';
}

std::wstring FolderOfPath(const std::wstring& path) {
  const auto cut = path.rfind(L'\\');
  return cut == std::wstring::npos ? std::wstring() : path.substr(0, cut);
}

std::wstring ExtendedLengthPath(const std::wstring& path) {
  // CreateDirectoryW already fails past MAX_PATH - 12 (room for an 8.3 name).
  constexpr size_t kPlainLimit = 248;
  if (path.size() < kPlainLimit) return path;
  if (path.compare(0, 4, L"\\\\?\\") == 0 || path.compare(0, 4, L"\\\\.\\") == 0) return path;
  const bool drive = path.size() >= 3 && path[1] == L':' && path[2] == L'\\' &&
                     ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z'));
  if (drive) return L"\\\\?\\" + path;
  if (path.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + path.substr(2);
  return path;
}
