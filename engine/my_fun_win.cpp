#include "engine/handles_win.h"
#include "engine/my_fun.h"
#include "engine/separators.h"

std::wstring CMyFun::GetAppPath() {
  wchar_t path[MAX_PATH] = {};
  if (::GetModuleFileNameW(nullptr, path, MAX_PATH) == 0) return L"Error";
  return path;
}

bool CMyFun::RunHidden(const std::wstring& path) {
  std::wstring commandLine = L"\"" + path + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  // The script renames Updater.exe.tmp by a relative name, so it must run in
  // the installation folder even when the updater was started from elsewhere.
  const std::wstring folder = FolderOfPath(path);
  PROCESS_INFORMATION info{};
  if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, IDLE_PRIORITY_CLASS,
                        nullptr, folder.empty() ? nullptr : folder.c_str(), &startup, &info)) {
    return false;
  }
  UniqueProcessInfo owned{UniqueKernelHandle(info.hProcess), UniqueKernelHandle(info.hThread)};
  return true;
}

bool CMyFun::CleanupManifests(std::wstring& folder) {
  std::wstring noUrl;
  AddTrailingSeparators(folder, noUrl);
  for (const wchar_t* name : {L"LocalDate.ini", L"UpDate.ini"}) {
    const std::wstring path = folder + name;
    if (::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) ::DeleteFileW(path.c_str());
  }
  return true;
}
