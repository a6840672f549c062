#include "transfer/byte_ranges.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(ByteRanges, HeaderAndContentRange) {
  EXPECT_EQ(L"Range: bytes=0-9,4096-8191\r\n\r\n", RangesHeader({{0, 9}, {4096, 8191}}));
  const auto answer = ParseContentRange(" bytes 10-19/100");
  ASSERT_TRUE(answer);
  EXPECT_EQ(10u, answer->range.first);
  EXPECT_EQ(19u, answer->range.last);
  EXPECT_EQ(100u, answer->total);
  for (const char* bad : {"bytes 10-19/*", "bytes 19-10/100", "bytes 10-100/100", "bytes -1-3/9",
                          "items 1-2/9", "bytes 1-2", "bytes 1-2/99999999999999999999"}) {
    EXPECT_FALSE(ParseContentRange(bad)) << bad;
  }
  EXPECT_EQ("00000000000000000001", MultipartBoundary("multipart/byteranges; boundary=00000000000000000001"));
  EXPECT_EQ("a b", MultipartBoundary("Multipart/ByteRanges;charset=x; boundary=\"a b\""));
  EXPECT_FALSE(MultipartBoundary("application/octet-stream"));
  EXPECT_FALSE(MultipartBoundary("multipart/byteranges"));
}

// Requests stay within both limits, a long range spans requests, and
// together they ask for exactly the bytes given, in order.
TEST(ByteRanges, BatchesKeepBothLimitsAndEveryByte) {
  using Batches = std::vector<std::vector<ByteRange>>;
  EXPECT_EQ((Batches{{{0, 9}, {20, 29}}, {{40, 49}}}), RangeBatches({{0, 9}, {20, 29}, {40, 49}}, 2, 100));
  EXPECT_EQ((Batches{{{0, 9}, {20, 24}}, {{25, 29}, {40, 49}}, {{60, 60}}}),
            RangeBatches({{0, 9}, {20, 29}, {40, 49}, {60, 60}}, 8, 15));
  EXPECT_EQ((Batches{{{5, 14}}, {{15, 24}}, {{25, 25}}}), RangeBatches({{5, 25}}, 1, 10));
  EXPECT_TRUE(RangeBatches({}, 64, 10).empty());
}

// nginx's form of an answer to two ranges of a 100-byte file.
std::string TwoParts(const std::string& second = "bytes 50-52/100") {
  return "\r\n--B\r\nContent-Type: application/octet-stream\r\nContent-Range: bytes 0-3/100\r\n\r\n"
         "abcd\r\n--B\r\nContent-Type: application/octet-stream\r\nContent-Range: " + second +
         "\r\n\r\nxyz\r\n--B--\r\n";
}

std::string Read(const std::string& body, std::size_t piece, bool& ok, bool& complete) {
  MultipartReader reader("B", {{0, 3}, {50, 52}}, 100);
  std::string seen;
  ok = true;
  for (std::size_t at = 0; at < body.size() && ok; at += piece) {
    ok = reader.Feed(body.data() + at, std::min(piece, body.size() - at),
                     [&](std::uint64_t offset, const char* data, std::size_t size) {
                       seen += std::to_string(offset) + ":" + std::string(data, size) + ";";
                       return true;
                     });
  }
  complete = reader.Complete();
  return seen;
}

TEST(ByteRanges, MultipartPartsArriveWithTheirOffsetsInAnyPieces) {
  bool ok = false, complete = false;
  for (std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{1000}}) {
    const std::string seen = Read(TwoParts(), piece, ok, complete);
    EXPECT_TRUE(ok && complete) << piece;
    // Pieces may split a part's bytes; joined they are the parts.
    std::string joined;
    for (std::size_t at = 0; (at = seen.find(':', at)) != std::string::npos; ++at) {
      joined += seen.substr(at + 1, seen.find(';', at) - at - 1);
    }
    EXPECT_EQ("abcdxyz", joined) << piece;
  }
  EXPECT_EQ("0:abcd;50:xyz;", Read(TwoParts(), 1000, ok, complete));
}

TEST(ByteRanges, MultipartThatIsNotWhatWasAskedFails) {
  bool ok = true, complete = true;
  Read(TwoParts("bytes 51-53/100"), 1000, ok, complete);  // another range
  EXPECT_FALSE(ok);
  Read(TwoParts("bytes 50-52/101"), 1000, ok, complete);  // another file's length
  EXPECT_FALSE(ok);
  const std::string body = TwoParts();
  const std::string seen = Read(body.substr(0, body.size() - 10), 1000, ok, complete);  // cut short
  EXPECT_TRUE(ok);
  EXPECT_FALSE(complete);
  Read("\r\n--B--\r\n", 1000, ok, complete);  // no parts at all
  EXPECT_FALSE(ok);
  Read("\r\n--B\r\n\r\nabcd", 1000, ok, complete);  // a part without its range
  EXPECT_FALSE(ok);
}

}  // namespace
