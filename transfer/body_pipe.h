#pragma once
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "manifest/md5.h"

// Takes a body from the thread that receives it and writes and hashes it on
// two threads of its own, so that receiving, writing and hashing each go at
// their own pace. The bytes go through a few chunks of a fixed size: memory
// stays the same whatever the body's length, and the receiver waits only when
// every chunk is still being written or hashed.
//   BodyPipe pipe(file, md5);  pipe.Put(data, n) ...;  bool written = pipe.Finish();
// Without threads to be had it writes and hashes in Put, as the receiver.
class BodyPipe {
 public:
  static constexpr std::size_t kChunkSize = 1 << 20;
  static constexpr std::size_t kChunks = 4;

  BodyPipe(std::FILE* out, Md5& md5);
  ~BodyPipe();  // finishes, if Finish was not called
  BodyPipe(const BodyPipe&) = delete;
  BodyPipe& operator=(const BodyPipe&) = delete;

  // False once a write has failed; the bytes are then dropped.
  bool Put(const char* data, std::size_t size);
  // Writes and hashes everything put so far, ends the threads; false when a
  // write failed. What was put before a failure is in the file in order.
  bool Finish();

 private:
  struct Chunk {
    std::unique_ptr<char[]> bytes;
    std::size_t size = 0;
  };
  void Hand();  // the chunk being filled goes to the threads
  void Write();
  void Hash();

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
  std::mutex m_lock;
  std::condition_variable m_changed;
  std::thread m_writer;
  std::thread m_hasher;
};
