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
  LocalNames(std::wstring_view text, std::size_t entries) : m_text(text) {
    std::size_t size = 16;
    while (size < 2 * entries + 2) size *= 2;  // never more than half full
    m_slots.resize(size);
  }

  static std::size_t Hash(std::wstring_view name) { return std::hash<std::wstring_view>()(name); }

  // Brings the slot a name hashes to, or the line that slot points at, into
  // the cache ahead of its use: both tables are far larger than the cache,
  // and waiting for one miss after another is most of the comparison's time.
  void PrefetchSlot(std::size_t hash) const { __builtin_prefetch(&m_slots[hash & (m_slots.size() - 1)]); }
  void PrefetchLine(std::size_t hash) const {
    const Slot& slot = m_slots[hash & (m_slots.size() - 1)];
    if (slot.line != kNoLine) __builtin_prefetch(m_text.data() + slot.line);
  }

  // The first line for a name wins. A line beyond what a slot can point at
  // (a text of 4 G characters) is left out: the server's entry reads as changed.
  void Add(std::wstring_view name, std::size_t hash) {
    const std::size_t start = static_cast<std::size_t>(name.data() - m_text.data());
    if (start >= kNoLine) return;
    Slot& slot = Find(name, hash);
    if (slot.line == kNoLine) slot = Slot{Tag(hash), static_cast<std::uint32_t>(start)};
  }

  // The local digest of a name the server lists, once per name: false when
  // the name is not local or a server line for it was already taken.
  enum class Found { kNotLocal, kAgain, kFirst };
  Found Take(std::wstring_view name, std::size_t hash, std::wstring_view& localDigest) {
    Slot& slot = Find(name, hash);
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

  static std::uint32_t Tag(std::size_t hash) {
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(hash) >> 32) & ~kServed;
  }

  Slot& Find(std::wstring_view name, std::size_t hash) {
    const std::uint32_t tag = Tag(hash);
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

// One manifest's entries with their names' hashes, in text order.
struct HashedEntry {
  std::wstring_view name;
  std::wstring_view digest;
  std::size_t hash;
};

std::vector<HashedEntry> Entries(std::wstring_view text) {
  std::vector<HashedEntry> entries;
  entries.reserve(text.size() / 64);  // about a line's length in a real manifest
  ForEachManifestEntry(text, [&](std::wstring_view name, std::wstring_view digest) {
    entries.push_back({name, digest, LocalNames::Hash(name)});
  });
  return entries;
}

// How far ahead slots and lines are fetched: enough misses in flight to hide
// their latency, few enough that what was fetched is still there.
constexpr std::size_t kSlotsAhead = 16;
constexpr std::size_t kLinesAhead = 8;

}  // namespace

// Lists every server entry that is missing locally or whose digest text
// differs, in the order of the server table (ordinal UTF-16 order of names,
// each once, the first server line for a name deciding); local-only entries
// are ignored.
DownloadList CMyFun::CompareManifests(std::wstring serverText, std::wstring localText) {
  // Each text is scanned once, into its entries with their hashes; the table
  // is then sized once from the local count.
  const std::vector<HashedEntry> locals = Entries(localText);
  LocalNames local(localText, locals.size());
  for (std::size_t i = 0; i < locals.size(); ++i) {
    if (i + kSlotsAhead < locals.size()) local.PrefetchSlot(locals[i + kSlotsAhead].hash);
    local.Add(locals[i].name, locals[i].hash);
  }
  const std::vector<HashedEntry> servers = Entries(serverText);
  std::vector<std::wstring_view> wanted;
  for (std::size_t i = 0; i < servers.size(); ++i) {
    if (i + kSlotsAhead < servers.size()) local.PrefetchSlot(servers[i + kSlotsAhead].hash);
    if (i + kLinesAhead < servers.size()) local.PrefetchLine(servers[i + kLinesAhead].hash);
    const HashedEntry& entry = servers[i];
    std::wstring_view localDigest;
    switch (local.Take(entry.name, entry.hash, localDigest)) {
      case LocalNames::Found::kNotLocal:
        wanted.push_back(entry.name);  // a repeated line for it is dropped below
        break;
      case LocalNames::Found::kAgain:
        break;  // a later server line for the same name
      case LocalNames::Found::kFirst:
        if (localDigest != entry.digest) wanted.push_back(entry.name);
        break;
    }
  }
  std::stable_sort(wanted.begin(), wanted.end(), OrdinalUtf16Less());
  wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
  return DownloadList(wanted.begin(), wanted.end());
}
