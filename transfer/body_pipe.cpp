#include "transfer/body_pipe.h"

#include <algorithm>
#include <cstring>
#include <system_error>

BodyPipe::BodyPipe(std::FILE* out, Md5& md5, std::function<void()> settle)
    : m_out(out), m_md5(md5), m_chunks(kChunks), m_settle(std::move(settle)) {
  for (Chunk& chunk : m_chunks) chunk.bytes.reset(new char[kChunkSize], std::default_delete<char[]>());
  try {
    m_writer = std::thread([this] { Write(); });
    m_hasher = std::thread([this] { Hash(); });
  } catch (const std::system_error&) {
    if (m_writer.joinable()) {
      m_monitor.Lock();
      m_closing = true;
      m_monitor.Unlock();
      m_monitor.WakeAll();
      m_writer.join();
      m_closing = false;
    }
    m_inline = true;
  }
  if (m_settle && !m_inline) {
    try {
      m_settler = std::thread([this] { Settle(); });
    } catch (const std::system_error&) {
      // Only the flush after Finish then puts the data on the disk.
    }
  }
}

BodyPipe::~BodyPipe() { Finish(); }

bool BodyPipe::Failed() {
  Monitor::Hold hold(m_monitor);
  return m_failed;
}

bool BodyPipe::Put(const char* data, std::size_t size) {
  if (m_inline) {
    if (m_failed) return false;
    if (size > 0 && std::fwrite(data, 1, size, m_out) != size) m_failed = true;
    m_md5.Update(data, size);
    return !m_failed;
  }
  while (size > 0) {
    const Room room = NextRoom();
    if (!room.data) return false;
    const std::size_t take = std::min(size, room.size);
    std::memcpy(room.data, data, take);
    data += take;
    size -= take;
    Filled(take);
  }
  return !Failed();
}

BodyPipe::Room BodyPipe::NextRoom() {
  if (m_inline) {
    if (m_failed) return {};
    return {m_chunks[0].bytes, m_chunks[0].bytes.get(), kChunkSize};
  }
  m_monitor.Lock();
  // The chunk to fill is free once both threads are past it.
  while (!m_failed && m_handed - std::min(m_written, m_hashed) >= kChunks) m_monitor.Wait();
  const bool failed = m_failed;
  const std::uint64_t filling = m_handed;
  m_monitor.Unlock();
  if (failed) return {};
  const Chunk& chunk = m_chunks[filling % kChunks];
  return {chunk.bytes, chunk.bytes.get() + m_fill, kChunkSize - m_fill};
}

bool BodyPipe::Filled(std::size_t size) {
  if (m_inline) {
    return Put(m_chunks[0].bytes.get(), size);
  }
  m_fill += size;
  if (m_fill == kChunkSize) Hand();
  return !Failed();
}

void BodyPipe::Hand() {
  m_monitor.Lock();
  m_chunks[m_handed % kChunks].size = m_fill;
  ++m_handed;
  m_monitor.Unlock();
  m_fill = 0;
  m_monitor.WakeAll();
}

bool BodyPipe::Finish() {
  if (m_finished) return !m_failed;
  m_finished = true;
  if (m_inline) return !m_failed;
  if (m_fill > 0) Hand();
  m_monitor.Lock();
  m_closing = true;
  m_monitor.Unlock();
  m_monitor.WakeAll();
  m_writer.join();
  m_hasher.join();
  if (m_settler.joinable()) m_settler.join();
  return !m_failed;
}

void BodyPipe::Write() {
  // After a failed write the rest is only passed over: the file keeps an
  // unbroken prefix of the body.
  Drain(m_written, [this](const Chunk& chunk, bool failed) {
    return failed || std::fwrite(chunk.bytes.get(), 1, chunk.size, m_out) == chunk.size;
  });
}

void BodyPipe::Hash() {
  FavourCurrentThread();  // the hash is the slowest stage: it sets the pace
  Drain(m_hashed, [this](const Chunk& chunk, bool) {
    m_md5.Update(chunk.bytes.get(), chunk.size);
    return true;
  });
}

// One stage's loop: each handed chunk in turn, outside the lock, until the
// pipe closes; done counts the chunks this stage is past.
void BodyPipe::Drain(std::uint64_t& done, const std::function<bool(const Chunk&, bool failed)>& stage) {
  m_monitor.Lock();
  for (;;) {
    while (done == m_handed && !m_closing) m_monitor.Wait();
    if (done == m_handed) break;
    const Chunk& chunk = m_chunks[done % kChunks];
    const bool failed = m_failed;
    m_monitor.Unlock();
    const bool ok = stage(chunk, failed);
    m_monitor.Lock();
    if (!ok) m_failed = true;
    ++done;
    m_monitor.Unlock();
    m_monitor.WakeAll();
    m_monitor.Lock();
  }
  m_monitor.Unlock();
}

void BodyPipe::Settle() {
  std::uint64_t settled = 0;
  m_monitor.Lock();
  for (;;) {
    while (m_written - settled < kSettleChunks && !m_closing) m_monitor.Wait();
    if (m_closing) break;
    settled = m_written;
    m_monitor.Unlock();
    m_settle();
    m_monitor.Lock();
  }
  m_monitor.Unlock();
}
