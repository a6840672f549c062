// Times one CMyFun::DownloadFiles as the dialog runs it: the controls belong
// to a visible window whose thread pumps messages, and the call runs on a
// worker thread, so every progress and list update is a real cross-thread
// window message. The list is every file <folder>UpDate.ini names, as a
// check yields it when no local manifest matches, and the engine gets its
// digests, as a check hands them over, to verify every file. FOLDER is the
// installation: an older copy of a listed file placed there is what the
// engine rebuilds the new one from (the bench's delta cases).
//   download_bench.exe BASE_URL FOLDER TIMEOUT_SECONDS
// prints one line:
//   result ok=1 seconds=S files=N rows=N failed_rows=0 visible=1 base_ws_kib=... record_seconds=R
#include <cstdio>
#include <cwchar>
#include <string>
#include <thread>

#include "bench/bench_win.h"
#include "engine/my_fun.h"
#include "framework/afx.h"
#include "manifest/manifest_file.h"

namespace {

const wchar_t kFailed[] = L"文件下载失败";

// The dialog's five download controls, sized roughly as in its template.
// The host answers the list's requests for texts, as the dialog does.
struct Window {
  HWND host = nullptr;
  WNDPROC hostProc = nullptr;
  CProgressCtrl progress;
  CStatic counter;
  CStatic speed;
  CStatic fileName;
  CListCtrl list;

  static Window* s_current;
  static LRESULT CALLBACK HostProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    LRESULT result = 0;
    if (message == WM_NOTIFY &&
        s_current->list.AnswerNotify(reinterpret_cast<const NMHDR*>(lParam), result)) {
      return result;
    }
    return ::CallWindowProcW(s_current->hostProc, hwnd, message, wParam, lParam);
  }

  bool Create() {
    AfxEnableControlContainer();
    const HINSTANCE instance = ::GetModuleHandleW(nullptr);
    host = ::CreateWindowExW(0, L"STATIC", L"download bench", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                             40, 40, 520, 420, nullptr, nullptr, instance, nullptr);
    if (!host) return false;
    s_current = this;
    hostProc = reinterpret_cast<WNDPROC>(
        ::SetWindowLongPtrW(host, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&HostProc)));
    const auto child = [&](const wchar_t* cls, int id, DWORD style, int y, int height) {
      return ::CreateWindowExW(0, cls, L"", WS_CHILD | WS_VISIBLE | style, 10, y, 490, height,
                               host, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                               instance, nullptr);
    };
    progress.m_hWnd = child(PROGRESS_CLASSW, 1003, 0, 10, 20);
    counter.m_hWnd = child(L"STATIC", 1020, 0, 40, 20);
    speed.m_hWnd = child(L"STATIC", 1021, 0, 65, 20);
    fileName.m_hWnd = child(L"STATIC", 1022, 0, 90, 20);
    list.m_hWnd = child(WC_LISTVIEWW, 1023, LVS_REPORT | LVS_OWNERDATA | WS_BORDER, 120, 250);
    if (!progress.m_hWnd || !counter.m_hWnd || !speed.m_hWnd || !fileName.m_hWnd ||
        !list.m_hWnd) {
      return false;
    }
    list.InsertColumn(0, L"文件名", LVCFMT_LEFT, 250);
    list.InsertColumn(1, L"文件状态", LVCFMT_LEFT, 234);
    ::ShowWindow(host, SW_SHOWNORMAL);
    ::UpdateWindow(host);
    return true;
  }
};

Window* Window::s_current = nullptr;

void Pump() {
  MSG message;
  while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    ::TranslateMessage(&message);
    ::DispatchMessageW(&message);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: download_bench.exe BASE_URL FOLDER TIMEOUT_SECONDS\n");
    return 2;
  }
  const std::wstring url = argv[1];
  std::wstring folder = argv[2];
  if (!folder.empty() && folder.back() != L'\\') folder += L'\\';
  const DWORD timeoutMs = static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 10) * 1000);

  std::wstring serverText;
  if (!ReadManifestFile(folder + L"UpDate.ini", serverText)) {
    std::fprintf(stderr, "cannot read UpDate.ini in the folder\n");
    return 2;
  }
  const DownloadList files = CMyFun::CompareManifests(serverText, L"\n");
  if (files.empty()) {
    std::fprintf(stderr, "UpDate.ini lists no file\n");
    return 2;
  }

  Window window;
  if (!window.Create()) {
    std::fprintf(stderr, "cannot create the window (error %lu)\n", ::GetLastError());
    return 2;
  }
  Pump();

  CMyFun fun;
  fun.SetServerDigests(ReadManifestTable(serverText));
  bench::CallMemory memory;
  HANDLE done = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  bool ok = false;
  double seconds = 0;
  memory.Start();
  std::thread worker([&] {
    const double start = bench::Seconds();
    ok = fun.DownloadFiles(url, folder, files, window.progress, window.counter, window.speed,
                           window.fileName, window.list);
    seconds = bench::Seconds() - start;
    ::SetEvent(done);
  });

  const DWORD deadline = ::GetTickCount() + timeoutMs;
  for (;;) {
    const DWORD now = ::GetTickCount();
    const DWORD left = static_cast<LONG>(deadline - now) > 0 ? deadline - now : 0;
    const DWORD woke = ::MsgWaitForMultipleObjects(1, &done, FALSE, left, QS_ALLINPUT);
    if (woke == WAIT_OBJECT_0) break;
    if (woke == WAIT_TIMEOUT) {
      std::printf("result ok=0 timeout=1\n");
      std::fflush(stdout);
      ::ExitProcess(3);  // the worker is still inside the call
    }
    Pump();
  }
  worker.join();
  memory.Stop();
  Pump();
  // What the worker does after the outcome shows, untimed above: the digest
  // cache gets the installed files once their racy margin has passed.
  const double recordStart = bench::Seconds();
  fun.RecordInstalledDigests(folder);
  const double recordSeconds = bench::Seconds() - recordStart;

  const int rows = window.list.GetItemCount();
  int failedRows = 0;
  for (int row = 0; row < rows; ++row) {
    if (window.list.GetItemText(row, 1) == kFailed) ++failedRows;
  }
  const bool visible = ::IsWindowVisible(window.host) != FALSE;
  std::printf("result ok=%d seconds=%.6f files=%u rows=%d failed_rows=%d visible=%d",
              ok ? 1 : 0, seconds, static_cast<unsigned>(files.size()), rows, failedRows,
              visible ? 1 : 0);
  memory.Print(stdout);
  std::printf(" record_seconds=%.3f\n", recordSeconds);
  ::DestroyWindow(window.host);
  ::CloseHandle(done);
  return ok && failedRows == 0 && rows == static_cast<int>(files.size()) ? 0 : 1;
}
