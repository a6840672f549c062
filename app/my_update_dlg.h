#pragma once
#include <string>

#include "app/dpi_scale.h"
#include "app/window_dpi_win.h"
#include "engine/handles_win.h"
#include "engine/my_fun.h"
#include "engine/stop_signal.h"
#include "framework/afx.h"

// The updater's one window: the update log, the file list, progress and the
// two buttons. It owns the engine and starts at most one worker at a time.
class CMyUpdateDlg : public CDialog {
 public:
  explicit CMyUpdateDlg(CWnd* parent = nullptr);
  ~CMyUpdateDlg() override;

  BOOL OnInitDialog() override;
  void OnOK() override;
  void OnCancel() override;

  void InitFileList();
  // Sizes everything the code gives in pixels (the columns, the icons) for
  // the DPI the window is shown at.
  void ApplyDpi(int dpi);
  void StartUpdate();
  void RunDeleteScript();
  static int FetchUpdateLog(const std::wstring& url, const std::wstring& folder,
                            std::wstring& result);

  std::wstring m_strUpdateUrl;
  CMyFun* m_pFun = nullptr;
  CWinThread* m_pThread = nullptr;
  CStatic m_staticStatus;
  CStatic m_staticLog;
  CProgressCtrl m_progress;
  CButton m_btnUpdate;
  CButton m_btnExit;
  CStatic m_staticCount;
  CStatic m_staticSpeed;
  CStatic m_staticFile;
  CListCtrl m_listFiles;
  // The icon resource's images at the system's large and small sizes for the
  // window's DPI; loaded again when the window moves to another DPI.
  UniqueIcon m_iconLarge;
  UniqueIcon m_iconSmall;
  int m_nDpi = kDefaultDpi;
  volatile LONG m_bFinished = 0;
  // Runs started in this dialog session. Only the first may take digests
  // from the cache; every later one reads every file (and renews the cache),
  // so pressing the button again is how a user has everything verified.
  int m_nRuns = 0;

  // The running worker's stop request; the worker reads it, the closing paths set it.
  StopSignal m_stop;

 protected:
  const MessageMap* GetMessageMap() const override;
  void DoDataExchange() override;

 private:
  INT_PTR OnSysCommand(WPARAM, LPARAM);
  INT_PTR OnPaint(WPARAM, LPARAM);
  INT_PTR OnQueryDragIcon(WPARAM, LPARAM);
  INT_PTR OnBnClickedUpdate(WPARAM, LPARAM);
  INT_PTR OnBnClickedExit(WPARAM, LPARAM);
  INT_PTR OnClose(WPARAM, LPARAM);
  INT_PTR OnNotify(WPARAM, LPARAM);
  INT_PTR OnDpiChanged(WPARAM, LPARAM);

  bool HasFailedRow() const;
  // Waits for the previous worker to have ended, handling its window calls.
  bool WaitForWorker(DWORD timeoutMs);
  // Stops a running worker and waits until it, and every thread of its run,
  // has ended. Past the time bound (a network call that a closed handle does
  // not wake) it ends the whole process instead and does not return.
  void StopWorker();

  UniqueKernelHandle m_hWorker;  // the last worker's thread, for the closing paths
  std::wstring m_strScriptPath;
  bool m_bRetried = false;
};

// The worker: one update run from local manifest to outcome.
UINT UpdateThreadProc(LPVOID param);
