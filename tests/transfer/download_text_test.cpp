#include "transfer/download_text.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

constexpr std::uint64_t kReadSize = 40960;

TEST(DownloadProgress, SnapsToEachQuarterWithReadsNeverPassingTheNextSnap) {
  const std::vector<std::uint64_t> sizes = {1, 3 * kReadSize + 17, 123457, 999};
  const int wantSnaps[] = {2500, 5000, 7500, 10000};
  DownloadProgress progress(4);
  int previousSnap = 0;
  for (std::size_t file = 0; file < sizes.size(); ++file) {
    std::uint64_t left = sizes[file];
    for (;;) {
      const std::uint64_t n = left < kReadSize ? left : kReadSize;
      const int position = progress.AddRead(n, sizes[file]);
      EXPECT_GE(position, previousSnap) << "file " << file;
      EXPECT_LE(position, wantSnaps[file]) << "file " << file;
      EXPECT_EQ(position, progress.Position());
      if (n == 0) break;
      left -= n;
    }
    EXPECT_EQ(progress.FinishFile(), wantSnaps[file]);
    EXPECT_EQ(progress.Position(), wantSnaps[file]);
    EXPECT_EQ(progress.Done(), static_cast<int>(file) + 1);
    previousSnap = wantSnaps[file];
  }
}

TEST(DownloadProgress, SnapsUseIntegerDivision) {
  DownloadProgress progress(3);
  EXPECT_EQ(progress.FinishFile(), 3333);
  EXPECT_EQ(progress.FinishFile(), 6666);
  EXPECT_EQ(progress.FinishFile(), 10000);
}

TEST(DownloadProgress, EachReadAddsItsOwnTruncatedShare) {
  DownloadProgress progress(3);
  // 9 * 10000 / (20000 * 3) = 1.5 -> 1, so three reads give 3, not 4.
  EXPECT_EQ(progress.AddRead(9, 20000), 1);
  EXPECT_EQ(progress.AddRead(9, 20000), 2);
  EXPECT_EQ(progress.AddRead(9, 20000), 3);
}

TEST(DownloadProgress, LengthsNearFourGibibytesDoNotOverflow) {
  for (const std::uint64_t length : {std::uint64_t{0x7FFFFFFF}, std::uint64_t{0xFFFFFFFF}}) {
    DownloadProgress progress(1000);
    EXPECT_EQ(progress.AddRead(kReadSize, length), 0) << length;
    EXPECT_EQ(progress.AddRead(length, length), 10) << length;
  }
  DownloadProgress single(1);
  EXPECT_EQ(single.AddRead(0x80000000u, 0xFFFFFFFFu), 5000);
}

TEST(DownloadProgress, ReportedLengthZeroCountsAsOne) {
  DownloadProgress progress(4);
  EXPECT_EQ(progress.AddRead(0, 0), 0);
  EXPECT_EQ(progress.AddRead(1, 0), 2500);
}

TEST(DownloadProgress, BodyLongerThanReportedStopsAtFull) {
  DownloadProgress progress(1);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(progress.AddRead(kReadSize, 1), DownloadProgress::kRange);
  EXPECT_EQ(progress.FinishFile(), DownloadProgress::kRange);
}

TEST(DownloadText, SizeTexts) {
  const struct {
    std::uint64_t received, reported;
    bool final;
    const wchar_t* want;
  } cases[] = {
      {0, 7000, false, L"0.00K(当前大小)/7.00K(总大小)"},
      {5000, 7000, false, L"5.00K(当前大小)/7.00K(总大小)"},
      {5000, 7000, true, L"5.00K(当前大小)/7.00K(总大小) \r\n"},
      {1234567, 0x7FFFFFFF, false, L"1234.57K(当前大小)/2147483.65K(总大小)"},
      {0, 0, false, L"0.00K(当前大小)/0.00K(总大小)"},
      {0, 0, true, L"0.00K(当前大小)/0.00K(总大小) \r\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(SizeText(c.received, c.reported, c.final), c.want);
  EXPECT_EQ(SizeText(0, 0, false), kRowInitialText);
}

TEST(DownloadText, SpeedTexts) {
  const struct {
    std::uint64_t reported;
    std::uint32_t ms;
    const wchar_t* want;
  } cases[] = {
      {2048000, 1000, L"2048.0k/s(下载速度)"},
      {2048000, 0, L"2048.0k/s(下载速度)"},  // no time passed: length / 1000
      {2048000, 2000, L"1024.0k/s(下载速度)"},
      {1000, 3, L"333.3k/s(下载速度)"},
      {0, 1, L"1.0k/s(下载速度)"},  // a reported 0 counts as 1 byte
  };
  for (const auto& c : cases) EXPECT_EQ(SpeedText(c.reported, c.ms), c.want);
}

TEST(DownloadText, CounterTexts) {
  EXPECT_EQ(CounterText(3, 7), L"3个(当前已下载文件个数)/7个(总文件个数)");
  EXPECT_EQ(CounterText(10, 120), L"10个(当前已下载文件个数)/120个(总文件个数)");
}

TEST(DownloadText, RowTextsAreTheExactCodeUnits) {
  // Guards against the source being read in another encoding.
  EXPECT_EQ(std::wstring(kRowFailedText),
            (std::wstring{wchar_t(0x6587), wchar_t(0x4EF6), wchar_t(0x4E0B), wchar_t(0x8F7D),
                          wchar_t(0x5931), wchar_t(0x8D25)}));
  EXPECT_EQ(std::wstring(kRowInitialText).substr(0, 10),
            (std::wstring{L'0', L'.', L'0', L'0', L'K', L'(', wchar_t(0x5F53), wchar_t(0x524D),
                          wchar_t(0x5927), wchar_t(0x5C0F)}));
}

}  // namespace
