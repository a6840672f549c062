#pragma once
#include "engine/handles_win.h"
#include "engine/win.h"

// The DPI a window is shown at, and the icon sizes for it. The calls that
// know a window's own DPI exist from Windows 10 on; they are looked up at run
// time, so the program still starts on Windows 7, where the process is
// system-aware and the screen's DPI is the window's.

// The window's DPI: GetDpiForWindow where the system has it, else the
// screen's LOGPIXELSX; 96 when neither answers.
int WindowDpi(HWND window);

// The side in pixels of a large (SM_CXICON) or small (SM_CXSMICON) icon at dpi.
int IconSide(int metric, int dpi);

struct IconTraits {  // LoadImageW without LR_SHARED: ours to destroy
  using Handle = HICON;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { ::DestroyIcon(h); }
};
using UniqueIcon = UniqueHandle<IconTraits>;

// The icon resource's image that fits side best, scaled to side if it has
// none of that size.
UniqueIcon LoadIconAtSide(HINSTANCE module, int resourceId, int side);
