#pragma once
// What the Windows bench programs share: a QueryPerformanceCounter clock, the
// process's working set, and one "key=value" result line on stdout.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include "engine/win.h"
// after <windows.h>, which it needs
#include <psapi.h>

namespace bench {

inline double Seconds() {
  static const double frequency = [] {
    LARGE_INTEGER f{};
    ::QueryPerformanceFrequency(&f);
    return static_cast<double>(f.QuadPart);
  }();
  LARGE_INTEGER now{};
  ::QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) / frequency;
}

struct Memory {
  unsigned long long workingSet = 0;      // bytes now
  unsigned long long peakWorkingSet = 0;  // bytes, largest since the process started
};

inline Memory MemoryNow() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof(counters);
  Memory m;
  if (::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof(counters))) {
    m.workingSet = counters.WorkingSetSize;
    m.peakWorkingSet = counters.PeakWorkingSetSize;
  }
  return m;
}

// The peak working set of one call. The process peak cannot be reset, so a
// call whose peak stays below what the process reached before (Wine's own
// start-up, for one) would be hidden by it; a thread therefore also samples
// the working set every 5 ms while the call runs. When the process peak rose
// during the call it is exact and wins.
class CallMemory {
 public:
  void Start() {
    m_before = MemoryNow();
    m_sampled = m_before.workingSet;
    m_running = true;
    m_sampler = std::thread([this] {
      while (m_running) {
        const unsigned long long now = MemoryNow().workingSet;
        if (now > m_sampled) m_sampled = now;
        ::Sleep(5);
      }
    });
  }
  void Stop() {
    m_running = false;
    m_sampler.join();
    m_after = MemoryNow();
  }
  bool PeakIsExact() const { return m_after.peakWorkingSet > m_before.peakWorkingSet; }
  unsigned long long CallPeak() const {
    return PeakIsExact() ? m_after.peakWorkingSet : m_sampled.load();
  }
  void Print(FILE* out) const {
    std::fprintf(out,
                 " base_ws_kib=%llu call_peak_ws_kib=%llu growth_kib=%llu process_peak_ws_kib=%llu"
                 " peak_method=%s",
                 m_before.workingSet / 1024, CallPeak() / 1024,
                 (CallPeak() - std::min(CallPeak(), m_before.workingSet)) / 1024,
                 m_after.peakWorkingSet / 1024, PeakIsExact() ? "counter" : "sampled");
  }

 private:
  Memory m_before;
  Memory m_after;
  std::atomic<unsigned long long> m_sampled{0};
  std::atomic<bool> m_running{false};
  std::thread m_sampler;
};

}  // namespace bench
