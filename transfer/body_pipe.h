#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "engine/monitor.h"
#include "manifest/md5.h"

// Takes a body from the thread that receives it and writes and hashes it on
// two threads of its own, so that receiving, writing and hashing each go at
// their own pace. The bytes go through a few chunks of a fixed size: memory
// stays the same whatever the body's length, and the receiver waits only when
// every chunk is still being written or hashed.
//   BodyPipe pipe(file, md5);  pipe.Put(data, n) ...;  bool written = pipe.Finish();
// or, receiving straight into the chunks without Put's copy:
//   Room room = pipe.NextRoom();  (receive n <= room.size bytes at room.data)  pipe.Filled(n);
// Without threads to be had it writes and hashes in Put and Filled, as the receiver.
class BodyPipe {
 public:
  // Eight chunks of 2 MiB: the file's writes stall now and then while the
  // system puts earlier data on the disk, and the chunks bridge that, so the
  // hasher, the slowest stage, never waits for the writer.
  static constexpr std::size_t kChunkSize = 2 << 20;
  static constexpr std::size_t kChunks = 8;

  // settle, when given, is called on a thread of its own each time another
  // kSettleChunks have been written: it has the system put what the file
  // holds so far on the disk while the rest still arrives, so a flush after
  // Finish has little left to do.
  static constexpr std::uint64_t kSettleChunks = 32;
  BodyPipe(std::FILE* out, Md5& md5, std::function<void()> settle = nullptr);
  ~BodyPipe();  // finishes, if Finish was not called
  BodyPipe(const BodyPipe&) = delete;
  BodyPipe& operator=(const BodyPipe&) = delete;

  // False once a write has failed; the bytes are then dropped.
  bool Put(const char* data, std::size_t size);

  // The free part of the chunk being filled, once one is free; no room (data
  // null) once a write has failed. keep owns the bytes: a receive that is
  // given up while it still runs holds them until it returns, whatever
  // became of the pipe.
  struct Room {
    std::shared_ptr<char> keep;
    char* data = nullptr;
    std::size_t size = 0;
  };
  Room NextRoom();
  // The first size bytes of the last room now hold body bytes; false once a
  // write has failed.
  bool Filled(std::size_t size);

  // Writes and hashes everything put so far, ends the threads; false when a
  // write failed. What was put before a failure is in the file in order.
  bool Finish();

 private:
  struct Chunk {
    std::shared_ptr<char> bytes;
    std::size_t size = 0;
  };
  void Hand();  // the chunk being filled goes to the threads
  bool Failed();
  void Write();
  void Hash();
  void Drain(std::uint64_t& done, const std::function<bool(const Chunk&, bool failed)>& stage);
  void Settle();

  std::FILE* m_out;
  Md5& m_md5;
  std::vector<Chunk> m_chunks;
  std::size_t m_fill = 0;       // bytes in the chunk being filled
  std::uint64_t m_handed = 0;   // chunks handed to the threads
  std::uint64_t m_written = 0;  // chunks the writer is done with
  std::uint64_t m_hashed = 0;   // chunks the hasher is done with
  bool m_closing = false;
  bool m_failed = false;
  bool m_finished = false;
  bool m_inline = false;
  Monitor m_monitor;  // guards the counters and flags above, but m_fill
  std::thread m_writer;
  std::thread m_hasher;
  std::function<void()> m_settle;
  std::thread m_settler;
};
