#include "transfer/script_text.h"

#include <gtest/gtest.h>

namespace {

using Lines = std::vector<std::string>;

TEST(DeleteScriptLines, SwapVariantForAPlainFolder) {
  EXPECT_EQ(DeleteScriptLines("D:\\Games\\Client\\", true),
            (Lines{
                ":try",
                "choice /t 1 /d y >nul",
                "del \"D:\\Games\\Client\\Updater.exe\"",
                "if exist \"D:\\Games\\Client\\Updater.exe\" goto :try",
                "rename Updater.exe.tmp Updater.exe",
                "start \"\" \"D:\\Games\\Client\\QyrUIPro.exe\"",
                "del \"D:\\Games\\Client\\delete.bat\"",
            }));
}

TEST(DeleteScriptLines, StartOnlyVariantForAPlainFolder) {
  EXPECT_EQ(DeleteScriptLines("D:\\Games\\Client\\", false),
            (Lines{
                ":try",
                "choice /t 1 /d y >nul",
                "start \"\" \"D:\\Games\\Client\\QyrUIPro.exe\"",
                "del \"D:\\Games\\Client\\delete.bat\"",
            }));
}

TEST(DeleteScriptLines, PercentInTheFolderIsDoubledInEveryPath) {
  const Lines swap = DeleteScriptLines("C:\\100% Games\\", true);
  ASSERT_EQ(swap.size(), 7u);
  EXPECT_EQ(swap[2], "del \"C:\\100%% Games\\Updater.exe\"");
  EXPECT_EQ(swap[3], "if exist \"C:\\100%% Games\\Updater.exe\" goto :try");
  EXPECT_EQ(swap[4], "rename Updater.exe.tmp Updater.exe");
  EXPECT_EQ(swap[5], "start \"\" \"C:\\100%% Games\\QyrUIPro.exe\"");
  EXPECT_EQ(swap[6], "del \"C:\\100%% Games\\delete.bat\"");

  const Lines plain = DeleteScriptLines("C:\\%a%%b\\", false);
  ASSERT_EQ(plain.size(), 4u);
  EXPECT_EQ(plain[2], "start \"\" \"C:\\%%a%%%%b\\QyrUIPro.exe\"");
  EXPECT_EQ(plain[3], "del \"C:\\%%a%%%%b\\delete.bat\"");
}

TEST(DeleteScriptLines, NonAsciiFolderBytesPassThrough) {
  // "D:\游戏\" in GBK.
  const std::string folder = "D:\\\xD3\xCE\xCF\xB7\\";
  const Lines lines = DeleteScriptLines(folder, true);
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[2], "del \"" + folder + "Updater.exe\"");
  EXPECT_EQ(lines[5], "start \"\" \"" + folder + "QyrUIPro.exe\"");
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
