#include "transfer/body_pipe.h"

#include <algorithm>
#include <cstring>
#include <system_error>

BodyPipe::BodyPipe(std::FILE* out, Md5& md5) : m_out(out), m_md5(md5), m_chunks(kChunks) {
  for (Chunk& chunk : m_chunks) chunk.bytes.reset(new char[kChunkSize]);
  try {
    m_writer = std::thread([this] { Write(); });
    m_hasher = std::thread([this] { Hash(); });
  } catch (const std::system_error&) {
    if (m_writer.joinable()) {
      {
        std::lock_guard<std::mutex> lock(m_lock);
        m_closing = true;
      }
      m_changed.notify_all();
      m_writer.join();
      m_closing = false;
    }
    m_inline = true;
  }
}

BodyPipe::~BodyPipe() { Finish(); }

bool BodyPipe::Put(const char* data, std::size_t size) {
  if (m_inline) {
    if (m_failed) return false;
    if (size > 0 && std::fwrite(data, 1, size, m_out) != size) m_failed = true;
    m_md5.Update(data, size);
    return !m_failed;
  }
  while (size > 0) {
    {
      std::unique_lock<std::mutex> lock(m_lock);
      // The chunk to fill is free once both threads are past it.
      m_changed.wait(lock, [&] {
        return m_failed || m_handed - std::min(m_written, m_hashed) < kChunks;
      });
      if (m_failed) return false;
    }
    Chunk& chunk = m_chunks[m_handed % kChunks];
    const std::size_t take = std::min(size, kChunkSize - m_fill);
    std::memcpy(chunk.bytes.get() + m_fill, data, take);
    m_fill += take;
    data += take;
    size -= take;
    if (m_fill == kChunkSize) Hand();
  }
  std::lock_guard<std::mutex> lock(m_lock);
  return !m_failed;
}

void BodyPipe::Hand() {
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_chunks[m_handed % kChunks].size = m_fill;
    ++m_handed;
  }
  m_fill = 0;
  m_changed.notify_all();
}

bool BodyPipe::Finish() {
  if (m_finished) return !m_failed;
  m_finished = true;
  if (m_inline) return !m_failed;
  if (m_fill > 0) Hand();
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_closing = true;
  }
  m_changed.notify_all();
  m_writer.join();
  m_hasher.join();
  return !m_failed;
}

void BodyPipe::Write() {
  for (;;) {
    std::unique_lock<std::mutex> lock(m_lock);
    m_changed.wait(lock, [&] { return m_written < m_handed || m_closing; });
    if (m_written == m_handed) return;
    const Chunk& chunk = m_chunks[m_written % kChunks];
    const bool failed = m_failed;
    lock.unlock();
    // After a failed write the rest is only passed over: the file keeps an
    // unbroken prefix of the body.
    const bool ok = failed || std::fwrite(chunk.bytes.get(), 1, chunk.size, m_out) == chunk.size;
    lock.lock();
    if (!ok) m_failed = true;
    ++m_written;
    lock.unlock();
    m_changed.notify_all();
  }
}

void BodyPipe::Hash() {
  for (;;) {
    std::unique_lock<std::mutex> lock(m_lock);
    m_changed.wait(lock, [&] { return m_hashed < m_handed || m_closing; });
    if (m_hashed == m_handed) return;
    const Chunk& chunk = m_chunks[m_hashed % kChunks];
    lock.unlock();
    m_md5.Update(chunk.bytes.get(), chunk.size);
    lock.lock();
    ++m_hashed;
    lock.unlock();
    m_changed.notify_all();
  }
}
