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
  if (dlg.WorkerWasTerminated() || dlg.WorkerRunning()) {
    // A killed worker may have left library state that clean-up at exit would
    // wait on; a running one (the dialog ended with Enter) would go on using
    // the dialog object about to be destroyed. Whatever the closing path owed
    // (the script) has been done: end here.
    ::TerminateProcess(::GetCurrentProcess(), 0);
  }
  m_pMainWnd = nullptr;
  return FALSE;
}
