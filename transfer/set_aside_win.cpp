#include "transfer/set_aside_win.h"

#include "engine/commit_step_win.h"
#include "engine/handles_win.h"
#include "engine/separators.h"

const wchar_t kSetAsideFolder[] = L"Updater.old";

namespace {

constexpr int kNameAttempts = 100;

std::wstring LeafOf(const std::wstring& path) { return path.substr(path.rfind(L'\\') + 1); }

bool Move(const std::wstring& from, const std::wstring& to, DWORD flags) {
  return ::MoveFileExW(ExtendedLengthPath(from).c_str(), ExtendedLengthPath(to).c_str(), flags) !=
         FALSE;
}

}  // namespace

bool ReplaceInUse(const std::wstring& folder, const std::wstring& temporary,
                  const std::wstring& final) {
  const std::wstring aside = folder + kSetAsideFolder + L"\\";
  // From the set-aside to the move in (or back) final is missing: no forced
  // end of the process may fall in between.
  const CommitStep step;
  ::CreateDirectoryW(ExtendedLengthPath(aside).c_str(), nullptr);
  // A name of its own for each copy: the same file may be set aside again
  // while an older copy of it is still held.
  const std::wstring stem = aside + LeafOf(final) + L"." + std::to_wstring(::GetTickCount64()) + L".";
  std::wstring setAside;
  for (int attempt = 0; attempt < kNameAttempts && setAside.empty(); ++attempt) {
    const std::wstring candidate = stem + std::to_wstring(attempt);
    // Without MOVEFILE_COPY_ALLOWED: a copy to another volume is no rename.
    if (Move(final, candidate, 0)) {
      setAside = candidate;
    } else if (::GetLastError() != ERROR_ALREADY_EXISTS && ::GetLastError() != ERROR_FILE_EXISTS) {
      break;
    }
  }
  // An empty folder left here goes at the next run's clean-up: removed now,
  // it could vanish under another transfer setting its own file aside.
  if (setAside.empty()) return false;
  if (Move(temporary, final, MOVEFILE_WRITE_THROUGH)) return true;
  Move(setAside, final, 0);
  return false;
}

void RemoveSetAside(const std::wstring& folder) {
  const std::wstring aside = folder + kSetAsideFolder + L"\\";
  WIN32_FIND_DATAW entry{};
  UniqueFind find(::FindFirstFileW(ExtendedLengthPath(aside + L"*").c_str(), &entry));
  if (!find) return;
  do {
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    const std::wstring path = ExtendedLengthPath(aside + entry.cFileName);
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_READONLY) {
      ::SetFileAttributesW(path.c_str(), entry.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY);
    }
    ::DeleteFileW(path.c_str());
  } while (::FindNextFileW(find.get(), &entry));
  find.reset();
  ::RemoveDirectoryW(ExtendedLengthPath(aside).c_str());
}
