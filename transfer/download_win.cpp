#include <share.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <initializer_list>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "check/http_win.h"
#include "engine/diagnostics.h"
#include "engine/handles_win.h"
#include "engine/my_fun.h"
#include "engine/separators.h"
#include "engine/stop_signal.h"
#include "manifest/digest_cache.h"
#include "manifest/installed_stamp_win.h"
#include "manifest/manifest_file.h"
#include "manifest/md5.h"
#include "manifest/manifest_reader.h"
#include "transfer/body_pipe.h"
#include "transfer/delta_win.h"
#include "transfer/delete_script_win.h"
#include "transfer/download_policy.h"
#include "transfer/download_report.h"
#include "transfer/download_text.h"
#include "transfer/frames_win.h"
#include "transfer/name_safety.h"
#include "transfer/pack_win.h"
#include "transfer/set_aside_win.h"
#include "transfer/temporary_file_win.h"
#include "transfer/url_path.h"

namespace {

constexpr int kMoveAttempts = 5;
constexpr DWORD kShowEveryMs = 50;
constexpr DWORD kMovePauseMs = 200;
// A body written on the pipe's threads is read in its chunks' size.
constexpr DWORD kLargeReadSize = 2u << 20;
// A list this long may hold enough small files for the pack's table to pay
// for its request; a shorter one fetches every file by its name.
constexpr std::size_t kPackFrom = 16;

std::wstring UrlOf(const std::wstring& baseUrl, const std::wstring& name) {
  return baseUrl + UrlPathOf(name);
}

bool Exists(const std::wstring& path) {
  return ::GetFileAttributesW(ExtendedLengthPath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Makes sure a folder exists, creating its missing parents first. Files in
// flight at once may create the same folder: one that another has just made
// counts as made.
bool MakeOneDirectory(const std::wstring& path) {
  return ::CreateDirectoryW(ExtendedLengthPath(path).c_str(), nullptr) ||
         ::GetLastError() == ERROR_ALREADY_EXISTS;
}

bool EnsureDirectory(const std::wstring& path) {
  if (Exists(path)) return true;
  if (MakeOneDirectory(path)) return true;
  const auto cut = path.rfind(L'\\');
  if (cut == std::wstring::npos) return false;
  if (!EnsureDirectory(path.substr(0, cut))) return false;
  return MakeOneDirectory(path);
}

// Puts the received file in place in one step, so the old file is never gone
// without the new one. A scanner or indexer holding the new file briefly gets
// a few retries; an old file a running program holds is set aside.
enum class Installed { kNot, kInPlace, kOldSetAside };

Installed Install(const std::wstring& folder, const std::wstring& temporary,
                  const std::wstring& final) {
  const std::wstring target = ExtendedLengthPath(final);
  const DWORD attributes = ::GetFileAttributesW(target.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
    ::SetFileAttributesW(target.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  }
  for (int attempt = 0; attempt < kMoveAttempts; ++attempt) {
    if (::MoveFileExW(ExtendedLengthPath(temporary).c_str(), target.c_str(),
                      MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return Installed::kInPlace;
    }
    const DWORD error = ::GetLastError();
    if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED &&
        error != ERROR_LOCK_VIOLATION) {
      return Installed::kNot;
    }
    if (error == ERROR_ACCESS_DENIED && ReplaceInUse(folder, temporary, final)) {
      return Installed::kOldSetAside;
    }
    ::Sleep(kMovePauseMs);
  }
  return Installed::kNot;
}

// TemporaryKey folds separators and ASCII; the file system also folds the
// rest of Unicode (its own upper-case table, which LCMapStringEx follows
// unless asked for linguistic casing), so "É.bin" and "é.bin" are one file.
std::wstring FileSystemKey(const std::wstring& name) {
  std::wstring key = TemporaryKey(name);
  if (key.empty()) return key;
  std::wstring upper(key.size(), L'\0');
  const int written = ::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, key.c_str(),
                                      static_cast<int>(key.size()), upper.data(),
                                      static_cast<int>(upper.size()), nullptr, nullptr, 0);
  return written == static_cast<int>(key.size()) ? upper : key;
}

enum class Outcome { kInstalled, kRowFailed, kHardFailure };

// A name that would leave the folder, or that names one of the updater's own
// files (its script, manifests, notes, any .tmp, the delta indexes), is
// never requested nor written: installed from a release it would overwrite
// the updater's own state.
bool IsRequestable(const std::wstring& name) { return IsSafeRelativeName(name) && !IsUpdaterOwnName(name); }

// One entry of the list. The worker receiving it updates the counters as the
// body arrives and sets the rest before it reports the end; the coordinator
// reads the counters at any time and the rest after the end.
struct Transfer {
  std::wstring name;
  std::wstring key;  // FileSystemKey(name)
  int index = 0;
  int row = -1;
  bool started = false;
  bool finished = false;
  std::atomic<bool> answered{false};
  std::atomic<std::uint64_t> received{0};
  std::atomic<std::uint64_t> reported{0};
  std::uint64_t shownReceived = ~std::uint64_t{0};  // coordinator only
  Outcome outcome = Outcome::kRowFailed;
  const char* diagnostic = nullptr;
  const PackEntry* packed = nullptr;  // its entry, when it comes as part of the pack
  bool endsJob = true;                // the last file of its worker's job
};

// What a worker takes at a time: one file by its name, or files that lie in
// the pack, fetched with one request for its ranges.
struct Job {
  std::vector<Transfer*> files;
  std::optional<PackBatch> pack;
};

// Lets the process open as many connections to one server as the run uses:
// WinINet's cap per server would otherwise queue the requests behind each
// other. The cap is only ever raised.
void AllowConnections(DWORD wanted) {
  for (const DWORD option :
       {DWORD{INTERNET_OPTION_MAX_CONNS_PER_SERVER}, DWORD{INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER}}) {
    DWORD cap = 0;
    DWORD size = sizeof(cap);
    if (::InternetQueryOptionW(nullptr, option, &cap, &size) && cap >= wanted) continue;
    ::InternetSetOptionW(nullptr, option, &wanted, sizeof(wanted));
  }
}

// One download run. The calling thread coordinates: it hands the files, in
// list order, to up to m_connections workers, one file each at a time, and is
// the only thread that reports. Each worker has its own request handle and
// temporary file. The workers live for the run: under Wine a thread per file
// costs about as much as a small file's request.
class DownloadRun {
 public:
  DownloadRun(CMyFun& fun, std::wstring url, std::wstring folder, const ManifestTable& digests,
              std::vector<DigestCacheEntry>& installed, int total, DownloadReport& report,
              StopSignal* stop, int connections)
      : m_fun(fun), m_url(std::move(url)), m_folder(std::move(folder)), m_digests(digests),
        m_installed(installed),
        m_total(total), m_report(report), m_stop(stop),
        m_connections(std::max(1, connections)), m_bar(total) {
    if (m_stop) m_stop->Attach(&m_transfers);
  }
  ~DownloadRun() {
    StopWorkers();
    if (m_stop) m_stop->Detach(&m_transfers);
  }
  DownloadRun(const DownloadRun&) = delete;
  DownloadRun& operator=(const DownloadRun&) = delete;

  bool Run(const DownloadList& list);

 private:
  bool Probe(const DownloadList& list);
  const PackEntry* PackedEntry(const Transfer& transfer) const;
  bool Start(Job job);
  void Finish(Transfer& transfer);
  void ShowRunning();
  void ShowCounters();
  void ShowSpeed();
  void ShowCurrentFile();
  int ShowBar();

  void StopWorkers();

  // On the workers.
  void Serve(bool onCoordinator);
  void Work(Job& job);
  void Ended(Transfer& transfer);
  void Fetch(Transfer& transfer, const std::string* packed);
  struct Received {
    Outcome outcome = Outcome::kRowFailed;  // kInstalled: whole in the .tmp, ready to install
    std::string digest;                     // then: the MD5 of the whole .tmp
    bool resumed = false;                   // a prefix of an earlier run was continued
    std::uint64_t length = 0;               // the file's, as the server confirmed it
  };
  Received ReceiveNew(Transfer& transfer, const std::wstring& final, const std::wstring& temporary,
                      const std::wstring* expected, const std::string* packed);
  Received ReceivePacked(Transfer& transfer, const std::wstring& temporary, const std::string& bytes);
  Received Receive(Transfer& transfer, bool fromZero);
  std::optional<Received> Settle(Transfer& transfer, const DeltaResult& result, const std::wstring* expected);
  void NoteInstalled(const std::wstring& name, const std::wstring& final, const std::string& digest,
                     std::uint64_t length);

  CMyFun& m_fun;
  std::wstring m_url;
  std::wstring m_folder;
  const ManifestTable& m_digests;
  std::vector<DigestCacheEntry>& m_installed;  // guarded by m_endedLock
  int m_total;
  DownloadReport& m_report;
  StopSignal* m_stop;
  // The transfers' own signal: the first hard failure ends the others without
  // the dialog closing; the dialog's signal trips it too.
  StopSignal m_transfers;
  int m_connections;
  InternetHandle m_root;
  bool m_resume = false;
  bool m_selfReceived = false;  // written by the own executable's worker, read after it ended
  std::atomic<bool> m_listsOfRanges{true};  // until a list of ranges is answered with one
  ManifestTable m_forms;  // the files with a compressed form; read-only once the run starts
  std::optional<PackTable> m_pack;  // the release's small files in one; read-only once the run starts

  std::vector<std::unique_ptr<Transfer>> m_list;
  std::mutex m_endedLock;  // guards m_ready, m_closing and m_ended
  std::condition_variable m_readySignal;
  std::condition_variable m_endedSignal;
  std::deque<Job> m_ready;
  bool m_closing = false;
  std::vector<Transfer*> m_ended;
  std::vector<std::thread> m_workers;
  std::atomic<std::uint64_t> m_bytes{0};  // every body byte of the run

  // Coordinator only.
  RunBar m_bar;
  RunRate m_rate;
  int m_done = 0;
  std::size_t m_oldest = 0;  // first entry not finished
  std::wstring m_shownFile;
  bool m_fileShown = false;
  bool m_countersStale = false;
};

bool DownloadRun::Probe(const DownloadList& list) {
  // One probe per run decides whether partial files can be continued. It asks
  // for one byte only: WinINet drains an unread body before the connection is
  // reused, so asking for "the rest from byte 1" would receive the first file
  // a second time. A name that would leave the folder is never requested, not
  // even as the probe.
  const auto probeName = std::find_if(list.begin(), list.end(), IsRequestable);
  if (probeName == list.end()) return true;
  UrlRequest probe =
      OpenUrlHandle(m_root, UrlOf(m_url, *probeName), L"Range: bytes=1-1\r\n\r\n", &m_transfers);
  if (!probe) {
    ReportDiagnostic("OpenUrlFail\n", m_folder);
    return false;
  }
  DWORD status = 0;
  QueryStatusCode(probe, status);
  const ProbeVerdict verdict = ProbeVerdictOf(status);
  if (verdict == ProbeVerdict::kMissing) {
    ReportDiagnostic("404 not found\n", m_folder);
    return false;
  }
  // Only a server that plainly ignores ranges turns them off; a passing error
  // decides nothing, since each file's own answer still says what it holds.
  m_resume = verdict != ProbeVerdict::kWhole;
  return true;
}

bool DownloadRun::Run(const DownloadList& list) {
  AllowConnections(static_cast<DWORD>(m_connections));
  m_root = OpenRootHandle(m_stop);
  if (!m_root) {
    ReportDiagnostic("InternetOpenFail\n", m_folder);
    return false;
  }
  if (!Probe(list)) return false;
  m_forms = FetchFormNames(m_root, m_url, &m_transfers, m_bytes);
  if (m_resume && list.size() >= kPackFrom) m_pack = FetchPackTable(m_root, m_url, &m_transfers, m_bytes);

  m_report.RunStarted(m_total);
  for (const std::wstring& name : list) {
    auto transfer = std::make_unique<Transfer>();
    transfer->name = name;
    transfer->key = FileSystemKey(name);
    transfer->index = static_cast<int>(m_list.size());
    m_list.push_back(std::move(transfer));
  }
  m_rate.Add(::GetTickCount(), 0);

  std::size_t next = 0;
  int inFlight = 0;
  bool failed = false;
  DWORD shownAt = ::GetTickCount();
  for (;;) {
    if (StopRequested(&m_transfers)) failed = true;
    // Entries one file system holds as one file wait for each other.
    const auto shared = [&](const Transfer& transfer) {
      return std::any_of(m_list.begin() + static_cast<std::ptrdiff_t>(m_oldest),
                         m_list.begin() + static_cast<std::ptrdiff_t>(next),
                         [&](const std::unique_ptr<Transfer>& other) {
                           return !other->finished && other->key == transfer.key;
                         });
    };
    while (!failed && next < m_list.size() && inFlight < m_connections) {
      Transfer& transfer = *m_list[next];
      if (shared(transfer)) break;
      ++next;
      Job job;
      job.files.push_back(&transfer);
      // A file in the pack takes the files after it that lie there too, as
      // many as one request holds.
      if ((transfer.packed = PackedEntry(transfer)) != nullptr) {
        job.pack.emplace(m_listsOfRanges);
        job.pack->Add(*transfer.packed);
        while (next < m_list.size() && !shared(*m_list[next])) {
          Transfer& more = *m_list[next];
          const PackEntry* entry = PackedEntry(more);
          if (!entry || !job.pack->Add(*entry)) break;
          more.packed = entry;
          job.files.push_back(&more);
          ++next;
        }
      }
      if (Start(std::move(job))) ++inFlight;
    }
    ShowCounters();
    if (inFlight == 0 && (failed || next == m_list.size())) break;

    std::vector<Transfer*> ended;
    {
      const DWORD waited = ::GetTickCount() - shownAt;
      const DWORD wait = waited < kShowEveryMs ? kShowEveryMs - waited : 0;
      std::unique_lock<std::mutex> lock(m_endedLock);
      m_endedSignal.wait_for(lock, std::chrono::milliseconds(wait),
                             [&] { return !m_ended.empty(); });
      ended.swap(m_ended);
    }
    for (Transfer* transfer : ended) {
      if (transfer->endsJob) --inFlight;
      if (transfer->outcome == Outcome::kHardFailure) {
        // The first hard failure names the run's; the others it stops keep
        // their rows and partial files as they are.
        if (!failed && !StopRequested(&m_transfers) && transfer->diagnostic) {
          ReportDiagnostic(transfer->diagnostic, m_folder);
        }
        failed = true;
        m_transfers.Request();
        continue;
      }
      Finish(*transfer);
    }
    ShowCounters();
    const DWORD now = ::GetTickCount();
    if (now - shownAt >= kShowEveryMs) {
      shownAt = now;
      ShowRunning();
    }
  }
  StopWorkers();
  ShowCounters();
  ShowSpeed();
  if (failed) return false;
  // An Updater.exe.tmp this run did not receive may be partial: never swap it in.
  if (!m_selfReceived) ::DeleteFileW(ExtendedLengthPath(m_folder + L"Updater.exe.tmp").c_str());
  m_fun.ReplaceSelf(m_folder);
  return true;
}

// Adds the job's rows and starts its worker; false when the job ended at
// once (a name that is not requestable, never part of the pack, gets a
// failed row).
bool DownloadRun::Start(Job job) {
  for (Transfer* transfer : job.files) {
    transfer->started = true;
    transfer->endsJob = transfer == job.files.back();
    ShowCurrentFile();
    transfer->row = m_report.RowAdded(transfer->index, transfer->name, kRowInitialText);
  }
  Transfer& first = *job.files.front();
  if (!IsRequestable(first.name)) {
    first.outcome = Outcome::kRowFailed;
    Finish(first);
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(m_endedLock);
    m_ready.push_back(std::move(job));
  }
  m_readySignal.notify_one();
  if (static_cast<int>(m_workers.size()) < m_connections) {
    try {
      m_workers.emplace_back([this] { Serve(false); });
    } catch (const std::system_error&) {
      // No thread to be had: with none at all, receive it here.
      if (m_workers.empty()) Serve(true);
    }
  }
  return true;
}

void DownloadRun::StopWorkers() {
  {
    std::lock_guard<std::mutex> lock(m_endedLock);
    m_closing = true;
  }
  m_readySignal.notify_all();
  for (std::thread& worker : m_workers) worker.join();
  m_workers.clear();
  std::lock_guard<std::mutex> lock(m_endedLock);
  m_closing = false;
}

// A worker: takes the next file handed over until the run closes. Without
// any thread it runs on the coordinator and returns once nothing is ready.
void DownloadRun::Serve(bool onCoordinator) {
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> lock(m_endedLock);
      if (onCoordinator && m_ready.empty()) return;
      m_readySignal.wait(lock, [&] { return m_closing || !m_ready.empty(); });
      if (m_ready.empty()) return;
      job = std::move(m_ready.front());
      m_ready.pop_front();
    }
    Work(job);
  }
}

void DownloadRun::Finish(Transfer& transfer) {
  transfer.finished = true;
  ++m_done;
  while (m_oldest < m_list.size() && m_list[m_oldest]->finished) ++m_oldest;
  m_report.RowFinished(transfer.row,
                       RowEndText(transfer.outcome != Outcome::kInstalled, transfer.received,
                                  transfer.reported));
  m_countersStale = true;
}

// The bar, counter and current file after the files that just ended: once
// per wake-up rather than once per file, since each is a window message.
void DownloadRun::ShowCounters() {
  if (!m_countersStale) return;
  m_countersStale = false;
  ShowBar();
  m_report.Counters(CounterText(m_done, m_total));
  ShowCurrentFile();
}

int DownloadRun::ShowBar() {
  std::uint64_t inFlight = 0;
  for (std::size_t i = m_oldest; i < m_list.size() && m_list[i]->started; ++i) {
    const Transfer& transfer = *m_list[i];
    if (!transfer.finished && transfer.answered) {
      inFlight += m_bar.InFlightShare(transfer.received, transfer.reported);
    }
  }
  const int before = m_bar.Position();
  const int position = m_bar.Show(m_done, inFlight);
  if (position != before || m_done == m_total) m_report.Progress(position);
  return position;
}

void DownloadRun::ShowSpeed() {
  m_rate.Add(::GetTickCount(), m_bytes);
  const auto window = m_rate.Window();
  m_report.Speed(SpeedText(window.first, window.second));
}

void DownloadRun::ShowCurrentFile() {
  const Transfer& oldest = *m_list[std::min(m_oldest, m_list.size() - 1)];
  if (m_fileShown && oldest.name == m_shownFile) return;
  m_fileShown = true;
  m_shownFile = oldest.name;
  m_report.CurrentFile(m_shownFile);
}

// The running figures of the files in flight, the bar and the speed.
void DownloadRun::ShowRunning() {
  for (std::size_t i = m_oldest; i < m_list.size() && m_list[i]->started; ++i) {
    Transfer& transfer = *m_list[i];
    if (transfer.finished || !transfer.answered) continue;
    const std::uint64_t received = transfer.received;
    if (received == transfer.shownReceived) continue;
    transfer.shownReceived = received;
    m_report.RowProgress(transfer.row, SizeText(received, transfer.reported, false));
  }
  ShowBar();
  ShowSpeed();
}

// A file alone, or the pack's bytes of several in one request, each then
// written, checked and installed on its own as a file fetched by its name;
// a file the answers did not bring whole, or whose bytes do not decode, is
// fetched by its name.
void DownloadRun::Work(Job& job) {
  if (!job.pack) {
    Fetch(*job.files.front(), nullptr);
    Ended(*job.files.front());
    return;
  }
  const RangeLink link{m_root, &m_transfers, m_bytes};
  const std::size_t count = job.files.size();
  std::vector<std::optional<std::string>> stored(count);  // at most the batch's 1 MiB
  const auto take = [&](const RangeAnswer& answer) {
    for (std::size_t i = 0; i < count; ++i) {
      if (stored[i]) continue;
      if (const auto bytes = StoredBytes(answer, *job.files[i]->packed)) stored[i] = std::string(*bytes);
    }
  };
  const RangeAnswer answer = FetchPackBatch(link, m_url, *m_pack, *job.pack, m_listsOfRanges);
  take(answer);
  if (answer.listRefused) {
    // One range a request from now on: what the list did not bring, as runs
    // of neighbours, rather than a request per file.
    for (std::size_t i = 0; i < count && !StopRequested(&m_transfers);) {
      if (stored[i]) {
        ++i;
        continue;
      }
      PackBatch run(false);
      run.Add(*job.files[i]->packed);
      std::size_t end = i + 1;
      while (end < count && !stored[end] && run.Add(*job.files[end]->packed)) ++end;
      take(FetchPackBatch(link, m_url, *m_pack, run, m_listsOfRanges));
      i = end;
    }
  }
  for (std::size_t i = 0; i < count; ++i) {
    Transfer& transfer = *job.files[i];
    if (StopRequested(&m_transfers)) {
      transfer.outcome = Outcome::kHardFailure;  // the run is over: nothing more is written
    } else {
      const auto bytes = stored[i] ? UnpackEntry(*transfer.packed, *stored[i]) : std::nullopt;
      Fetch(transfer, bytes ? &*bytes : nullptr);
    }
    Ended(transfer);
  }
}

void DownloadRun::Ended(Transfer& transfer) {
  {
    std::lock_guard<std::mutex> lock(m_endedLock);
    m_ended.push_back(&transfer);
  }
  m_endedSignal.notify_one();
}

// The updater's own executable arrives as Updater.exe.tmp like any file, but
// the run never puts it in place: the swap script started at close does.
// Its steps keep that script and the .tmp in agreement, so the script never
// swaps in a copy that is not whole and verified, and never deletes the
// updater without a replacement.
class OwnExecutable {
 public:
  OwnExecutable(CMyFun& fun, std::wstring folder)
      : m_fun(fun), m_folder(std::move(folder)), m_temporary(m_folder + L"Updater.exe.tmp") {}

