// Stands in for the client program: leaves a mark in its own folder, so a
// test can see that the hand-off script started it and at which priority
// class (the script itself runs at idle priority, which a child started
// without a class of its own would inherit).
#include <cstdio>
#include <string>

#include "engine/win.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  wchar_t path[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring marker = path;
  marker = marker.substr(0, marker.rfind(L'\\') + 1) + L"client-started.txt";
  char line[64];
  const int length = std::snprintf(line, sizeof line, "started priority 0x%lx\r\n",
                                   static_cast<unsigned long>(::GetPriorityClass(::GetCurrentProcess())));
  HANDLE file = ::CreateFileW(marker.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    ::WriteFile(file, line, static_cast<DWORD>(length), &written, nullptr);
    ::CloseHandle(file);
  }
  return 0;
}
