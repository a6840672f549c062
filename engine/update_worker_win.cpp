#include "app/my_update_dlg.h"
#include "engine/separators.h"
#include "res/resource.h"
#include "transfer/set_aside_win.h"

namespace {

// One run, steps in order; returns the thread's exit code (1 when stopped).
UINT RunUpdate(CMyUpdateDlg& dlg) {
  CMyFun& fun = *dlg.m_pFun;
  StopSignal* stop = &dlg.m_stop;

  std::wstring folder = FolderOfPath(fun.GetAppPath());
  std::wstring url = dlg.m_strUpdateUrl;
  AddTrailingSeparators(folder, url);

  // Before the walk, so copies that nothing holds any more are not listed.
  RemoveSetAside(folder);
  dlg.m_staticStatus.SetWindowText(L"获取本地版本信息...");
  const DigestSource digests =
      dlg.m_nRuns > 1 ? DigestSource::kReadEveryFile : DigestSource::kCacheWhereTrusted;
  if (!fun.BuildLocalManifest(folder, stop, digests)) {
    if (!StopRequested(stop)) dlg.m_staticStatus.SetWindowText(L"获取本地版本信息失败");
  } else if (!StopRequested(stop)) {
    dlg.m_staticStatus.SetWindowText(L"获取新版本信息...");
    std::wstring verdict;
    const DownloadList list = fun.CheckVersion(url, folder, verdict, stop);
    if (StopRequested(stop)) {
      // closing: no outcome to show
    } else if (verdict == L"Error") {
      dlg.m_staticStatus.SetWindowText(L"更新信息获取失败,请检测网络是否正常!");
    } else if (verdict == L"Allnew") {
      dlg.m_staticStatus.SetWindowText(L"程序已经是最新版,不需要更新.");
    } else if (verdict == L"Part") {
      dlg.m_progress.ShowWindow(SW_SHOW);
      dlg.m_staticStatus.SetWindowText(L"正在下载新版本...");
      const bool done = fun.DownloadFiles(url, folder, list, dlg.m_progress, dlg.m_staticCount,
                                          dlg.m_staticSpeed, dlg.m_staticFile, dlg.m_listFiles, stop);
      if (StopRequested(stop)) {
        // closing: the partial file stays for the next run
      } else if (done) {
        dlg.m_staticStatus.SetWindowText(L"更新成功.");
        ::InterlockedExchange(&dlg.m_bFinished, 1);
        dlg.m_btnUpdate.SetWindowText(L"更新完成");
        dlg.m_btnExit.EnableWindow(FALSE);
      } else {
        dlg.m_staticStatus.SetWindowText(L"下载更新文件失败,请检测网络是否正常.");
        dlg.m_btnUpdate.SetWindowText(L"重新更新");
      }
    }
  }

  fun.CleanupManifests(folder);
  // The dialog is closing and waits for this thread: leave its controls
  // alone, and record at once what the cache can already trust.
  if (StopRequested(stop)) {
    fun.RecordInstalledDigests(folder, stop);
    return 1;
  }

  dlg.GetDlgItem(IDC_BTN_UPDATE).EnableWindow(TRUE);
  dlg.GetDlgItem(IDC_STATUS).ShowWindow(SW_SHOW);
  dlg.GetDlgItem(IDC_CURRENT_FILE).SetWindowText(L"");
  dlg.GetDlgItem(IDC_SPEED).SetWindowText(L"0.0k/s(下载速度)");
  // Last, with the outcome shown and the dialog ready: the installed files'
  // digests wait out the cache's racy margin here (about 2 s at most), and a
  // close or a new run stops the wait at once.
  fun.RecordInstalledDigests(folder, stop);
  return 0;
}

}  // namespace

UINT UpdateThreadProc(LPVOID param) {
  UINT code;
  {
    code = RunUpdate(*static_cast<CMyUpdateDlg*>(param));
  }
  // Every object of the run is gone: ending the thread skips no destructor.
  AfxEndThread(code);
}
