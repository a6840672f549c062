#include "transfer/name_safety.h"

#include <cstdint>

namespace {

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool IsForbiddenChar(wchar_t c) {
  if (static_cast<std::uint32_t>(c) < 0x20) return true;
  switch (c) {
    case L':':  // drive letters and alternate data streams
    case L'<':
    case L'>':
    case L'"':
    case L'|':
    case L'?':
    case L'*':
      return true;
    default:
      return false;
  }
}

wchar_t AsciiUpper(wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

bool EqualsIgnoringAsciiCase(const std::wstring& text, const wchar_t* upper) {
  std::size_t i = 0;
  for (; i < text.size() && upper[i] != 0; ++i) {
    if (AsciiUpper(text[i]) != upper[i]) return false;
  }
  return i == text.size() && upper[i] == 0;
}

// Windows maps these names to devices in any folder and whatever follows the
// first dot, so "sub\nul.txt" would open the null device.
bool IsReservedDeviceName(const std::wstring& component) {
  std::wstring base = component.substr(0, component.find(L'.'));
  while (!base.empty() && base.back() == L' ') base.pop_back();

  static const wchar_t* const kNames[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
  for (const wchar_t* name : kNames) {
    if (EqualsIgnoringAsciiCase(base, name)) return true;
  }
  if (base.size() != 4) return false;
  const std::wstring stem = base.substr(0, 3);
  if (!EqualsIgnoringAsciiCase(stem, L"COM") && !EqualsIgnoringAsciiCase(stem, L"LPT")) return false;
  // Newer Windows versions also reserve the digit 0 and the superscripts 1 to 3.
  const wchar_t digit = base[3];
  return (digit >= L'0' && digit <= L'9') || digit == L'\u00B9' || digit == L'\u00B2' ||
         digit == L'\u00B3';
}

bool IsSafeComponent(const std::wstring& component) {
  if (component.empty()) return false;
  // Covers "." and "..", and names Windows would silently trim into another.
  const wchar_t last = component.back();
  if (last == L'.' || last == L' ') return false;
  for (const wchar_t c : component) {
    if (IsForbiddenChar(c)) return false;
  }
  return !IsReservedDeviceName(component);
}

}  // namespace

bool IsSafeRelativeName(const std::wstring& name) {
  if (name.empty() || IsSeparator(name.front())) return false;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = start;
    while (end < name.size() && !IsSeparator(name[end])) ++end;
    if (!IsSafeComponent(name.substr(start, end - start))) return false;
    if (end == name.size()) return true;
    start = end + 1;
  }
}

std::wstring LocalPathOf(const std::wstring& name) {
  std::wstring path = name;
  for (wchar_t& c : path) {
    if (c == L'/') c = L'\\';
  }
  return path;
}
