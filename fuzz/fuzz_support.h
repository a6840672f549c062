#pragma once
// Shared by the fuzz targets: input decoding, an independent manifest model and
// a property check that libFuzzer records as a crash with its input.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <utility>
#include <vector>

// abort() rather than assert(): it stays on in every build type, and libFuzzer
// saves the failing input as a crash artifact.
#define FUZZ_CHECK(cond)                                                       \
  do {                                                                         \
    if (!(cond)) {                                                             \
      std::fprintf(stderr, "property failed: %s (%s:%d)\n", #cond, __FILE__,   \
                   __LINE__);                                                  \
      std::abort();                                                            \
    }                                                                          \
  } while (0)

namespace fuzz {

// The bytes as UTF-16LE, the form Windows hands the updater its texts in. A
// surrogate pair becomes one character above U+FFFF (so a 32-bit wchar_t host
// walks the comparator's surrogate path); a lone surrogate stays as it is,
// because Windows strings can hold one. An odd last byte is dropped.
inline std::wstring WideFromUtf16Le(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint32_t> units;
  units.reserve(size / 2);
  for (std::size_t i = 0; i + 1 < size; i += 2) units.push_back(data[i] | (data[i + 1] << 8));
  std::wstring text;
  text.reserve(units.size());
  for (std::size_t i = 0; i < units.size(); ++i) {
    const std::uint32_t u = units[i];
    if (sizeof(wchar_t) > 2 && u >= 0xD800 && u <= 0xDBFF && i + 1 < units.size() &&
        units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
      text += static_cast<wchar_t>(0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00));
      ++i;
    } else {
      text += static_cast<wchar_t>(u);
    }
  }
  return text;
}

// The UTF-16 code units of a wide string, written out independently of the
// comparator under test: the order Windows' wcscmp gives is plain
// lexicographic order of these.
inline std::u16string Utf16Units(const std::wstring& text) {
  std::u16string units;
  for (const wchar_t wc : text) {
    const auto c = static_cast<std::uint32_t>(wc);
    if (c > 0xFFFF && c <= 0x10FFFF) {
      units += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      units += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      units += static_cast<char16_t>(c);
    }
  }
  return units;
}

struct Utf16Order {
  bool operator()(const std::wstring& a, const std::wstring& b) const {
    return Utf16Units(a) < Utf16Units(b);
  }
};

using ModelTable = std::map<std::wstring, std::wstring, Utf16Order>;

// The manifest format read line by line, a different route from the reader's
// find-TAB-then-LF scan: a line with a TAB is an entry (name up to the first
// TAB, digest the rest); lines without one are carried, LF included, into the
// next entry's name. Text after the last LF is no line. First entry wins.
inline ModelTable ModelRead(const std::wstring& text) {
  ModelTable table;
  std::wstring pending;
  std::size_t start = 0;
  for (std::size_t lf; (lf = text.find(L'\n', start)) != std::wstring::npos; start = lf + 1) {
    const std::wstring line = text.substr(start, lf - start);
    const std::size_t tab = line.find(L'\t');
    if (tab == std::wstring::npos) {
      pending += line;
      pending += L'\n';
      continue;
    }
    std::wstring name = pending + line.substr(0, tab);
    pending.clear();
    if (name == L"MD5.exe" || name == L"UpDate.ini") continue;
    table.emplace(std::move(name), line.substr(tab + 1));
  }
  return table;
}

}  // namespace fuzz
