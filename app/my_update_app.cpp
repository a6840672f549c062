#include "app/my_update_dlg.h"
#include "app/single_instance_win.h"
#include "engine/my_fun.h"
#include "engine/separators.h"
#include "framework/afx.h"

// The application: one modal update dialog, then the process ends.
class CMyUpdateApp : public CWinApp {
 public:
  BOOL InitInstance() override;
};

CMyUpdateApp theApp;

BOOL CMyUpdateApp::InitInstance() {
  // A second start for the same folder shows the first dialog and starts
  // nothing of its own: no dialog, no script, no client.
  const SingleInstance instance(FolderOfPath(CMyFun().GetAppPath()));
  if (!instance.IsFirst()) {
    instance.BringOtherToFront();
    return FALSE;
  }
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
