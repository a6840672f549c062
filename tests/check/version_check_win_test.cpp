// The version check against the fault server: verdicts, the stored copy of
// the server manifest, failures and what the request looks like.
#include <gtest/gtest.h>

#include <cctype>

#include "engine/diagnostics.h"
#include "engine/my_fun.h"
#include "support/win_test_support.h"

namespace {

const std::string kD1 = "0cc175b9c0f1b6a831c399e269772661";
const std::string kD2 = "92eb5ffee6ae2fec3ad71c777531578f";
const std::string kD3 = "4a8a08f09d37b73795649038408b5f33";

std::vector<std::string> g_words;
std::wstring g_context;
void CollectWord(const char* word, const std::wstring& context) {
  g_words.push_back(word);
  g_context = context;
}

class VersionCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(ServerUrl().empty()) << "run through run_with_server.sh";
    m_folder = MakeTempFolder(L"check");
    m_path = std::string("/check/") + ::testing::UnitTest::GetInstance()->current_test_info()->name() + "/";
    m_url = ServerUrl() + Utf8ToWide(m_path);
    SetFaults("");
    RemoveServed(m_path + "UpDate.ini");
    ClearRequestLog();
    g_words.clear();
    g_context.clear();
    m_previousHook = SetDiagnosticHook(CollectWord);
  }
  void TearDown() override {
    SetDiagnosticHook(m_previousHook);
    SetFaults("");
    RemoveTree(m_folder);
  }

  void Serve(const std::string& body) { ServeBytes(m_path + "UpDate.ini", body); }
  void Local(const std::string& body) { WriteBytes(m_folder + L"LocalDate.ini", body); }
  DownloadList Check(std::wstring& verdict) { return CMyFun().CheckVersion(m_url, m_folder, verdict); }
  std::string Copy() { return ReadBytes(m_folder + L"UpDate.ini"); }

  std::wstring m_folder;
  std::string m_path;
  std::wstring m_url;
  DiagnosticHook m_previousHook = nullptr;
};

TEST_F(VersionCheckTest, ChangedAndMissingFilesMakePart) {
  Local("a.dll\t" + kD1 + "\r\nb.dat\t" + kD2 + "\r\nold.txt\t" + kD3 +
        "\r\n\xca\xfd\xbe\xdd\\same.txt\t" + kD1 + "\r\nLocalDate.ini\tCalculateMd5Worry\r\n");
  Serve("b.dat\t" + kD3 + "\r\nnew\\c.txt\t" + kD3 + "\r\na.dll\t" + kD1 + "\r\nMD5.exe\t" + kD1 +
        "\r\n\xca\xfd\xbe\xdd\\same.txt\t" + kD1 + "\r\n\xca\xfd\xbe\xdd\\\xb8\xfc\xd0\xc2.txt\t" + kD2 + "\r\n");
  std::wstring verdict = L"Allnew";

  const DownloadList list = Check(verdict);

  EXPECT_EQ(L"Part", verdict);
  EXPECT_EQ((DownloadList{L"b.dat", L"new\\c.txt", L"数据\\更新.txt"}), list);
  EXPECT_TRUE(g_words.empty());
}

TEST_F(VersionCheckTest, NothingChangedIsAllnewWhateverTheVerdictHeld) {
  const std::string manifest = "a.dll\t" + kD1 + "\r\nsub\\b.dat\t" + kD2 + "\r\n";
  Local(manifest + "LocalDate.ini\tCalculateMd5Worry\r\n");
  Serve(manifest);
  std::wstring verdict = L"Part";

  EXPECT_TRUE(Check(verdict).empty());
  EXPECT_EQ(L"Allnew", verdict);
}

TEST_F(VersionCheckTest, ErrorPagesAreErrorAndAnEmptyManifestIsAllnew) {
  Local("a.dll\t" + kD1 + "\r\n");
  // Nothing served (404), then error pages with a body of their own: none of
  // them is a manifest, and none is stored or compared.
  for (const char* fault : {"", "{\"status\": 500}", "{\"status\": 503}"}) {
    SetFaults(*fault ? "{\"paths\": {\"" + m_path + "UpDate.ini\": " + fault + "}}" : "");
    std::wstring verdict = L"Part";
    EXPECT_TRUE(Check(verdict).empty()) << fault;
    EXPECT_EQ(L"Error", verdict) << fault;
    EXPECT_FALSE(PathExists(m_folder + L"UpDate.ini")) << fault;
  }
  SetFaults("");
  ASSERT_EQ(3u, RequestsFor(m_path + "UpDate.ini").size());
  EXPECT_EQ("404", JsonField(RequestsFor(m_path + "UpDate.ini")[0], "status"));

  Serve("");
  std::wstring verdict = L"Part";
  EXPECT_TRUE(Check(verdict).empty());
  EXPECT_EQ(L"Allnew", verdict);
  EXPECT_TRUE(PathExists(m_folder + L"UpDate.ini"));
  EXPECT_EQ("", Copy());
}

