#include "app/my_update_dlg.h"
#include "framework/afx.h"

// The application: one modal update dialog, then the process ends.
class CMyUpdateApp : public CWinApp {
 public:
  BOOL InitInstance() override;
};

CMyUpdateApp theApp;

BOOL CMyUpdateApp::InitInstance() {
  AfxEnableControlContainer();
  CMyUpdateDlg dlg;
  m_pMainWnd = &dlg;
  dlg.DoModal();
  if (dlg.WorkerWasTerminated()) {
    // The worker was killed mid-call; library clean-up at exit could wait on
    // state it left behind. The script has been started; nothing else is owed.
    ::TerminateProcess(::GetCurrentProcess(), 0);
  }
  m_pMainWnd = nullptr;
  return FALSE;
}
