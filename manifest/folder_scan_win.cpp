#include <share.h>

#include <cstdio>
#include <thread>
#include <vector>

#include "engine/handles_win.h"
#include "engine/my_fun.h"
#include "engine/separators.h"
#include "engine/stop_signal.h"
#include "manifest/manifest_file.h"
#include "manifest/ordered_pipeline.h"

namespace {

// Identity of a folder, so a link that leads back to an ancestor is not
// walked again. Links reported as reparse points are skipped before this;
// this catches the ones a file system reports as plain folders.
struct FolderId {
  DWORD volume;
  DWORD indexHigh;
  DWORD indexLow;
  bool operator==(const FolderId& o) const {
    return volume == o.volume && indexHigh == o.indexHigh && indexLow == o.indexLow;
  }
};

bool IdentifyFolder(const std::wstring& path, FolderId& id) {
  UniqueFile folder(::CreateFileW(ExtendedLengthPath(path).c_str(), 0,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!folder || !::GetFileInformationByHandle(folder.get(), &info)) return false;
  id = {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
  return true;
}

// The folders on the current path of the walk, per thread.
thread_local std::vector<FolderId> t_ancestors;

// Files queued for hashing beyond the ones being hashed: enough to keep every
// worker busy while the walk lists a folder, few enough to stay small.
constexpr size_t kFilesInFlight = 256;

void Scan(std::wstring& folder, OrderedPipeline& digests, const std::wstring& root,
          StopSignal* stop) {
  std::wstring noUrl;
  AddTrailingSeparators(folder, noUrl);

  FolderId id{};
  const bool known = IdentifyFolder(folder, id);
  if (known) {
    for (const FolderId& ancestor : t_ancestors) {
      if (ancestor == id) return;
    }
    t_ancestors.push_back(id);
  }

  WIN32_FIND_DATAW entry{};
  UniqueFind find(::FindFirstFileW(ExtendedLengthPath(folder + L"*.*").c_str(), &entry));
  if (find) {
    do {
      if (StopRequested(stop)) break;
      const std::wstring name = entry.cFileName;
      std::wstring path = folder + name;
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        if (name == L"." || name == L"..") continue;
        // Junctions and directory links are not descended into.
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) continue;
        Scan(path, digests, root, stop);
      } else {
        std::string head = WideToAnsi(path.substr(root.size()) + L"\t");
        digests.Add(std::move(head), std::move(path));
      }
    } while (::FindNextFileW(find.get(), &entry));
  }
  if (known) t_ancestors.pop_back();
}

}  // namespace

bool CMyFun::BuildLocalManifest(const std::wstring& folder, StopSignal* stop) {
  std::wstring manifestPath = folder;
  std::wstring walk = folder;
  std::wstring noUrl;
  AddTrailingSeparators(manifestPath, noUrl);
  AddTrailingSeparators(walk, noUrl);
  manifestPath += L"LocalDate.ini";

  UniqueStream stream(::_wfsopen(ExtendedLengthPath(manifestPath).c_str(), L"w", _SH_DENYNO));
  if (!stream) return false;
  ScanFolder(walk, stream.get(), walk, stop);
  return true;
}

void CMyFun::ScanFolder(std::wstring& folder, FILE* stream, std::wstring root, StopSignal* stop) {
  std::wstring noUrl;
  // A root without its backslash would start every relative path with one.
  AddTrailingSeparators(root, noUrl);
  t_ancestors.clear();
  // Files are hashed in parallel; their lines are written in walk order.
  OrderedPipeline digests(
      DigestWorkerCount(std::thread::hardware_concurrency()), kFilesInFlight, FileDigestText,
      [stream](const std::string& head, const std::string& text) {
        std::fwrite(head.data(), 1, head.size(), stream);
        std::fwrite(text.data(), 1, text.size(), stream);
      });
  Scan(folder, digests, root, stop);
  if (StopRequested(stop)) {
    digests.Abandon();
  } else {
    digests.Finish();
  }
}
