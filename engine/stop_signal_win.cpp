#include "engine/stop_signal.h"

#include <algorithm>

void StopSignal::Reset() {
  ::AcquireSRWLockExclusive(&m_lock);
  m_open.clear();
  ::InterlockedExchange(&m_requested, 0);
  ::ReleaseSRWLockExclusive(&m_lock);
}

void StopSignal::Request() {
  ::AcquireSRWLockExclusive(&m_lock);
  ::InterlockedExchange(&m_requested, 1);
  for (StopSignal* child : m_children) child->Request();
  // Newest first: URL handles close before the root handle they came from.
  for (auto it = m_open.rbegin(); it != m_open.rend(); ++it) ::InternetCloseHandle(*it);
  m_open.clear();
  ::ReleaseSRWLockExclusive(&m_lock);
}

bool StopSignal::Requested() const {
  return ::InterlockedCompareExchange(const_cast<volatile LONG*>(&m_requested), 0, 0) != 0;
}

void StopSignal::Register(HINTERNET handle) {
  ::AcquireSRWLockExclusive(&m_lock);
  if (Requested()) {
    ::InternetCloseHandle(handle);  // opened just as the stop came: close at once
  } else {
    m_open.push_back(handle);
  }
  ::ReleaseSRWLockExclusive(&m_lock);
}

bool StopSignal::Unregister(HINTERNET handle) {
  ::AcquireSRWLockExclusive(&m_lock);
  const auto it = std::find(m_open.begin(), m_open.end(), handle);
  const bool stillOpen = it != m_open.end();
  if (stillOpen) m_open.erase(it);
  ::ReleaseSRWLockExclusive(&m_lock);
  return stillOpen;
}

void StopSignal::Attach(StopSignal* child) {
  ::AcquireSRWLockExclusive(&m_lock);
  m_children.push_back(child);
  if (Requested()) child->Request();
  ::ReleaseSRWLockExclusive(&m_lock);
}

void StopSignal::Detach(StopSignal* child) {
  ::AcquireSRWLockExclusive(&m_lock);
  m_children.erase(std::remove(m_children.begin(), m_children.end(), child), m_children.end());
  ::ReleaseSRWLockExclusive(&m_lock);
}
