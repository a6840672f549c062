// The dialog's side of the download: turns what the engine reports into
// calls on the five controls.
#include <string>

#include "engine/my_fun.h"
#include "framework/afx.h"
#include "transfer/download_policy.h"
#include "transfer/download_report.h"

namespace {

constexpr DWORD kPaintEveryMs = 250;  // what a person reading the list still sees as live

// Every call of the engine changes only what is kept here; the controls are
// told at most every kPaintEveryMs and once at the end. Under Wine each window
// message to the dialog's thread kept the worker waiting for that thread, and
// with many small files a message per row and per text was most of a file's
// time. The rows go to the list's own store, which the control reads when it
// draws, so a row costs no message at all.
class ControlReport final : public DownloadReport {
 public:
  ControlReport(CProgressCtrl& progress, CStatic& counterText, CStatic& speedText,
                CStatic& fileNameText, CListCtrl& fileList)
      : m_progress(progress), m_counterText(counterText), m_speedText(speedText),
        m_fileNameText(fileNameText), m_fileList(fileList), m_shownAt(::GetTickCount()) {}
  ~ControlReport() override { Show(); }
  ControlReport(const ControlReport&) = delete;
  ControlReport& operator=(const ControlReport&) = delete;

  void RunStarted(int) override {
    m_progress.SetRange(0, RunBar::kRange);
    m_fileList.DeleteAllItems();
  }
  int RowAdded(int index, const std::wstring& name, const std::wstring& status) override {
    const int row = m_fileList.m_rows.Insert(index, name);
    m_fileList.m_rows.SetText(row, 1, status);
    Tick();
    return row;
  }
  void RowProgress(int row, const std::wstring& status) override { SetStatus(row, status); }
  void RowFinished(int row, const std::wstring& status) override { SetStatus(row, status); }
  void Progress(int position) override { Keep(m_position, position); }
  void Counters(const std::wstring& counter) override { Keep(m_counter, counter); }
  void CurrentFile(const std::wstring& name) override { Keep(m_fileName, name); }
  void Speed(const std::wstring& speed) override { Keep(m_speed, speed); }

 private:
  // A value waiting to be shown; set once shown.
  template <class T>
  struct Pending {
    T value{};
    bool due = false;
  };

  void SetStatus(int row, const std::wstring& status) {
    m_fileList.m_rows.SetText(row, 1, status);
    Tick();
  }
  template <class T>
  void Keep(Pending<T>& pending, const T& value) {
    pending.value = value;
    pending.due = true;
    Tick();
  }
  void Tick() {
    if (::GetTickCount() - m_shownAt >= kPaintEveryMs) Show();
  }
  void Show() {
    m_shownAt = ::GetTickCount();
    m_fileList.ShowRows();
    if (Take(m_position)) m_progress.SetPos(m_position.value);
    if (Take(m_counter)) m_counterText.SetWindowText(m_counter.value);
    if (Take(m_fileName)) m_fileNameText.SetWindowText(m_fileName.value);
    if (Take(m_speed)) m_speedText.SetWindowText(m_speed.value);
  }
  template <class T>
  static bool Take(Pending<T>& pending) {
    const bool due = pending.due;
    pending.due = false;
    return due;
  }

  CProgressCtrl& m_progress;
  CStatic& m_counterText;
  CStatic& m_speedText;
  CStatic& m_fileNameText;
  CListCtrl& m_fileList;
  DWORD m_shownAt;
  Pending<int> m_position;
  Pending<std::wstring> m_counter;
  Pending<std::wstring> m_fileName;
  Pending<std::wstring> m_speed;
};

}  // namespace

bool CMyFun::DownloadFiles(std::wstring url, std::wstring folder, const DownloadList& list,
                           CProgressCtrl& progress, CStatic& counterText, CStatic& speedText,
                           CStatic& fileNameText, CListCtrl& fileList, StopSignal* stop) {
  if (list.empty()) return true;
  ControlReport report(progress, counterText, speedText, fileNameText, fileList);
  return FetchFiles(std::move(url), std::move(folder), list, report, stop);
}
