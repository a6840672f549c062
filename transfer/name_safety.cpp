#include "transfer/name_safety.h"

#include <cstdint>
#include <string_view>

#include "check/signature_form.h"
#include "manifest/digest_cache.h"
#include "transfer/delta_index.h"

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

}  // namespace

bool StartsWithIgnoringAsciiCase(std::wstring_view text, std::wstring_view start) {
  if (text.size() < start.size()) return false;
  for (std::size_t i = 0; i < start.size(); ++i) {
    if (AsciiUpper(text[i]) != AsciiUpper(start[i])) return false;
  }
  return true;
}

namespace {

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

// What the updater writes into its installation folder for itself, at the top
// of the folder. Each would be overwritten by a release file of its name, or
// would overwrite it in turn:
constexpr const wchar_t* kOwnFiles[] = {
    L"delete.bat",       // the hand-off script each run writes and the close starts
    L"LocalDate.ini",    // the folder walk's manifest of this installation
    L"UpDate.ini",       // the check's copy of the server's manifest
    L"Update_Logo.txt",  // the update log, stored at every start
    kAcceptedStateName,  // the highest serial accepted: the rollback floor
    kDigestCacheName,    // the digests of the last walk, trusted by stamp
};
// Folders at the top whose whole content is the updater's:
constexpr const wchar_t* kOwnFolders[] = {
    kDeltaFolder,   // the delta indexes, never release files themselves
    L"Updater.old", // files set aside while in use, deleted by a later run
};
// Every name ending so is a file on its way in (the one being fetched, the
// received updater Updater.exe.tmp, the notes' and the cache's temporary
// names); a release file of that name would be overwritten or renamed over
// its namesake.
constexpr wchar_t kTemporarySuffix[] = L".TMP";

// As the file system compares names: the ASCII letters, and the two letters
// whose capital is an ASCII one (dotless i, long s), which some case tables
// fold too; refusing such a name costs a release nothing.
wchar_t FoldedLikeTheDisk(wchar_t c) {
  if (c == L'\u0131') return L'I';
  if (c == L'\u017F') return L'S';
  return AsciiUpper(c);
}

bool SameNameOnDisk(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (FoldedLikeTheDisk(a[i]) != FoldedLikeTheDisk(b[i])) return false;
  }
  return true;
}

}  // namespace

bool IsUpdaterOwnName(const std::wstring& name) {
  const std::wstring_view whole(name);
  const std::wstring_view suffix(kTemporarySuffix);
  if (whole.size() >= suffix.size() && SameNameOnDisk(whole.substr(whole.size() - suffix.size()), suffix)) {
    return true;
  }
  const std::size_t separator = whole.find_first_of(L"\\/");
  const std::wstring_view top = whole.substr(0, separator);
  // A file in a folder's place counts too: it would keep the folder from
  // being made.
  for (const wchar_t* own : kOwnFolders) {
    if (SameNameOnDisk(top, own)) return true;
  }
  if (separator != std::wstring_view::npos) return false;
  for (const wchar_t* own : kOwnFiles) {
    if (SameNameOnDisk(top, own)) return true;
  }
  return false;
}

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
