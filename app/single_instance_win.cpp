#include "app/single_instance_win.h"

#include <vector>

#include "engine/separators.h"
#include "manifest/md5.h"

namespace {

constexpr wchar_t kDialogTitle[] = L"自动更新程序V1.0";
constexpr DWORD kFindWindowMs = 3000;
constexpr DWORD kFindStepMs = 100;

// Folders are compared without case, as the file system does; a digest keeps
// the name short and free of backslashes whatever the folder's length.
std::wstring MutexName(std::wstring folder) {
  if (!folder.empty()) ::CharLowerBuffW(folder.data(), static_cast<DWORD>(folder.size()));
  Md5 hash;
  hash.Update(folder.data(), folder.size() * sizeof(wchar_t));
  const std::string hex = Md5::ToHex(hash.Final());
  return L"Local\\UpdaterDialog-" + std::wstring(hex.begin(), hex.end());
}

std::wstring ImagePathOf(DWORD processId) {
  UniqueKernelHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
  if (!process) return std::wstring();
  std::vector<wchar_t> path(32768);
  DWORD size = static_cast<DWORD>(path.size());
  if (!::QueryFullProcessImageNameW(process.get(), 0, path.data(), &size)) return std::wstring();
  return std::wstring(path.data(), size);
}

struct Search {
  std::wstring folder;
  HWND found = nullptr;
};

BOOL CALLBACK MatchDialog(HWND window, LPARAM param) {
  auto* search = reinterpret_cast<Search*>(param);
  wchar_t title[64] = {};
  if (::GetWindowTextW(window, title, 64) == 0 || std::wstring(title) != kDialogTitle) return TRUE;
  DWORD processId = 0;
  ::GetWindowThreadProcessId(window, &processId);
  if (processId == ::GetCurrentProcessId()) return TRUE;
  const std::wstring folder = FolderOfPath(ImagePathOf(processId));
  if (::CompareStringOrdinal(folder.c_str(), -1, search->folder.c_str(), -1, TRUE) != CSTR_EQUAL) {
    return TRUE;  // the dialog of another installation
  }
  search->found = window;
  return FALSE;
}

}  // namespace

SingleInstance::SingleInstance(const std::wstring& folder) : m_folder(folder) {
  m_mutex.reset(::CreateMutexW(nullptr, FALSE, MutexName(folder).c_str()));
  if (!m_mutex) return;  // no claim to be had: better a second dialog than none
  const DWORD wait = ::WaitForSingleObject(m_mutex.get(), 0);
  m_bFirst = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
}

void SingleInstance::BringOtherToFront() const {
  Search search{m_folder};
  for (DWORD waited = 0; waited < kFindWindowMs; waited += kFindStepMs) {
    ::EnumWindows(MatchDialog, reinterpret_cast<LPARAM>(&search));
    if (search.found) break;
    ::Sleep(kFindStepMs);
  }
  if (!search.found) return;
  if (::IsIconic(search.found)) ::ShowWindow(search.found, SW_RESTORE);
  ::SetForegroundWindow(search.found);
}
