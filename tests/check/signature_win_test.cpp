// The version check with a public key built in: UpDate.ini.sig is fetched
// beside the manifest and a manifest that does not verify ends as "Error".
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <thread>

#include "check/signature_win.h"
#include "engine/diagnostics.h"
#include "engine/my_fun.h"
#include "engine/public_key.h"
#include "support/signature_vectors.h"
#include "support/win_test_support.h"

namespace {

using namespace vectors;

std::vector<std::string> g_words;
void CollectWord(const char* word, const std::wstring&) { g_words.push_back(word); }

const DownloadList kPartList{L"b.dat", L"new\\c.txt"};

class SignedManifestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(ServerUrl().empty()) << "run through run_with_server.sh";
    m_folder = MakeTempFolder(L"signed");
    m_path = std::string("/signed/") + ::testing::UnitTest::GetInstance()->current_test_info()->name() + "/";
    m_url = ServerUrl() + Utf8ToWide(m_path);
    SetFaults("");
    RemoveServed(m_path + "UpDate.ini");
    RemoveServed(m_path + "UpDate.ini.sig");
    ClearRequestLog();
    g_words.clear();
    m_previousHook = SetDiagnosticHook(CollectWord);
    SetPublicKeyForTesting(kKeyA);
    WriteBytes(m_folder + L"LocalDate.ini", kLocal);
  }
  void TearDown() override {
    SetPublicKeyForTesting(std::nullopt);
    SetDiagnosticHook(m_previousHook);
    SetFaults("");
    RemoveTree(m_folder);
  }

  void Serve(const std::string& manifest, const std::string& signatureHex) {
    ServeBytes(m_path + "UpDate.ini", manifest);
    ServeBytes(m_path + "UpDate.ini.sig", FromHex(signatureHex));
  }
  DownloadList Check(std::wstring& verdict) { return CMyFun().CheckVersion(m_url, m_folder, verdict); }

  // The check refuses: "Error", nothing to download, the signature named.
  void ExpectRefused(const std::string& what) {
    std::wstring verdict = L"Part";
    g_words.clear();
    const DownloadList list = Check(verdict);
    EXPECT_EQ(L"Error", verdict) << what;
    EXPECT_TRUE(list.empty()) << what;
    EXPECT_EQ(std::vector<std::string>{"SignatureFail\n"}, g_words) << what;
  }

  std::wstring m_folder;
  std::string m_path;
  std::wstring m_url;
  DiagnosticHook m_previousHook = nullptr;
};

TEST_F(SignedManifestTest, ValidSignatureGivesTheUsualVerdict) {
  Serve(kPartManifest, kPartByA);
  std::wstring verdict;
  EXPECT_EQ(kPartList, Check(verdict));
  EXPECT_EQ(L"Part", verdict);
  EXPECT_TRUE(g_words.empty());

  // The signature request follows the shared conventions, after the manifest.
  const std::vector<std::string> log = RequestLog();
  ASSERT_EQ(2u, log.size());
  EXPECT_EQ(m_path + "UpDate.ini", JsonField(log[0], "path"));
  EXPECT_EQ(m_path + "UpDate.ini.sig", JsonField(log[1], "path"));
  EXPECT_EQ("GET", JsonField(log[1], "method"));
  EXPECT_EQ("*/*", JsonField(log[1], "accept"));
  EXPECT_EQ(0u, JsonField(log[1], "user_agent").rfind("Agent", 0));

  Serve(kAllnewManifest, kAllnewByA);
  verdict = L"Part";
  EXPECT_TRUE(Check(verdict).empty());
  EXPECT_EQ(L"Allnew", verdict);

  // Upper-case hex names the same key.
  std::string upper = kKeyA;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  SetPublicKeyForTesting(upper);
  Serve(kPartManifest, kPartByA);
  EXPECT_EQ(kPartList, Check(verdict));
  EXPECT_EQ(L"Part", verdict);
}

