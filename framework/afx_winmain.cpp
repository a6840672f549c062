#include "framework/afx.h"

// The application object's InitInstance runs the whole program; returning
// FALSE ends the process without a message loop of its own.
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  CWinApp* app = AfxGetApp();
  if (!app) return 1;
  app->m_hInstance = instance;
  return app->InitInstance() ? 1 : 0;
}
