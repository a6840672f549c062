#include <share.h>

#include <algorithm>
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
#include "manifest/installed_stamp_win.h"
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

// One folder opened once: its identity and its entries come through the same
// handle, which under Wine saves two round trips to its server per folder
// over a separate open for the identity and a find handle for the listing.
class FolderListing {
 public:
  explicit FolderListing(const std::wstring& folder)
      : m_folder(::CreateFileW(ExtendedLengthPath(folder).c_str(), FILE_LIST_DIRECTORY,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS, nullptr)) {}
  bool IsOpen() const { return static_cast<bool>(m_folder); }

  bool Identify(FolderId& id) const {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(m_folder.get(), &info)) return false;
    id = {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
    return true;
  }

  // The next entry in the order the file system lists them; null at the end.
  const FILE_FULL_DIR_INFO* Next() {
    if (m_entry && m_entry->NextEntryOffset != 0) {
      m_entry = reinterpret_cast<const FILE_FULL_DIR_INFO*>(reinterpret_cast<const char*>(m_entry) +
                                                           m_entry->NextEntryOffset);
      return m_entry;
    }
    if (m_ended) return nullptr;
    const FILE_INFO_BY_HANDLE_CLASS kind = m_entry ? FileFullDirectoryInfo : FileFullDirectoryRestartInfo;
    if (!::GetFileInformationByHandleEx(m_folder.get(), kind, m_buffer.data(),
                                        static_cast<DWORD>(m_buffer.size() * sizeof(m_buffer[0])))) {
      m_ended = true;
      return m_entry = nullptr;
    }
    return m_entry = reinterpret_cast<const FILE_FULL_DIR_INFO*>(m_buffer.data());
  }

 private:
  UniqueFile m_folder;
  std::vector<LONGLONG> m_buffer = std::vector<LONGLONG>(8192);  // 64 KiB, aligned for the records
  const FILE_FULL_DIR_INFO* m_entry = nullptr;
  bool m_ended = false;
};

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

  FolderListing listing(folder);
  if (!listing.IsOpen()) return;
  FolderId id{};
  const bool known = listing.Identify(id);
  if (known) {
    for (const FolderId& ancestor : t_ancestors) {
      if (ancestor == id) return;
    }
    t_ancestors.push_back(id);
  }

  while (const FILE_FULL_DIR_INFO* entry = listing.Next()) {
    if (StopRequested(stop)) break;
    const std::wstring name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
    std::wstring path = folder + name;
    if (entry->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      if (name == L"." || name == L"..") continue;
      // Junctions and directory links are not descended into.
      if (entry->FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) continue;
      Scan(path, digests, root, stop, cache);
    } else {
      const std::wstring relative = path.substr(root.size());
      std::string head = WideToAnsi(relative + L"\t");
      CacheWork::Pending file;
      // A file link's listed times are the link's own, not its target's;
      // the cache itself is rewritten after every walk.
      if (!(entry->FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && relative != kDigestCacheName) {
        file.key = DigestCacheKey(relative);
        file.stamp = {static_cast<std::uint64_t>(entry->EndOfFile.QuadPart),
                      static_cast<std::uint64_t>(entry->LastWriteTime.QuadPart),
                      static_cast<std::uint64_t>(entry->CreationTime.QuadPart),
                      static_cast<std::uint64_t>(entry->ChangeTime.QuadPart)};
      }
      const Md5::Digest* trusted =
          cache.old && !file.key.empty() ? cache.old->Trusted(file.key, file.stamp) : nullptr;
      cache.pending.push_back(std::move(file));
      if (trusted) {
        digests.AddDone(std::move(head), Md5::ToHex(*trusted) + "\n");
      } else {
        digests.Add(std::move(head), std::move(path));
      }
    }
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

bool StampOfInstalled(const std::wstring& path, FileStamp& stamp) {
  // Read access without write sharing: a handle that may still write the
  // file makes the open fail, and such a file is not recorded.
  UniqueFile file(::CreateFileW(ExtendedLengthPath(path).c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr));
  FILE_BASIC_INFO basic{};
  FILE_STANDARD_INFO standard{};
  if (!file ||
      !::GetFileInformationByHandleEx(file.get(), FileBasicInfo, &basic, sizeof(basic)) ||
      !::GetFileInformationByHandleEx(file.get(), FileStandardInfo, &standard, sizeof(standard))) {
    return false;
  }
  stamp = {static_cast<std::uint64_t>(standard.EndOfFile.QuadPart),
           static_cast<std::uint64_t>(basic.LastWriteTime.QuadPart),
           static_cast<std::uint64_t>(basic.CreationTime.QuadPart),
           static_cast<std::uint64_t>(basic.ChangeTime.QuadPart)};
  return true;
}

void CMyFun::RecordInstalledDigests(const std::wstring& folder, StopSignal* stop) {
  const std::vector<DigestCacheEntry> installed = std::move(m_installed);
  m_installed.clear();
  if (installed.empty()) return;
  // The racy rule stays as it is: the cache is written once the last
  // install lies kRacyTicks back. The worker waits for that after the
  // outcome shows, in slices a stop cuts short; the wait is bounded by the
  // tick count too, so a clock set back cannot hold it.
  constexpr DWORD kSliceMs = 20;
  constexpr std::uint64_t kMarginTicks = 50 * 10000ull;
  std::uint64_t latest = 0;
  for (const DigestCacheEntry& entry : installed) {
    latest = std::max({latest, entry.stamp.lastWrite, entry.stamp.change});
  }
  const std::uint64_t due = latest + kRacyTicks + kMarginTicks;
  const ULONGLONG deadline = ::GetTickCount64() + (kRacyTicks + kMarginTicks) / 10000;
  while (!StopRequested(stop) && SystemTicksNow() < due && ::GetTickCount64() < deadline) {
    ::Sleep(kSliceMs);
  }
  const std::uint64_t now = SystemTicksNow();
  // Closed before the margin passed: nothing new can be trusted yet, and the
  // cache is left as the check wrote it (those files are read next time).
  if (std::none_of(installed.begin(), installed.end(),
                   [now](const DigestCacheEntry& entry) { return OutsideRacyWindow(entry.stamp, now); })) {
    return;
  }
  std::wstring walk = folder;
  std::wstring noUrl;
  AddTrailingSeparators(walk, noUrl);
  const DigestCache old = DigestCache::Load(ReadCacheBytes(walk + kDigestCacheName), now);
  WriteCache(walk, old.MergedWith(installed, now));
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
      DigestWorkerCount(std::thread::hardware_concurrency()), kFilesInFlight,
      // A large file's read stops at the next piece, not at its end.
      [stop](const std::wstring& path, std::vector<char>& scratch) {
        return FileDigestText(path, scratch, stop);
      },
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
