#include <vector>

#include "engine/my_fun.h"
#include "engine/win.h"

std::string WideToAnsi(const std::wstring& text) {
  const int size = ::WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return std::string();
  std::vector<char> buffer(static_cast<size_t>(size), '\0');
  ::WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, buffer.data(), size, nullptr, nullptr);
  return std::string(buffer.data());
}

std::wstring AnsiToWide(const char* bytes, int length) {
  if (length <= 0) return std::wstring();
  const int count = ::MultiByteToWideChar(CP_ACP, 0, bytes, length, nullptr, 0);
  if (count <= 0) return std::wstring();
  std::vector<wchar_t> buffer(static_cast<size_t>(count) + 1, L'\0');
  ::MultiByteToWideChar(CP_ACP, 0, bytes, length, buffer.data(), count);
  const wchar_t* start = buffer.data();
  if (*start == 0xFEFF) ++start;
  return std::wstring(start);
}
