// CMyFun::ReplaceSelf: the bytes of delete.bat, and what the script does when
// the command interpreter runs it.
#include <gtest/gtest.h>

#include <string>

#include "engine/my_fun.h"
#include "support/win_test_support.h"

namespace {

constexpr DWORD kScriptWaitMs = 15000;

// The two variants, spelled out for a folder already in the ANSI code page.
std::string SwapScript(const std::string& f) {
  return "setlocal\r\n"
         "set /a tries=0\r\n"
         ":try\r\n"
         "ping -n 2 127.0.0.1 >nul\r\n"
         "move /y \"" + f + "Updater.exe.tmp\" \"" + f + "Updater.exe\" >nul\r\n"
         "if not exist \"" + f + "Updater.exe.tmp\" goto :start\r\n"
         "set /a tries+=1\r\n"
         "if %tries% lss 30 goto :try\r\n"
         ":start\r\n"
         "endlocal\r\n"
         "start \"\" /normal \"" + f + "QyrUIPro.exe\"\r\n"
         "del \"" + f + "delete.bat\"\r\n";
}

std::string StartScript(const std::string& f) {
  return "ping -n 2 127.0.0.1 >nul\r\n"
         "start \"\" /normal \"" + f + "QyrUIPro.exe\"\r\n"
         "del \"" + f + "delete.bat\"\r\n";
}

bool IsAscii(const std::wstring& text) {
  for (const wchar_t c : text) {
    if (c > 0x7f) return false;
  }
  return true;
}

std::string AsciiOf(const std::wstring& text) { return std::string(text.begin(), text.end()); }

class ReplaceSelfTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_root = MakeTempFolder(L"rs");
    ASSERT_TRUE(IsAscii(m_root)) << "the expected texts assume an ASCII temp folder";
  }
  void TearDown() override { RemoveTree(m_root); }

  // A folder below the temp folder, created, with its trailing backslash.
  std::wstring Folder(const std::wstring& name) {
    const std::wstring folder = m_root + name + L"\\";
    ::CreateDirectoryW(folder.substr(0, folder.size() - 1).c_str(), nullptr);
    return folder;
  }

  std::wstring m_root;
  CMyFun m_fun;
};

// ---------------------------------------------------------------------------
// The script's bytes.

TEST_F(ReplaceSelfTest, ReceivedUpdaterGivesTheSwapScript) {
  WriteBytes(m_root + L"Updater.exe.tmp", "new");
  m_fun.ReplaceSelf(m_root);
  EXPECT_EQ(SwapScript(AsciiOf(m_root)), ReadBytes(m_root + L"delete.bat"));
}

TEST_F(ReplaceSelfTest, WithoutReceivedUpdaterTheScriptOnlyStartsTheClient) {
  WriteBytes(m_root + L"Updater.exe", "old");
  m_fun.ReplaceSelf(m_root);
  EXPECT_EQ(StartScript(AsciiOf(m_root)), ReadBytes(m_root + L"delete.bat"));
}

TEST_F(ReplaceSelfTest, LaterCallReplacesTheWholeScript) {
  WriteBytes(m_root + L"Updater.exe.tmp", "new");
  m_fun.ReplaceSelf(m_root);
  ASSERT_EQ(SwapScript(AsciiOf(m_root)), ReadBytes(m_root + L"delete.bat"));
  ::DeleteFileW((m_root + L"Updater.exe.tmp").c_str());

  m_fun.ReplaceSelf(m_root);

  EXPECT_EQ(StartScript(AsciiOf(m_root)), ReadBytes(m_root + L"delete.bat"));
}

TEST_F(ReplaceSelfTest, FolderNamesAreWrittenInTheAnsiCodePage) {
  ASSERT_EQ(936u, ::GetACP()) << "the test environment runs with the Simplified Chinese code page";
  const std::wstring chinese = Folder(L"更新");
  WriteBytes(chinese + L"Updater.exe.tmp", "new");
  m_fun.ReplaceSelf(chinese);
  EXPECT_EQ(SwapScript(AsciiOf(m_root) + "\xB8\xFC\xD0\xC2\\"), ReadBytes(chinese + L"delete.bat"));

  // A Thai letter has no place in code page 936: the default character stands in.
  const std::wstring foreign = Folder(L"a\u0E01b");
  m_fun.ReplaceSelf(foreign);
  EXPECT_EQ(StartScript(AsciiOf(m_root) + "a?b\\"), ReadBytes(foreign + L"delete.bat"));
}

