#include "framework/afx.h"

namespace {
CWinApp* g_app = nullptr;
}

CWinApp::CWinApp() { g_app = this; }

CWinApp* AfxGetApp() { return g_app; }

HINSTANCE AfxGetResourceHandle() { return ::GetModuleHandleW(nullptr); }

void AfxEnableControlContainer() {
  INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_PROGRESS_CLASS | ICC_LISTVIEW_CLASSES};
  ::InitCommonControlsEx(&controls);
}