TEST_F(SignedManifestTest, SignedBytesGoOnAfterTheTextEnds) {
  // Several reads, and a 0x1A byte that ends the updater's text: every byte
  // of the body is covered, also those the comparison never sees.
  const std::string large = LargeManifest();
  WriteBytes(m_folder + L"LocalDate.ini", "");
  Serve(large, kLargeByA);
  std::wstring verdict;
  EXPECT_FALSE(Check(verdict).empty());
  EXPECT_EQ(L"Part", verdict);
  EXPECT_TRUE(ReadBytes(m_folder + L"UpDate.ini") == large);

  std::string tail = large;
  tail[tail.size() - 3] = '\n';  // after the 0x1A: the text is unchanged
  ServeBytes(m_path + "UpDate.ini", tail);
  ExpectRefused("changed after the end of the text");
}

TEST_F(SignedManifestTest, ManifestsThatDoNotVerifyAreRefused) {
  std::string changed = kPartManifest;
  changed[changed.find(kD3) + 5] ^= 0x01;  // one byte of a digest
  Serve(changed, kPartByA);
  ExpectRefused("manifest changed by one byte after signing");

  Serve(kPartManifest, kPartByB);
  ExpectRefused("signature from another key");

  Serve(kPartManifest, kAllnewByA);
  ExpectRefused("signature of a different manifest");

  Serve(kPartManifest, kPartByA.substr(0, 126));
  ExpectRefused("signature one byte short");

  Serve(kPartManifest, "");
  ExpectRefused("empty signature file");

  Serve(kPartManifest, kPartByA + "00");
  ExpectRefused("signature with a byte too many");

  std::string flipped = FromHex(kPartByA);
  flipped[40] ^= 0x80;  // a bit of s
  ServeBytes(m_path + "UpDate.ini.sig", flipped);
  ExpectRefused("one bit of the signature changed");

  // The same signature DER-encoded, as OpenSSL writes it by default.
  ServeBytes(m_path + "UpDate.ini.sig", 
             FromHex("3044022050bc2d91f1e964449e171c3360d97350a0129cb26728d5199ef47bbfcdb1de3e"
                     "02200bc08b961a4991d00f39f0ab4cd47a56a85d335e8a062018cd16f082e849d1a8"));
  ExpectRefused("signature DER-encoded");

  ServeBytes(m_path + "UpDate.ini.sig", std::string(64, '\0'));
  ExpectRefused("r and s zero");

  // The right bytes, but not as a 200 answer.
  Serve(kPartManifest, kPartByA);
  SetFaults("{\"paths\": {\"" + m_path + "UpDate.ini.sig\": {\"status\": 500}}}");
  ExpectRefused("signature served with status 500");
  SetFaults("");

  // Cut short of its announced length.
  SetFaults("{\"paths\": {\"" + m_path + "UpDate.ini.sig\": {\"cut_after\": 32}}}");
  ExpectRefused("signature cut short");
  SetFaults("");

  // A manifest never signed: the .sig answers 404.
  RemoveServed(m_path + "UpDate.ini.sig");
  ClearRequestLog();
  ExpectRefused("missing signature file");
  ASSERT_EQ(1u, RequestsFor(m_path + "UpDate.ini.sig").size());
  EXPECT_EQ("404", JsonField(RequestsFor(m_path + "UpDate.ini.sig")[0], "status"));
}

TEST_F(SignedManifestTest, AnUnusableKeyRefusesEverything) {
  Serve(kPartManifest, kPartByA);
  // A point off the curve, and a key text that is no key: neither may turn
  // the check off.
  SetPublicKeyForTesting("04" + std::string(128, '1'));
  ExpectRefused("point off the curve");
  SetPublicKeyForTesting("zz" + kKeyA.substr(2));
  ExpectRefused("not hex");
}

TEST_F(SignedManifestTest, SignatureFileUnreachableIsError) {
  Serve(kPartManifest, kPartByA);
  SetFaults("{\"paths\": {\"" + m_path + "UpDate.ini.sig\": {\"refuse\": true}}}");
  std::wstring verdict = L"Part";
  EXPECT_TRUE(Check(verdict).empty());
  EXPECT_EQ(L"Error", verdict);
  ASSERT_FALSE(g_words.empty());
}

