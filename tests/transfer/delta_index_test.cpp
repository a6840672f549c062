#include "transfer/delta_index.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "support/random_bytes.h"

namespace {

std::string IndexOf(const std::string& file, std::size_t piece = 70000) {
  DeltaIndexWriter writer(file.size());
  for (std::size_t at = 0; at < file.size(); at += piece) {
    writer.Add(file.data() + at, std::min(piece, file.size() - at));
  }
  return writer.Finish();
}

OldReader ReaderOf(const std::string& old) {
  return [&old](std::uint64_t offset, std::uint8_t* out, std::size_t size) -> std::size_t {
    if (offset >= old.size()) return 0;
    const std::size_t n = std::min<std::size_t>(size, old.size() - offset);
    std::memcpy(out, old.data() + offset, n);
    return n;
  };
}

// Rebuilds the new file as the updater does: held pieces from the old copy,
// fetched ones from the new file. A piece that claims wrong old bytes shows
// as a difference, and the pieces must tile the file in order.
::testing::AssertionResult Rebuilds(const std::string& index, const std::string& old,
                                    const std::string& fresh, std::uint64_t* fetched = nullptr) {
  const auto parsed = ParseDeltaIndex(index, fresh.size());
  if (!parsed) return ::testing::AssertionFailure() << "index not read";
  const auto plan = PlanDelta(*parsed, old.size(), ReaderOf(old));
  std::string built;
  for (const DeltaPiece& piece : plan) {
    if (piece.offset != built.size()) return ::testing::AssertionFailure() << "gap at " << built.size();
    if (piece.Held()) {
      if (static_cast<std::uint64_t>(piece.oldOffset) + piece.length > old.size()) {
        return ::testing::AssertionFailure() << "reads past the old copy";
      }
      built += old.substr(static_cast<std::size_t>(piece.oldOffset), piece.length);
    } else {
      built += fresh.substr(piece.offset, piece.length);
    }
  }
  if (fetched) *fetched = FetchedBytes(plan);
  if (built != fresh) return ::testing::AssertionFailure() << "rebuilt bytes differ";
  return ::testing::AssertionSuccess();
}

TEST(DeltaIndex, ShiftedAndReplacedContentIsFoundAndOnlyTheChangesAreFetched) {
  const std::string old = RandomBytes(3u << 20, 1);
  std::string fresh = old;
  fresh.replace(100000, 5000, RandomBytes(5000, 2));     // replaced in place
  fresh.insert(1500000, RandomBytes(3000, 3));           // later bytes shift right
  fresh.erase(2500000, 7000);                       // and back left
  std::uint64_t fetched = 0;
  ASSERT_TRUE(Rebuilds(IndexOf(fresh), old, fresh, &fetched));
  // Each change costs at most its length plus about two blocks at its edges.
  EXPECT_LE(fetched, 5000u + 3000u + 6u * DeltaBlockSize(fresh.size()));
  EXPECT_GT(fetched, 0u);
}

// A large old copy is walked by two threads, a half each: changes on either
// side of the middle, and content that moved across it, are found all the same.
TEST(DeltaIndex, TwoWalkersMeetInTheMiddle) {
  const std::string old = RandomBytes(18u << 20, 12);
  const std::size_t middle = old.size() / 2;
  // 300 000 bytes from before the middle move to after it.
  std::string fresh = old.substr(0, middle - 400000) + old.substr(middle - 100000, 300000) +
                      old.substr(middle - 400000, 300000) + old.substr(middle + 200000);
  fresh.replace(middle + 1000000, 6000, RandomBytes(6000, 13));
  fresh.insert(1000000, RandomBytes(777, 14));
  std::uint64_t fetched = 0;
  ASSERT_TRUE(Rebuilds(IndexOf(fresh), old, fresh, &fetched));
  EXPECT_LE(fetched, 6000u + 777u + 10u * DeltaBlockSize(fresh.size()));
}

// A rewritten large file is given up on after a part of the walk; a file
// whose first half was rewritten still finds its second half.
TEST(DeltaIndex, RewrittenFileIsGivenUpEarlyAKeptHalfIsFound) {
  const std::string old = RandomBytes(17u << 20, 15);
  const std::string rewritten = RandomBytes(old.size(), 16);
  const auto index = ParseDeltaIndex(IndexOf(rewritten));
  ASSERT_TRUE(index);
  std::uint64_t read = 0;
  const OldReader counting = [&](std::uint64_t offset, std::uint8_t* out, std::size_t size) {
    const std::size_t n = ReaderOf(old)(offset, out, size);
    read += n;
    return n;
  };
  const auto plan = PlanDelta(*index, old.size(), counting);
  ASSERT_EQ(1u, plan.size());
  EXPECT_FALSE(plan[0].Held());
  EXPECT_LT(read, old.size() / 2);

  const std::string halfKept = RandomBytes(old.size() / 2, 17) + old.substr(old.size() / 2);
  std::uint64_t fetched = 0;
  ASSERT_TRUE(Rebuilds(IndexOf(halfKept), old, halfKept, &fetched));
  EXPECT_LE(fetched, old.size() / 2 + 2 * DeltaBlockSize(old.size()));
}

TEST(DeltaIndex, EdgeBlocksAndSizesRebuild) {
  const std::string base = RandomBytes((1u << 20) + 777, 4);  // a short last block
  struct Case {
    const char* what;
    std::string old, fresh;
  } cases[] = {
      {"same", base, base},
      {"first byte changed", base, "x" + base.substr(1)},
      {"last byte changed", base, base.substr(0, base.size() - 1) + "x"},
      {"grown at the end", base, base + RandomBytes(5000, 5)},
      {"cut at the end", base, base.substr(0, base.size() - 4000)},
      {"prefix inserted", base, RandomBytes(333, 6) + base},
      {"old copy empty", "", base},
      {"new file smaller than a block", base, base.substr(5000, 700)},
      {"new file empty", base, ""},
      {"unrelated", RandomBytes(1u << 20, 7), base},
  };
  for (const Case& c : cases) EXPECT_TRUE(Rebuilds(IndexOf(c.fresh), c.old, c.fresh)) << c.what;

  std::uint64_t fetched = 1;
  ASSERT_TRUE(Rebuilds(IndexOf(base), base, base, &fetched));
  EXPECT_EQ(0u, fetched);
}

TEST(DeltaIndex, ReaderRejectsWhatIsNotAnIndex) {
  const std::string fresh = RandomBytes(5000, 8);
  const std::string good = IndexOf(fresh);
  ASSERT_TRUE(ParseDeltaIndex(good, fresh.size()));
  EXPECT_FALSE(ParseDeltaIndex(good, fresh.size() + 1));  // disagrees with the served length
  EXPECT_FALSE(ParseDeltaIndex(good.substr(0, good.size() - 1)));
  EXPECT_FALSE(ParseDeltaIndex(good + "x"));
  EXPECT_FALSE(ParseDeltaIndex(good.substr(0, 10)));
  const auto patched = [&](std::size_t at, char value) {
    std::string bytes = good;
    bytes[at] = value;
    return bytes;
  };
  EXPECT_FALSE(ParseDeltaIndex(patched(7, '2')));   // another version
  EXPECT_FALSE(ParseDeltaIndex(patched(17, 3)));    // block size not a power of two
  EXPECT_FALSE(ParseDeltaIndex(patched(20, 9)));    // weak sum too long
  EXPECT_FALSE(ParseDeltaIndex(patched(21, 1)));    // strong sum too short
  EXPECT_FALSE(ParseDeltaIndex(patched(22, 1)));    // reserved bytes set
  EXPECT_FALSE(ParseDeltaIndex(patched(15, 0x40)));  // a huge length the sums do not cover
  std::string wraps = good;  // a length whose block count wraps to what the sums cover
  for (std::size_t at = 8; at < 16; ++at) wraps[at] = '\xff';
  wraps.resize(kDeltaHeaderSize);  // no sums: a wrapped count of 0 would match them
  EXPECT_FALSE(ParseDeltaIndex(wraps));
}

// An index whose sums are all wrong (another file's, or noise) can only make
// pieces be fetched; a held piece it claims must still hold those bytes.
TEST(DeltaIndex, LyingIndexCostsFetchesNeverWrongBytes) {
  const std::string old = RandomBytes(2u << 20, 9);
  const std::string fresh = old.substr(0, 1u << 20) + RandomBytes(1u << 20, 10);
  std::string lying = IndexOf(fresh);
  std::mt19937 rng(11);
  for (std::size_t i = kDeltaHeaderSize; i < lying.size(); ++i) {
    if (rng() % 3 == 0) lying[i] = static_cast<char>(rng());
  }
  const auto parsed = ParseDeltaIndex(lying, fresh.size());
  ASSERT_TRUE(parsed);
  for (const DeltaPiece& piece : PlanDelta(*parsed, old.size(), ReaderOf(old))) {
    if (!piece.Held()) continue;
    ASSERT_LE(piece.oldOffset + piece.length, old.size());
    // A claim the noise got right by chance would need 40 matching bits.
    EXPECT_EQ(old.substr(piece.oldOffset, piece.length), fresh.substr(piece.offset, piece.length));
  }
}

}  // namespace

