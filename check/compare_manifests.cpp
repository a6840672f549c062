#include <algorithm>
#include <cstdint>
#include <cwchar>
#include <functional>
#include <string_view>
#include <vector>

#include "engine/my_fun.h"
#include "manifest/manifest_reader.h"

namespace {

// The local manifest's names in an open-addressing table of 8-byte slots:
// where the line starts in the local text, and bits of the name's hash that
// spare most string comparisons. No line is copied and the table is one
// allocation; ordered tables of 100 000 entries cost several times as much,
// mostly in allocations and cache misses.
class LocalNames {
 public:
  LocalNames(std::wstring_view text, std::size_t lines) : m_text(text) {
    std::size_t size = 16;
    while (size < 2 * lines + 2) size *= 2;  // never more than half full
    m_slots.resize(size);
  }

  // The first line for a name wins. A line beyond what a slot can point at
  // (a text of 4 G characters) is left out: the server's entry reads as changed.
  void Add(std::wstring_view name) {
    const std::size_t start = static_cast<std::size_t>(name.data() - m_text.data());
    if (start >= kNoLine) return;
    Slot& slot = Find(name);
    if (slot.line == kNoLine) slot = Slot{Tag(name), static_cast<std::uint32_t>(start)};
  }

  // The local digest of a name the server lists, once per name: false when
  // the name is not local or a server line for it was already taken.
  enum class Found { kNotLocal, kAgain, kFirst };
  Found Take(std::wstring_view name, std::wstring_view& localDigest) {
    Slot& slot = Find(name);
    if (slot.line == kNoLine) return Found::kNotLocal;
    if (slot.tag & kServed) return Found::kAgain;
    slot.tag |= kServed;
    const std::wstring_view rest = m_text.substr(slot.line + name.size() + 1);
    localDigest = rest.substr(0, rest.find(L'\n'));
    return Found::kFirst;
  }

 private:
  struct Slot {
    std::uint32_t tag = 0;  // high hash bits; the lowest bit marks "served"
    std::uint32_t line = kNoLine;
  };
  static constexpr std::uint32_t kNoLine = 0xFFFFFFFFu;
  static constexpr std::uint32_t kServed = 1u;

  static std::size_t Hash(std::wstring_view name) { return std::hash<std::wstring_view>()(name); }
  static std::uint32_t Tag(std::wstring_view name) {
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(Hash(name)) >> 32) & ~kServed;
  }

  Slot& Find(std::wstring_view name) {
    const std::size_t hash = Hash(name);
    const std::uint32_t tag = static_cast<std::uint32_t>(static_cast<std::uint64_t>(hash) >> 32) & ~kServed;
    const std::size_t mask = m_slots.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
      Slot& slot = m_slots[i];
      if (slot.line == kNoLine) return slot;
      if ((slot.tag & ~kServed) == tag && IsNameAt(slot.line, name)) return slot;
    }
  }

  // The name of the line at `line` is `name` exactly (followed by its TAB).
  bool IsNameAt(std::uint32_t line, std::wstring_view name) const {
    return m_text.size() - line > name.size() && m_text[line + name.size()] == L'\t' &&
           std::wmemcmp(m_text.data() + line, name.data(), name.size()) == 0;
  }

  std::wstring_view m_text;
  std::vector<Slot> m_slots;
};

}  // namespace

// Lists every server entry that is missing locally or whose digest text
// differs, in the order of the server table (ordinal UTF-16 order of names,
// each once, the first server line for a name deciding); local-only entries
// are ignored.
DownloadList CMyFun::CompareManifests(std::wstring serverText, std::wstring localText) {
  // Sized once from the line count: a scan of the text costs less than
  // growing the table (or a list of the names) would.
  LocalNames local(localText,
                   static_cast<std::size_t>(std::count(localText.begin(), localText.end(), L'\n')));
  ForEachManifestEntry(localText, [&](std::wstring_view name, std::wstring_view) { local.Add(name); });
  std::vector<std::wstring_view> wanted;
  ForEachManifestEntry(serverText, [&](std::wstring_view name, std::wstring_view digest) {
    std::wstring_view localDigest;
    switch (local.Take(name, localDigest)) {
      case LocalNames::Found::kNotLocal:
        wanted.push_back(name);  // a repeated line for it is dropped below
        break;
      case LocalNames::Found::kAgain:
        break;  // a later server line for the same name
      case LocalNames::Found::kFirst:
        if (localDigest != digest) wanted.push_back(name);
        break;
    }
  });
  std::stable_sort(wanted.begin(), wanted.end(), OrdinalUtf16Less());
  wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
  return DownloadList(wanted.begin(), wanted.end());
}
