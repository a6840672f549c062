// The dialog's side of the download: turns what the engine reports into
// calls on the five controls.
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

#include "engine/my_fun.h"
#include "framework/afx.h"
#include "transfer/download_policy.h"
#include "transfer/download_report.h"

namespace {

constexpr DWORD kPaintEveryMs = 250;  // what a person reading the list still sees as live

// Lets the controls that draw text repaint at most every kPaintEveryMs during
// a run (the progress bar, a plain fill, keeps painting at once). Measured
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

  bool Due() const { return ::GetTickCount() - m_paintedAt >= kPaintEveryMs; }
  // Paints what has changed.
  void Paint() {
    m_paintedAt = ::GetTickCount();
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
  ~ControlReport() override { SetRowTexts(); }
  ControlReport(const ControlReport&) = delete;
  ControlReport& operator=(const ControlReport&) = delete;

  void RunStarted(int) override {
    m_progress.SetRange(0, RunBar::kRange);
    m_fileList.DeleteAllItems();
  }
  // A row's status is set when the list is next painted: nobody sees it
  // sooner, and a small file's row then takes one message for its last text
  // instead of one per text it went through.
  int RowAdded(int index, const std::wstring& name, const std::wstring& status) override {
    const int row = m_fileList.InsertItem(index, name);
    m_rowTexts[row] = status;
    Tick();
    return row;
  }
  void RowProgress(int row, const std::wstring& status) override {
    m_rowTexts[row] = status;
    Tick();
  }
  void RowFinished(int row, const std::wstring& status) override {
    m_rowTexts[row] = status;
    Tick();
  }
  void Progress(int position) override { m_progress.SetPos(position); }
  void Counters(const std::wstring& counter) override {
    m_counterText.SetWindowText(counter);
    Tick();
  }
  void CurrentFile(const std::wstring& name) override { m_fileNameText.SetWindowText(name); }
  void Speed(const std::wstring& speed) override { m_speedText.SetWindowText(speed); }

 private:
  void Tick() {
    if (!m_paint.Due()) return;
    SetRowTexts();
    m_paint.Paint();
  }
  void SetRowTexts() {
    for (const auto& [row, status] : m_rowTexts) m_fileList.SetItemText(row, 1, status);
    m_rowTexts.clear();
  }

  CProgressCtrl& m_progress;
  CStatic& m_counterText;
  CStatic& m_speedText;
  CStatic& m_fileNameText;
  CListCtrl& m_fileList;
  PaintPacer m_paint;
  std::map<int, std::wstring> m_rowTexts;  // set at the next paint, in row order
};

}  // namespace

bool CMyFun::DownloadFiles(std::wstring url, std::wstring folder, const DownloadList& list,
                           CProgressCtrl& progress, CStatic& counterText, CStatic& speedText,
                           CStatic& fileNameText, CListCtrl& fileList, StopSignal* stop) {
  if (list.empty()) return true;
  ControlReport report(progress, counterText, speedText, fileNameText, fileList);
  return FetchFiles(std::move(url), std::move(folder), list, report, stop);
}
