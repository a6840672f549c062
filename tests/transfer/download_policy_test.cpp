#include "transfer/download_policy.h"

#include <gtest/gtest.h>

#include <vector>

#include "transfer/download_text.h"

namespace {

TEST(DownloadPolicy, ProbeAnswers) {
  const struct {
    unsigned long status;
    ProbeVerdict want;
  } cases[] = {{206, ProbeVerdict::kResume},    {404, ProbeVerdict::kMissing},
               {200, ProbeVerdict::kWhole},     {416, ProbeVerdict::kResume},
               {0, ProbeVerdict::kUndecided},   {500, ProbeVerdict::kUndecided},
               {503, ProbeVerdict::kUndecided}};
  for (const auto& c : cases) EXPECT_EQ(ProbeVerdictOf(c.status), c.want) << c.status;
}

TEST(DownloadPolicy, WhatToAskFor) {
  EXPECT_EQ(RequestHeader(true, 5000), L"Range: bytes=5000-\r\n\r\n");
  EXPECT_EQ(RequestHeader(true, 0), L"Range: bytes=0-\r\n\r\n");  // resume mode, nothing kept yet
  // Past the 32-bit marks, a kept part of a large archive is still continued.
  EXPECT_EQ(RequestHeader(true, 4294967296ull + 5), L"Range: bytes=4294967301-\r\n\r\n");
  EXPECT_EQ(RequestHeader(false, 5000), L"Accept: */*\r\n\r\n");
}

TEST(DownloadPolicy, AnswersToAFileRequest) {
  const auto range = [](std::uint64_t first, std::uint64_t last, std::uint64_t total) {
    return std::optional<ContentRange>(ContentRange{{first, last}, total});
  };
  const std::uint64_t big = 5000000000ull;  // past 4 GiB
  const struct {
    FileAnswer answer;
    bool askedRange;
    std::uint64_t offset;
    bool firstAttempt;
    AnswerUse want;
    std::uint64_t length;
  } cases[] = {
      {{200, 7000, {}}, false, 0, true, AnswerUse::kWriteWhole, 7000},
      {{200, big, {}}, true, 0, true, AnswerUse::kWriteWhole, big},
      {{200, 7000, {}}, true, 3000, true, AnswerUse::kRewriteWhole, 7000},  // range ignored: never appended
      {{206, 4000, range(3000, 6999, 7000)}, true, 3000, true, AnswerUse::kAppend, 7000},
      {{206, big - 4294967300ull, range(4294967300ull, big - 1, big)}, true, 4294967300ull, true,
       AnswerUse::kAppend, big},
      // A 206 that does not continue the kept part: asked again from zero, once.
      {{206, 7000, range(0, 6999, 7000)}, true, 3000, true, AnswerUse::kAskAgainFromZero, 0},
      {{206, 1000, range(3000, 3999, 7000)}, true, 3000, true, AnswerUse::kAskAgainFromZero, 0},
      {{206, 3999, range(3000, 6999, 7000)}, true, 3000, true, AnswerUse::kAskAgainFromZero, 0},
      {{206, 4000, {}}, true, 3000, true, AnswerUse::kAskAgainFromZero, 0},
      {{206, 4000, range(0, 6999, 7000)}, true, 3000, false, AnswerUse::kRefuse, 0},
      {{206, 7000, range(0, 6999, 7000)}, false, 0, true, AnswerUse::kRefuse, 0},  // a part nobody asked for
      {{416, 0, {}}, true, 8000, true, AnswerUse::kAskAgainFromZero, 0},
      {{416, 0, {}}, true, 0, false, AnswerUse::kRefuse, 0},  // only once
      {{416, 0, {}}, false, 0, true, AnswerUse::kRefuse, 0},
      {{404, 100, {}}, true, 3000, true, AnswerUse::kRefuse, 0},
      {{500, 100, {}}, false, 0, true, AnswerUse::kRefuse, 0},
      {{0, 0, {}}, true, 0, true, AnswerUse::kRefuse, 0},
  };
  for (const auto& c : cases) {
    const AnswerDecision decision = DecideAnswer(c.answer, c.askedRange, c.offset, c.firstAttempt);
    EXPECT_EQ(decision.use, c.want) << c.answer.status << " range " << c.askedRange << " offset " << c.offset;
    if (decision.use != AnswerUse::kRefuse && decision.use != AnswerUse::kAskAgainFromZero) {
      EXPECT_EQ(decision.fileLength, c.length) << c.answer.status << " offset " << c.offset;
    }
  }
}

TEST(DownloadPolicy, DigestVerdicts) {
  const std::string actual = "0123456789abcdef0123456789abcdef";
  const std::wstring same = L"0123456789abcdef0123456789abcdef";
  const std::wstring upper = L"0123456789ABCDEF0123456789ABCDEF";
  const std::wstring other = L"0123456789abcdef0123456789abcdee";
  const std::wstring shortText = L"0123456789abcdef";
  const std::wstring notHex = L"0123456789abcdef0123456789abcdeg";
  const std::wstring trailing = same + L" ";
  const struct {
    const std::wstring* expected;
    DigestVerdict want;
  } cases[] = {{&same, DigestVerdict::kMatches},     {&upper, DigestVerdict::kMatches},
               {&other, DigestVerdict::kDiffers},    {&shortText, DigestVerdict::kUnchecked},
               {&notHex, DigestVerdict::kUnchecked}, {&trailing, DigestVerdict::kUnchecked},
               {nullptr, DigestVerdict::kUnchecked}};
  for (const auto& c : cases) {
    EXPECT_EQ(DigestVerdictOf(c.expected, actual), c.want)
        << (c.expected ? std::string(c.expected->begin(), c.expected->end()) : "none");
  }
  EXPECT_EQ(DigestVerdictOf(&same, ""), DigestVerdict::kDiffers);

  EXPECT_TRUE(FetchAgainFromZero(DigestVerdict::kDiffers, true));
  EXPECT_FALSE(FetchAgainFromZero(DigestVerdict::kDiffers, false));
  EXPECT_FALSE(FetchAgainFromZero(DigestVerdict::kMatches, true));
  EXPECT_FALSE(FetchAgainFromZero(DigestVerdict::kUnchecked, true));
}

TEST(DownloadPolicy, RowEndTexts) {
  EXPECT_EQ(RowEndText(false, 7000, 7000), L"7.00K(当前大小)/7.00K(总大小) \r\n");
  EXPECT_EQ(RowEndText(true, 7000, 7000), kRowFailedText);
  EXPECT_EQ(RowEndText(false, 0, 0), L"0.00K(当前大小)/0.00K(总大小) \r\n");
}

TEST(DownloadPolicy, TemporaryKeysFoldCaseAndSeparators) {
  EXPECT_EQ(TemporaryKey(L"Data\\a.BIN"), TemporaryKey(L"data/A.bin"));
  EXPECT_NE(TemporaryKey(L"data\\a.bin"), TemporaryKey(L"data\\b.bin"));
  EXPECT_NE(TemporaryKey(L"a.bin"), TemporaryKey(L"a.bin.tmp"));
}

// Four files in flight, finishing out of order: the bar only moves forward,
// lands on every finished share, and ends at 10000.
TEST(RunBar, FilesInFlightNeverPushTheBarBackOrPastTheEnd) {
  RunBar bar(4);
  const std::uint64_t length = 40000;
  // Every file 90% in: 4 * 2250.
  EXPECT_EQ(bar.Show(0, 4 * bar.InFlightShare(36000, length)), 9000);
  // The first to finish snaps the finished part to 2500; the other three
  // still count, so the bar stays where it was.
  EXPECT_EQ(bar.Show(1, 3 * bar.InFlightShare(36000, length)), 9250);
  EXPECT_EQ(bar.Show(2, 2 * bar.InFlightShare(36000, length)), 9500);
  // A file that starts over from zero does not pull the bar back.
  EXPECT_EQ(bar.Show(2, bar.InFlightShare(36000, length)), 9500);
  EXPECT_EQ(bar.Show(3, bar.InFlightShare(length, length)), 10000);
  EXPECT_EQ(bar.Show(4, 0), 10000);
}

TEST(RunBar, SharesUseIntegerDivisionAndSurviveLargeOrOddLengths) {
  RunBar three(3);
  EXPECT_EQ(three.Show(1, 0), 3333);
  EXPECT_EQ(three.Show(2, 0), 6666);
  EXPECT_EQ(three.Show(3, 0), 10000);
  const RunBar many(1000);
  EXPECT_EQ(many.InFlightShare(0xFFFFFFFFu, 0xFFFFFFFFu), 10u);
  EXPECT_EQ(many.InFlightShare(40960, 0xFFFFFFFFu), 0u);
  const RunBar one(1);
  EXPECT_EQ(one.InFlightShare(1, 0), 10000u);           // a reported 0 counts as 1
  EXPECT_EQ(one.InFlightShare(50000, 100), 10000u);     // a body longer than reported
  RunBar full(2);
  EXPECT_EQ(full.Show(2, 5000), 10000);
}

TEST(RunRate, RateOverAboutTheLastSecond) {
  RunRate rate;
  EXPECT_EQ(rate.Window(), (std::pair<std::uint64_t, std::uint32_t>{0, 0}));
  // 3 MB/s for two seconds in 50 ms steps, then nothing for a second.
  std::uint64_t bytes = 0;
  std::uint32_t now = 0xFFFFF000u;  // the tick count wraps on the way
  rate.Add(now, bytes);
  for (int step = 0; step < 40; ++step) {
    now += 50;
    bytes += 150000;
    rate.Add(now, bytes);
  }
  auto window = rate.Window();
  EXPECT_EQ(window.second, 1000u);
  EXPECT_EQ(SpeedText(window.first, window.second), L"3000.0k/s(下载速度)");
  for (int step = 0; step < 20; ++step) {
    now += 50;
    rate.Add(now, bytes);
  }
  window = rate.Window();
  EXPECT_EQ(window.first, 0u);
  EXPECT_EQ(SpeedText(window.first, window.second), L"0.0k/s(下载速度)");
}

}  // namespace

TEST(DownloadPolicy, LargeFilesAndProgramsAreFlushedBeforeInstall) {
  EXPECT_TRUE(FlushBeforeInstall(L"maps\\big.pak", 4u << 20));
  EXPECT_FALSE(FlushBeforeInstall(L"maps\\small.pak", (4u << 20) - 1));
  EXPECT_TRUE(FlushBeforeInstall(L"bin/Game.EXE", 10));
  EXPECT_TRUE(FlushBeforeInstall(L"plugin.dll", 0));
  EXPECT_FALSE(FlushBeforeInstall(L"dll.d\\readme", 10));  // a folder's dot is no extension
  EXPECT_FALSE(FlushBeforeInstall(L"data.dll.txt", 10));
}
