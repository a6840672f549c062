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
