#include "transfer/body_pipe.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "support/random_bytes.h"

namespace {

std::string ReadAll(std::FILE* file) {
  std::rewind(file);
  std::string bytes;
  char buffer[65536];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) bytes.append(buffer, n);
  return bytes;
}

// Pieces of every size, some larger than a chunk, over more chunks than the
// pipe holds: the file and the digest are the body, in order.
TEST(BodyPipe, WritesAndHashesEveryPieceInOrder) {
  const std::string body = RandomBytes(BodyPipe::kChunkSize * (BodyPipe::kChunks + 3) + 12345, 1);
  for (const std::size_t largest : {std::size_t{1}, std::size_t{40960}, BodyPipe::kChunkSize * 3}) {
    std::FILE* file = std::tmpfile();
    ASSERT_NE(nullptr, file);
    Md5 md5;
    {
      BodyPipe pipe(file, md5);
      std::mt19937 random(7);
      for (std::size_t at = 0; at < body.size();) {
        const std::size_t size =
            std::min<std::size_t>(body.size() - at, 1 + random() % largest);
        // 1-byte pieces over megabytes would take long: only the first chunks.
        if (largest == 1 && at > BodyPipe::kChunkSize + 100) {
          ASSERT_TRUE(pipe.Put(body.data() + at, body.size() - at));
          break;
        }
        ASSERT_TRUE(pipe.Put(body.data() + at, size));
        at += size;
      }
      EXPECT_TRUE(pipe.Finish());
    }
    EXPECT_EQ(Md5::ToHex(md5.Final()), Md5::HexOf(body)) << largest;
    EXPECT_TRUE(ReadAll(file) == body) << largest;
    std::fclose(file);
  }
}

// Receiving straight into the rooms, a room partly filled at a time and
// Put mixed in: the file and the digest are the body, in order.
TEST(BodyPipe, RoomsFilledInPiecesKeepTheBodyInOrder) {
  const std::string body = RandomBytes(BodyPipe::kChunkSize * (BodyPipe::kChunks + 2) + 777, 3);
  std::FILE* file = std::tmpfile();
  ASSERT_NE(nullptr, file);
  Md5 md5;
  {
    BodyPipe pipe(file, md5);
    std::mt19937 random(11);
    for (std::size_t at = 0; at < body.size();) {
      const std::size_t want = std::min<std::size_t>(body.size() - at, 1 + random() % (3 << 20));
      if (random() % 4 == 0) {
        ASSERT_TRUE(pipe.Put(body.data() + at, want));
        at += want;
        continue;
      }
      const BodyPipe::Room room = pipe.NextRoom();
      ASSERT_NE(nullptr, room.data);
      ASSERT_GT(room.size, 0u);
      const std::size_t size = std::min(want, room.size);
      std::memcpy(room.data, body.data() + at, size);
      ASSERT_TRUE(pipe.Filled(size));
      at += size;
    }
    EXPECT_TRUE(pipe.Finish());
  }
  EXPECT_EQ(Md5::ToHex(md5.Final()), Md5::HexOf(body));
  EXPECT_TRUE(ReadAll(file) == body);
  std::fclose(file);
}

TEST(BodyPipe, FinishWithNothingPutAndFinishTwice) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(nullptr, file);
  Md5 md5;
  BodyPipe pipe(file, md5);
  EXPECT_TRUE(pipe.Finish());
  EXPECT_TRUE(pipe.Finish());
  EXPECT_EQ(Md5::ToHex(md5.Final()), Md5::HexOf(""));
  EXPECT_EQ(ReadAll(file), "");
  std::fclose(file);
}

// A file that takes no writes: the receiver learns it, and is never left
// waiting for chunks that will not be freed.
TEST(BodyPipe, FailedWriteIsReportedAndNothingHangs) {
  const std::string path = ::testing::TempDir() + "body_pipe_read_only";
  { std::FILE* make = std::fopen(path.c_str(), "wb"); ASSERT_NE(nullptr, make); std::fclose(make); }
  std::FILE* file = std::fopen(path.c_str(), "rb");
  ASSERT_NE(nullptr, file);
  const std::string body = RandomBytes(BodyPipe::kChunkSize * (BodyPipe::kChunks + 2), 2);
  Md5 md5;
  BodyPipe pipe(file, md5);
  bool refused = false;
  for (std::size_t at = 0; at < body.size() && !refused; at += 40960) {
    refused = !pipe.Put(body.data() + at, std::min<std::size_t>(40960, body.size() - at));
  }
  EXPECT_FALSE(pipe.Finish());
  std::fclose(file);
  std::remove(path.c_str());
}

}  // namespace
