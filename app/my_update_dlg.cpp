#include "app/my_update_dlg.h"

#include <utility>

#include "engine/base_url.h"
#include "engine/commit_step_win.h"
#include "engine/separators.h"
#include "res/resource.h"

namespace {
// How long a closing path waits for a stopped worker before ending the process.
constexpr DWORD kStopWaitMs = 3000;
constexpr wchar_t kFailedRowText[] = L"文件下载失败";
}  // namespace

CMyUpdateDlg::CMyUpdateDlg(CWnd* parent) : CDialog(IDD_UPDATER_DIALOG, parent) {}

CMyUpdateDlg::~CMyUpdateDlg() {
  // The worker uses this object: whatever ended the dialog, it goes first.
  StopWorker();
  delete m_pFun;
}

const CDialog::MessageMap* CMyUpdateDlg::GetMessageMap() const {
  static const MessageEntry entries[] = {
      {WM_SYSCOMMAND, 0, 0, Handle(&CMyUpdateDlg::OnSysCommand)},
      {WM_PAINT, 0, 0, Handle(&CMyUpdateDlg::OnPaint)},
      {WM_QUERYDRAGICON, 0, 0, Handle(&CMyUpdateDlg::OnQueryDragIcon)},
      {WM_COMMAND, BN_CLICKED, IDC_BTN_UPDATE, Handle(&CMyUpdateDlg::OnBnClickedUpdate)},
      {WM_COMMAND, BN_CLICKED, IDC_BTN_EXIT, Handle(&CMyUpdateDlg::OnBnClickedExit)},
      {WM_CLOSE, 0, 0, Handle(&CMyUpdateDlg::OnClose)},
      {WM_NOTIFY, 0, 0, Handle(&CMyUpdateDlg::OnNotify)},
      {WM_DPICHANGED, 0, 0, Handle(&CMyUpdateDlg::OnDpiChanged)},
  };
  static const MessageMap map{entries, sizeof(entries) / sizeof(entries[0])};
  return &map;
}

void CMyUpdateDlg::DoDataExchange() {
  Bind(IDC_STATUS, m_staticStatus);
  Bind(IDC_LOG, m_staticLog);
  Bind(IDC_PROGRESS, m_progress);
  Bind(IDC_BTN_UPDATE, m_btnUpdate);
  Bind(IDC_BTN_EXIT, m_btnExit);
  Bind(IDC_COUNT, m_staticCount);
  Bind(IDC_SPEED, m_staticSpeed);
  Bind(IDC_CURRENT_FILE, m_staticFile);
  Bind(IDC_FILE_LIST, m_listFiles);
}

BOOL CMyUpdateDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  ApplyDpi(WindowDpi(m_hWnd));
  m_pThread = nullptr;
  m_pFun = new CMyFun;
  GetDlgItem(IDC_STATUS).ShowWindow(SW_HIDE);
  GetDlgItem(IDC_CURRENT_FILE).SetWindowText(L"");
  InitFileList();

  const std::wstring folder = FolderOfPath(m_pFun->GetAppPath());
  // Known before any worker runs: the closing paths only start it.
  m_strScriptPath = folder + L"\\delete.bat";
  std::wstring log;
  FetchUpdateLog(DefaultBaseUrl() + L"UpdateLog", folder, log);
  m_staticLog.SetWindowText(log);

  m_bFinished = 0;
  return TRUE;
}

void CMyUpdateDlg::InitFileList() {
  m_listFiles.SetExtendedStyle(LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT);
  m_listFiles.InsertColumn(0, L"文件名", LVCFMT_LEFT, FileListColumnWidth(0, m_nDpi));
  m_listFiles.InsertColumn(1, L"文件状态", LVCFMT_LEFT, FileListColumnWidth(1, m_nDpi));
}

