// The update-log fetch against the fault server: the text the box shows, the
// file kept beside the updater, and the answers that count as no log.
#include <gtest/gtest.h>

#include "app/my_update_dlg.h"
#include "support/win_test_support.h"

namespace {

class UpdateLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(ServerUrl().empty()) << "run through run_with_server.sh";
    const std::wstring folder = MakeTempFolder(L"log");
    m_folder = folder.substr(0, folder.size() - 1);
    m_base = std::string("/log/") + ::testing::UnitTest::GetInstance()->current_test_info()->name() +
             "/UpdateLog";
    m_logPath = m_base + "/UpdateLog.ini";
    SetFaults("");
    RemoveServed(m_logPath);
    ClearRequestLog();
  }
  void TearDown() override {
    SetFaults("");
    RemoveTree(m_folder);
  }

  void Serve(const std::string& body) { ServeBytes(m_logPath, body); }
  void Fault(const std::string& rule) { SetFaults("{\"paths\": {\"" + m_logPath + "\": " + rule + "}}"); }
  int Fetch(std::wstring& text) {
    return CMyUpdateDlg::FetchUpdateLog(ServerUrl() + Utf8ToWide(m_base), m_folder, text);
  }
  std::wstring FetchText(int expectedResult) {
    std::wstring text;
    EXPECT_EQ(expectedResult, Fetch(text));
    return text;
  }
  std::wstring LogFile() const { return m_folder + L"\\Update_Logo.txt"; }

  std::wstring m_folder;  // no trailing backslash, as the dialog passes it
  std::string m_base;     // no trailing slash
  std::string m_logPath;
};

TEST_F(UpdateLogTest, LinesKeepTheirCrAndEndInLf) {
  Serve("v1.1\r\nfixes\r\n\r\nend");
  EXPECT_EQ(L"v1.1\r\nfixes\r\n\r\nend\n", FetchText(1));
  // Text mode stores every LF of the body as CR LF.
  EXPECT_EQ("v1.1\r\r\nfixes\r\r\n\r\r\nend", ReadBytes(LogFile()));

  Serve("a\nb\n\n\nc\n");
  EXPECT_EQ(L"a\nb\n\n\nc\n", FetchText(1));
}

TEST_F(UpdateLogTest, RequestsTheLogBelowTheFolderUrl) {
  Serve("x");
  FetchText(1);
  const std::vector<std::string> log = RequestLog();
  ASSERT_EQ(1u, log.size());
  EXPECT_EQ(m_logPath, JsonField(log[0], "path"));
  EXPECT_EQ("*/*", JsonField(log[0], "accept"));
  EXPECT_EQ(0u, JsonField(log[0], "user_agent").rfind("Agent", 0));
}

TEST_F(UpdateLogTest, LargeBodyArrivesWhole) {
  std::string body;
  for (int i = 0; body.size() <= 100000; ++i) body += "line " + std::to_string(i) + " of the log\r\n";
  Serve(body);
  std::string stored;
  for (char c : body) stored += c == '\n' ? std::string("\r\n") : std::string(1, c);

  // Compared as booleans: a failure should not print 100 kB twice.
  const std::wstring text = FetchText(1);
  EXPECT_TRUE(Utf8ToWide(body) == text) << text.size() << " characters of " << body.size();
  const std::string file = ReadBytes(LogFile());
  EXPECT_TRUE(stored == file) << file.size() << " bytes of " << stored.size();
}

TEST_F(UpdateLogTest, NotFoundShowsNothingAndEmptiesTheFile) {
  WriteBytes(LogFile(), "log of an earlier start\r\n");
  EXPECT_EQ(L"", FetchText(0));
  EXPECT_TRUE(PathExists(LogFile()));
  EXPECT_EQ("", ReadBytes(LogFile()));
}

TEST_F(UpdateLogTest, ErrorPageWithALengthIsShown) {
  Fault("{\"status\": 500, \"body\": \"busy\\r\\ntry later\\r\\n\"}");
  EXPECT_EQ(L"busy\r\ntry later\r\n", FetchText(1));
}

TEST_F(UpdateLogTest, AnswersWithoutLengthShowNothing) {
  Serve("v1.1\r\nfixes\r\n");
  for (const char* rule : {"{\"chunked\": true}", "{\"no_length\": true}"}) {
    Fault(rule);
    EXPECT_EQ(L"", FetchText(0)) << rule;
    EXPECT_EQ("", ReadBytes(LogFile())) << rule;
  }
}

TEST_F(UpdateLogTest, EmptyBodyIsSuccessWithEmptyText) {
  WriteBytes(LogFile(), "old");
  Serve("");
  EXPECT_EQ(L"", FetchText(1));
  EXPECT_TRUE(PathExists(LogFile()));
  EXPECT_EQ("", ReadBytes(LogFile()));
}

TEST_F(UpdateLogTest, TextEndsAtSubstituteAndDecodesGbk) {
  Serve("one\r\ntwo\x1athree\r\n");
  EXPECT_EQ(L"one\r\ntwo\n", FetchText(1));

  Serve("\xb8\xfc\xd0\xc2\xc8\xd5\xd6\xbe\r\n\xd0\xde\xb8\xb4\n");
  EXPECT_EQ(L"更新日志\r\n修复\n", FetchText(1));
}

}  // namespace
