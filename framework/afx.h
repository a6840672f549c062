#pragma once
// The least dialog framework the updater needs: an application object, a
// modal dialog over a resource template with a message map, control binding,
// thin control wrappers, and worker-thread start and end.
#include <mutex>
#include <string>
#include <vector>

#include "engine/win.h"

// A window handle with the few calls the dialog and the worker make. The
// calls are ordinary synchronous window messages, so from the worker thread
// each one waits until the dialog's thread has handled it.
class CWnd {
 public:
  CWnd() = default;
  explicit CWnd(HWND hwnd) : m_hWnd(hwnd) {}
  virtual ~CWnd() = default;

  HWND GetSafeHwnd() const { return m_hWnd; }
  CWnd GetDlgItem(int id) const { return CWnd(::GetDlgItem(m_hWnd, id)); }
  void SetWindowText(const std::wstring& text) { ::SetWindowTextW(m_hWnd, text.c_str()); }
  std::wstring GetWindowText() const;
  BOOL EnableWindow(BOOL enable = TRUE) { return ::EnableWindow(m_hWnd, enable); }
  BOOL IsWindowEnabled() const { return ::IsWindowEnabled(m_hWnd); }
  BOOL ShowWindow(int command) { return ::ShowWindow(m_hWnd, command); }
  BOOL IsWindowVisible() const { return ::IsWindowVisible(m_hWnd); }
  LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const {
    return ::SendMessageW(m_hWnd, message, wParam, lParam);
  }

  HWND m_hWnd = nullptr;
};

class CStatic : public CWnd {};
class CButton : public CWnd {};
class CEdit : public CWnd {};

class CProgressCtrl : public CWnd {
 public:
  void SetRange(short lower, short upper) { SendMessage(PBM_SETRANGE, 0, MAKELPARAM(lower, upper)); }
  int SetPos(int pos) { return static_cast<int>(SendMessage(PBM_SETPOS, pos)); }
  int GetPos() const { return static_cast<int>(SendMessage(PBM_GETPOS)); }
};

// The texts of a list view's rows, kept outside the control. Any thread may
// change them under the lock without a window message; the control draws
// them (and answers other programs' questions) from here.
class ListRows {
 public:
  // Returns the row's index: item, or the end when item lies past it.
  int Insert(int item, const std::wstring& text);
  void SetText(int item, int subItem, const std::wstring& text);
  void Clear();
  int Count() const;
  // The text cut to fit capacity characters with its terminating zero; empty
  // for a row or column not held (a control that counts more rows than are
  // left asks for those until it is told the new count).
  void CopyText(int item, int subItem, wchar_t* buffer, int capacity) const;
  // The first row from start on, and then from the top when wrap, whose
  // column 0 is text, or begins with it when partial, ignoring case; -1 if none.
  int Find(int start, const std::wstring& text, bool partial, bool wrap) const;
  // The rows changed since the last call, first and last; false when none.
  bool TakeChanged(int& first, int& last);

 private:
  void Changed(int item);

  mutable std::mutex m_lock;
  std::vector<std::vector<std::wstring>> m_rows;  // one text per column set
  int m_changedFirst = -1;
  int m_changedLast = -1;
};

