#pragma once
// The digests of the last complete walk, kept in the installation folder so a
// check of an unchanged installation need not read its files again. A cached
// digest stands for a file only while the listing reports the same size,
// last-write, creation and change time, and only when the last write and the
// change lie clearly before the moment the cache was written (a file changed
// in the same tick as the cache could change again without its time moving).
// The change time is what a program cannot set back with the ordinary time
// calls: a tool that restores the last-write time after writing, or a write
// through another hard link of the file, still moves it.
//
// The file: magic "UPDDIGC1", u32 version (2), u64 written-at, u32 count, then
// per entry u16 name bytes, the name (UTF-16LE), u64 size, u64 last-write,
// u64 creation, u64 change, 16 digest bytes; then the MD5 of everything
// before it. Numbers are little-endian, times 100 ns ticks since 1601
// (FILETIME). Version 1 had no change time: such a cache is not used.
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "manifest/md5.h"

// The cache's name in the installation folder, and the name it is written
// under before it is renamed into place.
inline constexpr wchar_t kDigestCacheName[] = L"LocalDigest.cache";
inline constexpr wchar_t kDigestCacheTempName[] = L"LocalDigest.cache.tmp";

// What the folder listing reports of a file.
struct FileStamp {
  std::uint64_t size = 0;
  std::uint64_t lastWrite = 0;
  std::uint64_t creation = 0;
  std::uint64_t change = 0;  // 0: the file system reports none, so nothing is trusted
  bool operator==(const FileStamp& o) const {
    return size == o.size && lastWrite == o.lastWrite && creation == o.creation && change == o.change;
  }
};

// A last write or change this close to the cache's own moment, or later, is
// not trusted.
inline constexpr std::uint64_t kRacyTicks = 2ull * 10000000ull;

// Whether a file's stamp lies clear of the racy margin of a cache written at
// writtenAt, so that the cache may stand for it.
bool OutsideRacyWindow(const FileStamp& stamp, std::uint64_t writtenAt);

// One file's entry, for a cache written outside a walk.
struct DigestCacheEntry {
  std::string key;  // DigestCacheKey of its relative name
  FileStamp stamp;
  Md5::Digest digest;
};

// The key of a relative name: its UTF-16 code units, little-endian, so no two
// names share one whatever the code page.
std::string DigestCacheKey(std::wstring_view relativeName);

class DigestCache {
 public:
  // An empty cache for anything that is not a whole, intact cache of this
  // version, and for a cache written after `now` (the clock went back since:
  // its racy rule would not hold).
  static DigestCache Load(std::string_view bytes, std::uint64_t now);

  // The cached digest when it may stand for the file as listed; null otherwise.
  const Md5::Digest* Trusted(const std::string& key, const FileStamp& listed) const;

  // The bytes of a cache written at writtenAt that holds this cache's entries
  // it trusts by its own moment (its racy ones go: a later moment must not
  // vouch for them), but not those of the names added, and the added entries
  // that writtenAt trusts.
  std::string MergedWith(const std::vector<DigestCacheEntry>& added, std::uint64_t writtenAt) const;

  std::size_t size() const { return m_entries.size(); }
  std::uint64_t writtenAt() const { return m_writtenAt; }

 private:
  struct Entry {
    FileStamp stamp;
    Md5::Digest digest;
  };
  std::unordered_map<std::string, Entry> m_entries;
  std::uint64_t m_writtenAt = 0;
};

// Collects a walk's digests in walk order and makes the cache's bytes.
class DigestCacheWriter {
 public:
  void Add(std::string key, const FileStamp& stamp, const Md5::Digest& digest);
  std::string Serialize(std::uint64_t writtenAt) const;
  std::size_t size() const { return m_count; }

 private:
  std::string m_body;  // the entries, already in their file form
  std::size_t m_count = 0;
};

// The digest a digest text of the local manifest holds: exactly 32 lowercase
// hex digits and "\n". False for diagnostic words, which are never cached.
bool DigestOfText(std::string_view text, Md5::Digest& digest);