void CMyUpdateDlg::ApplyDpi(int dpi) {
  m_nDpi = UsableDpi(dpi);
  // Before InitFileList the list has no columns yet, and this changes none.
  for (int column = 0; column < kFileListColumns; ++column) {
    m_listFiles.SetColumnWidth(column, FileListColumnWidth(column, m_nDpi));
  }
  // The window keeps the icons it is given: the old ones go only once the
  // new ones are in place.
  const HINSTANCE module = AfxGetResourceHandle();
  UniqueIcon largeIcon = LoadIconAtSide(module, IDR_MAINFRAME, IconSide(SM_CXICON, m_nDpi));
  UniqueIcon smallIcon = LoadIconAtSide(module, IDR_MAINFRAME, IconSide(SM_CXSMICON, m_nDpi));
  SendMessage(WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(largeIcon.get()));
  SendMessage(WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon.get()));
  m_iconLarge = std::move(largeIcon);
  m_iconSmall = std::move(smallIcon);
}

void CMyUpdateDlg::StartUpdate() {
  // The previous worker re-enables the button a moment before it ends, and
  // may then still wait to record the installed files' digests: stop that
  // wait, and never let two run at once.
  if (m_hWorker) m_stop.Request();
  WaitForWorker(kStopWaitMs);

  m_staticStatus.ShowWindow(SW_SHOW);
  m_staticStatus.SetWindowText(L"正在下载新版本...");
  m_btnUpdate.EnableWindow(FALSE);
  m_staticCount.SetWindowText(L"0个(当前已下载文件个数)/0个(总文件个数)");
  m_strUpdateUrl = DefaultBaseUrl() + L"Update";
  m_stop.Reset();
  ++m_nRuns;

  // Suspended until the handle is copied: the thread object deletes itself
  // (and closes its handle) when the worker ends.
  m_pThread = AfxBeginThread(UpdateThreadProc, this, THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED);
  if (!m_pThread) {
    m_btnUpdate.EnableWindow(TRUE);
    return;
  }
  HANDLE copy = nullptr;
  ::DuplicateHandle(::GetCurrentProcess(), m_pThread->m_hThread, ::GetCurrentProcess(), &copy, 0,
                    FALSE, DUPLICATE_SAME_ACCESS);
  m_hWorker.reset(copy);
  m_pThread->ResumeThread();
}

void CMyUpdateDlg::RunDeleteScript() { m_pFun->RunHidden(m_strScriptPath); }

bool CMyUpdateDlg::HasFailedRow() const {
  const int rows = m_listFiles.GetItemCount();
  for (int row = 0; row < rows; ++row) {
    if (m_listFiles.GetItemText(row, 1) == kFailedRowText) return true;
  }
  return false;
}

INT_PTR CMyUpdateDlg::OnBnClickedUpdate(WPARAM, LPARAM) {
  if (m_bFinished == 0) {
    StartUpdate();
    return TRUE;
  }
  // A finished run with rows that failed gets one more run, started here and
  // only here: never on a closing path and never beside a running worker.
  if (!m_bRetried && HasFailedRow()) {
    m_bRetried = true;
    m_bFinished = 0;
    m_btnUpdate.SetWindowText(L"更新");
    m_btnExit.EnableWindow(TRUE);
    StartUpdate();
    return TRUE;
  }
  StopWorker();
  RunDeleteScript();
  CDialog::OnCancel();
  return TRUE;
}

INT_PTR CMyUpdateDlg::OnBnClickedExit(WPARAM, LPARAM) {
  OnCancel();
  return TRUE;
}

// Enter ends the dialog without the hand-off, run or no run: the script,
// if one lies there, stays for the next close. A run under way is stopped
// first, as on every closing path: ended mid-install, the process would
// leave a file set aside and its new copy not yet moved in.
void CMyUpdateDlg::OnOK() {
  StopWorker();
  CDialog::OnOK();
}

void CMyUpdateDlg::OnCancel() {
  StopWorker();
  RunDeleteScript();
  delete m_pFun;
  m_pFun = nullptr;
  CDialog::OnCancel();
}

