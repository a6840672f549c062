#include <share.h>

#include <climits>
#include <cstdio>
#include <cwchar>
#include <cwctype>
#include <initializer_list>
#include <vector>

#include "check/http_win.h"
#include "engine/diagnostics.h"
#include "engine/handles_win.h"
#include "engine/my_fun.h"
#include "engine/separators.h"
#include "engine/stop_signal.h"
#include "framework/afx.h"
#include "manifest/manifest_file.h"
#include "manifest/manifest_reader.h"
#include "transfer/delete_script_win.h"
#include "transfer/download_text.h"
#include "transfer/name_safety.h"
#include "transfer/url_path.h"

namespace {

constexpr int kMoveAttempts = 5;
constexpr DWORD kShowEveryMs = 50;
constexpr DWORD kPaintEveryMs = 250;  // what a person reading the list still sees as live
constexpr DWORD kMovePauseMs = 200;

std::wstring UrlOf(const std::wstring& baseUrl, const std::wstring& name) {
  return baseUrl + UrlPathOf(name);
}

bool Exists(const std::wstring& path) {
  return ::GetFileAttributesW(ExtendedLengthPath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Makes sure a folder exists, creating its missing parents first.
bool EnsureDirectory(const std::wstring& path) {
  if (Exists(path)) return true;
  if (::CreateDirectoryW(ExtendedLengthPath(path).c_str(), nullptr)) return true;
  const auto cut = path.rfind(L'\\');
  if (cut == std::wstring::npos) return false;
  if (!EnsureDirectory(path.substr(0, cut))) return false;
  return ::CreateDirectoryW(ExtendedLengthPath(path).c_str(), nullptr) != FALSE;
}

long long FileSize(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExW(ExtendedLengthPath(path).c_str(), GetFileExInfoStandard, &data)) {
    return 0;
  }
  return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// Puts the received file in place in one step, so the old file is never gone
// without the new one. A scanner or indexer holding the new file briefly gets
// a few retries.
bool Install(const std::wstring& temporary, const std::wstring& final) {
  const std::wstring target = ExtendedLengthPath(final);
  const DWORD attributes = ::GetFileAttributesW(target.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
    ::SetFileAttributesW(target.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  }
  for (int attempt = 0; attempt < kMoveAttempts; ++attempt) {
    if (::MoveFileExW(ExtendedLengthPath(temporary).c_str(), target.c_str(),
                      MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return true;
    }
    const DWORD error = ::GetLastError();
    if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED &&
        error != ERROR_LOCK_VIOLATION) {
      return false;
    }
    ::Sleep(kMovePauseMs);
  }
  return false;
}

bool IsHexDigest(const std::wstring& text) {
  if (text.size() != 32) return false;
  for (wchar_t c : text) {
    if (!std::iswxdigit(c)) return false;
  }
  return true;
}

bool SameDigest(const std::wstring& expected, const std::string& actual) {
  if (expected.size() != actual.size()) return false;
  for (size_t i = 0; i < expected.size(); ++i) {
    if (std::towlower(expected[i]) != static_cast<wchar_t>(actual[i])) return false;
  }
  return true;
}

enum class Outcome { kInstalled, kRowFailed, kHardFailure };

// Lets the controls that draw text repaint at most every kPaintEveryMs during
// a run (the progress bar, a plain fill, keeps painting at once). Every text
// is still set, in order, as it happens; only the drawing waits. Measured
// under Wine with many small files: a row added to a visible list, drawn at
// once, kept the worker waiting on the dialog's thread for 15-20 ms, most of
// each file's time; with the drawing paced, about 11 ms per file in all.
class PaintPacer {
 public:
  explicit PaintPacer(std::initializer_list<HWND> controls) {
    // A hidden control stays as it is: turning its drawing back on shows it.
    for (HWND control : controls) {
      if (::GetWindowLongPtrW(control, GWL_STYLE) & WS_VISIBLE) m_controls.push_back(control);
    }
    Hold();
    m_paintedAt = ::GetTickCount();
  }
  ~PaintPacer() {
    for (HWND control : m_controls) {
      ::SendMessageW(control, WM_SETREDRAW, TRUE, 0);
      ::RedrawWindow(control, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME);
    }
  }
  PaintPacer(const PaintPacer&) = delete;
  PaintPacer& operator=(const PaintPacer&) = delete;

  // Paints what has changed when the last paint is old enough.
  void Tick() {
    const DWORD now = ::GetTickCount();
    if (now - m_paintedAt < kPaintEveryMs) return;
    m_paintedAt = now;
    for (HWND control : m_controls) {
      ::SendMessageW(control, WM_SETREDRAW, TRUE, 0);
      ::RedrawWindow(control, nullptr, nullptr,
                     RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_UPDATENOW);
    }
    Hold();
  }

 private:
  void Hold() {
    for (HWND control : m_controls) ::SendMessageW(control, WM_SETREDRAW, FALSE, 0);
  }

  std::vector<HWND> m_controls;
  DWORD m_paintedAt = 0;
};

// One download run: the root handle, the range decision and the controls.
class DownloadRun {
 public:
  DownloadRun(CMyFun& fun, std::wstring url, std::wstring folder, int total,
              CProgressCtrl& progress, CStatic& counterText, CStatic& speedText,
              CStatic& fileNameText, CListCtrl& fileList, StopSignal* stop)
      : m_fun(fun), m_url(std::move(url)), m_folder(std::move(folder)), m_progress(progress),
        m_counterText(counterText), m_speedText(speedText), m_fileNameText(fileNameText),
        m_fileList(fileList), m_stop(stop), m_bar(total), m_total(total),
        m_paint({counterText.m_hWnd, speedText.m_hWnd, fileNameText.m_hWnd, fileList.m_hWnd}) {}

  bool Run(const DownloadList& list);

 private:
  Outcome Fetch(const std::wstring& name, int row);
  Outcome Receive(const std::wstring& name, int row, bool fromZero, bool& resumed,
                  std::uint64_t& reported, std::uint64_t& received, std::string& digest);
  void EndRow(int row, bool failed, std::uint64_t received, std::uint64_t reported, DWORD start);
  void Diagnose(const char* word) { ReportDiagnostic(word, m_folder); }

  CMyFun& m_fun;
  std::wstring m_url;
  std::wstring m_folder;
  CProgressCtrl& m_progress;
  CStatic& m_counterText;
  CStatic& m_speedText;
  CStatic& m_fileNameText;
  CListCtrl& m_fileList;
  StopSignal* m_stop;
  DownloadProgress m_bar;
  int m_total;
  InternetHandle m_root;
  bool m_resume = false;
  bool m_selfReceived = false;
  ManifestTable m_digests;  // from the server manifest the comparison used
  PaintPacer m_paint;
};

bool DownloadRun::Run(const DownloadList& list) {
  m_progress.SetRange(0, DownloadProgress::kRange);
  m_root = OpenRootHandle(m_stop);
  if (!m_root) {
    Diagnose("InternetOpenFail\n");
    return false;
  }

  // One probe per run decides whether partial files can be continued. It asks
  // for one byte only: WinINet drains an unread body before the connection is
  // reused, so asking for "the rest from byte 1" would receive the first file
  // a second time. A name that would leave the folder is never requested, not
  // even as the probe.
  const std::wstring* probeName = nullptr;
  for (const std::wstring& name : list) {
    if (IsSafeRelativeName(name)) {
      probeName = &name;
      break;
    }
  }
  if (probeName) {
    UrlRequest probe = OpenUrlHandle(m_root, UrlOf(m_url, *probeName),
                                     L"Range: bytes=1-1\r\n\r\n", m_stop);
    if (!probe) {
      Diagnose("OpenUrlFail\n");
      return false;
    }
    DWORD status = 0;
    QueryStatusCode(probe, status);
    if (status == 404) {
      Diagnose("404 not found\n");
      return false;
    }
    m_resume = status == 206;
  }

  // The digests the comparison saw: the server manifest is still in the folder.
  // Reading creates a missing file, so only an existing one is read.
  std::wstring serverText;
  if (Exists(m_folder + L"UpDate.ini") && ReadManifestFile(m_folder + L"UpDate.ini", serverText)) {
    m_digests = ReadManifestTable(serverText);
  }

  m_fileList.DeleteAllItems();
  for (const std::wstring& name : list) {
    if (StopRequested(m_stop)) return false;
    m_fileNameText.SetWindowText(name);
    const int row = m_fileList.InsertItem(m_bar.Done(), name);
    m_fileList.SetItemText(row, 1, kRowInitialText);
    if (Fetch(name, row) == Outcome::kHardFailure) return false;
  }
  // An Updater.exe.tmp this run did not receive may be partial: never swap it in.
  if (!m_selfReceived) ::DeleteFileW(ExtendedLengthPath(m_folder + L"Updater.exe.tmp").c_str());
  m_fun.ReplaceSelf(m_folder);
  return true;
}

Outcome DownloadRun::Fetch(const std::wstring& name, int row) {
  const DWORD start = ::GetTickCount();
  if (!IsSafeRelativeName(name)) {
    EndRow(row, true, 0, 0, start);
    return Outcome::kRowFailed;
  }
  const std::wstring final = m_folder + name;
  const std::wstring temporary = final + L".tmp";
  const bool self = name == L"Updater.exe";
  if (!EnsureDirectory(temporary.substr(0, temporary.rfind(L'\\')))) {
    Diagnose("CreateDirFail\n");
    return Outcome::kHardFailure;
  }

  const auto expected = m_digests.find(name);
  const bool checkDigest = expected != m_digests.end() && IsHexDigest(expected->second);
  bool resumed = false;
  std::uint64_t reported = 0;
  std::uint64_t received = 0;
  // A swap script left by an earlier run must not meet a half-rewritten
  // Updater.exe.tmp: were this run killed, closing the next dialog would
  // install the partial copy. It is written again once the copy is whole.
  if (self && Exists(m_folder + L"delete.bat")) WriteDeleteScript(m_folder, false);

  // Each received file is hashed as it is written; a mismatch after a resume
  // is most likely a partial file from another release: once more from zero.
  std::string digest;
  const auto digestMatches = [&] { return SameDigest(expected->second, digest); };
  Outcome outcome = Receive(name, row, false, resumed, reported, received, digest);
  bool verified = outcome == Outcome::kInstalled && checkDigest && digestMatches();
  if (outcome == Outcome::kInstalled && checkDigest && !verified && resumed) {
    outcome = Receive(name, row, true, resumed, reported, received, digest);
    verified = outcome == Outcome::kInstalled && digestMatches();
  }
  if (outcome == Outcome::kHardFailure) {
    // A swap script from an earlier run would put this partial copy in place.
    if (self && Exists(m_folder + L"delete.bat")) {
      ::DeleteFileW(ExtendedLengthPath(temporary).c_str());
      m_fun.ReplaceSelf(m_folder);
    }
    return outcome;
  }

  if (outcome == Outcome::kInstalled && checkDigest && !verified) {
    ::DeleteFileW(ExtendedLengthPath(temporary).c_str());
    outcome = Outcome::kRowFailed;
  }
  if (outcome == Outcome::kInstalled) {
    if (self) {
      m_selfReceived = true;
      m_fun.ReplaceSelf(m_folder);
    } else if (!Install(temporary, final)) {
      outcome = Outcome::kRowFailed;  // old file and received file both kept
    }
  }
  if (self && outcome != Outcome::kInstalled) {
    // The script must never delete the updater without a replacement.
    ::DeleteFileW(temporary.c_str());
    m_fun.ReplaceSelf(m_folder);
  }
  EndRow(row, outcome != Outcome::kInstalled, received, reported, start);
  return outcome;
}

// Receives one body into the temporary file. kInstalled here means "received
// whole and ready to install"; digest is then the MD5 of the whole temporary
// file: the part kept from an earlier run is hashed before the rest arrives,
// the rest as it is written, so no file is read back a second time.
Outcome DownloadRun::Receive(const std::wstring& name, int row, bool fromZero, bool& resumed,
                             std::uint64_t& reported, std::uint64_t& received,
                             std::string& digest) {
  const std::wstring temporary = m_folder + name + L".tmp";
  const std::wstring url = UrlOf(m_url, name);
  for (int attempt = 0; attempt < 2; ++attempt) {
    long long offset = 0;
    if (m_resume && !fromZero) {
      offset = FileSize(temporary);
      if (offset > INT_MAX) offset = 0;  // beyond what the range header can say
    }
    Md5 md5;
    if (offset > 0 && !AddFileToMd5(temporary, md5)) {
      offset = 0;  // a kept part that cannot be read is received again
      md5 = Md5();
    }
    resumed = offset > 0;
    wchar_t header[260] = {};
    if (m_resume && !fromZero) {
      std::swprintf(header, 260, L"Range: bytes=%d-\r\n\r\n", static_cast<int>(offset));
    } else {
      std::swprintf(header, 260, L"%ls", kAcceptAllHeader);
    }
    UniqueStream out(::_wfsopen(ExtendedLengthPath(temporary).c_str(), offset > 0 ? L"ab" : L"wb",
                                _SH_DENYNO));
    if (!out) {
      Diagnose("OpenFileFail\n");
      return Outcome::kHardFailure;
    }
    UrlRequest request = OpenUrlHandle(m_root, url, header, m_stop);
    if (!request) {
      Diagnose("OpenUrlFail\n");
      return Outcome::kHardFailure;
    }
    DWORD length = 0;
    if (!QueryContentLength(request, length)) {
      Diagnose("HttpQueryFail\n");
      return Outcome::kHardFailure;
    }
    DWORD status = 0;
    QueryStatusCode(request, status);
    if (status == 416 && attempt == 0) {
      fromZero = true;  // the partial file is no prefix the server knows: start over
      continue;
    }
    if (status == 200 && offset > 0) {
      // The server ignored the range: the body is the whole file.
      out.reset(::_wfsopen(ExtendedLengthPath(temporary).c_str(), L"wb", _SH_DENYNO));
      if (!out) {
        Diagnose("OpenFileFail\n");
        return Outcome::kHardFailure;
      }
      md5 = Md5();
      resumed = false;
    }
    if (status != 200 && !(status == 206 && m_resume && !fromZero)) {
      // An error page is never installed; a file emptied for it is not kept either.
      if (offset == 0) {
        out.reset();
        ::DeleteFileW(ExtendedLengthPath(temporary).c_str());
      }
      return Outcome::kRowFailed;
    }

    reported = length;
    received = 0;
    bool fileFailed = false;
    const std::uint64_t shownLength = length ? length : 1;
    // Each window call is a round trip to the dialog's thread; with one per
    // 40960-byte read the dialog, not the network, would set the pace. The
    // running figures are shown at most every kShowEveryMs; the last read
    // (0 bytes) always shows the final ones.
    DWORD shownAt = ::GetTickCount() - kShowEveryMs;
    const BodyResult body = ReadBody(
        request,
        [&](const char* data, DWORD count) {
          const int position = m_bar.AddRead(count, shownLength);
          // An endless answer is cut at its reported length.
          const std::uint64_t room = reported - std::min(received, reported);
          const DWORD keep = static_cast<DWORD>(std::min<std::uint64_t>(count, room));
          received += count;
          const DWORD now = ::GetTickCount();
          if (count == 0 || now - shownAt >= kShowEveryMs) {
            shownAt = now;
            m_progress.SetPos(position);
            m_fileList.SetItemText(row, 1, SizeText(received, shownLength, false));
            m_paint.Tick();
          }
          if (count == 0) return true;
          if (keep > 0 && std::fwrite(data, 1, keep, out.get()) != keep) fileFailed = true;
          md5.Update(data, keep);
          return !fileFailed && keep == count;
        },
        m_stop);
    if (body == BodyResult::kReadFailed) {
      Diagnose("InternetReadFileFail\n");
      return Outcome::kHardFailure;  // the partial file stays for the next run
    }
    if (std::fclose(out.release()) != 0) fileFailed = true;
    if (body == BodyResult::kSinkRefused || fileFailed || received != reported) {
      ::DeleteFileW(ExtendedLengthPath(temporary).c_str());
      if (!fileFailed && received < reported && name != L"Updater.exe") {
        ::DeleteFileW(ExtendedLengthPath(m_folder + name).c_str());
      }
      return Outcome::kRowFailed;
    }
    digest = Md5::ToHex(md5.Final());
    return Outcome::kInstalled;
  }
  return Outcome::kRowFailed;
}

void DownloadRun::EndRow(int row, bool failed, std::uint64_t received, std::uint64_t reported,
                         DWORD start) {
  m_progress.SetPos(m_bar.FinishFile());
  const DWORD now = ::GetTickCount();
  const std::uint64_t shownLength = reported ? reported : 1;
  m_fileList.SetItemText(row, 1, SizeText(received, shownLength, true));
  if (failed) m_fileList.SetItemText(row, 1, kRowFailedText);
  m_speedText.SetWindowText(SpeedText(shownLength, now - start));
  m_counterText.SetWindowText(CounterText(m_bar.Done(), m_total));
  m_paint.Tick();
}

}  // namespace

bool CMyFun::DownloadFiles(std::wstring url, std::wstring folder, const DownloadList& list,
                           CProgressCtrl& progress, CStatic& counterText, CStatic& speedText,
                           CStatic& fileNameText, CListCtrl& fileList, StopSignal* stop) {
  if (list.empty()) return true;
  AddTrailingSeparators(folder, url);
  DownloadRun run(*this, std::move(url), std::move(folder), static_cast<int>(list.size()),
                  progress, counterText, speedText, fileNameText, fileList, stop);
  return run.Run(list);
}
