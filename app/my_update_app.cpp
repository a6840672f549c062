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
  // Every path that ends the dialog has stopped the worker, or ended the
  // process when it could not.
  dlg.DoModal();
  m_pMainWnd = nullptr;
  return FALSE;
}
