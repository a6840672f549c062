#pragma once
#include <cstdio>
#include <list>
#include <string>
#include <utility>

#include <vector>

#include "manifest/digest_cache.h"
#include "manifest/manifest_reader.h"
#include "transfer/download_report.h"

class CProgressCtrl;
class CStatic;
class CListCtrl;
class StopSignal;

// Where the local manifest's digests come from: the digest cache wherever it
// may stand for a file, or a read of every file. Either way the cache is
// written anew after a complete walk.
enum class DigestSource { kCacheWhereTrusted, kReadEveryFile };

// Relative names to fetch, in ordinal UTF-16 order, each once.
using DownloadList = std::list<std::wstring>;

// The update engine: one stateless object per dialog through which the dialog
// and the worker reach every operation of a run. Every operation takes what it
// needs as arguments. The optional StopSignal lets the dialog's closing paths
// end a run early; without one an operation runs to its end.
class CMyFun {
 public:
  virtual ~CMyFun() = default;

  // Full path of the running executable, or "Error".
  std::wstring GetAppPath();

  // Writes <folder>LocalDate.ini; false when it cannot be opened.
  bool BuildLocalManifest(const std::wstring& folder, StopSignal* stop = nullptr,
                          DigestSource source = DigestSource::kCacheWhereTrusted);
  // Writes one line per file below folder; false when stopped before the end.
  // Digests the cache trusts are taken from it; fresh receives every digest
  // of a complete walk.
  static bool ScanFolder(std::wstring& folder, FILE* stream, std::wstring root,
                         StopSignal* stop = nullptr, const DigestCache* cache = nullptr,
                         DigestCacheWriter* fresh = nullptr);
  static void CalculateMd5(const std::wstring& path, FILE* stream, const StopSignal* stop = nullptr);

  // Fetches UpDate.ini into the folder and compares it with LocalDate.ini.
  // verdict becomes "Error", "Allnew" or "Part". The server manifest's
  // digests stay with the engine for the download that follows.
  DownloadList CheckVersion(std::wstring url, std::wstring folder, std::wstring& verdict,
                            StopSignal* stop = nullptr);
  static DownloadList CompareManifests(std::wstring serverText, std::wstring localText);

  bool DownloadFiles(std::wstring url, std::wstring folder, const DownloadList& list,
                     CProgressCtrl& progress, CStatic& counterText, CStatic& speedText,
                     CStatic& fileNameText, CListCtrl& fileList,
                     StopSignal* stop = nullptr);
  // The engine under DownloadFiles, which knows no window: it reports through
  // report, from the calling thread only, with up to `connections` files in
  // flight, and checks each file against the digests CheckVersion read.
  bool FetchFiles(std::wstring url, std::wstring folder, const DownloadList& list,
                  DownloadReport& report, StopSignal* stop = nullptr,
                  int connections = kDownloadConnections);
  // After a download run: the files it installed, verified and flushed go
  // into the digest cache with the stamps the system gave them at the
  // install, so the next check need not read them. Waits, at most about
  // kRacyTicks, until the racy margin of the last install has passed, so the
  // entries can be trusted; a stop ends the wait at once and records only
  // what can already be trusted. The files of a run are recorded only once.
  void RecordInstalledDigests(const std::wstring& folder, StopSignal* stop = nullptr);
  // For a download without a check before it (tests, the bench).
  void SetServerDigests(ManifestTable digests) { m_serverDigests = std::move(digests); }
  void ReplaceSelf(const std::wstring& folder);

  bool CleanupManifests(std::wstring& folder);
  bool RunHidden(const std::wstring& path);

 private:
  ManifestTable m_serverDigests;  // of the last CheckVersion; empty after a failed one
  std::vector<DigestCacheEntry> m_installed;  // of the last FetchFiles, until recorded
};

// Conversions between UTF-16 and the system's ANSI code page. A conversion that
// cannot be made gives the empty string; AnsiToWide drops a leading U+FEFF.
std::string WideToAnsi(const std::wstring& text);
std::wstring AnsiToWide(const char* bytes, int length);
