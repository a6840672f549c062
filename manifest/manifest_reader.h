#pragma once
#include <map>
#include <string>
#include <string_view>

// Orders names by their UTF-16 code units, as wcscmp does on Windows. On hosts
// with a 32-bit wchar_t, characters above U+FFFF sort as their surrogate pairs.
struct OrdinalUtf16Less {
  bool operator()(std::wstring_view a, std::wstring_view b) const;
};

// One manifest line: relative path (backslash-separated) and digest text.
struct ManifestEntry {
  std::wstring name;
  std::wstring digest;
};

// Name -> digest text; the first line for a name wins.
using ManifestTable = std::map<std::wstring, std::wstring, OrdinalUtf16Less>;

// "MD5.exe" and "UpDate.ini" (exact, whole name) never enter a table.
bool IsExcludedManifestName(std::wstring_view name);

// Trims every iswspace character from both ends of the whole text and appends
// one LF, so the last entry is always terminated. Inner lines are untouched.
std::wstring PrepareManifestText(const std::wstring& text);

// Reads prepared text: TAB ends a name, the next LF ends its digest (further
// TABs included); text without a TAB is swallowed into the next name. Never
// rejects anything.
ManifestTable ReadManifestTable(const std::wstring& preparedText);

// The same reading, entry by entry in text order and without copies: calls
// visit(name, digest) with views into the text; excluded names are left out,
// later lines for a name are not (the caller decides which wins).
template <class Visit>
void ForEachManifestEntry(std::wstring_view preparedText, Visit&& visit) {
  std::size_t pos = 0;
  for (;;) {
    const std::size_t tab = preparedText.find(L'\t', pos);
    if (tab == std::wstring_view::npos) return;
    const std::size_t lf = preparedText.find(L'\n', tab + 1);
    if (lf == std::wstring_view::npos) return;
    const std::wstring_view name = preparedText.substr(pos, tab - pos);
    pos = lf + 1;
    if (IsExcludedManifestName(name)) continue;
    visit(name, preparedText.substr(tab + 1, lf - tab - 1));
  }
}
