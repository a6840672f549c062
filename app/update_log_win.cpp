#include <share.h>

#include <cstdio>
#include <string>

#include "app/my_update_dlg.h"
#include "check/http_win.h"
#include "engine/handles_win.h"
#include "engine/separators.h"

// Fetches the server's update log into <folder>\Update_Logo.txt (text mode,
// so every LF lands as CR LF) and reads it back line by line. The result is
// only filled at the very end: every failure leaves the box empty. A 404 and
// an answer without Content-Length count as "no log"; any other status is
// shown, error pages included. The dialog waits for this before it shows, so
// a silent or trickling server gets a shorter wait than the update's fetches.
namespace {
constexpr DWORD kLogWaitMs = 10000;
}  // namespace

int CMyUpdateDlg::FetchUpdateLog(const std::wstring& url, const std::wstring& folder,
                                 std::wstring& result) {
  std::wstring logUrl = url;
  std::wstring logFile = folder;
  AddTrailingSeparators(logFile, logUrl);
  logUrl += L"UpdateLog.ini";
  logFile += L"Update_Logo.txt";

  UniqueStream out(::_wfsopen(ExtendedLengthPath(logFile).c_str(), L"w", _SH_DENYNO));
  InternetHandle root = OpenRootHandle(nullptr);
  if (!root) return 0;
  UrlRequest request = OpenUrlHandle(root, logUrl, kAcceptAllHeader, nullptr, kLogWaitMs);
  if (!request) return 0;

  DWORD status = 0;
  QueryStatusCode(request, status);
  if (status == 404) return 0;
  std::uint64_t length = 0;
  if (!QueryContentLength(request, length)) return 0;

  const BodyResult body = ReadBody(
      request,
      [&](const char* data, DWORD count) {
        if (out) std::fwrite(data, 1, count, out.get());
        return true;
      },
      nullptr);
  if (body != BodyResult::kComplete) return 0;
  out.reset();

  UniqueStream in(::_wfsopen(ExtendedLengthPath(logFile).c_str(), L"r", _SH_DENYNO));
  std::wstring text;
  if (in) {
    std::string line;
    // Text mode has already turned CR LF into LF and ends the input at 0x1A.
    for (int c; (c = std::getc(in.get())) != EOF;) {
      if (c != '\n') {
        line += static_cast<char>(c);
        continue;
      }
      text += AnsiToWide(line.data(), static_cast<int>(line.size())) + L"\n";
      line.clear();
    }
    if (!line.empty()) text += AnsiToWide(line.data(), static_cast<int>(line.size())) + L"\n";
  }
  result = text;
  return 1;
}
