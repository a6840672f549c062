#pragma once
#include <string>

// What the download engine tells whoever shows it. Every call comes from the
// thread that called the engine, in the order things happen, never from the
// threads that receive the files; texts are ready to show.
class DownloadReport {
 public:
  virtual ~DownloadReport() = default;

  // The probe passed: the bar's range is 0..10000 and earlier rows go.
  virtual void RunStarted(int total) = 0;
  // A file starts; its row is inserted at index (list order). Returns the row.
  virtual int RowAdded(int index, const std::wstring& name, const std::wstring& status) = 0;
  virtual void RowProgress(int row, const std::wstring& status) = 0;
  // The row's last text: its final sizes or "文件下载失败".
  virtual void RowFinished(int row, const std::wstring& status) = 0;
  // The bar (0..10000), and after each finished file the counter text.
  virtual void Progress(int position) = 0;
  virtual void Counters(const std::wstring& counter) = 0;
  // The oldest file not yet finished (the last one once all are).
  virtual void CurrentFile(const std::wstring& name) = 0;
  virtual void Speed(const std::wstring& speed) = 0;
};

// Files received at once: enough to cover a request's round trip with the
// bodies of others on a small-file release, few enough that a server sees no
// more than a browser's share of connections (see docs/benchmarks.md).
constexpr int kDownloadConnections = 4;
