#include "manifest/digest_cache.h"

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr std::uint64_t kSecond = 10000000ull;
constexpr std::uint64_t kWritten = 13400000000ull * kSecond;  // a moment in 2025

Md5::Digest DigestOf(const std::string& bytes) {
  Md5 md5;
  md5.Update(bytes.data(), bytes.size());
  return md5.Final();
}

// A file last written and changed an hour before the cache, created a day before.
FileStamp OldStamp(std::uint64_t size) {
  return {size, kWritten - 3600 * kSecond, kWritten - 86400 * kSecond, kWritten - 3600 * kSecond};
}

std::string TwoEntryCache(std::uint64_t writtenAt = kWritten) {
  DigestCacheWriter writer;
  writer.Add(DigestCacheKey(L"a.dll"), OldStamp(5), DigestOf("alpha"));
  writer.Add(DigestCacheKey(L"data\\b.dat"), OldStamp(4), DigestOf("beta"));
  return writer.Serialize(writtenAt);
}

TEST(DigestCache, ADigestStandsOnlyForTheSameSizeAndBothTimes) {
  const DigestCache cache = DigestCache::Load(TwoEntryCache(), kWritten + kSecond);
  ASSERT_EQ(2u, cache.size());
  const Md5::Digest* same = cache.Trusted(DigestCacheKey(L"a.dll"), OldStamp(5));
  ASSERT_NE(nullptr, same);
  EXPECT_EQ(DigestOf("alpha"), *same);

  // Rewritten with the same size but a newer time, even one still old
  // enough to be trusted on its own: read again.
  FileStamp rewritten = OldStamp(5);
  rewritten.lastWrite += 1;
  EXPECT_EQ(nullptr, cache.Trusted(DigestCacheKey(L"a.dll"), rewritten));
  FileStamp olderTime = OldStamp(5);
  olderTime.lastWrite -= kSecond;  // a restored backup
  EXPECT_EQ(nullptr, cache.Trusted(DigestCacheKey(L"a.dll"), olderTime));
  FileStamp recreated = OldStamp(5);
  recreated.creation += kSecond;  // deleted and put back with its old time
  EXPECT_EQ(nullptr, cache.Trusted(DigestCacheKey(L"a.dll"), recreated));
  EXPECT_EQ(nullptr, cache.Trusted(DigestCacheKey(L"a.dll"), OldStamp(6)));

  // Names are exact: another case, another folder or a missing entry is read.
  EXPECT_EQ(nullptr, cache.Trusted(DigestCacheKey(L"A.dll"), OldStamp(5)));
  EXPECT_EQ(nullptr, cache.Trusted(DigestCacheKey(L"b.dat"), OldStamp(4)));
  EXPECT_NE(nullptr, cache.Trusted(DigestCacheKey(L"data\\b.dat"), OldStamp(4)));
}

TEST(DigestCache, ContentChangedWithSizeAndTimesPutBackIsReadAgain) {
  const DigestCache cache = DigestCache::Load(TwoEntryCache(), kWritten + kSecond);
  ASSERT_NE(nullptr, cache.Trusted(DigestCacheKey(L"a.dll"), OldStamp(5)));
  // Written, then its last-write and creation times set back; or written
  // through another hard link: only the change time tells.
  FileStamp restored = OldStamp(5);
  restored.change = kWritten + 60 * kSecond;
  EXPECT_EQ(nullptr, cache.Trusted(DigestCacheKey(L"a.dll"), restored));
  restored.change = OldStamp(5).change + 1;
  EXPECT_EQ(nullptr, cache.Trusted(DigestCacheKey(L"a.dll"), restored));
}

TEST(DigestCache, AStampWithoutAChangeTimeIsNeverTrusted) {
  // A file system that reports no change time: size and settable times alone
  // do not vouch for the content, even when they match the cache.
  FileStamp bare = OldStamp(5);
  bare.change = 0;
  DigestCacheWriter writer;
  writer.Add(DigestCacheKey(L"a.dll"), bare, DigestOf("alpha"));
  const DigestCache cache = DigestCache::Load(writer.Serialize(kWritten), kWritten + kSecond);
  ASSERT_EQ(1u, cache.size());
  EXPECT_EQ(nullptr, cache.Trusted(DigestCacheKey(L"a.dll"), bare));

  // A change within the racy margin is as untrusted as a write there.
  FileStamp lateChange = OldStamp(5);
  lateChange.change = kWritten - kSecond;
  DigestCacheWriter late;
  late.Add(DigestCacheKey(L"a.dll"), lateChange, DigestOf("alpha"));
  EXPECT_EQ(nullptr, DigestCache::Load(late.Serialize(kWritten), kWritten + kSecond)
                         .Trusted(DigestCacheKey(L"a.dll"), lateChange));
}