// A report-view list with owner data (LVS_OWNERDATA): its rows live in
// m_rows, and its parent passes each WM_NOTIFY to AnswerNotify, so the
// control asks for a text only when it draws it or is asked for it. The
// item calls change the rows and tell the control at once; a worker changes
// m_rows alone and calls ShowRows at the pace it likes.
class CListCtrl : public CWnd {
 public:
  DWORD SetExtendedStyle(DWORD style) {
    return static_cast<DWORD>(SendMessage(LVM_SETEXTENDEDLISTVIEWSTYLE, 0, style));
  }
  int InsertColumn(int column, const wchar_t* heading, int format, int width);
  BOOL SetColumnWidth(int column, int width) {
    return static_cast<BOOL>(SendMessage(LVM_SETCOLUMNWIDTH, column, MAKELPARAM(width, 0)));
  }
  int InsertItem(int item, const std::wstring& text);
  BOOL SetItemText(int item, int subItem, const std::wstring& text);
  // Through the control, as any other reader sees it.
  std::wstring GetItemText(int item, int subItem) const;
  int GetItemCount() const { return static_cast<int>(SendMessage(LVM_GETITEMCOUNT)); }
  BOOL DeleteAllItems();
  // Tells the control the row count and redraws the changed rows it shows;
  // keeps the scroll position and the rows in view.
  void ShowRows();
  // True when header was this control's request for a text or for the row
  // a typed prefix names, now answered; result is the notification's result.
  bool AnswerNotify(const NMHDR* header, LRESULT& result) const;

  ListRows m_rows;
};

// A modal dialog from a template. Derived classes list their handlers in a
// message map (GetMessageMap); whatever the map does not take gets the
// dialog manager's default, except IDOK and IDCANCEL, which go to OnOK and
// OnCancel. WM_INITDIALOG binds the controls (DoDataExchange) first.
class CDialog : public CWnd {
 public:
  using Handler = INT_PTR (CDialog::*)(WPARAM, LPARAM);
  struct MessageEntry {
    UINT message;
    UINT notifyCode;  // WM_COMMAND only
    UINT id;          // WM_COMMAND only
    Handler handler;  // its result is the dialog procedure's result
  };
  struct MessageMap {
    const MessageEntry* entries;
    size_t count;
  };

  explicit CDialog(UINT templateId, CWnd* parent = nullptr);

  INT_PTR DoModal();
  virtual BOOL OnInitDialog();
  virtual void OnOK();
  virtual void OnCancel();
  void EndDialog(int result) { ::EndDialog(m_hWnd, result); }

  template <class Derived>
  static constexpr Handler Handle(INT_PTR (Derived::*handler)(WPARAM, LPARAM)) {
    return static_cast<Handler>(handler);
  }

 protected:
  virtual const MessageMap* GetMessageMap() const { return nullptr; }
  virtual void DoDataExchange() {}
  void Bind(int id, CWnd& control) { control.m_hWnd = ::GetDlgItem(m_hWnd, id); }

 private:
  static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR Dispatch(UINT message, WPARAM wParam, LPARAM lParam);

  UINT m_templateId;
  CWnd* m_parent;
};

// The process's application object; wWinMain runs InitInstance and ends the
// process when it returns FALSE.
class CWinApp {
 public:
  CWinApp();
  virtual ~CWinApp() = default;
  virtual BOOL InitInstance() { return FALSE; }

  HINSTANCE m_hInstance = nullptr;
  CWnd* m_pMainWnd = nullptr;
};

CWinApp* AfxGetApp();
HINSTANCE AfxGetResourceHandle();
// Registers the common control classes the dialog template uses (progress
// bar, list view); the dialog cannot be created without them.
void AfxEnableControlContainer();

using AFX_THREADPROC = UINT (*)(LPVOID);

// A worker thread that deletes its own object when it ends.
class CWinThread {
 public:
  ~CWinThread();
  DWORD ResumeThread() { return ::ResumeThread(m_hThread); }

  HANDLE m_hThread = nullptr;
  DWORD m_nThreadID = 0;
  AFX_THREADPROC m_pfnThreadProc = nullptr;
  LPVOID m_pThreadParams = nullptr;
};

CWinThread* AfxBeginThread(AFX_THREADPROC proc, LPVOID param,
                           int priority = THREAD_PRIORITY_NORMAL, UINT stackSize = 0,
                           DWORD createFlags = 0, LPSECURITY_ATTRIBUTES security = nullptr);
// Ends the calling worker thread with the code and deletes its thread object.
// Call it with no objects alive on the thread's stack: their destructors do not run.
[[noreturn]] void AfxEndThread(UINT exitCode);
