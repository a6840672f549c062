#include "app/window_dpi_win.h"

#include "app/dpi_scale.h"

namespace {

using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
using GetSystemMetricsForDpiFn = int(WINAPI*)(int, UINT);

// user32 is always loaded in a program with windows; a missing entry point
// means an older system, which the callers fall back from.
FARPROC User32Entry(const char* name) {
  const HMODULE user32 = ::GetModuleHandleW(L"user32.dll");
  return user32 ? ::GetProcAddress(user32, name) : nullptr;
}

GetDpiForWindowFn GetDpiForWindowEntry() {
  static const auto entry = reinterpret_cast<GetDpiForWindowFn>(
      reinterpret_cast<void*>(User32Entry("GetDpiForWindow")));
  return entry;
}

GetSystemMetricsForDpiFn GetSystemMetricsForDpiEntry() {
  static const auto entry = reinterpret_cast<GetSystemMetricsForDpiFn>(
      reinterpret_cast<void*>(User32Entry("GetSystemMetricsForDpi")));
  return entry;
}

int ScreenDpi() {
  const HDC screen = ::GetDC(nullptr);
  if (!screen) return 0;
  const int dpi = ::GetDeviceCaps(screen, LOGPIXELSX);
  ::ReleaseDC(nullptr, screen);
  return dpi;
}

}  // namespace

int WindowDpi(HWND window) {
  if (const GetDpiForWindowFn entry = GetDpiForWindowEntry()) {
    // 0 for a handle that is not a window.
    if (const UINT dpi = entry(window)) return static_cast<int>(dpi);
  }
  return UsableDpi(ScreenDpi());
}

int IconSide(int metric, int dpi) {
  const GetSystemMetricsForDpiFn entry = GetSystemMetricsForDpiEntry();
  const int forDpi = entry ? entry(metric, static_cast<UINT>(dpi)) : 0;
  const int sizeAt96 = metric == SM_CXSMICON || metric == SM_CYSMICON ? 16 : 32;
  return IconSideForDpi(forDpi, ::GetSystemMetrics(metric), ScreenDpi(), sizeAt96, dpi);
}

UniqueIcon LoadIconAtSide(HINSTANCE module, int resourceId, int side) {
  return UniqueIcon(static_cast<HICON>(
      ::LoadImageW(module, MAKEINTRESOURCEW(resourceId), IMAGE_ICON, side, side, LR_DEFAULTCOLOR)));
}
