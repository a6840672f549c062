#include <process.h>

#include "framework/afx.h"

namespace {
thread_local CWinThread* t_current = nullptr;

unsigned __stdcall ThreadStart(void* param) {
  auto* thread = static_cast<CWinThread*>(param);
  t_current = thread;
  const UINT code = thread->m_pfnThreadProc(thread->m_pThreadParams);
  AfxEndThread(code);
}
}  // namespace

CWinThread::~CWinThread() {
  if (m_hThread) ::CloseHandle(m_hThread);
}

CWinThread* AfxBeginThread(AFX_THREADPROC proc, LPVOID param, int priority, UINT stackSize,
                           DWORD createFlags, LPSECURITY_ATTRIBUTES security) {
  auto* thread = new CWinThread;
  thread->m_pfnThreadProc = proc;
  thread->m_pThreadParams = param;
  // Start suspended so the object is complete before the thread can end and
  // delete it.
  unsigned id = 0;
  const uintptr_t handle =
      _beginthreadex(security, stackSize, &ThreadStart, thread, CREATE_SUSPENDED, &id);
  if (handle == 0) {
    delete thread;
    return nullptr;
  }
  thread->m_hThread = reinterpret_cast<HANDLE>(handle);
  thread->m_nThreadID = id;
  ::SetThreadPriority(thread->m_hThread, priority);
  if (!(createFlags & CREATE_SUSPENDED)) thread->ResumeThread();
  return thread;
}

void AfxEndThread(UINT exitCode) {
  delete t_current;
  t_current = nullptr;
  _endthreadex(exitCode);
  __builtin_unreachable();
}
