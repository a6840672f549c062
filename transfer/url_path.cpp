#include "transfer/url_path.h"

#include <cstdint>

namespace {

// Characters RFC 3986 allows in a path segment as they are.
bool KeptAsIs(char32_t c) {
  if ((c >= U'a' && c <= U'z') || (c >= U'A' && c <= U'Z') || (c >= U'0' && c <= U'9')) return true;
  switch (c) {
    case U'-': case U'.': case U'_': case U'~':                          // unreserved
    case U'!': case U'$': case U'&': case U'\'': case U'(': case U')':   // sub-delims
    case U'*': case U'+': case U',': case U';': case U'=':
    case U':': case U'@': case U'/':
      return true;
    default:
      return false;
  }
}

void AppendEscaped(std::wstring& out, std::uint8_t byte) {
  static const wchar_t kHex[] = L"0123456789ABCDEF";
  out += L'%';
  out += kHex[byte >> 4];
  out += kHex[byte & 0xF];
}

void AppendUtf8Escaped(std::wstring& out, char32_t c) {
  if (c < 0x80) {
    AppendEscaped(out, static_cast<std::uint8_t>(c));
  } else if (c < 0x800) {
    AppendEscaped(out, static_cast<std::uint8_t>(0xC0 | (c >> 6)));
    AppendEscaped(out, static_cast<std::uint8_t>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    AppendEscaped(out, static_cast<std::uint8_t>(0xE0 | (c >> 12)));
    AppendEscaped(out, static_cast<std::uint8_t>(0x80 | ((c >> 6) & 0x3F)));
    AppendEscaped(out, static_cast<std::uint8_t>(0x80 | (c & 0x3F)));
  } else {
    AppendEscaped(out, static_cast<std::uint8_t>(0xF0 | (c >> 18)));
    AppendEscaped(out, static_cast<std::uint8_t>(0x80 | ((c >> 12) & 0x3F)));
    AppendEscaped(out, static_cast<std::uint8_t>(0x80 | ((c >> 6) & 0x3F)));
    AppendEscaped(out, static_cast<std::uint8_t>(0x80 | (c & 0x3F)));
  }
}

}  // namespace

std::wstring UrlPathOf(const std::wstring& name) {
  std::wstring out;
  out.reserve(name.size());
  for (size_t i = 0; i < name.size(); ++i) {
    char32_t c = static_cast<char32_t>(name[i]);
    if (sizeof(wchar_t) == 2) c &= 0xFFFF;
    // A surrogate pair is one character; a lone surrogate becomes U+FFFD.
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < name.size()) {
      const char32_t low = static_cast<char32_t>(name[i + 1]) & 0xFFFF;
      if (low >= 0xDC00 && low <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      }
    }
    if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;
    if (c == U'\\') {
      out += L'/';
    } else if (KeptAsIs(c)) {
      out += static_cast<wchar_t>(c);
    } else {
      AppendUtf8Escaped(out, c);
    }
  }
  return out;
}
