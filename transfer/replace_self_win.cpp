#include <share.h>

#include <cstdio>

#include "engine/handles_win.h"
#include "engine/my_fun.h"
#include "transfer/script_text.h"

// Writes delete.bat: with Updater.exe.tmp present, the script swaps it in once
// the updater has exited; either way it starts the client and deletes itself.
void CMyFun::ReplaceSelf(const std::wstring& folder) {
  const std::wstring self = folder + L"Updater.exe";
  const std::wstring received = folder + L"Updater.exe.tmp";

  UniqueStream script(::_wfsopen((folder + L"delete.bat").c_str(), L"w", _SH_DENYNO));
  if (!script) return;
  const bool swap = ::GetFileAttributesW(received.c_str()) != INVALID_FILE_ATTRIBUTES;
  if (swap) {
    // A read-only Updater.exe would keep the script's delete loop going forever.
    const DWORD attributes = ::GetFileAttributesW(self.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
      ::SetFileAttributesW(self.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    }
  }
  for (const std::string& line : DeleteScriptLines(WideToAnsi(folder), swap)) {
    std::fputs(line.c_str(), script.get());
    std::fputc('\n', script.get());
    std::fflush(script.get());
  }
}
