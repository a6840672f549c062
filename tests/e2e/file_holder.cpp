// Holds a file the way a running client does, until a line (or the end) on
// stdin; says "ready" once it holds it.
//   file_holder.exe load <dll>   loaded as a library: renamable, not replaceable
//   file_holder.exe lock <file>  open without share-delete: not even renamable
#include <cstdio>
#include <iostream>
#include <string>

#include "engine/win.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 2;
  const std::wstring mode = argv[1];
  HMODULE library = nullptr;
  HANDLE file = INVALID_HANDLE_VALUE;
  if (mode == L"load") {
    library = ::LoadLibraryW(argv[2]);
    if (!library) return 3;
  } else if (mode == L"lock") {
    file = ::CreateFileW(argv[2], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 3;
  } else {
    return 2;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  std::string line;
  std::getline(std::cin, line);
  if (library) ::FreeLibrary(library);
  if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
  return 0;
}
