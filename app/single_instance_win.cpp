#include "app/single_instance_win.h"

#include <sddl.h>

#include <cwchar>
#include <vector>

#include "engine/separators.h"
#include "manifest/md5.h"

namespace {

constexpr wchar_t kDialogTitle[] = L"自动更新程序V1.0";
constexpr DWORD kFindWindowMs = 3000;
constexpr DWORD kFindStepMs = 100;
// Everyone may wait on the claim: an updater of another user, or one that is
// not elevated beside an elevated one, must see it rather than be refused.
constexpr wchar_t kEveryoneMayWait[] = L"D:(A;;0x00100001;;;WD)";  // SYNCHRONIZE | MUTEX_MODIFY_STATE
constexpr DWORD kMutexAccess = SYNCHRONIZE | MUTEX_MODIFY_STATE;

// The folder as the file system knows it: the volume's serial number and the
// folder's file index are the same whichever path reaches it (a short 8.3
// name, a subst drive, a junction, another case). Empty when they cannot be
// read.
std::wstring FolderIdentity(const std::wstring& folder) {
  if (folder.empty()) return std::wstring();
  // "C:" alone would name the drive's current directory, not its root.
  const std::wstring path = folder.back() == L':' ? folder + L"\\" : folder;
  UniqueFile handle(::CreateFileW(ExtendedLengthPath(path).c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!handle || !::GetFileInformationByHandle(handle.get(), &info)) return std::wstring();
  if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return std::wstring();
  wchar_t text[32];
  std::swprintf(text, 32, L"%08lx-%08lx%08lx", static_cast<unsigned long>(info.dwVolumeSerialNumber),
                static_cast<unsigned long>(info.nFileIndexHigh),
                static_cast<unsigned long>(info.nFileIndexLow));
  return text;
}

// Global: two users' sessions on one installation share the claim. Keyed on
// the folder's identity; the path text is the fallback, compared without
// case as the file system does, and hashed to keep the name short and free of
// backslashes whatever the folder's length.
std::wstring MutexName(const std::wstring& identity, std::wstring folder) {
  if (!identity.empty()) return L"Global\\UpdaterDialog-" + identity;
  if (!folder.empty()) ::CharLowerBuffW(folder.data(), static_cast<DWORD>(folder.size()));
  Md5 hash;
  hash.Update(folder.data(), folder.size() * sizeof(wchar_t));
  const std::string hex = Md5::ToHex(hash.Final());
  return L"Global\\UpdaterDialog-path-" + std::wstring(hex.begin(), hex.end());
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
  std::wstring identity;
  HWND found = nullptr;
};

bool SameFolder(const Search& search, const std::wstring& folder) {
  if (::CompareStringOrdinal(folder.c_str(), -1, search.folder.c_str(), -1, TRUE) == CSTR_EQUAL) {
    return true;
  }
  return !search.identity.empty() && FolderIdentity(folder) == search.identity;
}

BOOL CALLBACK MatchDialog(HWND window, LPARAM param) {
  auto* search = reinterpret_cast<Search*>(param);
  wchar_t title[64] = {};
  if (::GetWindowTextW(window, title, 64) == 0 || std::wstring(title) != kDialogTitle) return TRUE;
  DWORD processId = 0;
  ::GetWindowThreadProcessId(window, &processId);
  if (processId == ::GetCurrentProcessId()) return TRUE;
  if (!SameFolder(*search, FolderOfPath(ImagePathOf(processId)))) {
    return TRUE;  // the dialog of another installation
  }
  search->found = window;
  return FALSE;
}

}  // namespace

std::wstring SingleInstanceClaimName(const std::wstring& folder) {
  return MutexName(FolderIdentity(folder), folder);
}

SingleInstance::SingleInstance(const std::wstring& folder)
    : m_folder(folder), m_identity(FolderIdentity(folder)) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ::ConvertStringSecurityDescriptorToSecurityDescriptorW(kEveryoneMayWait, SDDL_REVISION_1, &descriptor,
                                                         nullptr);
  const UniqueLocalMemory descriptorOwner(descriptor);
  SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor, FALSE};
  m_mutex.reset(::CreateMutexExW(descriptor ? &attributes : nullptr, MutexName(m_identity, folder).c_str(),
                                 0, kMutexAccess));
  if (!m_mutex) {
    // Refused: the claim exists and was made by someone whose object we may
    // not open, so another updater certainly runs. Any other failure leaves
    // no claim to be had: better a second dialog than none.
    m_bFirst = ::GetLastError() != ERROR_ACCESS_DENIED;
    return;
  }
  const DWORD wait = ::WaitForSingleObject(m_mutex.get(), 0);
  m_bFirst = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
}

void SingleInstance::BringOtherToFront() const {
  Search search{m_folder, m_identity};
  for (DWORD waited = 0; waited < kFindWindowMs; waited += kFindStepMs) {
    ::EnumWindows(MatchDialog, reinterpret_cast<LPARAM>(&search));
    if (search.found) break;
    ::Sleep(kFindStepMs);
  }
  if (!search.found) return;
  if (::IsIconic(search.found)) ::ShowWindow(search.found, SW_RESTORE);
  ::SetForegroundWindow(search.found);
}