TEST(DigestCache, AnIntactCacheOfTheFormerVersionIsNotUsed) {
  // Version 1 as the previous updater wrote it: no change time per entry.
  std::string v1("UPDDIGC1", 8);
  const auto put = [&v1](std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) v1 += static_cast<char>((value >> (8 * i)) & 0xFF);
  };
  put(1, 4);
  put(kWritten, 8);
  put(1, 4);
  const std::string key = DigestCacheKey(L"a.dll");
  put(key.size(), 2);
  v1 += key;
  put(5, 8);
  put(kWritten - 3600 * kSecond, 8);
  put(kWritten - 86400 * kSecond, 8);
  const Md5::Digest digest = DigestOf("alpha");
  v1.append(reinterpret_cast<const char*>(digest.data()), digest.size());
  const Md5::Digest sum = DigestOf(v1);
  v1.append(reinterpret_cast<const char*>(sum.data()), sum.size());

  const DigestCache cache = DigestCache::Load(v1, kWritten + kSecond);
  EXPECT_EQ(0u, cache.size());
  EXPECT_EQ(nullptr, cache.Trusted(key, OldStamp(5)));
}

TEST(DigestCache, AFileWrittenWithinTwoSecondsOfTheCacheIsReadAgain) {
  DigestCacheWriter writer;
  const FileStamp edge{3, kWritten - 2 * kSecond, kWritten - 86400 * kSecond, kWritten - 2 * kSecond};
  const FileStamp racy{3, kWritten - 2 * kSecond + 1, kWritten - 86400 * kSecond, kWritten - 2 * kSecond + 1};
  const FileStamp after{3, kWritten + kSecond, kWritten - 86400 * kSecond, kWritten + kSecond};
  writer.Add(DigestCacheKey(L"edge"), edge, DigestOf("abc"));
  writer.Add(DigestCacheKey(L"racy"), racy, DigestOf("abc"));
  writer.Add(DigestCacheKey(L"after"), after, DigestOf("abc"));
  const DigestCache cache = DigestCache::Load(writer.Serialize(kWritten), kWritten + 60 * kSecond);
  ASSERT_EQ(3u, cache.size());
  EXPECT_NE(nullptr, cache.Trusted(DigestCacheKey(L"edge"), edge));
  EXPECT_EQ(nullptr, cache.Trusted(DigestCacheKey(L"racy"), racy));
  EXPECT_EQ(nullptr, cache.Trusted(DigestCacheKey(L"after"), after));
}

TEST(DigestCache, AClockThatRanBackwardsTrustsNothing) {
  EXPECT_EQ(2u, DigestCache::Load(TwoEntryCache(), kWritten).size());
  EXPECT_EQ(0u, DigestCache::Load(TwoEntryCache(), kWritten - 1).size());
  // Times near the epoch cannot underflow the racy margin into trust.
  DigestCacheWriter writer;
  writer.Add(DigestCacheKey(L"x"), {1, 0, 0, 1}, DigestOf("x"));
  const DigestCache early = DigestCache::Load(writer.Serialize(kSecond), kSecond);
  EXPECT_EQ(nullptr, early.Trusted(DigestCacheKey(L"x"), {1, 0, 0, 1}));
}

TEST(DigestCache, TruncatedCorruptOrForeignBytesAreIgnored) {
  const std::string good = TwoEntryCache();
  ASSERT_EQ(2u, DigestCache::Load(good, kWritten).size());
  // Every cut, as a killed writer or a full disk would leave it.
  for (std::size_t cut = 0; cut < good.size(); ++cut) {
    EXPECT_EQ(0u, DigestCache::Load(good.substr(0, cut), kWritten).size()) << "cut at " << cut;
  }
  // Every single flipped bit: a stale digest must never come of it.
  for (std::size_t at = 0; at < good.size(); ++at) {
    for (int bit = 0; bit < 8; ++bit) {
      std::string bad = good;
      bad[at] = static_cast<char>(bad[at] ^ (1 << bit));
      ASSERT_EQ(0u, DigestCache::Load(bad, kWritten).size()) << "byte " << at << " bit " << bit;
    }
  }
  EXPECT_EQ(0u, DigestCache::Load(good + "x", kWritten).size());
  EXPECT_EQ(0u, DigestCache::Load("a.dll\t0cc175b9c0f1b6a831c399e269772661\r\n", kWritten).size());
  EXPECT_EQ(0u, DigestCache::Load(std::string(4096, '\0'), kWritten).size());

  // Another version whose checksum holds: its layout may differ, so unused.
  std::string other = good.substr(0, good.size() - 16);
  other[8] = 3;
  Md5 md5;
  md5.Update(other.data(), other.size());
  const Md5::Digest sum = md5.Final();
  other.append(reinterpret_cast<const char*>(sum.data()), sum.size());
  EXPECT_EQ(0u, DigestCache::Load(other, kWritten).size());
}