TEST_F(SignedManifestTest, WithoutAKeyNoSignatureIsFetched) {
  SetPublicKeyForTesting("");
  std::string changed = kPartManifest;
  changed[changed.find(kD3) + 5] ^= 0x01;
  ServeBytes(m_path + "UpDate.ini", changed);  // no .sig on the server at all
  std::wstring verdict;

  EXPECT_EQ(kPartList, Check(verdict));
  EXPECT_EQ(L"Part", verdict);
  EXPECT_TRUE(g_words.empty());
  const std::vector<std::string> log = RequestLog();
  ASSERT_EQ(1u, log.size());
  EXPECT_EQ(m_path + "UpDate.ini", JsonField(log[0], "path"));
}

// Serials and expiries: an installation refuses a signature older than what
// it accepted, an expired one, and the old form once it took the new one.
class FreshnessTest : public SignedManifestTest {
 protected:
  void SetUp() override {
    SignedManifestTest::SetUp();
    SetPublicKeyForTesting(kKeyC);
    SetClockForTesting(kExpiryC - 30ull * 86400);
  }
  void TearDown() override {
    SetClockForTesting(std::nullopt);
    SignedManifestTest::TearDown();
  }
  std::wstring Note() const { return m_folder + L"LocalSerial.dat"; }
  void ExpectVerdict(const wchar_t* want, const std::string& what) {
    std::wstring verdict = L"Error";
    g_words.clear();
    Check(verdict);
    EXPECT_EQ(want, verdict) << what;
    EXPECT_TRUE(g_words.empty()) << what << ": " << (g_words.empty() ? "" : g_words[0]);
  }
  void ExpectRefusedAs(const std::string& word, const std::string& what) {
    const bool noted = PathExists(Note());
    const std::string before = noted ? ReadBytes(Note()) : std::string();
    std::wstring verdict = L"Part";
    g_words.clear();
    EXPECT_TRUE(Check(verdict).empty()) << what;
    EXPECT_EQ(L"Error", verdict) << what;
    EXPECT_EQ(std::vector<std::string>{word}, g_words) << what;
    // A refusal changes nothing of what the installation accepted.
    EXPECT_EQ(noted, PathExists(Note())) << what;
    if (noted) {
      EXPECT_TRUE(ReadBytes(Note()) == before) << what;
    }
    EXPECT_FALSE(PathExists(Note() + L".tmp")) << what;
  }
  void ExpectNoted(std::uint64_t serial, const std::string& what) {
    ASSERT_TRUE(PathExists(Note())) << what;
    EXPECT_TRUE(ReadBytes(Note()) == AcceptedStateBytes(serial)) << what;
    EXPECT_FALSE(PathExists(Note() + L".tmp")) << what;
  }
};

TEST_F(FreshnessTest, AReplayedLowerSerialIsRefusedAndTheSameSerialAccepted) {
  Serve(kPartManifest, kPartSerial7ByC);
  ExpectVerdict(L"Part", "serial 7 in a new installation");
  ExpectNoted(7, "after serial 7");
  ExpectVerdict(L"Part", "serial 7 again: the same release");
  ExpectNoted(7, "after serial 7 again");

  Serve(kAllnewManifest, kAllnewSerial8ByC);
  ExpectVerdict(L"Allnew", "serial 8");
  ExpectNoted(8, "after serial 8");

  Serve(kPartManifest, kPartSerial7ByC);
  ExpectRefusedAs("SerialRolledBack\n", "serial 7 replayed after 8");
  Serve(kPartManifest, kPartSerial6ByC);
  ExpectRefusedAs("SerialRolledBack\n", "serial 6 after 8");
  Serve(kAllnewManifest, kAllnewSerial8ByC);
  ExpectVerdict(L"Allnew", "serial 8 still good");
}

