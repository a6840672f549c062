#include "engine/commit_step_win.h"
#include "engine/handles_win.h"
#include "engine/my_fun.h"
#include "engine/separators.h"
#include "transfer/delete_script_win.h"
#include "transfer/script_text.h"

namespace {

// Puts a file's data on the disk. The script swaps Updater.exe.tmp in for the
// only program that can update again: after a power cut it must not be a file
// of the right length without its data.
bool FlushToDisk(const std::wstring& path) {
  UniqueFile file(::CreateFileW(ExtendedLengthPath(path).c_str(), GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  return file && ::FlushFileBuffers(file.get());
}

}  // namespace

void CMyFun::ReplaceSelf(const std::wstring& folder) {
  const std::wstring received = folder + L"Updater.exe.tmp";
  const bool swap =
      ::GetFileAttributesW(ExtendedLengthPath(received).c_str()) != INVALID_FILE_ATTRIBUTES;
  // A new updater whose data is not on the disk is not swapped in: the old one
  // stays, and the next run fetches the new one again.
  WriteDeleteScript(folder, swap && FlushToDisk(received));
}

void WriteDeleteScript(const std::wstring& folder, bool swap) {
  const std::wstring self = ExtendedLengthPath(folder + L"Updater.exe");
  if (swap) {
    // A read-only Updater.exe would keep the script's delete loop going forever.
    const DWORD attributes = ::GetFileAttributesW(self.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
      ::SetFileAttributesW(self.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    }
  }
  std::string text;
  for (const std::string& line : DeleteScriptLines(swap)) {
    text += line;
    text += "\r\n";
  }
  // One write and a flush: the script that swaps the updater is on the disk
  // before the updater exits. CREATE_ALWAYS empties it first: a forced end
  // before the write would leave a script that starts nothing.
  const CommitStep step;
  UniqueFile script(::CreateFileW(ExtendedLengthPath(folder + L"delete.bat").c_str(),
                                  GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!script) return;
  DWORD written = 0;
  ::WriteFile(script.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  ::FlushFileBuffers(script.get());
}
