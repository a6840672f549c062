#pragma once
#include <cstdint>
#include <string>

// Texts the download shows. K is 1000 bytes.

// "%.2fK(当前大小)/%.2fK(总大小)", followed by " \r\n" when final.
std::wstring SizeText(std::uint64_t received, std::uint64_t reported, bool final);

// "%.1fk/s(下载速度)" for a file of the reported length taken in elapsedMs;
// 0 ms counts as one second.
std::wstring SpeedText(std::uint64_t reported, std::uint32_t elapsedMs);

// "%d个(当前已下载文件个数)/%d个(总文件个数)"
std::wstring CounterText(int done, int total);

extern const wchar_t kRowFailedText[];    // "文件下载失败"
extern const wchar_t kRowInitialText[];   // "0.00K(当前大小)/0.00K(总大小)"

// Progress bar position in 0..10000: every read adds n*10000/(length*total),
// every finished file snaps the bar to done*10000/total.
class DownloadProgress {
 public:
  static constexpr int kRange = 10000;
  explicit DownloadProgress(int total) : m_total(total) {}

  int AddRead(std::uint64_t bytes, std::uint64_t reportedLength);
  int FinishFile();
  int Position() const { return m_position; }
  int Done() const { return m_done; }

 private:
  int m_total;
  int m_done = 0;
  int m_position = 0;
};