TEST_F(FreshnessTest, AnExpiredSignatureIsRefusedAfterADaysGrace) {
  Serve(kPartManifest, kPartSerial7ByC);
  SetClockForTesting(kExpiryC + 25ull * 3600);
  ExpectRefusedAs("SignatureExpired\n", "25 hours past the expiry, new installation");
  EXPECT_FALSE(PathExists(Note()));

  SetClockForTesting(kExpiryC + 23ull * 3600);
  ExpectVerdict(L"Part", "23 hours past the expiry: a clock a day ahead still updates");
  ExpectNoted(7, "inside the grace");

  SetClockForTesting(kExpiryC + 400ull * 86400);
  ExpectRefusedAs("SignatureExpired\n", "a year past the expiry");
}

TEST_F(FreshnessTest, TheOldFormIsRefusedOnceTheNewFormWasAccepted) {
  // Both forms by one key: the vectors of the old form are by key A.
  SetPublicKeyForTesting(kKeyA);
  Serve(kPartManifest, kPartByA);
  ExpectVerdict(L"Part", "old form, nothing accepted before");
  EXPECT_FALSE(PathExists(Note())) << "the old form notes nothing";

  SetPublicKeyForTesting(kKeyC);
  Serve(kPartManifest, kPartSerial7ByC);
  ExpectVerdict(L"Part", "new form");

  SetPublicKeyForTesting(kKeyA);
  Serve(kPartManifest, kPartByA);
  ExpectRefusedAs("SignatureOldForm\n", "old form after the new form");
}

TEST_F(FreshnessTest, AMissingOrDamagedNoteNeverBlocksANewFormSignature) {
  Serve(kAllnewManifest, kAllnewSerial8ByC);
  ExpectVerdict(L"Allnew", "serial 8");
  ExpectNoted(8, "serial 8");

  // Deleted: nothing accepted yet, so a lower serial passes and is noted.
  ASSERT_TRUE(::DeleteFileW(Note().c_str()));
  Serve(kPartManifest, kPartSerial7ByC);
  ExpectVerdict(L"Part", "serial 7 with the note deleted");
  ExpectNoted(7, "rewritten after the deletion");

  // Damaged (one bit, cut short, empty): no floor, but the new form is kept.
  std::string flipped = AcceptedStateBytes(8);
  flipped[12] ^= 0x01;
  for (const std::string& damaged : {flipped, AcceptedStateBytes(8).substr(0, 20), std::string()}) {
    WriteBytes(Note(), damaged);
    Serve(kPartManifest, kPartSerial6ByC);
    ExpectVerdict(L"Part", "serial 6 over a damaged note");
    ExpectNoted(6, "rewritten after the damage");
    WriteBytes(Note(), damaged);
    SetPublicKeyForTesting(kKeyA);
    Serve(kPartManifest, kPartByA);
    ExpectRefusedAs("SignatureOldForm\n", "old form over a damaged note");
    SetPublicKeyForTesting(kKeyC);
  }
}

TEST_F(FreshnessTest, ANoteThatCannotBeWrittenDoesNotStopTheUpdate) {
  Serve(kPartManifest, kPartSerial7ByC);
  ExpectVerdict(L"Part", "serial 7");
  // A folder in the way of the temporary name: the note cannot be written.
  ASSERT_TRUE(::CreateDirectoryW((Note() + L".tmp").c_str(), nullptr));
  Serve(kAllnewManifest, kAllnewSerial8ByC);
  std::wstring verdict;
  g_words.clear();
  Check(verdict);
  EXPECT_EQ(L"Allnew", verdict);
  EXPECT_EQ(std::vector<std::string>{"StateWriteFail\n"}, g_words);
  EXPECT_TRUE(ReadBytes(Note()) == AcceptedStateBytes(7)) << "the floor stays where it was";
  ASSERT_TRUE(::RemoveDirectoryW((Note() + L".tmp").c_str()));
}

