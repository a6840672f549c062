#include "transfer/pack.h"

#include <gtest/gtest.h>

#include <string>

#include "manifest/manifest_reader.h"
#include "transfer/frames.h"

namespace {

const std::wstring kDigest = L"0123456789abcdef0123456789ABCDEF";

std::optional<PackTable> Read(const std::wstring& text) { return ReadPackTable(PrepareManifestText(text)); }

TEST(PackTable, EntriesThatLieOrRepeatAreLeftOut) {
  const auto table = Read(L"UpDate.pack\t1000\r\n"
                          L"a.lua\t0 100 100 0 " + kDigest + L"\r\n"
                          L"b.lua\t100 50 400 1 " + kDigest + L"\r\n"
                          L"past.lua\t990 20 20 0 " + kDigest + L"\r\n"    // ends past the pack
                          L"stored.lua\t0 10 20 0 " + kDigest + L"\r\n"    // stored, yet shorter
                          L"grown.lua\t0 30 20 1 " + kDigest + L"\r\n"     // deflate longer than the file
                          L"empty.lua\t0 0 0 0 " + kDigest + L"\r\n"
                          L"big.dat\t0 1 200000 1 " + kDigest + L"\r\n"   // not a small file
                          L"codec.lua\t0 10 10 2 " + kDigest + L"\r\n"
                          L"short.lua\t0 10 10 0 0123\r\n"
                          L"blank.lua\t0  10 10 0 " + kDigest + L"\r\n"
                          L"zero.lua\t00 10 10 0 " + kDigest + L"\r\n"
                          L"huge.lua\t18446744073709551616 10 10 0 " + kDigest + L"\r\n"
                          L"twice.lua\t0 10 10 0 " + kDigest + L"\r\n"
                          L"c\\d.lua\t150 10 10 0 " + kDigest + L"\r\n"
                          L"twice.lua\t10 10 10 0 " + kDigest + L"\r\n");
  ASSERT_TRUE(table);
  EXPECT_EQ(1000u, table->length);
  ASSERT_EQ(3u, table->entries.size());
  const PackEntry& b = table->entries.at(L"b.lua");
  EXPECT_EQ(100u, b.offset);
  EXPECT_EQ(50u, b.stored);
  EXPECT_EQ(400u, b.length);
  EXPECT_EQ(kPackDeflated, b.codec);
  EXPECT_EQ(kDigest, b.digest);
  EXPECT_EQ(1u, table->entries.count(L"c\\d.lua"));
  // No pack line, or one that does not parse: no table at all.
  EXPECT_FALSE(Read(L"a.lua\t0 100 100 0 " + kDigest + L"\r\n"));
  EXPECT_FALSE(Read(L"UpDate.pack\t-5\r\n"));
  // What the tool writes reads back.
  PackEntry entry;
  entry.offset = 7;
  entry.stored = 3;
  entry.length = 9;
  entry.codec = kPackDeflated;
  entry.digest = kDigest;
  const std::string line = "x.txt\t" + PackEntryText(entry) + "\r\n";
  const auto written = Read(L"UpDate.pack\t" + std::wstring(L"10") + L"\r\n" + std::wstring(line.begin(), line.end()));
  ASSERT_TRUE(written);
  EXPECT_EQ(7u, written->entries.at(L"x.txt").offset);
}

PackEntry At(std::uint64_t offset, std::uint64_t stored) {
  PackEntry entry;
  entry.offset = offset;
  entry.stored = entry.length = stored;
  return entry;
}

TEST(PackBatch, NeighboursShareARangeAndABatchStopsAtItsLimits) {
  PackBatch batch(true);
  ASSERT_TRUE(batch.Add(At(0, 100)));
  ASSERT_TRUE(batch.Add(At(100 + PackBatch::kRangeGap, 50)));  // a small gap: read over
  ASSERT_TRUE(batch.Add(At(10000, 10)));
  ASSERT_EQ(2u, batch.Ranges().size());
  EXPECT_EQ(0u, batch.Ranges()[0].first);
  EXPECT_EQ(249u, batch.Ranges()[0].last);
  // Where lists are off, only neighbours join: one range per request.
  PackBatch single(false);
  ASSERT_TRUE(single.Add(At(500, 10)));
  EXPECT_TRUE(single.Add(At(510, 10)));
  EXPECT_FALSE(single.Add(At(5000, 10)));
  EXPECT_EQ(1u, single.Ranges().size());
  // At most so many ranges, files and bytes.
  PackBatch apart(true);
  for (std::size_t i = 0; i < PackBatch::kPackBatchRanges; ++i) ASSERT_TRUE(apart.Add(At(i * 1000, 10)));
  EXPECT_FALSE(apart.Add(At(999999, 10)));
  EXPECT_TRUE(apart.Add(At(64 * 1000 - 990, 10)));  // joins the last range
  PackBatch many(true);
  for (std::size_t i = 0; i < PackBatch::kPackBatchFiles; ++i) ASSERT_TRUE(many.Add(At(i, 1)));
  EXPECT_FALSE(many.Add(At(PackBatch::kPackBatchFiles, 1)));
  PackBatch heavy(true);
  ASSERT_TRUE(heavy.Add(At(0, PackBatch::kPackBatchBytes - 10)));
  EXPECT_FALSE(heavy.Add(At(PackBatch::kPackBatchBytes, 20)));
}

TEST(PackEntry, UnpacksOnlyToExactlyItsLength) {
  const std::string file(3000, 'q');
  std::string deflated;
  MakeFrameCodec(kDeflateCodec)->Encode(reinterpret_cast<const std::uint8_t*>(file.data()), file.size(), deflated);
  PackEntry entry = At(0, deflated.size());
  entry.length = file.size();
  entry.codec = kPackDeflated;
  EXPECT_EQ(file, UnpackEntry(entry, deflated));
  entry.length = file.size() - 1;  // decodes to more than the entry says
  EXPECT_FALSE(UnpackEntry(entry, deflated));
  entry.length = file.size();
  EXPECT_FALSE(UnpackEntry(entry, std::string_view(deflated).substr(1)));  // not its stored size
  std::string damaged = deflated;
  damaged[damaged.size() / 2] ^= 0x40;
  const auto decoded = UnpackEntry(entry, damaged);
  EXPECT_TRUE(!decoded || *decoded != file);  // the manifest's digest then decides
  EXPECT_EQ("abc", UnpackEntry(At(0, 3), "abc"));
}

}  // namespace
