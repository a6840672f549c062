#include "transfer/download_text.h"

#include <cwchar>
#include <limits>

const wchar_t kRowFailedText[] = L"文件下载失败";
const wchar_t kRowInitialText[] = L"0.00K(当前大小)/0.00K(总大小)";

namespace {

// A reported length of 0 would divide by zero; the download counts it as 1.
std::uint64_t UsableLength(std::uint64_t reported) { return reported == 0 ? 1 : reported; }

std::wstring FromBuffer(const wchar_t* buffer, int written) {
  return written < 0 ? std::wstring() : std::wstring(buffer, static_cast<std::size_t>(written));
}

}  // namespace

std::wstring SizeText(std::uint64_t received, std::uint64_t reported, bool final) {
  wchar_t buffer[128];
  const double receivedK = static_cast<double>(received) / 1000.0;
  const double reportedK = static_cast<double>(UsableLength(reported)) / 1000.0;
  const int written =
      final ? std::swprintf(buffer, 128, L"%.2fK(当前大小)/%.2fK(总大小) \r\n", receivedK, reportedK)
            : std::swprintf(buffer, 128, L"%.2fK(当前大小)/%.2fK(总大小)", receivedK, reportedK);
  return FromBuffer(buffer, written);
}

std::wstring SpeedText(std::uint64_t reported, std::uint32_t elapsedMs) {
  const double length = static_cast<double>(UsableLength(reported));
  const double seconds = elapsedMs / 1000.0;
  const double speed = seconds != 0 ? length / seconds / 1000 : length / 1000;
  wchar_t buffer[128];
  return FromBuffer(buffer, std::swprintf(buffer, 128, L"%.1fk/s(下载速度)", speed));
}

std::wstring CounterText(int done, int total) {
  wchar_t buffer[128];
  return FromBuffer(buffer,
                    std::swprintf(buffer, 128, L"%d个(当前已下载文件个数)/%d个(总文件个数)", done, total));
}

int DownloadProgress::AddRead(std::uint64_t bytes, std::uint64_t reportedLength) {
  if (m_total <= 0) return m_position;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  const auto total = static_cast<std::uint64_t>(m_total);
  const std::uint64_t length = UsableLength(reportedLength);

  // A body longer than its reported length would push the position past the
  // range and eventually overflow an int, so the bar stops at full.
  std::uint64_t step;
  if (bytes > kMax / kRange) {
    step = kRange;
  } else if (length > kMax / total) {
    step = 0;  // the divisor exceeds any possible dividend
  } else {
    step = bytes * kRange / (length * total);
  }
  const std::uint64_t room = static_cast<std::uint64_t>(kRange - m_position);
  m_position = step >= room ? kRange : m_position + static_cast<int>(step);
  return m_position;
}

int DownloadProgress::FinishFile() {
  if (m_total <= 0) return m_position;
  ++m_done;
  const std::int64_t position = static_cast<std::int64_t>(m_done) * kRange / m_total;
  m_position = position < kRange ? static_cast<int>(position) : kRange;
  return m_position;
}
