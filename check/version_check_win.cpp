#include <share.h>

#include <cstdio>

#include "check/http_win.h"
#include "check/signature_win.h"
#include "engine/diagnostics.h"
#include "engine/handles_win.h"
#include "engine/my_fun.h"
#include "engine/separators.h"
#include "engine/stop_signal.h"
#include "manifest/manifest_file.h"

DownloadList CMyFun::CheckVersion(std::wstring url, std::wstring folder, std::wstring& verdict,
                                  StopSignal* stop) {
  verdict = L"Error";
  m_serverDigests.clear();
  const std::wstring serverCopy = folder + L"UpDate.ini";
  const std::wstring localManifest = folder + L"LocalDate.ini";

  std::wstring serverText;
  std::wstring localText;
  {
    InternetHandle root = OpenRootHandle(stop);
    if (!root) {
      ReportDiagnostic("InterOpenFail\n", folder);
      return {};
    }
    UrlRequest request = OpenUrlHandle(root, url + L"UpDate.ini", kAcceptAllHeader, stop);
    if (!request) {
      ReportDiagnostic("OpenUrlFail\n", folder);
      return {};
    }
    // An error page (404, 500, 503 ...) is no manifest: parsed, its lack of
    // TAB lines would tell the user that nothing needs updating.
    DWORD status = 0;
    if (!QueryStatusCode(request, status) || status != 200) {
      ReportDiagnostic("HttpStatusFail\n", folder);
      return {};
    }
    {
      UniqueStream copy(::_wfsopen(ExtendedLengthPath(serverCopy).c_str(), L"wb", _SH_DENYNO));
      if (!copy) {
        ReportDiagnostic("OpenFileFail\n", folder);
        return {};
      }
      // The copy must be the body byte for byte: a short write (full disk)
      // fails the check like a failed read.
      unsigned long long received = 0;
      const BodyResult body = ReadBody(
          request,
          [&](const char* data, DWORD count) {
            received += count;
            return std::fwrite(data, 1, count, copy.get()) == count;
          },
          stop);
      const bool closed = std::fclose(copy.release()) == 0;
      // Some WinINet builds (Wine's) end the body quietly when the connection
      // is reset; a body short of its announced length is a failed read too.
      std::uint64_t announced = 0;
      const bool cutShort = QueryContentLength(request, announced) && received < announced;
      if (body != BodyResult::kComplete || !closed || cutShort) return {};
    }
    if (!ManifestSignatureHolds(root, url + L"UpDate.ini", serverCopy, folder, stop)) return {};
    if (!ReadManifestFile(serverCopy, serverText) || !ReadManifestFile(localManifest, localText)) {
      ReportDiagnostic("OpenFileFail\n", folder);
      return {};
    }
  }
  DownloadList list = CompareManifests(serverText, std::move(localText));
  verdict = list.empty() ? L"Allnew" : L"Part";
  // The download checks each file against the manifest just read, never
  // against a copy on disk that may be gone or changed by then.
  if (!list.empty()) m_serverDigests = ReadManifestTable(serverText);
  return list;
}
