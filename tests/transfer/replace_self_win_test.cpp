// CMyFun::ReplaceSelf: the bytes of delete.bat, and what the script does when
// the command interpreter runs it.
#include <gtest/gtest.h>

#include <string>

#include "engine/my_fun.h"
#include "support/win_test_support.h"

namespace {

constexpr DWORD kScriptWaitMs = 15000;

// The two variants, the same for every folder.
const std::string kSwapScript =
    "setlocal DisableDelayedExpansion\r\n"
    "set /a tries=0\r\n"
    ":try\r\n"
    "ping -n 2 127.0.0.1 >nul\r\n"
    "move /y \"%~dp0Updater.exe.tmp\" \"%~dp0Updater.exe\" >nul\r\n"
    "if not exist \"%~dp0Updater.exe.tmp\" goto :start\r\n"
    "set /a tries+=1\r\n"
    "if %tries% lss 30 goto :try\r\n"
    ":start\r\n"
    "set tries=\r\n"
    "start \"\" /normal \"%~dp0QyrUIPro.exe\"\r\n"
    "del \"%~dp0delete.bat\"\r\n";

const std::string kStartScript =
    "setlocal DisableDelayedExpansion\r\n"
    "ping -n 2 127.0.0.1 >nul\r\n"
    "start \"\" /normal \"%~dp0QyrUIPro.exe\"\r\n"
    "del \"%~dp0delete.bat\"\r\n";

class ReplaceSelfTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_root = MakeTempFolder(L"rs");
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
  EXPECT_EQ(kSwapScript, ReadBytes(m_root + L"delete.bat"));
}

TEST_F(ReplaceSelfTest, WithoutReceivedUpdaterTheScriptOnlyStartsTheClient) {
  WriteBytes(m_root + L"Updater.exe", "old");
  m_fun.ReplaceSelf(m_root);
  EXPECT_EQ(kStartScript, ReadBytes(m_root + L"delete.bat"));
}

TEST_F(ReplaceSelfTest, LaterCallReplacesTheWholeScript) {
  WriteBytes(m_root + L"Updater.exe.tmp", "new");
  m_fun.ReplaceSelf(m_root);
  ASSERT_EQ(kSwapScript, ReadBytes(m_root + L"delete.bat"));
  ::DeleteFileW((m_root + L"Updater.exe.tmp").c_str());

  m_fun.ReplaceSelf(m_root);

  EXPECT_EQ(kStartScript, ReadBytes(m_root + L"delete.bat"));
}

TEST_F(ReplaceSelfTest, NoFolderNameReachesTheScript) {
  // Chinese, a letter outside code page 936, percent signs, Western letters
  // and cmd's special characters: the bytes are the same for each.
  for (const wchar_t* name : {L"更新", L"a\u0E01b", L"100% sure %PATH%", L"Société & Cie ^1 !x"}) {
    const std::wstring folder = Folder(name);
    WriteBytes(folder + L"Updater.exe.tmp", "new");
    m_fun.ReplaceSelf(folder);
    EXPECT_EQ(kSwapScript, ReadBytes(folder + L"delete.bat")) << WideToUtf8(name);
    ::DeleteFileW((folder + L"Updater.exe.tmp").c_str());
    m_fun.ReplaceSelf(folder);
    EXPECT_EQ(kStartScript, ReadBytes(folder + L"delete.bat")) << WideToUtf8(name);
  }
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
  // No "%" in these folders: Wine's cmd expands the text "%~dp0" gives once
  // more and loses it, where Windows expands a line once.
  for (const std::wstring& folder : {m_root, Folder(L"更新 版"), Folder(L"Société & Cie ^1 !x (2)")}) {
    SCOPED_TRACE(WideToUtf8(folder));
    Prepare(folder);
    ASSERT_TRUE(m_fun.RunHidden(folder + L"delete.bat"));
    EXPECT_TRUE(Swapped(folder));
    EXPECT_FALSE(PathExists(folder + L"Updater.exe.tmp"));
  }
}

// cmd reads a script in the OEM code page, the updater writes in the ANSI one:
// only where the two differ (a Western system, 1252 and 850) does it show
// whether a folder's letters matter. windows_western_script runs this in a
// prefix with such a locale.
TEST_F(ReplaceSelfScriptTest, SwapsWhereTheOemCodePageDiffersFromTheAnsiOne) {
  if (::GetACP() == ::GetOEMCP()) GTEST_SKIP() << "ANSI and OEM code page are both " << ::GetACP();
  for (const wchar_t* name : {L"Société", L"Jeux Été"}) {
    const std::wstring folder = Folder(name);
    SCOPED_TRACE(WideToUtf8(folder));
    Prepare(folder);
    ASSERT_TRUE(m_fun.RunHidden(folder + L"delete.bat"));
    EXPECT_TRUE(Swapped(folder));
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