TEST_F(ReplaceSelfTest, PercentSignsAreDoubledForTheInterpreter) {
  const std::wstring folder = Folder(L"100% sure %PATH%");
  WriteBytes(folder + L"Updater.exe.tmp", "new");
  m_fun.ReplaceSelf(folder);
  EXPECT_EQ(SwapScript(AsciiOf(m_root) + "100%% sure %%PATH%%\\"), ReadBytes(folder + L"delete.bat"));
}

TEST_F(ReplaceSelfTest, SwapClearsAReadOnlyOldUpdater) {
  WriteBytes(m_root + L"Updater.exe", "old");
  WriteBytes(m_root + L"Updater.exe.tmp", "new");
  ASSERT_TRUE(::SetFileAttributesW((m_root + L"Updater.exe").c_str(), FILE_ATTRIBUTE_READONLY));

  m_fun.ReplaceSelf(m_root);

  const DWORD attributes = ::GetFileAttributesW((m_root + L"Updater.exe").c_str());
  ASSERT_NE(INVALID_FILE_ATTRIBUTES, attributes);
  EXPECT_FALSE(attributes & FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ("old", ReadBytes(m_root + L"Updater.exe"));
}

TEST_F(ReplaceSelfTest, ScriptThatCannotBeCreatedIsSkipped) {
  // A folder in the script's place, and a folder that does not exist.
  ASSERT_TRUE(::CreateDirectoryW((m_root + L"delete.bat").c_str(), nullptr));
  WriteBytes(m_root + L"Updater.exe.tmp", "new");
  m_fun.ReplaceSelf(m_root);
  EXPECT_TRUE(::GetFileAttributesW((m_root + L"delete.bat").c_str()) & FILE_ATTRIBUTE_DIRECTORY);

  const std::wstring missing = m_root + L"missing\\";
  m_fun.ReplaceSelf(missing);
  EXPECT_FALSE(PathExists(missing));
}

// ---------------------------------------------------------------------------
// The script under the command interpreter. Nothing runs as QyrUIPro.exe, so
// its start fails and the script goes on to delete itself.

class ReplaceSelfScriptTest : public ReplaceSelfTest {
 protected:
  // Places the old and the received updater and writes the script.
  void Prepare(const std::wstring& folder) {
    WriteBytes(folder + L"Updater.exe", "old updater");
    WriteBytes(folder + L"Updater.exe.tmp", "new updater");
    m_fun.ReplaceSelf(folder);
    ASSERT_TRUE(PathExists(folder + L"delete.bat"));
  }
  bool Swapped(const std::wstring& folder) {
    return WaitUntil(
        [&] {
          return !PathExists(folder + L"delete.bat") && !PathExists(folder + L"Updater.exe.tmp") &&
                 ReadBytes(folder + L"Updater.exe") == "new updater";
        },
        kScriptWaitMs);
  }
};

TEST_F(ReplaceSelfScriptTest, SwapsInTheNewUpdaterAndDeletesItself) {
  for (const std::wstring& folder : {m_root, Folder(L"更新 100% 版")}) {
    SCOPED_TRACE(WideToUtf8(folder));
    Prepare(folder);
    ASSERT_TRUE(m_fun.RunHidden(folder + L"delete.bat"));
    EXPECT_TRUE(Swapped(folder));
    EXPECT_FALSE(PathExists(folder + L"Updater.exe.tmp"));
  }
}

TEST_F(ReplaceSelfScriptTest, WaitsWhileTheOldUpdaterIsStillOpen) {
  Prepare(m_root);
  // Held the way a running program holds its own file.
  HANDLE running = ::CreateFileW((m_root + L"Updater.exe").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, running);
  const bool started = m_fun.RunHidden(m_root + L"delete.bat");
  ::Sleep(1500);
  const std::string whileHeld = ReadBytes(m_root + L"Updater.exe");
  const bool tmpWhileHeld = PathExists(m_root + L"Updater.exe.tmp");
  const bool scriptWhileHeld = PathExists(m_root + L"delete.bat");
  ::CloseHandle(running);

  ASSERT_TRUE(started);
  EXPECT_EQ("old updater", whileHeld);
  EXPECT_TRUE(tmpWhileHeld);
  EXPECT_TRUE(scriptWhileHeld);
  EXPECT_TRUE(Swapped(m_root));
}

}  // namespace