bool CMyUpdateDlg::WaitForWorker(DWORD timeoutMs) {
  if (!m_hWorker) return true;
  const DWORD deadline = ::GetTickCount() + timeoutMs;
  HANDLE worker = m_hWorker.get();
  for (;;) {
    const DWORD now = ::GetTickCount();
    const DWORD left = static_cast<LONG>(deadline - now) > 0 ? deadline - now : 0;
    // Only sent messages wake the wait: the worker's window calls must be
    // handled here or it could never finish; input stays queued.
    const DWORD woke = ::MsgWaitForMultipleObjects(1, &worker, FALSE, left, QS_SENDMESSAGE);
    if (woke == WAIT_OBJECT_0) {
      m_hWorker.reset();
      return true;
    }
    if (woke != WAIT_OBJECT_0 + 1) return false;
    MSG msg;
    ::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
  }
}

void CMyUpdateDlg::StopWorker() {
  if (!m_hWorker) return;
  if (::WaitForSingleObject(m_hWorker.get(), 0) == WAIT_OBJECT_0) {
    m_hWorker.reset();
    return;
  }
  m_stop.Request();
  // The worker ends only after the run's own threads (downloads, the body
  // pipe, the walk's hashing) have been joined.
  if (WaitForWorker(kStopWaitMs)) return;
  // A network call that ignores the closed handles (Wine's WinINet). Ending
  // the worker thread alone would leave the run's other threads installing
  // files and rewriting delete.bat while the script reads it; end them all
  // together, and start no script: what the run left is not known, and the
  // script stays for the next close.
  EndProcessBetweenSteps(0, kStopWaitMs);
}

INT_PTR CMyUpdateDlg::OnSysCommand(WPARAM, LPARAM) { return FALSE; }

INT_PTR CMyUpdateDlg::OnPaint(WPARAM, LPARAM) {
  if (!::IsIconic(m_hWnd)) return FALSE;
  PAINTSTRUCT paint;
  HDC dc = ::BeginPaint(m_hWnd, &paint);
  SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  RECT client;
  ::GetClientRect(m_hWnd, &client);
  const int side = IconSide(SM_CXICON, m_nDpi);
  const int x = (client.right - client.left - side + 1) / 2;
  const int y = (client.bottom - client.top - side + 1) / 2;
  ::DrawIconEx(dc, x, y, m_iconLarge.get(), side, side, 0, nullptr, DI_NORMAL);
  ::EndPaint(m_hWnd, &paint);
  return TRUE;
}

INT_PTR CMyUpdateDlg::OnQueryDragIcon(WPARAM, LPARAM) {
  return reinterpret_cast<INT_PTR>(m_iconLarge.get());
}

INT_PTR CMyUpdateDlg::OnClose(WPARAM, LPARAM) { return FALSE; }

// The file list keeps no texts of its own: it asks for each one it draws or
// is asked for by anyone, another program included.
INT_PTR CMyUpdateDlg::OnNotify(WPARAM, LPARAM lParam) {
  LRESULT result = 0;
  if (!m_listFiles.AnswerNotify(reinterpret_cast<const NMHDR*>(lParam), result)) return FALSE;
  ::SetWindowLongPtrW(m_hWnd, DWLP_MSGRESULT, result);
  return TRUE;
}

// Sent only to a per-monitor-aware window (the manifest asks for Per Monitor
// v2; every older system runs the process system-aware and never sends it).
// The window takes the rectangle the system suggests for the new DPI; the
// code's own pixel sizes follow here. The result FALSE leaves the rest to the
// dialog manager, which in Per Monitor v2 lays the controls out again from
// the template and gives them the template's font at the new DPI.
INT_PTR CMyUpdateDlg::OnDpiChanged(WPARAM wParam, LPARAM lParam) {
  const auto* suggested = reinterpret_cast<const RECT*>(lParam);
  if (suggested) {
    ::SetWindowPos(m_hWnd, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                   suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
  }
  // Both halves carry the same DPI for a desktop program.
  ApplyDpi(LOWORD(wParam));
  return FALSE;
}
