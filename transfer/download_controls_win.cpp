// The dialog's side of the download: turns what the engine reports into
// calls on the five controls.
#include <initializer_list>
#include <vector>

#include "engine/my_fun.h"
#include "framework/afx.h"
#include "transfer/download_policy.h"
#include "transfer/download_report.h"

namespace {

constexpr DWORD kPaintEveryMs = 250;  // what a person reading the list still sees as live

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

class ControlReport final : public DownloadReport {
 public:
  ControlReport(CProgressCtrl& progress, CStatic& counterText, CStatic& speedText,
                CStatic& fileNameText, CListCtrl& fileList)
      : m_progress(progress), m_counterText(counterText), m_speedText(speedText),
        m_fileNameText(fileNameText), m_fileList(fileList),
        m_paint({counterText.m_hWnd, speedText.m_hWnd, fileNameText.m_hWnd, fileList.m_hWnd}) {}

  void RunStarted(int) override {
    m_progress.SetRange(0, RunBar::kRange);
    m_fileList.DeleteAllItems();
  }
  int RowAdded(int index, const std::wstring& name, const std::wstring& status) override {
    const int row = m_fileList.InsertItem(index, name);
    m_fileList.SetItemText(row, 1, status);
    m_paint.Tick();
    return row;
  }
  void RowProgress(int row, const std::wstring& status) override {
    m_fileList.SetItemText(row, 1, status);
    m_paint.Tick();
  }
  void RowFinished(int row, const std::wstring& status) override {
    m_fileList.SetItemText(row, 1, status);
    m_paint.Tick();
  }
  void Progress(int position) override { m_progress.SetPos(position); }
  void Counters(const std::wstring& counter) override {
    m_counterText.SetWindowText(counter);
    m_paint.Tick();
  }
  void CurrentFile(const std::wstring& name) override { m_fileNameText.SetWindowText(name); }
  void Speed(const std::wstring& speed) override { m_speedText.SetWindowText(speed); }

 private:
  CProgressCtrl& m_progress;
  CStatic& m_counterText;
  CStatic& m_speedText;
  CStatic& m_fileNameText;
  CListCtrl& m_fileList;
  PaintPacer m_paint;
};

}  // namespace

bool CMyFun::DownloadFiles(std::wstring url, std::wstring folder, const DownloadList& list,
                           CProgressCtrl& progress, CStatic& counterText, CStatic& speedText,
                           CStatic& fileNameText, CListCtrl& fileList, StopSignal* stop) {
  if (list.empty()) return true;
  ControlReport report(progress, counterText, speedText, fileNameText, fileList);
  return FetchFiles(std::move(url), std::move(folder), list, report, stop);
}