// An index's bytes laid out by hand: blocks of 1 KiB whose weak sums are all
// that of a zero-filled block, with strong sums that match nothing.
std::string IndexClaimingZeroBlocks(std::uint64_t blocks, std::uint32_t seed) {
  std::string bytes = "UPDDELT1";
  const std::uint64_t length = blocks * 1024;
  for (int i = 0; i < 8; ++i) bytes += static_cast<char>(length >> (8 * i));
  bytes += std::string("\x00\x04\x00\x00\x02\x03\x00\x00", 8);
  std::mt19937 rng(seed);
  for (std::uint64_t i = 0; i < blocks; ++i) {
    bytes += std::string(2, '\0');
    for (int k = 0; k < 3; ++k) bytes += static_cast<char>(rng());
  }
  return bytes;
}

// Whatever the index holds, the walk's work is bounded: every block on one
// weak sum over a zero-filled old copy gives up on the delta (a whole
// download) instead of visiting the whole chain at every position; a real
// file's zero-filled stretches, many equal blocks, are still all found.
TEST(DeltaIndex, ZeroFilledStretchesCostBoundedWorkWhateverTheIndexClaims) {
  const std::string zeros(8u << 20, '\0');
  const auto hostile = ParseDeltaIndex(IndexClaimingZeroBlocks(32768, 20));
  ASSERT_TRUE(hostile);
  const auto plan = PlanDelta(*hostile, zeros.size(), ReaderOf(zeros));
  ASSERT_EQ(1u, plan.size());
  EXPECT_FALSE(plan[0].Held());
  EXPECT_EQ(hostile->length, plan[0].length);
  int asked = 0;
  EXPECT_TRUE(PlanDelta(*hostile, zeros.size(), ReaderOf(zeros), [&] { return ++asked >= 1; }).empty());

  std::string fresh = zeros;
  fresh.replace(3u << 20, 70000, RandomBytes(70000, 21));
  std::uint64_t fetched = 0;
  ASSERT_TRUE(Rebuilds(IndexOf(fresh), zeros, fresh, &fetched));
  EXPECT_LE(fetched, 70000u + 2 * DeltaBlockSize(fresh.size()));
}

// Zeros inserted into a zero-filled stretch shift the data after it: the
// walk follows the zeros on its own grid and passes the shifted data's first
// blocks; they are still found, just before the next found block.
TEST(DeltaIndex, DataShiftedInsideAZeroFilledStretchIsFound) {
  const std::string data = RandomBytes(1u << 20, 22);
  const std::string old = std::string(2u << 20, '\0') + data;
  const std::string fresh = std::string((2u << 20) + 5000, '\0') + data;
  std::uint64_t fetched = 1;
  ASSERT_TRUE(Rebuilds(IndexOf(fresh), old, fresh, &fetched));
  EXPECT_EQ(0u, fetched);
}