TEST_F(VersionCheckTest, UnreachableServerIsError) {
  std::wstring verdict = L"Part";
  const DownloadList list = CMyFun().CheckVersion(L"http://127.0.0.1:9/Update/", m_folder, verdict);

  EXPECT_EQ(L"Error", verdict);
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(std::vector<std::string>{"OpenUrlFail\n"}, g_words);
  EXPECT_EQ(m_folder, g_context);
  EXPECT_FALSE(PathExists(m_folder + L"UpDate.ini"));
}

TEST_F(VersionCheckTest, BodyShortOfItsLengthIsErrorAndKeepsThePartialCopy) {
  std::string body;
  for (int i = 0; body.size() < 120000; ++i) body += "dir\\file" + std::to_string(i) + "\t" + kD1 + "\r\n";
  Serve(body);
  SetFaults("{\"paths\": {\"" + m_path + "UpDate.ini\": {\"cut_after\": 60000}}}");
  std::wstring verdict = L"Part";

  const DownloadList list = Check(verdict);

  EXPECT_EQ(L"Error", verdict);
  EXPECT_TRUE(list.empty());
  EXPECT_TRUE(g_words.empty());
  ASSERT_TRUE(PathExists(m_folder + L"UpDate.ini"));
  const std::string copy = Copy();
  EXPECT_LE(copy.size(), 60000u);
  EXPECT_TRUE(body.compare(0, copy.size(), copy) == 0) << "the copy is not the start of the body";
}

TEST_F(VersionCheckTest, MissingLocalManifestIsCreatedEmpty) {
  Serve("b.dll\t" + kD1 + "\r\nA.dll\t" + kD2 + "\r\na.dll\t" + kD3 + "\r\nUpDate.ini\t" + kD1 + "\r\n");
  std::wstring verdict;

  EXPECT_EQ((DownloadList{L"A.dll", L"a.dll", L"b.dll"}), Check(verdict));
  EXPECT_EQ(L"Part", verdict);
  EXPECT_TRUE(PathExists(m_folder + L"LocalDate.ini"));
  EXPECT_EQ("", ReadBytes(m_folder + L"LocalDate.ini"));
}

TEST_F(VersionCheckTest, LineEndsAndSurroundingBlanksDoNotMatter) {
  Local("a.dll\t" + kD1 + "\r\nb.dll\t" + kD1 + "\r\n");
  const std::string forms[] = {
      "a.dll\t" + kD1 + "\r\nb.dll\t" + kD2 + "\r\nc.dll\t" + kD3 + "\r\n",
      "a.dll\t" + kD1 + "\nb.dll\t" + kD2 + "\nc.dll\t" + kD3,
      "\r\n \n\ta.dll\t" + kD1 + "\nb.dll\t" + kD2 + "\r\nc.dll\t" + kD3 + "\n\n  \r\n",
  };
  for (const std::string& form : forms) {
    Serve(form);
    std::wstring verdict;
    EXPECT_EQ((DownloadList{L"b.dll", L"c.dll"}), Check(verdict)) << form;
    EXPECT_EQ(L"Part", verdict);
  }
}

TEST_F(VersionCheckTest, CopyIsByteExactWhileTheTextEndsAtSubstitute) {
  // Over 40960 bytes, so it arrives in several reads; after the 0x1A byte
  // come an entry the text must not see and bytes no text would keep.
  std::string same;
  for (int i = 0; same.size() < 100000; ++i) same += "f" + std::to_string(i) + ".bin\t" + kD1 + "\r\n";
  const std::string body = same + "changed.bin\t" + kD2 + "\n\r\x1a" + "after.bin\t" + kD3 +
                           std::string("\r\n\0\xff\r\r\n\x1a", 8);
  Local(same + "changed.bin\t" + kD1 + "\r\n");
  Serve(body);
  std::wstring verdict;

  EXPECT_EQ(DownloadList{L"changed.bin"}, Check(verdict));
  EXPECT_EQ(L"Part", verdict);
  const std::string copy = Copy();
  EXPECT_TRUE(body == copy) << copy.size() << " bytes of " << body.size();
}

TEST_F(VersionCheckTest, RequestFollowsTheConventions) {
  Serve("");
  std::wstring verdict;
  Check(verdict);

  const std::vector<std::string> log = RequestLog();
  ASSERT_EQ(1u, log.size());
  EXPECT_EQ(m_path + "UpDate.ini", JsonField(log[0], "path"));
  EXPECT_EQ("GET", JsonField(log[0], "method"));
  EXPECT_EQ("*/*", JsonField(log[0], "accept"));
  const std::string agent = JsonField(log[0], "user_agent");
  ASSERT_EQ(0u, agent.rfind("Agent", 0)) << agent;
  std::string number = agent.substr(5);
  if (!number.empty() && number[0] == '-') number.erase(0, 1);
  EXPECT_FALSE(number.empty()) << agent;
  for (char c : number) EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(c))) << agent;
}

}  // namespace