TEST_F(FreshnessTest, ANoteHeldByAnotherProgramNeverLowersTheFloor) {
  Serve(kAllnewManifest, kAllnewSerial8ByC);
  ExpectVerdict(L"Allnew", "serial 8");
  ExpectNoted(8, "serial 8");

  // A backup tool holding the note without sharing it: the floor cannot be
  // read, so a lower serial must not pass, nor be noted.
  HANDLE holder = ::CreateFileW(Note().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, holder);
  Serve(kPartManifest, kPartSerial7ByC);
  std::wstring verdict = L"Part";
  g_words.clear();
  const DownloadList list = Check(verdict);
  ::CloseHandle(holder);
  EXPECT_EQ(L"Error", verdict);
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(std::vector<std::string>{"StateHeld\n"}, g_words);
  ExpectNoted(8, "after the check while held");

  // Let go, the next check weighs the serial as usual.
  ExpectRefusedAs("SerialRolledBack\n", "serial 7 once the note is let go");

  // Held for a moment only: the check waits for it and goes on.
  holder = ::CreateFileW(Note().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, holder);
  std::thread release([holder] {
    ::Sleep(300);
    ::CloseHandle(holder);
  });
  Serve(kAllnewManifest, kAllnewSerial8ByC);
  ExpectVerdict(L"Allnew", "serial 8 with the note held for 300 ms");
  release.join();
  ExpectNoted(8, "after the brief hold");
}

TEST_F(FreshnessTest, ASignatureThatDoesNotHoldIsNeverNoted) {
  std::string changed = FromHex(kPartSerial7ByC);
  changed[15] ^= 0x10;  // serial 7 becomes 23: not what was signed
  ServeBytes(m_path + "UpDate.ini", kPartManifest);
  ServeBytes(m_path + "UpDate.ini.sig", changed);
  ExpectRefusedAs("SignatureFail\n", "serial changed after signing");
  changed = FromHex(kPartSerial7ByC);
  changed[23] ^= 0x01;  // the expiry
  ServeBytes(m_path + "UpDate.ini.sig", changed);
  ExpectRefusedAs("SignatureFail\n", "expiry changed after signing");
  changed = FromHex(kPartSerial7ByC);
  changed[7] = 3;  // a form this updater does not know
  ServeBytes(m_path + "UpDate.ini.sig", changed);
  ExpectRefusedAs("SignatureFail\n", "form version 3");
  EXPECT_FALSE(PathExists(Note()));
}

TEST(SignedManifestVerify, CngAcceptsTheToolsSignaturesAndMeasuresTheCost) {
  const std::wstring folder = MakeTempFolder(L"verify");
  const std::wstring part = folder + L"part.ini";
  const std::wstring large = folder + L"large.ini";
  WriteBytes(part, kPartManifest);
  WriteBytes(large, LargeManifest());

  EXPECT_TRUE(VerifyFileSignature(kKeyA, part, FromHex(kPartByA)));
  EXPECT_TRUE(VerifyFileSignature(kKeyC, part, FromHex(kPartSerial7ByC)));
  EXPECT_FALSE(VerifyFileSignature(kKeyA, part, FromHex(kPartSerial7ByC)));
  EXPECT_TRUE(VerifyFileSignature(kKeyA, large, FromHex(kLargeByA)));
  EXPECT_FALSE(VerifyFileSignature(kKeyB, part, FromHex(kPartByA)));
  EXPECT_FALSE(VerifyFileSignature(kKeyA, folder + L"absent.ini", FromHex(kPartByA)));
  EXPECT_FALSE(VerifyFileSignature(kKeyA.substr(0, 128), part, FromHex(kPartByA)));

  constexpr int kRounds = 20;
  for (const std::wstring* path : {&part, &large}) {
    const std::string& signature = path == &part ? kPartByA : kLargeByA;
    LARGE_INTEGER frequency, start, end;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&start);
    bool all = true;
    for (int i = 0; i < kRounds; ++i) all &= VerifyFileSignature(kKeyA, *path, FromHex(signature));
    ::QueryPerformanceCounter(&end);
    EXPECT_TRUE(all);
    const double ms = 1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) /
                      static_cast<double>(frequency.QuadPart) / kRounds;
    std::printf("one verify of %s (%zu bytes): %.2f ms\n", WideToUtf8(*path).c_str(),
                ReadBytes(*path).size(), ms);
    RecordProperty(path == &part ? "verify_ms_small" : "verify_ms_100k", std::to_string(ms));
  }
  RemoveTree(folder);
}

}  // namespace
