#include "transfer/script_text.h"

#include <gtest/gtest.h>

namespace {

using Lines = std::vector<std::string>;

TEST(DeleteScriptLines, SwapVariant) {
  EXPECT_EQ(DeleteScriptLines(true),
            (Lines{
                "setlocal DisableDelayedExpansion",
                "set /a tries=0",
                ":try",
                "ping -n 2 127.0.0.1 >nul",
                "move /y \"%~dp0Updater.exe.tmp\" \"%~dp0Updater.exe\" >nul",
                "if not exist \"%~dp0Updater.exe.tmp\" goto :start",
                "set /a tries+=1",
                "if %tries% lss 30 goto :try",
                ":start",
                "set tries=",
                "start \"\" /normal \"%~dp0QyrUIPro.exe\"",
                "del \"%~dp0delete.bat\"",
            }));
}

TEST(DeleteScriptLines, StartOnlyVariant) {
  EXPECT_EQ(DeleteScriptLines(false),
            (Lines{
                "setlocal DisableDelayedExpansion",
                "ping -n 2 127.0.0.1 >nul",
                "start \"\" /normal \"%~dp0QyrUIPro.exe\"",
                "del \"%~dp0delete.bat\"",
            }));
}

// cmd reads the script in the OEM code page; only ASCII reads the same in
// every one. A path outside quotes would let a "&" or "^" in the folder end
// or change the command.
TEST(DeleteScriptLines, AsciiOnlyAndEveryPathQuotedFromTheScriptsFolder) {
  for (const bool swap : {true, false}) {
    for (const std::string& line : DeleteScriptLines(swap)) {
      for (const char c : line) EXPECT_LT(static_cast<unsigned char>(c), 0x80u) << line;
      for (std::size_t at = line.find("%~dp0"); at != std::string::npos; at = line.find("%~dp0", at + 1)) {
        ASSERT_GT(at, 0u) << line;
        EXPECT_EQ('"', line[at - 1]) << line;
        EXPECT_NE(std::string::npos, line.find('"', at)) << line;
      }
    }
  }
}

}  // namespace
