#include "engine/commit_step_win.h"

namespace {
SRWLOCK g_steps = SRWLOCK_INIT;
volatile LONG g_ending = 0;
}  // namespace

CommitStep::CommitStep() {
  ::AcquireSRWLockShared(&g_steps);
  if (::InterlockedCompareExchange(&g_ending, 0, 0) != 0) {
    // The process is being ended: this step must not begin, and the thread
    // has nothing left to do but wait for the end.
    ::ReleaseSRWLockShared(&g_steps);
    for (;;) ::Sleep(INFINITE);
  }
}

CommitStep::~CommitStep() { ::ReleaseSRWLockShared(&g_steps); }

void EndProcessBetweenSteps(UINT exitCode, DWORD waitMs) {
  ::InterlockedExchange(&g_ending, 1);
  // Polled rather than a blocking acquire, so the bound holds.
  const ULONGLONG deadline = ::GetTickCount64() + waitMs;
  while (!::TryAcquireSRWLockExclusive(&g_steps) && ::GetTickCount64() < deadline) ::Sleep(1);
  // Every other thread ends here, mid-call or not; only a step was worth waiting for.
  ::TerminateProcess(::GetCurrentProcess(), exitCode);
  for (;;) ::Sleep(INFINITE);  // TerminateProcess ends this thread too
}
