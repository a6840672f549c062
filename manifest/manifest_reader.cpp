#include "manifest/manifest_reader.h"

#include <cstdint>
#include <cwctype>

namespace {

// Walks a wide string as UTF-16 code units. With a 16-bit wchar_t that is the
// string itself; with a 32-bit one a character above U+FFFF yields its
// surrogate pair, so both hosts order names the way Windows does.
class Utf16Units {
 public:
  Utf16Units(std::wstring_view text, std::size_t start) : m_text(text), m_index(start) {}

  bool AtEnd() const { return m_low == 0 && m_index == m_text.size(); }

  std::uint32_t Next() {
    if (m_low != 0) {
      const std::uint32_t unit = m_low;
      m_low = 0;
      return unit;
    }
    const auto c = static_cast<std::uint32_t>(m_text[m_index++]);
    if (sizeof(wchar_t) == 2) return c & 0xFFFFu;
    if (c < 0x10000u || c > 0x10FFFFu) return c;
    m_low = 0xDC00u + ((c - 0x10000u) & 0x3FFu);
    return 0xD800u + ((c - 0x10000u) >> 10);
  }

 private:
  std::wstring_view m_text;
  std::size_t m_index;
  std::uint32_t m_low = 0;  // pending low surrogate, never 0 when set
};

}  // namespace

bool OrdinalUtf16Less::operator()(std::wstring_view a, std::wstring_view b) const {
  // Equal characters give equal units, so only the tail from the first
  // difference needs the unit-by-unit walk.
  const std::size_t common = a.size() < b.size() ? a.size() : b.size();
  const wchar_t* const pa = a.data();
  const wchar_t* const pb = b.data();
  std::size_t start = 0;
  while (start < common && pa[start] == pb[start]) ++start;

  if (start == common) return a.size() < b.size();
  const auto x = static_cast<std::uint32_t>(pa[start]), y = static_cast<std::uint32_t>(pb[start]);
  if (x <= 0xFFFFu && y <= 0xFFFFu) return x < y;  // each is its own single unit

  Utf16Units left(a, start), right(b, start);
  while (!left.AtEnd() && !right.AtEnd()) {
    const std::uint32_t unitA = left.Next(), unitB = right.Next();
    if (unitA != unitB) return unitA < unitB;
  }
  return left.AtEnd() && !right.AtEnd();
}

bool IsExcludedManifestName(std::wstring_view name) {
  return name == L"MD5.exe" || name == L"UpDate.ini";
}

std::wstring PrepareManifestText(const std::wstring& text) {
  const auto isSpace = [](wchar_t c) { return std::iswspace(static_cast<std::wint_t>(c)) != 0; };
  std::size_t begin = 0, end = text.size();
  while (begin < end && isSpace(text[begin])) ++begin;
  while (end > begin && isSpace(text[end - 1])) --end;
  std::wstring prepared;
  prepared.reserve(end - begin + 1);
  prepared.append(text, begin, end - begin);
  prepared += L'\n';
  return prepared;
}

ManifestTable ReadManifestTable(const std::wstring& preparedText) {
  ManifestTable table;
  ForEachManifestEntry(preparedText, [&](std::wstring_view name, std::wstring_view digest) {
    // try_emplace leaves an existing entry alone: the first line for a name wins.
    table.try_emplace(std::wstring(name), digest);
  });
  return table;
}
