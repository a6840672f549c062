#include "engine/handles_win.h"
#include "engine/my_fun.h"
#include "engine/separators.h"

std::wstring CMyFun::GetAppPath() {
  // A full buffer means the path was cut: an installation below a deep folder
  // may pass MAX_PATH.
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return L"Error";
    if (length < path.size()) return path.substr(0, length);
    if (path.size() >= 32768) return L"Error";
    path.resize(path.size() * 2);
  }
}

bool CMyFun::RunHidden(const std::wstring& path) {
  std::wstring commandLine = L"\"" + path + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  // The script names its files through its own folder and needs no current
  // directory; the client it starts inherits this one, the installation
  // folder, as a program started from its own folder expects.
  const std::wstring folder = FolderOfPath(path);
  PROCESS_INFORMATION info{};
  // Idle while it waits for the updater to exit; a program it starts without
  // a class of its own inherits idle, so the script names one for the client.
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
    const std::wstring path = ExtendedLengthPath(folder + name);
    if (::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) ::DeleteFileW(path.c_str());
  }
  return true;
}
