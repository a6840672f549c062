#pragma once
#include <cstdint>

// Decides when a body arrives too slowly to wait for. A receive time-out only
// catches a server that sends nothing; one that trickles a byte a second never
// trips it, and a large file would then take days. Each window of windowMs must
// bring at least minBytes, or the body is given up (and resumed next run).
// Times are millisecond ticks that may wrap around.
class BodyPace {
 public:
  BodyPace(std::uint32_t windowMs, std::uint64_t minBytes, std::uint32_t startMs)
      : m_windowMs(windowMs), m_minBytes(minBytes), m_windowStart(startMs) {}

  // Counts a read that ended at nowMs; false once a whole window has passed
  // with fewer than minBytes in it.
  bool Add(std::uint32_t nowMs, std::uint64_t count) {
    m_bytes += count;
    if (nowMs - m_windowStart < m_windowMs) return true;
    if (m_bytes < m_minBytes) return false;
    m_windowStart = nowMs;
    m_bytes = 0;
    return true;
  }

 private:
  std::uint32_t m_windowMs;
  std::uint64_t m_minBytes;
  std::uint32_t m_windowStart;
  std::uint64_t m_bytes = 0;
};

// How much one read may ask for beyond what has arrived. A synchronous
// WinINet read waits until its buffer is full, and Wine's never reports more
// than 8 KiB as arrived, so reads of what has arrived cap a fast link at a
// few tens of MB/s. A read may therefore ask for what the body brought in
// about kAheadMs at its recent rate, up to the caller's limit, while at
// least kFlowingBytes have arrived (the body is flowing, not trickling); a
// read that still took more than kSlowMs makes every later read of this body
// ask only for what has arrived, so a body that slows down is again checked
// by BodyPace read by read. A server that switches from full speed to a
// trickle in the middle of a read-ahead holds that one read until it is full.
class ReadAhead {
 public:
  static constexpr std::uint32_t kAheadMs = 100;
  static constexpr std::uint32_t kSlowMs = 1000;
  static constexpr std::uint32_t kFlowingBytes = 8192;

  explicit ReadAhead(std::uint32_t limit) : m_limit(limit) {}

  std::uint32_t Next(std::uint32_t available) const {
    const std::uint32_t ahead = available >= kFlowingBytes ? m_ahead : 0;
    const std::uint32_t size = available > ahead ? available : ahead;
    return size < m_limit ? (size > 0 ? size : 1) : m_limit;
  }
  // A read of bytes took elapsedMs.
  void Took(std::uint32_t bytes, std::uint32_t elapsedMs) {
    if (m_slow || elapsedMs > kSlowMs) {
      m_slow = true;
      m_ahead = 0;
      return;
    }
    const std::uint64_t ms = elapsedMs > 0 ? elapsedMs : 1;
    const std::uint64_t ahead = static_cast<std::uint64_t>(bytes) * kAheadMs / ms;
    m_ahead = ahead < m_limit ? static_cast<std::uint32_t>(ahead) : m_limit;
  }

 private:
  std::uint32_t m_limit;
  std::uint32_t m_ahead = 0;
  bool m_slow = false;
};
