#pragma once
#include "engine/win.h"

#include <vector>

// Lets the dialog's closing path end a running update early. The worker checks
// Requested() between steps and inside its loops; Request() also closes the
// WinINet handles the worker has open, which breaks a blocking network call on
// Windows. The lock is held only while the handle list changes, never while
// the worker waits on the network.
class StopSignal {
 public:
  StopSignal() = default;
  StopSignal(const StopSignal&) = delete;
  StopSignal& operator=(const StopSignal&) = delete;

  void Reset();    // before a new run; no worker runs
  void Request();  // from the dialog's thread
  bool Requested() const;

  // The worker registers every internet handle it opens, and unregisters it
  // before closing it. Unregister returns false when Request() has already
  // closed the handle, so the caller must not close it again.
  void Register(HINTERNET handle);
  bool Unregister(HINTERNET handle);

  // A signal of its own for part of a run (the download's transfers, which
  // one failure ends without the dialog closing): a request here also
  // requests every attached child, children first, so their handles close
  // before this signal's own. A child is detached before it is destroyed.
  void Attach(StopSignal* child);
  void Detach(StopSignal* child);

 private:
  mutable SRWLOCK m_lock = SRWLOCK_INIT;
  volatile LONG m_requested = 0;
  std::vector<HINTERNET> m_open;
  std::vector<StopSignal*> m_children;
};

inline bool StopRequested(const StopSignal* stop) { return stop && stop->Requested(); }