TEST(DigestCache, EmptyWalkAndNamesBeyondTheCodePageRoundTrip) {
  EXPECT_EQ(0u, DigestCache::Load(DigestCacheWriter().Serialize(kWritten), kWritten).size());

  DigestCacheWriter writer;
  // Two names an ANSI code page would both write as "?.txt".
  writer.Add(DigestCacheKey(L"\x0E01.txt"), OldStamp(1), DigestOf("1"));
  writer.Add(DigestCacheKey(L"\x0E02.txt"), OldStamp(1), DigestOf("2"));
  writer.Add(DigestCacheKey(std::wstring(40000, L'n')), OldStamp(1), DigestOf("long"));  // left out
  const DigestCache cache = DigestCache::Load(writer.Serialize(kWritten), kWritten);
  ASSERT_EQ(2u, cache.size());
  EXPECT_EQ(DigestOf("1"), *cache.Trusted(DigestCacheKey(L"\x0E01.txt"), OldStamp(1)));
  EXPECT_EQ(DigestOf("2"), *cache.Trusted(DigestCacheKey(L"\x0E02.txt"), OldStamp(1)));
  EXPECT_EQ(nullptr, cache.Trusted(DigestCacheKey(L"?.txt"), OldStamp(1)));
}

TEST(DigestCache, OnlyAPlainDigestLineEntersTheCache) {
  Md5::Digest digest{};
  ASSERT_TRUE(DigestOfText(Md5::HexOf("abc") + "\n", digest));
  EXPECT_EQ(DigestOf("abc"), digest);
  for (const std::string& text :
       {std::string("CalculateMd5Worry\n"), "ReadFileWorry\n" + Md5::HexOf("abc") + "\n",
        Md5::HexOf("abc"), Md5::HexOf("abc") + "\n\n", std::string("900150983CD24FB0D6963F7D28E17F72\n"),
        std::string("900150983cd24fb0d6963f7d28e17fz2\n")}) {
    EXPECT_FALSE(DigestOfText(text, digest)) << text;
  }
}

// After a download: an untouched file's entry stays, a replaced file's old
// entry goes, an entry racy by the old cache's moment is not made trusted by
// the later one, and an installed file within the new moment's margin waits
// for the next walk.
TEST(DigestCache, EntriesAddedAfterARunKeepTheRacyRuleOfEachMoment) {
  DigestCacheWriter writer;
  const FileStamp racyThen{7, kWritten - kSecond, kWritten - 86400 * kSecond, kWritten - kSecond};
  writer.Add(DigestCacheKey(L"kept.dll"), OldStamp(5), DigestOf("kept"));
  writer.Add(DigestCacheKey(L"replaced.dll"), OldStamp(6), DigestOf("old"));
  writer.Add(DigestCacheKey(L"racy.dat"), racyThen, DigestOf("racy"));
  const DigestCache old = DigestCache::Load(writer.Serialize(kWritten), kWritten);

  const std::uint64_t later = kWritten + 60 * kSecond;
  const FileStamp installed{8, later - 3 * kSecond, later - 3 * kSecond, later - 3 * kSecond};
  const FileStamp justNow{9, later - kSecond, later - kSecond, later - kSecond};
  const DigestCache merged = DigestCache::Load(
      old.MergedWith({{DigestCacheKey(L"replaced.dll"), installed, DigestOf("new")},
                      {DigestCacheKey(L"late.bin"), justNow, DigestOf("late")}},
                     later),
      later);
  EXPECT_EQ(2u, merged.size());
  EXPECT_EQ(DigestOf("kept"), *merged.Trusted(DigestCacheKey(L"kept.dll"), OldStamp(5)));
  EXPECT_EQ(DigestOf("new"), *merged.Trusted(DigestCacheKey(L"replaced.dll"), installed));
  EXPECT_EQ(nullptr, merged.Trusted(DigestCacheKey(L"replaced.dll"), OldStamp(6)));
  EXPECT_EQ(nullptr, merged.Trusted(DigestCacheKey(L"racy.dat"), racyThen));
  EXPECT_EQ(nullptr, merged.Trusted(DigestCacheKey(L"late.bin"), justNow));
}

}  // namespace
