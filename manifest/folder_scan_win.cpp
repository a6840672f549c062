#include <share.h>

#include <cstdint>
#include <cstdio>
#include <deque>
#include <thread>
#include <vector>

#include "engine/handles_win.h"
#include "engine/my_fun.h"
#include "engine/separators.h"
#include "engine/stop_signal.h"
#include "manifest/digest_cache.h"
#include "manifest/file_reader_win.h"
#include "manifest/manifest_file.h"
#include "manifest/ordered_pipeline.h"
#include "manifest/read_through.h"

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

std::uint64_t Ticks(const FILETIME& time) {
  return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

std::uint64_t SystemTicksNow() {
  FILETIME now{};
  ::GetSystemTimeAsFileTime(&now);
  return Ticks(now);
}

// What one walk knows of the digest cache: the old one to take digests from
// (null: every file is read), and, in walk order, the key and listed stamp of
// every file whose line is still to come, for the new one.
struct CacheWork {
  const DigestCache* old = nullptr;
  DigestCacheWriter fresh;
  struct Pending {
    std::string key;  // empty: not to be cached
    FileStamp stamp;
  };
  std::deque<Pending> pending;

  void Emitted(const std::string& text) {
    Pending file = std::move(pending.front());
    pending.pop_front();
    Md5::Digest digest;
    if (!file.key.empty() && DigestOfText(text, digest)) fresh.Add(std::move(file.key), file.stamp, digest);
  }
};

void Scan(std::wstring& folder, OrderedPipeline& digests, const std::wstring& root,
          StopSignal* stop, CacheWork& cache) {
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
  // The basic form leaves out the short names, which Wine makes up for every
  // long name it lists; the larger fetch takes fewer calls per folder.
  UniqueFind find(::FindFirstFileExW(ExtendedLengthPath(folder + L"*.*").c_str(), FindExInfoBasic, &entry,
                                     FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH));
  if (find) {
    do {
      if (StopRequested(stop)) break;
      const std::wstring name = entry.cFileName;
      std::wstring path = folder + name;
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        if (name == L"." || name == L"..") continue;
        // Junctions and directory links are not descended into.
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) continue;
        Scan(path, digests, root, stop, cache);
      } else {
        const std::wstring relative = path.substr(root.size());
        std::string head = WideToAnsi(relative + L"\t");
        CacheWork::Pending file;
        // A file link's listed times are the link's own, not its target's;
        // the cache itself is rewritten after every walk.
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && relative != kDigestCacheName) {
          file.key = DigestCacheKey(relative);
          file.stamp = {(static_cast<std::uint64_t>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow,
                        Ticks(entry.ftLastWriteTime), Ticks(entry.ftCreationTime)};
        }
        const Md5::Digest* known =
            cache.old && !file.key.empty() ? cache.old->Trusted(file.key, file.stamp) : nullptr;
        cache.pending.push_back(std::move(file));
        if (known) {
          digests.AddDone(std::move(head), Md5::ToHex(*known) + "\n");
        } else {
          digests.Add(std::move(head), std::move(path));
        }
      }
    } while (::FindNextFileW(find.get(), &entry));
  }
  if (known) t_ancestors.pop_back();
}

// The cache file's bytes, or none when it is missing, unreadable or too
// large to be one.
std::string ReadCacheBytes(const std::wstring& path) {
  constexpr long long kLargestCache = 256ll << 20;
  FileReader file(path, FILE_SHARE_READ);
  long long size = 0;
  if (!file.IsOpen() || !file.Size(size) || size > kLargestCache) return {};
  file.StopAfter(size);
  std::string bytes;
  std::vector<char> buffer;
  const bool read = ReadThrough(
      file, [&bytes](const char* data, std::size_t count) { bytes.append(data, count); }, buffer);
  return read ? bytes : std::string();
}

// Writes the new cache under its temporary name and renames it into place,
// so a run killed at any point leaves the old cache or none, never part of one.
void WriteCache(const std::wstring& folder, const std::string& bytes) {
  const std::wstring temporary = ExtendedLengthPath(folder + kDigestCacheTempName);
  bool written = false;
  {
    UniqueFile file(::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    DWORD put = 0;
    written = ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr) &&
              put == bytes.size();
  }
  if (!written || !::MoveFileExW(temporary.c_str(), ExtendedLengthPath(folder + kDigestCacheName).c_str(),
                                 MOVEFILE_REPLACE_EXISTING)) {
    ::DeleteFileW(temporary.c_str());
  }
}

}  // namespace

bool CMyFun::BuildLocalManifest(const std::wstring& folder, StopSignal* stop, DigestSource source) {
  std::wstring manifestPath = folder;
  std::wstring walk = folder;
  std::wstring noUrl;
  AddTrailingSeparators(manifestPath, noUrl);
  AddTrailingSeparators(walk, noUrl);
  manifestPath += L"LocalDate.ini";

  UniqueStream stream(::_wfsopen(ExtendedLengthPath(manifestPath).c_str(), L"w", _SH_DENYNO));
  if (!stream) return false;
  std::setvbuf(stream.get(), nullptr, _IOFBF, 1 << 16);

  // Taken before anything is listed: no read of this walk is earlier, so a
  // file last written within the racy margin of it is read again next time.
  const std::uint64_t started = SystemTicksNow();
  DigestCache old;
  if (source == DigestSource::kCacheWhereTrusted) {
    old = DigestCache::Load(ReadCacheBytes(walk + kDigestCacheName), started);
  }
  DigestCacheWriter fresh;
  const bool complete = ScanFolder(walk, stream.get(), walk, stop, &old, &fresh);
  stream.reset();
  if (complete) WriteCache(walk, fresh.Serialize(started));
  return true;
}

bool CMyFun::ScanFolder(std::wstring& folder, FILE* stream, std::wstring root, StopSignal* stop,
                        const DigestCache* cache, DigestCacheWriter* fresh) {
  std::wstring noUrl;
  // A root without its backslash would start every relative path with one.
  AddTrailingSeparators(root, noUrl);
  t_ancestors.clear();
  // Files are hashed in parallel; their lines are written in walk order.
  CacheWork work;
  work.old = cache;
  std::string line;
  OrderedPipeline digests(
      DigestWorkerCount(std::thread::hardware_concurrency()), kFilesInFlight, FileDigestText,
      [stream, &work, &line](const std::string& head, const std::string& text) {
        line.assign(head).append(text);
        std::fwrite(line.data(), 1, line.size(), stream);
        work.Emitted(text);
      });
  Scan(folder, digests, root, stop, work);
  if (StopRequested(stop)) {
    digests.Abandon();
    return false;
  }
  digests.Finish();
  if (fresh) *fresh = std::move(work.fresh);
  return true;
}
