#include "engine/my_fun.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct CompareCase {
  const char* what;
  std::wstring server;
  std::wstring local;
  DownloadList want;
};

const std::wstring kDigestA = L"0cc175b9c0f1b6a831c399e269772661";
const std::wstring kDigestB = L"92eb5ffee6ae2fec3ad71c777531578f";

// Inputs are prepared texts: trimmed, with one trailing LF.
TEST(CompareManifests, ListsMissingAndChangedServerEntries) {
  const CompareCase cases[] = {
      {"listed in ordinal order, not line order", L"b.dll\t1\nA.dll\t2\na.dll\t3\n", L"\n",
       {L"A.dll", L"a.dll", L"b.dll"}},
      {"empty server manifest", L"\n", L"a.dll\t1\n", {}},
      {"empty local manifest lists all but the excluded names",
       L"MD5.exe\t1\nUpdater.exe\t2\nUpDate.ini\t3\nLocalDate.ini\t4\nmd5.exe\t5\n", L"\n",
       {L"LocalDate.ini", L"Updater.exe", L"md5.exe"}},
      {"excluded names never listed even when they differ", L"MD5.exe\t1\nUpDate.ini\t2\n",
       L"MD5.exe\t9\nUpDate.ini\t9\n", {}},
      {"same name twice: first digest counts", L"a.dll\t" + kDigestA + L"\na.dll\t" + kDigestB + L"\n",
       L"a.dll\t" + kDigestA + L"\n", {}},
      {"same name twice: listed once", L"a.dll\t" + kDigestB + L"\na.dll\t" + kDigestA + L"\n",
       L"a.dll\t" + kDigestA + L"\n", {L"a.dll"}},
      {"digests differing only in case", L"a.dll\t0CC175B9C0F1B6A831C399E269772661\n",
       L"a.dll\t" + kDigestA + L"\n", {L"a.dll"}},
      {"extra TAB field on the server", L"a.dll\t" + kDigestA + L"\tx\n", L"a.dll\t" + kDigestA + L"\n",
       {L"a.dll"}},
      {"same extra TAB field on both sides", L"a.dll\t" + kDigestA + L"\tx\n",
       L"a.dll\t" + kDigestA + L"\tx\n", {}},
      {"slash against backslash", L"data/a.bin\t1\n", L"data\\a.bin\t1\n", {L"data/a.bin"}},
      {"names differing in case are different files", L"Data\\a.bin\t1\n", L"data\\a.bin\t1\n",
       {L"Data\\a.bin"}},
      {"empty name from a line beginning with a TAB", L"a.dll\t1\n\t2\n", L"a.dll\t1\n", {L""}},
      {"empty name matched locally", L"\t2\n", L"\t2\n", {}},
      {"equal digests never listed, Updater.exe included",
       L"Updater.exe\t" + kDigestA + L"\nQyrUIPro.exe\t" + kDigestB + L"\n",
       L"QyrUIPro.exe\t" + kDigestB + L"\nUpdater.exe\t" + kDigestA + L"\n", {}},
      {"local-only entries ignored", L"a.dll\t1\n", L"a.dll\t1\nold.dll\t2\nzzz\t3\n", {}},
      {"text without TAB joins the next name", L"a.dll\t1\nnoise\nb.dll\t2\n",
       L"a.dll\t1\nb.dll\t2\n", {L"noise\nb.dll"}},
      {"trailing space in a name", L"a.dll \t1\n", L"a.dll\t1\n", {L"a.dll "}},
      {"trailing space in a digest", L"a.dll\t1 \nb.dll\t2\n", L"a.dll\t1\nb.dll\t2\n", {L"a.dll"}},
      {"local diagnostic word reads as changed", L"a.dll\t1\nb.dll\t2\n",
       L"a.dll\tCalculateMd5Worry\nb.dll\t2\n", {L"a.dll"}},
  };
  for (const auto& c : cases) EXPECT_EQ(CMyFun::CompareManifests(c.server, c.local), c.want) << c.what;
}

TEST(CompareManifests, HundredThousandEntriesHalfChanged) {
  constexpr int kCount = 100000;
  std::wstring server, local;
  server.reserve(kCount * 50);
  local.reserve(kCount * 50);
  DownloadList want;
  // Zero-padded numbers keep ordinal order equal to numeric order; lines are
  // written in reverse so the result order must come from sorting.
  for (int i = kCount - 1; i >= 0; --i) {
    std::wstring number = std::to_wstring(i);
    const std::wstring name = L"dir\\f" + std::wstring(6 - number.size(), L'0') + number + L".bin";
    server += name + L"\t" + kDigestA + L"\n";
    local += name + L"\t" + (i % 2 == 0 ? kDigestA : kDigestB) + L"\n";
  }
  for (int i = 1; i < kCount; i += 2) {
    std::wstring number = std::to_wstring(i);
    want.push_back(L"dir\\f" + std::wstring(6 - number.size(), L'0') + number + L".bin");
  }
  const DownloadList got = CMyFun::CompareManifests(server, local);
  ASSERT_EQ(got.size(), want.size());
  EXPECT_TRUE(got == want);
}

}  // namespace
