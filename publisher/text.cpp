#include "publisher/text.h"

#include <cstdint>
#include <cwctype>

namespace {

void AppendCodePoint(std::wstring& out, std::uint32_t cp) {
  if (sizeof(wchar_t) == 2 && cp > 0xFFFFu) {
    cp -= 0x10000u;
    out += static_cast<wchar_t>(0xD800u + (cp >> 10));
    out += static_cast<wchar_t>(0xDC00u + (cp & 0x3FFu));
  } else {
    out += static_cast<wchar_t>(cp);
  }
}

void AppendUtf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80u) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800u) {
    out += static_cast<char>(0xC0u | (cp >> 6));
    out += static_cast<char>(0x80u | (cp & 0x3Fu));
  } else if (cp < 0x10000u) {
    out += static_cast<char>(0xE0u | (cp >> 12));
    out += static_cast<char>(0x80u | ((cp >> 6) & 0x3Fu));
    out += static_cast<char>(0x80u | (cp & 0x3Fu));
  } else {
    out += static_cast<char>(0xF0u | (cp >> 18));
    out += static_cast<char>(0x80u | ((cp >> 12) & 0x3Fu));
    out += static_cast<char>(0x80u | ((cp >> 6) & 0x3Fu));
    out += static_cast<char>(0x80u | (cp & 0x3Fu));
  }
}

// Decodes one sequence at bytes[i]; returns its length, or 0 when malformed.
std::size_t DecodeUtf8At(std::string_view bytes, std::size_t i, std::uint32_t& cp) {
  const auto b0 = static_cast<std::uint8_t>(bytes[i]);
  std::size_t length;
  std::uint32_t min;
  if (b0 < 0x80u) {
    cp = b0;
    return 1;
  } else if ((b0 & 0xE0u) == 0xC0u) {
    length = 2, cp = b0 & 0x1Fu, min = 0x80u;
  } else if ((b0 & 0xF0u) == 0xE0u) {
    length = 3, cp = b0 & 0x0Fu, min = 0x800u;
  } else if ((b0 & 0xF8u) == 0xF0u) {
    length = 4, cp = b0 & 0x07u, min = 0x10000u;
  } else {
    return 0;
  }
  if (bytes.size() - i < length) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    const auto b = static_cast<std::uint8_t>(bytes[i + k]);
    if ((b & 0xC0u) != 0x80u) return 0;
    cp = (cp << 6) | (b & 0x3Fu);
  }
  if (cp < min || cp > 0x10FFFFu || (cp >= 0xD800u && cp <= 0xDFFFu)) return 0;
  return length;
}

}  // namespace

bool Utf8ToWide(std::string_view bytes, std::wstring& text) {
  text.clear();
  text.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    std::uint32_t cp = 0;
    const std::size_t length = DecodeUtf8At(bytes, i, cp);
    if (length == 0) return false;
    AppendCodePoint(text, cp);
    i += length;
  }
  return true;
}

std::string WideToUtf8(const std::wstring& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t cp = static_cast<std::uint32_t>(text[i]);
    if (sizeof(wchar_t) == 2) cp &= 0xFFFFu;
    if (cp >= 0xD800u && cp <= 0xDBFFu && i + 1 < text.size()) {
      const auto low = static_cast<std::uint32_t>(text[i + 1]) & 0xFFFFu;
      if (low >= 0xDC00u && low <= 0xDFFFu) {
        cp = 0x10000u + ((cp - 0xD800u) << 10) + (low - 0xDC00u);
        ++i;
      }
    }
    if ((cp >= 0xD800u && cp <= 0xDFFFu) || cp > 0x10FFFFu) cp = 0xFFFDu;
    AppendUtf8(out, cp);
  }
  return out;
}

std::string Printable(const std::wstring& text) {
  std::wstring escaped;
  for (const wchar_t c : text) {
    switch (c) {
      case L'\n': escaped += L"\\n"; break;
      case L'\r': escaped += L"\\r"; break;
      case L'\t': escaped += L"\\t"; break;
      default:
        if (static_cast<std::uint32_t>(c) < 0x20u || c == 0x7F) {
          static const wchar_t kHex[] = L"0123456789ABCDEF";
          escaped += L"\\x";
          escaped += kHex[(c >> 4) & 0xF];
          escaped += kHex[c & 0xF];
        } else {
          escaped += c;
        }
    }
  }
  return WideToUtf8(escaped);
}

bool LooksLikeUtf8Text(std::string_view bytes) {
  bool longSequence = false;
  for (std::size_t i = 0; i < bytes.size();) {
    std::uint32_t cp = 0;
    const std::size_t length = DecodeUtf8At(bytes, i, cp);
    if (length == 0) return false;
    if (length >= 3) longSequence = true;
    i += length;
  }
  return longSequence;
}

std::wstring FoldCase(const std::wstring& text) {
  std::wstring folded(text);
  for (wchar_t& c : folded) c = static_cast<wchar_t>(std::towupper(static_cast<std::wint_t>(c)));
  return folded;
}
