#include "transfer/script_text.h"

#include <gtest/gtest.h>

namespace {

using Lines = std::vector<std::string>;

TEST(DeleteScriptLines, SwapVariantForAPlainFolder) {
  EXPECT_EQ(DeleteScriptLines("D:\\Games\\Client\\", true),
            (Lines{
                "setlocal",
                "set /a tries=0",
                ":try",
                "ping -n 2 127.0.0.1 >nul",
                "move /y \"D:\\Games\\Client\\Updater.exe.tmp\" \"D:\\Games\\Client\\Updater.exe\" >nul",
                "if not exist \"D:\\Games\\Client\\Updater.exe.tmp\" goto :start",
                "set /a tries+=1",
                "if %tries% lss 30 goto :try",
                ":start",
                "endlocal",
                "start \"\" /normal \"D:\\Games\\Client\\QyrUIPro.exe\"",
                "del \"D:\\Games\\Client\\delete.bat\"",
            }));
}

TEST(DeleteScriptLines, StartOnlyVariantForAPlainFolder) {
  EXPECT_EQ(DeleteScriptLines("D:\\Games\\Client\\", false),
            (Lines{
                "ping -n 2 127.0.0.1 >nul",
                "start \"\" /normal \"D:\\Games\\Client\\QyrUIPro.exe\"",
                "del \"D:\\Games\\Client\\delete.bat\"",
            }));
}

TEST(DeleteScriptLines, PercentInTheFolderIsDoubledInEveryPath) {
  const Lines swap = DeleteScriptLines("C:\\100% Games\\", true);
  ASSERT_EQ(swap.size(), 12u);
  EXPECT_EQ(swap[4], "move /y \"C:\\100%% Games\\Updater.exe.tmp\" \"C:\\100%% Games\\Updater.exe\" >nul");
  EXPECT_EQ(swap[5], "if not exist \"C:\\100%% Games\\Updater.exe.tmp\" goto :start");
  // The counter's own expansion stays single.
  EXPECT_EQ(swap[7], "if %tries% lss 30 goto :try");
  EXPECT_EQ(swap[10], "start \"\" /normal \"C:\\100%% Games\\QyrUIPro.exe\"");
  EXPECT_EQ(swap[11], "del \"C:\\100%% Games\\delete.bat\"");

  const Lines plain = DeleteScriptLines("C:\\%a%%b\\", false);
  ASSERT_EQ(plain.size(), 3u);
  EXPECT_EQ(plain[1], "start \"\" /normal \"C:\\%%a%%%%b\\QyrUIPro.exe\"");
  EXPECT_EQ(plain[2], "del \"C:\\%%a%%%%b\\delete.bat\"");
}

TEST(DeleteScriptLines, NonAsciiFolderBytesPassThrough) {
  // "D:\游戏\" in GBK.
  const std::string folder = "D:\\\xD3\xCE\xCF\xB7\\";
  const Lines lines = DeleteScriptLines(folder, true);
  ASSERT_EQ(lines.size(), 12u);
  EXPECT_EQ(lines[4], "move /y \"" + folder + "Updater.exe.tmp\" \"" + folder + "Updater.exe\" >nul");
  EXPECT_EQ(lines[10], "start \"\" /normal \"" + folder + "QyrUIPro.exe\"");
}

TEST(EscapeBatchPercent, DoublesEveryPercentOnly) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"", ""}, {"%", "%%"}, {"%%", "%%%%"}, {"a%b%c", "a%%b%%c"}, {"no percent", "no percent"},
      {"\xD3\xCE%", "\xD3\xCE%%"},
  };
  for (const auto& c : cases) EXPECT_EQ(EscapeBatchPercent(c.in), c.out) << c.in;
}

}  // namespace
