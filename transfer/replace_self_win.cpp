#include <share.h>

#include <cstdio>

#include "engine/handles_win.h"
#include "engine/my_fun.h"
#include "transfer/delete_script_win.h"
#include "transfer/script_text.h"

void CMyFun::ReplaceSelf(const std::wstring& folder) {
  const std::wstring received = folder + L"Updater.exe.tmp";
  WriteDeleteScript(folder, ::GetFileAttributesW(received.c_str()) != INVALID_FILE_ATTRIBUTES);
}

void WriteDeleteScript(const std::wstring& folder, bool swap) {
  const std::wstring self = folder + L"Updater.exe";
  UniqueStream script(::_wfsopen((folder + L"delete.bat").c_str(), L"w", _SH_DENYNO));
  if (!script) return;
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
