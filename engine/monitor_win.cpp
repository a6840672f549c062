#include "engine/monitor.h"

#include "engine/win.h"

struct Monitor::Parts {
  SRWLOCK lock = SRWLOCK_INIT;
  CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;
};

Monitor::Monitor() : m_parts(std::make_unique<Parts>()) {}
Monitor::~Monitor() = default;

void Monitor::Lock() { ::AcquireSRWLockExclusive(&m_parts->lock); }
void Monitor::Unlock() { ::ReleaseSRWLockExclusive(&m_parts->lock); }

void Monitor::Wait() { ::SleepConditionVariableSRW(&m_parts->changed, &m_parts->lock, INFINITE, 0); }

bool Monitor::WaitFor(std::uint32_t ms) {
  return ::SleepConditionVariableSRW(&m_parts->changed, &m_parts->lock, ms, 0) != FALSE;
}

void Monitor::WakeAll() { ::WakeAllConditionVariable(&m_parts->changed); }

void FavourCurrentThread() { ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_ABOVE_NORMAL); }
