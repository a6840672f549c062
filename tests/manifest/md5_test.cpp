#include "manifest/md5.h"
#include "manifest/read_through.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

struct KnownDigest {
  std::string input;
  const char* hex;
};

TEST(Md5, Rfc1321TestSuite) {
  const KnownDigest cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"1234567890123456789012345678901234567890"
       "1234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& c : cases) EXPECT_EQ(Md5::HexOf(c.input), c.hex) << '"' << c.input << '"';
}

// Lengths around the padding boundaries: 55 bytes still fit the length in the
// last block, 56 to 63 need an extra block, 64 and beyond start a new one.
TEST(Md5, PaddingBoundaries) {
  const struct {
    std::size_t length;
    const char* hex;
  } cases[] = {
      {55, "ef1772b6dff9a122358552954ad0df65"},  {56, "3b0c8ac703f828b04c6c197006d17218"},
      {63, "b06521f39153d618550606be297466d5"},  {64, "014842d480b571495a4a0363793f7367"},
      {65, "c743a45e0d2e6a95cb859adae0248435"},  {119, "8a7bd0732ed6a28ce75f6dabc90e1613"},
      {120, "5f61c0ccad4cac44c75ff505e1f1e537"}, {128, "e510683b3f5ffe4093d021808bc6ff70"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Md5::HexOf(std::string(c.length, 'a')), c.hex) << c.length << " bytes";
  }
}

TEST(Md5, MillionTimesA) {
  EXPECT_EQ(Md5::HexOf(std::string(1000000, 'a')), "7707d6ae4e027c70eea2a935c2296f21");
}

std::string Feed(const std::string& data, const std::vector<std::size_t>& pieces) {
  Md5 md5;
  std::size_t at = 0;
  for (std::size_t piece : pieces) {
    md5.Update(data.data() + at, piece);
    at += piece;
  }
  md5.Update(data.data() + at, data.size() - at);
  return Md5::ToHex(md5.Final());
}

TEST(Md5, StreamingInOddPiecesEqualsOneShot) {
  for (std::size_t length : {55u, 56u, 63u, 64u, 65u, 127u, 128u, 129u, 200u}) {
    std::string data(length, '\0');
    for (std::size_t i = 0; i < length; ++i) data[i] = static_cast<char>(i * 37 + 11);
    const std::string whole = Md5::HexOf(data);
    for (std::size_t piece : {1u, 3u, 7u, 13u, 55u, 63u, 64u, 65u}) {
      std::vector<std::size_t> pieces;
      for (std::size_t at = 0; at + piece <= length; at += piece) pieces.push_back(piece);
      EXPECT_EQ(Feed(data, pieces), whole) << length << " bytes in pieces of " << piece;
    }
    // Empty updates in between change nothing.
    EXPECT_EQ(Feed(data, {0, 1, 0, 0, 50, 0}), whole) << length << " bytes";
  }
}

TEST(Md5, MebibyteSplitAtRandomEqualsOneShot) {
  std::string data(1 << 20, '\0');
  std::uint32_t state = 12345;
  for (char& byte : data) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<char>(state >> 24);
  }
  const std::string whole = Md5::HexOf(data);

  std::mt19937 random(2024);
  std::uniform_int_distribution<std::size_t> size(0, 5000);
  for (int round = 0; round < 3; ++round) {
    std::vector<std::size_t> pieces;
    std::size_t used = 0;
    for (;;) {
      const std::size_t piece = size(random);
      if (used + piece > data.size()) break;
      pieces.push_back(piece);
      used += piece;
    }
    EXPECT_EQ(Feed(data, pieces), whole) << "round " << round;
  }
}

TEST(Md5, HexIsLowercaseInDigestByteOrder) {
  Md5::Digest digest{};
  for (std::size_t i = 0; i < digest.size(); ++i) digest[i] = static_cast<std::uint8_t>(i * 17);
  EXPECT_EQ(Md5::ToHex(digest), "00112233445566778899aabbccddeeff");
}

}  // namespace

// The one read loop: pieces as the reader gives them, short ones included,
// and a failure after some pieces keeps the digest of what was read.
TEST(ReadThrough, HashesEveryPieceAndMarksAFailedRead) {
  const std::string file = std::string(kReadPiece + 5, 'a') + "tail";
  const auto reader = [&file](std::size_t failAt) {
    return [&file, failAt, at = std::size_t(0)](char* buffer, std::size_t capacity) mutable -> long long {
      if (at >= failAt) return -1;
      const std::size_t n = std::min({capacity, file.size() - at, std::size_t(70000)});
      std::copy(file.begin() + at, file.begin() + at + n, buffer);
      at += n;
      return static_cast<long long>(n);
    };
  };
  std::vector<char> buffer;
  EXPECT_EQ(Md5::HexOf(file) + "\n", Md5TextOf(reader(std::string::npos), buffer));
  EXPECT_EQ(kReadPiece, buffer.size());
  EXPECT_EQ("ReadFileWorry\n" + Md5::HexOf(file.substr(0, 140000)) + "\n", Md5TextOf(reader(140000), buffer));
  EXPECT_EQ("ReadFileWorry\n" + Md5::HexOf("") + "\n", Md5TextOf(reader(0), buffer));
}
