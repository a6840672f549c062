#pragma once
#include <map>
#include <string>

// Orders names by their UTF-16 code units, as wcscmp does on Windows. On hosts
// with a 32-bit wchar_t, characters above U+FFFF sort as their surrogate pairs.
struct OrdinalUtf16Less {
  bool operator()(const std::wstring& a, const std::wstring& b) const;
};

// One manifest line: relative path (backslash-separated) and digest text.
struct ManifestEntry {
  std::wstring name;
  std::wstring digest;
};

// Name -> digest text; the first line for a name wins.
using ManifestTable = std::map<std::wstring, std::wstring, OrdinalUtf16Less>;

// "MD5.exe" and "UpDate.ini" (exact, whole name) never enter a table.
bool IsExcludedManifestName(const std::wstring& name);

// Trims every iswspace character from both ends of the whole text and appends
// one LF, so the last entry is always terminated. Inner lines are untouched.
std::wstring PrepareManifestText(const std::wstring& text);

// Reads prepared text: TAB ends a name, the next LF ends its digest (further
// TABs included); text without a TAB is swallowed into the next name. Never
// rejects anything.
ManifestTable ReadManifestTable(const std::wstring& preparedText);