  static bool Is(const std::wstring& name) {
    // The file system matches names without case, and so does the script's swap.
    return ::CompareStringOrdinal(name.c_str(), -1, L"Updater.exe", -1, TRUE) == CSTR_EQUAL;
  }

  // A swap script left by an earlier run must not meet a half-rewritten
  // Updater.exe.tmp: were this run killed, closing the next dialog would
  // install the partial copy. It is written again once the copy is whole.
  void BeforeReceive() {
    if (ScriptLeft()) WriteDeleteScript(m_folder, false);
  }
  // Whole and verified: the script swaps it in at close.
  void Accept() { m_fun.ReplaceSelf(m_folder); }
  // Not whole or not verified: never swapped in.
  void Reject() {
    ::DeleteFileW(ExtendedLengthPath(m_temporary).c_str());
    m_fun.ReplaceSelf(m_folder);
  }
  // The run fails on it: the partial copy stays for the next run, unless a
  // swap script from an earlier run would put it in place.
  void Abandon() {
    if (ScriptLeft()) Reject();
  }

 private:
  bool ScriptLeft() const { return Exists(m_folder + L"delete.bat"); }

  CMyFun& m_fun;
  const std::wstring m_folder;
  const std::wstring m_temporary;
};

// A file that comes as part of the pack: a plain file the pack's table
// lists with the manifest's digest (a table of another release leaves it to
// its own name), on a server that answers ranges.
const PackEntry* DownloadRun::PackedEntry(const Transfer& transfer) const {
  if (!m_pack || !m_resume || !IsRequestable(transfer.name) || OwnExecutable::Is(transfer.name)) return nullptr;
  const auto entry = m_pack->entries.find(transfer.name);
  const auto digest = m_digests.find(transfer.name);
  if (entry == m_pack->entries.end() || digest == m_digests.end()) return nullptr;
  return EntryMatchesManifest(entry->second, digest->second) ? &entry->second : nullptr;
}

void DownloadRun::Fetch(Transfer& transfer, const std::string* packed) {
  const std::wstring& name = transfer.name;
  const std::wstring final = m_folder + LocalPathOf(name);
  const std::wstring temporary = final + L".tmp";
  const auto entry = m_digests.find(name);
  const std::wstring* expected = entry != m_digests.end() ? &entry->second : nullptr;
  // A file its manifest entry cannot check (a digest with a blank or a typo)
  // is never installed, so it is not fetched either; the old copy stays.
  if (!IsCheckableDigest(expected)) {
    transfer.outcome = Outcome::kRowFailed;
    return;
  }
  if (!EnsureDirectory(temporary.substr(0, temporary.rfind(L'\\')))) {
    transfer.diagnostic = "CreateDirFail\n";
    transfer.outcome = Outcome::kHardFailure;
    return;
  }
  std::optional<OwnExecutable> own;
  if (OwnExecutable::Is(name)) own.emplace(m_fun, m_folder);
  if (own) own->BeforeReceive();

  const Received received = ReceiveNew(transfer, final, temporary, expected, packed);
  if (received.outcome == Outcome::kHardFailure) {
    if (own) own->Abandon();
    transfer.outcome = received.outcome;
    return;
  }
  Outcome outcome = received.outcome;
  const DigestVerdict verdict =
      outcome == Outcome::kInstalled ? DigestVerdictOf(expected, received.digest) : DigestVerdict::kUnchecked;
  if (outcome == Outcome::kInstalled && verdict != DigestVerdict::kMatches) {
    ::DeleteFileW(ExtendedLengthPath(temporary).c_str());
    outcome = Outcome::kRowFailed;
  }
  if (own) {
    if (outcome == Outcome::kInstalled) {
      m_selfReceived = true;
      own->Accept();
    } else {
      own->Reject();
    }
  } else if (outcome == Outcome::kInstalled) {
    const Installed installed = Install(m_folder, temporary, final);
    if (installed == Installed::kNot) {
      outcome = Outcome::kRowFailed;  // old file and received file both kept
    } else if (installed == Installed::kInPlace) {
      NoteInstalled(name, final, received.digest, received.length);
    }
  }
  transfer.outcome = outcome;
}

// Receives the new file into its .tmp. A file the installation already has
// an older copy of is first rebuilt from it where the server publishes an
// index; any doubt falls back to the whole file, continuing what the .tmp
// holds. A resumed or rebuilt file that misses its digest is fetched whole
// once more (a resumed one most likely continued another release's .tmp).
DownloadRun::Received DownloadRun::ReceiveNew(Transfer& transfer, const std::wstring& final,
                                              const std::wstring& temporary, const std::wstring* expected,
                                              const std::string* packed) {
  const std::wstring& name = transfer.name;
  // The pack's bytes for it, where they match the manifest; else they go, and
  // the file comes the usual way.
  if (packed) {
    const Received received = ReceivePacked(transfer, temporary, *packed);
    if (received.outcome == Outcome::kHardFailure) return received;
    if (received.outcome == Outcome::kInstalled &&
        DigestVerdictOf(expected, received.digest) == DigestVerdict::kMatches) {
      return received;
    }
    ::DeleteFileW(ExtendedLengthPath(temporary).c_str());
  }
  const DeltaContext context{m_root,         &m_transfers,      m_bytes, transfer.received,
                             transfer.reported, transfer.answered, m_listsOfRanges};
  const std::wstring formUrl = FramesUrl(m_url, name);
  if (m_resume && Exists(final)) {
    const DeltaResult delta =
        ReceiveByDelta(context, UrlOf(m_url, name), DeltaIndexUrl(m_url, name), final, temporary, name,
                       m_forms.count(name) != 0 ? &formUrl : nullptr);
    if (auto settled = Settle(transfer, delta, expected)) return *settled;
  }
  // Where the release serves the file's compressed form, its frames; the
  // usual fetch continues whatever prefix they left.
  if (m_forms.count(name) != 0) {
    const DeltaResult framed = ReceiveByFrames(context, formUrl, temporary, name, m_resume);
    if (auto settled = Settle(transfer, framed, expected)) return *settled;
  }
  const Received received = Receive(transfer, false);
  if (received.outcome == Outcome::kInstalled &&
      FetchAgainFromZero(DigestVerdictOf(expected, received.digest), received.resumed)) {
    return Receive(transfer, true);
  }
  return received;
}

// What a rebuild or a fetch by frames leaves to do: nothing when it was not
// used (the usual fetch continues the .tmp); a whole file that misses its
// digest is fetched once more from its start.
std::optional<DownloadRun::Received> DownloadRun::Settle(Transfer& transfer, const DeltaResult& result,
                                                         const std::wstring* expected) {
  if (result.outcome == DeltaOutcome::kFailed) {
    if (!transfer.diagnostic) transfer.diagnostic = result.diagnostic;
    return Received{Outcome::kHardFailure, {}, false, 0};
  }
  if (result.outcome != DeltaOutcome::kAssembled) return std::nullopt;
  if (DigestVerdictOf(expected, result.digest) != DigestVerdict::kDiffers) {
    return Received{Outcome::kInstalled, result.digest, false, transfer.reported};
  }
  return Receive(transfer, true);
}

// A verified file, just put in place, for the digest cache. Only files whose
// data was flushed before the rename: an unflushed one could hold zeros after
// a power cut while its stamp still matches, and the cache would hide that
// for good (a small file is cheap to read again). Both ways of filling a .tmp
// flush by FlushBeforeInstall of the file's length. A file whose old copy was
// set aside, or that another handle may still write, is left to the next check.
// Decided by name and length before the file is opened again: a small data
// file, which never enters, is not opened for nothing.
void DownloadRun::NoteInstalled(const std::wstring& name, const std::wstring& final,
                                const std::string& digest, std::uint64_t length) {
  if (!FlushBeforeInstall(name, length)) return;
  FileStamp stamp;
  Md5::Digest bytes;
  if (!StampOfInstalled(final, stamp) || stamp.size != length || !DigestOfText(digest + "\n", bytes)) {
    return;
  }
  std::lock_guard<std::mutex> lock(m_endedLock);
  m_installed.push_back({DigestCacheKey(LocalPathOf(name)), stamp, bytes});
}

// Writes a file the pack brought into its .tmp, from its start, through the
// same writer as any body.
DownloadRun::Received DownloadRun::ReceivePacked(Transfer& transfer, const std::wstring& temporary,
                                                 const std::string& bytes) {
  TemporaryFile file(temporary, transfer.name, &m_transfers, transfer.received);
  if (!file.Begin(bytes.size(), KeptPrefix(), 0)) {
    if (!transfer.diagnostic) transfer.diagnostic = "OpenFileFail\n";
    return Received{Outcome::kHardFailure, {}, false, 0};
  }
  transfer.reported = bytes.size();
  transfer.answered = true;
  file.Append(bytes.data(), bytes.size());
  const TemporaryFile::Ending ending = file.Finish();
  if (ending.state != TemporaryFile::State::kComplete) return {};
  return {Outcome::kInstalled, ending.digest, false, file.Length()};
}

// Receives one body into the temporary file, continuing what it holds where
// ranges are on: the kept part is hashed before the request, so the server
// does not wait on it, and the rest as it is written. The row counts this
// answer's bytes against its Content-Length.
DownloadRun::Received DownloadRun::Receive(Transfer& transfer, bool fromZero) {
  const std::wstring& name = transfer.name;
  const std::wstring temporary = m_folder + LocalPathOf(name) + L".tmp";
  const std::wstring url = UrlOf(m_url, name);
  const auto fail = [&](const char* word) {
    if (!transfer.diagnostic) transfer.diagnostic = word;
    return Received{Outcome::kHardFailure, {}, false, 0};
  };
  for (int attempt = 0; attempt < 2; ++attempt) {
    const bool askRange = m_resume && !fromZero;
    bool stopped = false;
    KeptPrefix kept = askRange ? ReadKeptPrefix(temporary, &m_transfers, stopped) : KeptPrefix();
    // A stop while the kept part is hashed keeps it as it is for the next run.
    if (stopped) return fail("OpenUrlFail\n");
    const std::uint64_t offset = kept.length;
    UrlRequest request = OpenUrlHandle(m_root, url, RequestHeader(askRange, offset), &m_transfers);
    if (!request) return fail("OpenUrlFail\n");
    FileAnswer answer;
    if (!QueryContentLength(request, answer.contentLength)) return fail("HttpQueryFail\n");
    DWORD status = 0;
    QueryStatusCode(request, status);
    answer.status = status;
    std::string contentRange;
    if (QueryHeaderText(request, HTTP_QUERY_CONTENT_RANGE, contentRange)) {
      answer.contentRange = ParseContentRange(contentRange);
    }
    const AnswerDecision decision = DecideAnswer(answer, askRange, offset, attempt == 0);
    switch (decision.use) {
      case AnswerUse::kAskAgainFromZero:
        fromZero = true;
        continue;
      case AnswerUse::kRefuse:
        return {};  // an error page is never written anywhere
      case AnswerUse::kRewriteWhole:
      case AnswerUse::kWriteWhole:
        kept = KeptPrefix();  // only a whole body replaces what an earlier run kept
        break;
      case AnswerUse::kAppend:
        break;
    }
    TemporaryFile file(temporary, name, &m_transfers, transfer.received);
    const std::uint64_t countFrom = kept.length;
    if (!file.Begin(decision.fileLength, std::move(kept), countFrom)) return fail("OpenFileFail\n");
    transfer.reported = answer.contentLength;
    transfer.answered = true;
    const BodyResult body = ReadBody(
        request,
        [&](const char* data, DWORD count) {
          m_bytes += count;
          if (count == 0) return true;
          // The bytes of a room are already in the file's chunk.
          return file.Piped() ? file.Filled(count) : file.Append(data, count);
        },
        &m_transfers, file.Piped() ? kLargeReadSize : kBodyReadSize,
        file.Piped() ? BodyRooms([&file] {
          BodyPipe::Room room = file.NextRoom();
          return BodyRoom{std::move(room.keep), room.data,
                          static_cast<DWORD>(std::min<std::size_t>(room.size, kLargeReadSize))};
        })
                     : BodyRooms());
    // A body that ended early is an exact prefix, kept for the next run to
    // continue; bytes past the file's end or a failed write leave nothing.
    const TemporaryFile::Ending ending = file.Finish();
    if (body == BodyResult::kReadFailed) return fail("InternetReadFileFail\n");
    if (ending.state != TemporaryFile::State::kComplete) return {};
    return {Outcome::kInstalled, ending.digest, file.Kept() > 0, file.Length()};
  }
  return {};
}

}  // namespace

bool CMyFun::FetchFiles(std::wstring url, std::wstring folder, const DownloadList& list,
                        DownloadReport& report, StopSignal* stop, int connections) {
  if (list.empty()) return true;
  AddTrailingSeparators(folder, url);
  m_installed.clear();
  DownloadRun run(*this, std::move(url), std::move(folder), m_serverDigests, m_installed,
                  static_cast<int>(list.size()), report, stop, connections);
  return run.Run(list);
}
