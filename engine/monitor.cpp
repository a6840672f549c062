#include "engine/monitor.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

// The host's build (tests): the standard pair.
struct Monitor::Parts {
  std::mutex lock;
  std::condition_variable changed;
};

Monitor::Monitor() : m_parts(std::make_unique<Parts>()) {}
Monitor::~Monitor() = default;

void Monitor::Lock() { m_parts->lock.lock(); }
void Monitor::Unlock() { m_parts->lock.unlock(); }

void Monitor::Wait() {
  std::unique_lock<std::mutex> held(m_parts->lock, std::adopt_lock);
  m_parts->changed.wait(held);
  held.release();
}

bool Monitor::WaitFor(std::uint32_t ms) {
  std::unique_lock<std::mutex> held(m_parts->lock, std::adopt_lock);
  const bool woken = m_parts->changed.wait_for(held, std::chrono::milliseconds(ms)) ==
                     std::cv_status::no_timeout;
  held.release();
  return woken;
}

void Monitor::WakeAll() { m_parts->changed.notify_all(); }

void FavourCurrentThread() {}
