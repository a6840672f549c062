// Stands in for the client program: leaves a mark in its own folder, so a
// test can see that the hand-off script started it.
#include <string>

#include "engine/win.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  wchar_t path[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring marker = path;
  marker = marker.substr(0, marker.rfind(L'\\') + 1) + L"client-started.txt";
  HANDLE file = ::CreateFileW(marker.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    ::WriteFile(file, "started\r\n", 9, &written, nullptr);
    ::CloseHandle(file);
  }
  return 0;
}
