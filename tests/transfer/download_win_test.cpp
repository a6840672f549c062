// CMyFun::DownloadFiles against the fault server, driving real controls that
// live on the test thread, so every control message is handled at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "check/http_win.h"
#include "engine/diagnostics.h"
#include "engine/my_fun.h"
#include "engine/stop_signal.h"
#include "framework/afx.h"
#include "manifest/md5.h"
#include "support/random_bytes.h"
#include "support/win_test_support.h"
#include "transfer/delta_index.h"
#include "transfer/frames.h"
#include "transfer/pack.h"
#include "transfer/script_text.h"

namespace {

const wchar_t kFailed[] = L"文件下载失败";

// Bytes that differ with the seed and at every offset, so a misplaced or
// repeated piece shows as a mismatch.
std::string Pattern(size_t size, std::uint32_t seed) {
  std::string bytes(size, '\0');
  std::uint32_t x = seed * 2654435761u + 12345u;
  for (char& c : bytes) {
    x = x * 1664525u + 1013904223u;
    c = static_cast<char>(x >> 24);
  }
  return bytes;
}

::testing::AssertionResult HoldsBytes(const std::wstring& path, const std::string& expected) {
  if (!PathExists(path)) return ::testing::AssertionFailure() << WideToUtf8(path) << " is missing";
  const std::string actual = ReadBytes(path);
  if (actual == expected) return ::testing::AssertionSuccess();
  size_t at = 0;
  while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
  return ::testing::AssertionFailure() << WideToUtf8(path) << ": " << actual.size()
                                       << " bytes, expected " << expected.size()
                                       << ", first difference at " << at;
}

// Every file and folder below a folder, relative, folders with a trailing "\".
void Walk(const std::wstring& folder, const std::wstring& prefix, std::set<std::wstring>& out) {
  WIN32_FIND_DATAW entry;
  HANDLE find = ::FindFirstFileW((folder + prefix + L"*").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = entry.cFileName;
    if (name == L"." || name == L"..") continue;
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      out.insert(prefix + name + L"\\");
      Walk(folder, prefix + name + L"\\", out);
    } else {
      out.insert(prefix + name);
    }
  } while (::FindNextFileW(find, &entry));
  ::FindClose(find);
}

std::set<std::wstring> Tree(const std::wstring& folder) {
  std::set<std::wstring> out;
  Walk(folder, L"", out);
  return out;
}

// A header as the server saw it; empty when the request had none.
std::string Header(const std::string& logLine, const std::string& field) {
  return JsonField(logLine, field);
}

std::vector<std::string> Diagnostics;
void RecordDiagnostic(const char* word, const std::wstring&) { Diagnostics.emplace_back(word); }

// The five controls the download drives, children of a hidden window that
// answers the list's requests for texts, as the dialog does. The progress bar
// is subclassed so that every position it is sent is kept. Rows and cells are
// read through the list's messages, as another program reads them.
class Controls {
 public:
  Controls() {
    AfxEnableControlContainer();
    const HINSTANCE instance = ::GetModuleHandleW(nullptr);
    m_host = ::CreateWindowExW(0, L"STATIC", L"host", WS_OVERLAPPED, 0, 0, 600, 400, nullptr,
                               nullptr, instance, nullptr);
    const auto child = [&](const wchar_t* cls, int id, DWORD style) {
      return ::CreateWindowExW(0, cls, L"", WS_CHILD | style, 0, 0, 500, 100, m_host,
                               reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance,
                               nullptr);
    };
    progress.m_hWnd = child(PROGRESS_CLASSW, 1003, 0);
    counter.m_hWnd = child(L"STATIC", 1020, 0);
    speed.m_hWnd = child(L"STATIC", 1021, 0);
    fileName.m_hWnd = child(L"STATIC", 1022, 0);
    list.m_hWnd = child(WC_LISTVIEWW, 1023, LVS_REPORT | LVS_OWNERDATA);
    list.InsertColumn(0, L"文件名", LVCFMT_LEFT, 250);
    list.InsertColumn(1, L"文件状态", LVCFMT_LEFT, 234);
    s_current = this;
    m_progressProc = reinterpret_cast<WNDPROC>(::SetWindowLongPtrW(
        progress.m_hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&ProgressProc)));
    m_hostProc = reinterpret_cast<WNDPROC>(
        ::SetWindowLongPtrW(m_host, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&HostProc)));
  }
  ~Controls() {
    // The subclassed windows still get their last messages.
    ::DestroyWindow(m_host);
    s_current = nullptr;
  }
  Controls(const Controls&) = delete;
  Controls& operator=(const Controls&) = delete;

  bool Ready() const {
    return m_host && progress.m_hWnd && counter.m_hWnd && speed.m_hWnd && fileName.m_hWnd &&
           list.m_hWnd;
  }
  int Rows() const { return list.GetItemCount(); }
  std::wstring Cell(int row, int column) const { return list.GetItemText(row, column); }

  CProgressCtrl progress;
  CStatic counter;
  CStatic speed;
  CStatic fileName;
  CListCtrl list;
  std::vector<int> positions;  // every PBM_SETPOS, in order
  int rangeMessages = 0;

 private:
  static LRESULT CALLBACK ProgressProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    Controls* self = s_current;
    if (message == PBM_SETPOS) self->positions.push_back(static_cast<int>(wParam));
    if (message == PBM_SETRANGE || message == PBM_SETRANGE32) ++self->rangeMessages;
    return ::CallWindowProcW(self->m_progressProc, hwnd, message, wParam, lParam);
  }
  static LRESULT CALLBACK HostProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    Controls* self = s_current;
    LRESULT result = 0;
    if (message == WM_NOTIFY && self->list.AnswerNotify(reinterpret_cast<const NMHDR*>(lParam), result)) {
      return result;
    }
    return ::CallWindowProcW(self->m_hostProc, hwnd, message, wParam, lParam);
  }

  static Controls* s_current;
  HWND m_host = nullptr;
  WNDPROC m_progressProc = nullptr;
  WNDPROC m_hostProc = nullptr;
};
Controls* Controls::s_current = nullptr;

class DownloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(ServerUrl().empty()) << "run through run_with_server.sh";
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    m_base = std::string("/dl/") + info->test_suite_name() + "/" + info->name() + "/";
    SetFaults("");
    ClearRequestLog();
    Diagnostics.clear();
    m_previousHook = SetDiagnosticHook(&RecordDiagnostic);
    m_folder = MakeTempFolder(L"dl");
    ASSERT_TRUE(m_ui.Ready());
  }
  void TearDown() override {
    SetDiagnosticHook(m_previousHook);
    SetFaults("");
    RemoveTree(m_folder);
  }

  std::string UrlPath(const std::string& name) const { return m_base + name; }
  std::wstring BaseUrl() const { return ServerUrl() + Utf8ToWide(m_base); }
  std::wstring Local(const std::wstring& name) const { return m_folder + name; }

  // Each served file's digest goes to the run as a check would hand it over,
  // unless a test names the digests itself.
  void Serve(const std::string& name, const std::string& bytes) {
    ServeBytes(UrlPath(name), bytes);
    m_served[name] = Md5::HexOf(bytes);
  }

  // {"paths": {"<base><name>": <rule>, ...}} plus optional top-level members.
  void Faults(const std::map<std::string, std::string>& rules, const std::string& extra = "") {
    std::string json = "{" + extra + (extra.empty() ? "" : ", ") + "\"paths\": {";
    bool first = true;
    for (const auto& [name, rule] : rules) {
      json += (first ? "\"" : ", \"") + UrlPath(name) + "\": " + rule;
      first = false;
    }
    SetFaults(json + "}}");
  }

  std::vector<std::string> Requests(const std::string& name) const {
    return RequestsFor(UrlPath(name));
  }

  // The digests a check would have handed over from the server manifest.
  void ExpectDigests(const std::map<std::wstring, std::string>& digests) {
    m_digestsNamed = true;
    ManifestTable table;
    for (const auto& [name, digest] : digests) table.emplace(name, Utf8ToWide(digest));
    m_fun.SetServerDigests(std::move(table));
  }

  bool Download(const DownloadList& list) { return Download(BaseUrl(), m_folder, list); }
  bool Download(const std::wstring& url, const std::wstring& folder, const DownloadList& list) {
    HandOverDigests(list);
    return m_fun.DownloadFiles(url, folder, list, m_ui.progress, m_ui.counter, m_ui.speed,
                               m_ui.fileName, m_ui.list);
  }
  void HandOverDigests(const DownloadList& list) {
    if (!m_digestsNamed) {
      // A name the server does not hold gets a digest nothing matches.
      ManifestTable table;
      for (const std::wstring& name : list) {
        std::string key = WideToUtf8(name);
        std::replace(key.begin(), key.end(), '\\', '/');
        const auto served = m_served.find(key);
        table[name] = Utf8ToWide(served != m_served.end() ? served->second : std::string(32, '0'));
      }
      m_fun.SetServerDigests(std::move(table));
    }
  }

  bool Diagnosed(const std::string& word) const {
    for (const std::string& seen : Diagnostics) {
      if (seen == word) return true;
    }
    return false;
  }

  std::string m_base;
  std::map<std::string, std::string> m_served;  // name as served: MD5
  bool m_digestsNamed = false;
  std::wstring m_folder;
  Controls m_ui;
  CMyFun m_fun;
  DiagnosticHook m_previousHook = nullptr;
};

std::wstring LocalPathOfForUrl(std::wstring name) {
  std::replace(name.begin(), name.end(), L'\\', L'/');
  return name;
}

std::wstring FinalSizes(const wchar_t* text) { return std::wstring(text) + L" \r\n"; }

// ---------------------------------------------------------------------------
// The range probe and the request each file gets from it.

class DownloadProbeTest : public DownloadTest {};

TEST_F(DownloadProbeTest, EmptyListTouchesNothing) {
  m_ui.list.InsertItem(0, L"earlier");
  EXPECT_TRUE(Download({}));
  EXPECT_EQ(0, m_ui.rangeMessages);
  EXPECT_TRUE(m_ui.positions.empty());
  EXPECT_EQ(1, m_ui.Rows());
  EXPECT_TRUE(RequestLog().empty());
  EXPECT_TRUE(Tree(m_folder).empty());
}

TEST_F(DownloadProbeTest, PartialAnswerTurnsOnResumeAndFilesWithoutTmpStartAtZero) {
  const std::string a = Pattern(3000, 1), b = Pattern(5000, 2);
  Serve("a.bin", a);
  Serve("b.bin", b);

  ASSERT_TRUE(Download({L"a.bin", L"b.bin"}));

  const auto forA = Requests("a.bin");
  ASSERT_EQ(2u, forA.size());
  EXPECT_EQ("bytes=1-1", Header(forA[0], "range"));
  EXPECT_EQ("206", JsonField(forA[0], "status"));
  EXPECT_EQ("bytes=0-", Header(forA[1], "range"));
  const auto forB = Requests("b.bin");
  ASSERT_EQ(1u, forB.size());
  EXPECT_EQ("bytes=0-", Header(forB[0], "range"));
  EXPECT_TRUE(HoldsBytes(Local(L"a.bin"), a));
  EXPECT_TRUE(HoldsBytes(Local(L"b.bin"), b));
  EXPECT_EQ((std::set<std::wstring>{L"a.bin", L"b.bin", L"delete.bat"}), Tree(m_folder));
}

TEST_F(DownloadProbeTest, WholeAnswerFetchesEveryFileWholeOverStaleTmps) {
  SetFaults(R"({"ranges": false})");
  const std::string a = Pattern(3000, 3), b = Pattern(5000, 4);
  Serve("a.bin", a);
  Serve("b.bin", b);
  WriteBytes(Local(L"a.bin.tmp"), Pattern(9000, 99));  // longer than the file
  WriteBytes(Local(L"b.bin.tmp"), b.substr(0, 2000));  // would double up if appended to

  ASSERT_TRUE(Download({L"a.bin", L"b.bin"}));

  const auto forA = Requests("a.bin");
  ASSERT_EQ(2u, forA.size());
  EXPECT_EQ("bytes=1-1", Header(forA[0], "range"));
  EXPECT_EQ("200", JsonField(forA[0], "status"));
  EXPECT_EQ("", Header(forA[1], "range"));
  EXPECT_EQ("*/*", Header(forA[1], "accept"));
  const auto forB = Requests("b.bin");
  ASSERT_EQ(1u, forB.size());
  EXPECT_EQ("", Header(forB[0], "range"));
  EXPECT_EQ("*/*", Header(forB[0], "accept"));
  EXPECT_TRUE(HoldsBytes(Local(L"a.bin"), a));
  EXPECT_TRUE(HoldsBytes(Local(L"b.bin"), b));
  EXPECT_FALSE(PathExists(Local(L"a.bin.tmp")));
  EXPECT_FALSE(PathExists(Local(L"b.bin.tmp")));
}

// A one-byte first file answers the probe 416, and a passing error answers
// it 500: neither says ranges are ignored, so no partial file is thrown away.
TEST_F(DownloadProbeTest, ProbeOfAOneByteFileOrAPassingErrorKeepsEveryPartialFile) {
  const std::string big = Pattern(60000, 70);
  Serve("a.bin", "x");
  Serve("b.bin", "y");
  Serve("big.bin", big);
  Faults({{"b.bin", R"({"status": 500})"}});
  for (const wchar_t* first : {L"a.bin", L"b.bin"}) {
    WriteBytes(Local(L"big.bin.tmp"), big.substr(0, 20000));
    ClearRequestLog();

    Download({first, L"big.bin"});

    const auto requests = Requests("big.bin");
    ASSERT_EQ(1u, requests.size()) << WideToUtf8(first);
    EXPECT_EQ("bytes=20000-", Header(requests[0], "range")) << WideToUtf8(first);
    EXPECT_TRUE(HoldsBytes(Local(L"big.bin"), big)) << WideToUtf8(first);
    ::DeleteFileW(Local(L"big.bin").c_str());
  }
}

TEST_F(DownloadProbeTest, MissingFirstEntryFailsBeforeTheListOrAnyFileIsTouched) {
  Serve("b.bin", Pattern(1000, 5));
  const std::string old = Pattern(700, 6);
  WriteBytes(Local(L"b.bin"), old);
  m_ui.list.InsertItem(0, L"earlier");
  m_ui.list.SetItemText(0, 1, L"kept");

  EXPECT_FALSE(Download({L"gone.bin", L"b.bin"}));

  EXPECT_TRUE(Diagnosed("404 not found\n"));
  ASSERT_EQ(1, m_ui.Rows());
  EXPECT_EQ(L"earlier", m_ui.Cell(0, 0));
  EXPECT_EQ(L"kept", m_ui.Cell(0, 1));
  EXPECT_EQ(1u, Requests("gone.bin").size());
  EXPECT_TRUE(Requests("b.bin").empty());
  EXPECT_EQ((std::set<std::wstring>{L"b.bin"}), Tree(m_folder));
  EXPECT_TRUE(HoldsBytes(Local(L"b.bin"), old));
}

// ---------------------------------------------------------------------------
// Continuing partial files, and where files land.

class DownloadResumeTest : public DownloadTest {};

TEST_F(DownloadResumeTest, PartialTmpAsksOnlyForTheRestAndShowsThoseBytes) {
  const std::string file = Pattern(7000, 7);
  Serve("big.bin", file);
  WriteBytes(Local(L"big.bin.tmp"), file.substr(0, 5000));

  ASSERT_TRUE(Download({L"big.bin"}));

  const auto requests = Requests("big.bin");
  ASSERT_EQ(2u, requests.size());
  EXPECT_EQ("bytes=5000-", Header(requests[1], "range"));
  EXPECT_EQ("206", JsonField(requests[1], "status"));
  ASSERT_EQ(1, m_ui.Rows());
  EXPECT_EQ(L"big.bin", m_ui.Cell(0, 0));
  EXPECT_EQ(FinalSizes(L"2.00K(当前大小)/2.00K(总大小)"), m_ui.Cell(0, 1));
  EXPECT_TRUE(HoldsBytes(Local(L"big.bin"), file));
  EXPECT_FALSE(PathExists(Local(L"big.bin.tmp")));
}

// A proxy that answers a resumed request with another range: the kept part
// is not continued with bytes from elsewhere in the file; the file is asked
// for again from zero, and a .tmp cut short on the way is still a prefix.
TEST_F(DownloadResumeTest, AnswerThatDoesNotContinueTheTmpIsAskedAgainFromZero) {
  const std::string file = Pattern(7000, 8);
  Serve("big.bin", file);
  WriteBytes(Local(L"big.bin.tmp"), file.substr(0, 5000));
  Faults({{"big.bin", R"({"answer_from": 1000, "cut_after": 1500})"}});

  ASSERT_TRUE(Download({L"big.bin"}));

  auto requests = Requests("big.bin");
  ASSERT_EQ(3u, requests.size());
  EXPECT_EQ("bytes=5000-", Header(requests[1], "range"));
  EXPECT_EQ("", Header(requests[2], "range"));
  EXPECT_EQ(kFailed, m_ui.Cell(0, 1));
  EXPECT_TRUE(HoldsBytes(Local(L"big.bin.tmp"), file.substr(0, 1500)));

  SetFaults("");
  ASSERT_TRUE(Download({L"big.bin"}));
  EXPECT_TRUE(HoldsBytes(Local(L"big.bin"), file));
  EXPECT_EQ(FinalSizes(L"5.50K(当前大小)/5.50K(总大小)"), m_ui.Cell(0, 1));
}

// A length past 4 GiB is read whole (not cut to 32 bits): a body that ends
// short of it fails its row and keeps its exact prefix for the next run.
TEST_F(DownloadResumeTest, LengthPast4GiBIsReadWhole) {
  const std::string file = Pattern(300000, 9);
  Serve("huge.pak", file);
  Faults({{"huge.pak", R"({"length": 4294967396, "ranges": false})"}});

  ASSERT_TRUE(Download({L"huge.pak"}));

  EXPECT_EQ(kFailed, m_ui.Cell(0, 1));
  EXPECT_FALSE(PathExists(Local(L"huge.pak")));
  EXPECT_TRUE(HoldsBytes(Local(L"huge.pak.tmp"), file));
}

TEST_F(DownloadResumeTest, NestedNameCreatesItsFoldersAndMapsToSlashes) {
  const std::string file = Pattern(4000, 8);
  Serve("data/maps/a.bin", file);
  std::wstring url = BaseUrl();
  url.pop_back();  // both separators are added when missing
  std::wstring folder = m_folder;
  folder.pop_back();

  ASSERT_TRUE(Download(url, folder, {L"data\\maps\\a.bin"}));

  const auto requests = Requests("data/maps/a.bin");
  ASSERT_EQ(2u, requests.size());
  EXPECT_EQ("bytes=0-", Header(requests[1], "range"));
  EXPECT_EQ(requests.size() + 1, RequestLog().size());  // and the list of forms
  EXPECT_TRUE(HoldsBytes(Local(L"data\\maps\\a.bin"), file));
  EXPECT_EQ((std::set<std::wstring>{L"data\\", L"data\\maps\\", L"data\\maps\\a.bin", L"delete.bat"}),
            Tree(m_folder));
  EXPECT_EQ(L"data\\maps\\a.bin", m_ui.fileName.GetWindowText());
}

TEST_F(DownloadResumeTest, SlashNameLandsInItsNewFoldersAndTheRunGoesOn) {
  const std::string file = Pattern(3000, 9), other = Pattern(100, 10);
  Serve("newdir/sub/x.bin", file);
  Serve("z.bin", other);

  ASSERT_TRUE(Download({L"newdir/sub/x.bin", L"z.bin"}));

  EXPECT_NE(kFailed, m_ui.Cell(0, 1));
  EXPECT_EQ(L"newdir/sub/x.bin", m_ui.Cell(0, 0));
  EXPECT_TRUE(HoldsBytes(Local(L"newdir\\sub\\x.bin"), file));
  EXPECT_TRUE(HoldsBytes(Local(L"z.bin"), other));
  EXPECT_FALSE(PathExists(Local(L"newdir\\sub\\x.bin.tmp")));
}

// Large bodies are written and hashed off the receiving thread: what a broken
// transfer leaves is still an exact prefix, and the resumed file its digest.
TEST_F(DownloadResumeTest, LargeFileBrokenOffLeavesAPrefixAndTheResumedFilePassesItsDigest) {
  const size_t size = 9u << 20, cut = 5u << 20;
  const std::string file = Pattern(size, 67);
  Serve("large.bin", file);
  Faults({{"large.bin", R"({"abort_after": )" + std::to_string(cut) +
                            R"(, "stall_after": {"bytes": )" + std::to_string(cut) +
                            R"(, "seconds": 2}})"}});
  ExpectDigests({{L"large.bin", Md5::HexOf(file)}});

  EXPECT_FALSE(Download({L"large.bin"}));

  const std::string kept = ReadBytes(Local(L"large.bin.tmp"));
  ASSERT_GT(kept.size(), 0u);
  ASSERT_LE(kept.size(), cut);
  EXPECT_TRUE(kept == file.substr(0, kept.size()));

  SetFaults("");
  ClearRequestLog();
  ASSERT_TRUE(Download({L"large.bin"}));
  const auto requests = Requests("large.bin");
  ASSERT_EQ(2u, requests.size());  // the probe, then the rest only
  EXPECT_EQ("bytes=" + std::to_string(kept.size()) + "-", Header(requests[1], "range"));
  EXPECT_TRUE(HoldsBytes(Local(L"large.bin"), file));
}

// ---------------------------------------------------------------------------
// Bodies that end early.

class DownloadFailureTest : public DownloadTest {
 protected:
  // A run against a server that slows to a trickle ends within `within` ms,
  // given a request wait of waitMs, keeping an exact prefix of between
  // minKept and maxKept bytes; the next run asks for the rest only.
  void TrickleEndsAndTheNextRunResumes(const std::string& name, const std::string& file,
                                       const std::string& rule, DWORD waitMs, DWORD within,
                                       size_t minKept, size_t maxKept) {
    const std::wstring local = Local(Utf8ToWide(name));
    Serve(name, file);
    Faults({{name, rule}});
    ExpectDigests({{Utf8ToWide(name), Md5::HexOf(file)}});
    SetNetworkWaitForTesting(waitMs);
    const DWORD start = ::GetTickCount();
    EXPECT_FALSE(Download({Utf8ToWide(name)}));
    const DWORD took = ::GetTickCount() - start;
    SetNetworkWaitForTesting(0);
    EXPECT_LT(took, within);
    EXPECT_TRUE(Diagnosed("InternetReadFileFail\n"));
    const std::string kept = ReadBytes(local + L".tmp");
    ASSERT_GE(kept.size(), minKept);
    ASSERT_LE(kept.size(), maxKept);
    EXPECT_TRUE(kept == file.substr(0, kept.size()));

    SetFaults("");
    ClearRequestLog();
    ASSERT_TRUE(Download({Utf8ToWide(name)}));
    // The first request is the run's range probe; the last one resumes.
    EXPECT_EQ("bytes=" + std::to_string(kept.size()) + "-", Header(Requests(name).back(), "range"));
    EXPECT_TRUE(HoldsBytes(local, file));
  }
};

TEST_F(DownloadFailureTest, ShortBodyFailsItsRowKeepsTheInstalledCopyAndTheNextRunResumes) {
  const std::string a = Pattern(3000, 9), b = Pattern(6000, 10), c = Pattern(2000, 11);
  const std::string installed = Pattern(500, 12);
  Serve("a.bin", a);
  Serve("b.bin", b);
  Serve("c.bin", c);
  Faults({{"b.bin", R"({"cut_after": 1000})"}});
  WriteBytes(Local(L"b.bin"), installed);

  EXPECT_TRUE(Download({L"a.bin", L"b.bin", L"c.bin"}));

  ASSERT_EQ(3, m_ui.Rows());
  EXPECT_EQ(FinalSizes(L"3.00K(当前大小)/3.00K(总大小)"), m_ui.Cell(0, 1));
  EXPECT_EQ(kFailed, m_ui.Cell(1, 1));
  EXPECT_EQ(FinalSizes(L"2.00K(当前大小)/2.00K(总大小)"), m_ui.Cell(2, 1));
  EXPECT_TRUE(HoldsBytes(Local(L"b.bin"), installed));
  EXPECT_TRUE(HoldsBytes(Local(L"b.bin.tmp"), b.substr(0, 1000)));
  EXPECT_TRUE(HoldsBytes(Local(L"a.bin"), a));
  EXPECT_TRUE(HoldsBytes(Local(L"c.bin"), c));
  EXPECT_EQ(L"3个(当前已下载文件个数)/3个(总文件个数)", m_ui.counter.GetWindowText());
  EXPECT_EQ(10000, m_ui.progress.GetPos());

  SetFaults("");
  ClearRequestLog();
  ASSERT_TRUE(Download({L"b.bin"}));
  EXPECT_EQ("bytes=1000-", Header(Requests("b.bin").back(), "range"));
  EXPECT_TRUE(HoldsBytes(Local(L"b.bin"), b));
}

TEST_F(DownloadFailureTest, AbortedReadEndsTheRunAndTheNextRunResumesTheTmp) {
  const std::string first = Pattern(1000, 13), big = Pattern(120000, 14);
  Serve("first.bin", first);
  Serve("big.bin", big);
  // The pause lets the client take in the 50000 bytes before the reset.
  Faults({{"big.bin", R"({"abort_after": 50000, "stall_after": {"bytes": 50000, "seconds": 2}})"}});

  EXPECT_FALSE(Download({L"first.bin", L"big.bin", L"last.bin"}));

  EXPECT_TRUE(Diagnosed("InternetReadFileFail\n"));
  const std::string kept = ReadBytes(Local(L"big.bin.tmp"));
  ASSERT_FALSE(kept.empty());
  ASSERT_LE(kept.size(), 50000u);
  EXPECT_EQ(big.substr(0, kept.size()), kept);
  EXPECT_FALSE(PathExists(Local(L"big.bin")));
  EXPECT_NE(kFailed, m_ui.Cell(1, 1));
  // Files after it may have started alongside it; none starts after the failure.
  EXPECT_LE(m_ui.Rows(), 3);
  EXPECT_FALSE(PathExists(Local(L"delete.bat")));

  SetFaults("");
  ClearRequestLog();
  Serve("last.bin", Pattern(10, 15));
  ASSERT_TRUE(Download({L"first.bin", L"big.bin", L"last.bin"}));
  const auto requests = Requests("big.bin");
  ASSERT_EQ(1u, requests.size());
  EXPECT_EQ("bytes=" + std::to_string(kept.size()) + "-", Header(requests[0], "range"));
  EXPECT_TRUE(HoldsBytes(Local(L"big.bin"), big));
  EXPECT_FALSE(PathExists(Local(L"big.bin.tmp")));
}

TEST_F(DownloadFailureTest, TricklingServerEndsTheRunInTimeAndTheNextRunResumes) {
  TrickleEndsAndTheNextRunResumes("big.bin", Pattern(120000, 19),
                                  R"({"trickle": {"after": 30000, "interval": 0.5}})", 1500, 8000,
                                  30000, 120000);
}

// A large body is read in big pieces; one that drops to a trickle in the
// middle of a piece still ends within the request's wait, keeping a prefix.
// (Pieces end where the body pipe's 2 MiB chunks end: 10 MiB would be a
// piece's end, so the trickle starts 300 KiB into one.)
TEST_F(DownloadFailureTest, LargeFileThatDropsToATrickleEndsInTimeAndTheNextRunResumes) {
  const size_t fast = (10u << 20) + 300 * 1024;
  TrickleEndsAndTheNextRunResumes(
      "large.bin", Pattern(64u << 20, 71),
      R"({"trickle": {"after": )" + std::to_string(fast) + R"(, "interval": 0.001}})", 3000, 15000, 1,
      fast + 64 * 1024);
}

TEST_F(DownloadFailureTest, ErrorPagesAreNeverInstalled) {
  const std::string oldMissing = Pattern(800, 16), oldBroken = Pattern(900, 17);
  Serve("a.bin", Pattern(100, 18));
  Serve("broken.bin", Pattern(2000, 19));
  Serve("z.bin", Pattern(300, 20));
  Faults({{"broken.bin", R"({"status": 500, "body": "server error page"})"}});
  WriteBytes(Local(L"missing.bin"), oldMissing);
  WriteBytes(Local(L"broken.bin"), oldBroken);

  EXPECT_TRUE(Download({L"a.bin", L"broken.bin", L"missing.bin", L"z.bin"}));

  ASSERT_EQ(4, m_ui.Rows());
  EXPECT_EQ(kFailed, m_ui.Cell(1, 1));
  EXPECT_EQ(kFailed, m_ui.Cell(2, 1));
  EXPECT_NE(kFailed, m_ui.Cell(3, 1));
  EXPECT_TRUE(HoldsBytes(Local(L"broken.bin"), oldBroken));
  EXPECT_TRUE(HoldsBytes(Local(L"missing.bin"), oldMissing));
  EXPECT_FALSE(PathExists(Local(L"broken.bin.tmp")));
  EXPECT_FALSE(PathExists(Local(L"missing.bin.tmp")));
  EXPECT_TRUE(PathExists(Local(L"z.bin")));
  EXPECT_EQ(1u, Requests("missing.bin").size());
  EXPECT_EQ("404", JsonField(Requests("missing.bin")[0], "status"));
}

TEST_F(DownloadFailureTest, EndlessBodyIsCutAtItsReportedLength) {
  Serve("a.bin", Pattern(100, 21));
  Serve("endless.bin", Pattern(5000, 22));
  Serve("z.bin", Pattern(100, 23));
  // Chunked framing never ends, so only the reported length can stop it.
  Faults({{"endless.bin", R"({"endless": true, "chunked": true, "length": 5000})"}});

  const DWORD start = ::GetTickCount();
  EXPECT_TRUE(Download({L"a.bin", L"endless.bin", L"z.bin"}));

  EXPECT_LT(::GetTickCount() - start, 20000u);
  ASSERT_EQ(3, m_ui.Rows());
  EXPECT_EQ(kFailed, m_ui.Cell(1, 1));
  EXPECT_FALSE(PathExists(Local(L"endless.bin")));
  EXPECT_FALSE(PathExists(Local(L"endless.bin.tmp")));
  EXPECT_TRUE(PathExists(Local(L"z.bin")));
}

TEST_F(DownloadFailureTest, AnswerWithoutALengthEndsTheRun) {
  Serve("a.bin", Pattern(100, 58));
  Serve("b.bin", Pattern(3000, 59));
  Serve("c.bin", Pattern(100, 60));
  Faults({{"b.bin", R"({"no_length": true})"}});

  EXPECT_FALSE(Download({L"a.bin", L"b.bin", L"c.bin"}));

  EXPECT_TRUE(Diagnosed("HttpQueryFail\n"));
  EXPECT_FALSE(PathExists(Local(L"b.bin")));
  EXPECT_NE(kFailed, m_ui.Cell(1, 1));
  EXPECT_FALSE(PathExists(Local(L"delete.bat")));
}

// ---------------------------------------------------------------------------
// The updater's own file.

class DownloadSelfTest : public DownloadTest {
 protected:
  // The script's variant (its lines are script_text_test's business).
  static std::string Script(bool swap) {
    std::string text;
    for (const std::string& line : DeleteScriptLines(swap)) text += line + "\r\n";
    return text;
  }
};

TEST_F(DownloadSelfTest, NewUpdaterStaysAsTmpAndTheScriptSwapsIt) {
  const std::string fresh = Pattern(6000, 24), old = Pattern(4000, 25);
  Serve("Updater.exe", fresh);
  Serve("z.bin", Pattern(100, 26));
  WriteBytes(Local(L"Updater.exe"), old);
  ::SetFileAttributesW(Local(L"Updater.exe").c_str(), FILE_ATTRIBUTE_READONLY);

  ASSERT_TRUE(Download({L"Updater.exe", L"z.bin"}));

  EXPECT_TRUE(HoldsBytes(Local(L"Updater.exe.tmp"), fresh));
  EXPECT_TRUE(HoldsBytes(Local(L"Updater.exe"), old));
  // The script's delete loop would never end on a read-only file.
  EXPECT_FALSE(::GetFileAttributesW(Local(L"Updater.exe").c_str()) & FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(Script(true), ReadBytes(Local(L"delete.bat")));
  EXPECT_NE(kFailed, m_ui.Cell(0, 1));
}

TEST_F(DownloadSelfTest, ShortNewUpdaterLeavesTheOldOneAndNoSwap) {
  const std::string old = Pattern(4000, 27);
  Serve("Updater.exe", Pattern(6000, 28));
  Serve("z.bin", Pattern(100, 29));
  Faults({{"Updater.exe", R"({"cut_after": 3000})"}});
  WriteBytes(Local(L"Updater.exe"), old);

  EXPECT_TRUE(Download({L"Updater.exe", L"z.bin"}));

  EXPECT_EQ(kFailed, m_ui.Cell(0, 1));
  EXPECT_FALSE(PathExists(Local(L"Updater.exe.tmp")));
  EXPECT_TRUE(HoldsBytes(Local(L"Updater.exe"), old));
  EXPECT_EQ(Script(false), ReadBytes(Local(L"delete.bat")));
}

TEST_F(DownloadSelfTest, RejectedNewUpdaterTakesBackTheSwapEvenWhenTheRunThenFails) {
  // An earlier run left a swap script and its Updater.exe.tmp.
  const std::string old = Pattern(4000, 30);
  WriteBytes(Local(L"Updater.exe"), old);
  WriteBytes(Local(L"Updater.exe.tmp"), Pattern(100, 31));
  m_fun.ReplaceSelf(m_folder);
  ASSERT_EQ(Script(true), ReadBytes(Local(L"delete.bat")));

  Serve("Updater.exe", Pattern(6000, 32));
  Serve("z.bin", Pattern(90000, 33));
  ExpectDigests({{L"Updater.exe", Md5::HexOf("another release")}, {L"z.bin", Md5::HexOf(Pattern(90000, 33))}});
  Faults({{"z.bin", R"({"abort_after": 40000, "stall_after": {"bytes": 40000, "seconds": 2}})"}});

  EXPECT_FALSE(Download({L"Updater.exe", L"z.bin"}));

  EXPECT_TRUE(Diagnosed("InternetReadFileFail\n"));
  EXPECT_EQ(kFailed, m_ui.Cell(0, 1));
  EXPECT_FALSE(PathExists(Local(L"Updater.exe.tmp")));
  EXPECT_TRUE(HoldsBytes(Local(L"Updater.exe"), old));
  EXPECT_EQ(Script(false), ReadBytes(Local(L"delete.bat")));
}

TEST_F(DownloadSelfTest, FailedNewUpdaterUnderAnOldSwapScriptIsNotLeftToBeSwappedIn) {
  // An earlier run received the updater whole, but its script never ran.
  const std::string old = Pattern(4000, 53), fresh = Pattern(90000, 54);
  WriteBytes(Local(L"Updater.exe"), old);
  WriteBytes(Local(L"Updater.exe.tmp"), fresh);
  m_fun.ReplaceSelf(m_folder);
  ASSERT_EQ(Script(true), ReadBytes(Local(L"delete.bat")));

  // Ranges are off, so the whole file is fetched again over the old copy.
  Serve("Updater.exe", fresh);
  Faults({{"Updater.exe", R"({"abort_after": 40000, "stall_after": {"bytes": 40000, "seconds": 2}})"}},
         R"("ranges": false)");

  EXPECT_FALSE(Download({L"Updater.exe"}));

  EXPECT_TRUE(Diagnosed("InternetReadFileFail\n"));
  EXPECT_TRUE(HoldsBytes(Local(L"Updater.exe"), old));
  const bool partialKept = PathExists(Local(L"Updater.exe.tmp"));
  const std::string script = ReadBytes(Local(L"delete.bat"));
  EXPECT_FALSE(partialKept && script == Script(true)) << "the script would swap in a partial updater";
}

TEST_F(DownloadSelfTest, LeftoverUpdaterTmpIsNotSwappedInByARunWithoutIt) {
  // A partial copy from an aborted run; the server's updater now matches the local one.
  const std::string old = Pattern(4000, 55);
  WriteBytes(Local(L"Updater.exe"), old);
  WriteBytes(Local(L"Updater.exe.tmp"), Pattern(1234, 56));
  Serve("a.bin", Pattern(100, 57));

  ASSERT_TRUE(Download({L"a.bin"}));

  EXPECT_FALSE(PathExists(Local(L"Updater.exe.tmp")));
  EXPECT_TRUE(HoldsBytes(Local(L"Updater.exe"), old));
  EXPECT_EQ(Script(false), ReadBytes(Local(L"delete.bat")));
}

TEST_F(DownloadSelfTest, UpdaterInASubfolderIsAnOrdinaryFile) {
  const std::string file = Pattern(2500, 34);
  Serve("tools/Updater.exe", file);

  ASSERT_TRUE(Download({L"tools\\Updater.exe"}));

  EXPECT_TRUE(HoldsBytes(Local(L"tools\\Updater.exe"), file));
  EXPECT_FALSE(PathExists(Local(L"tools\\Updater.exe.tmp")));
  EXPECT_EQ(Script(false), ReadBytes(Local(L"delete.bat")));
}

// ---------------------------------------------------------------------------
// What the controls show.

class DownloadDisplayTest : public DownloadTest {};

TEST_F(DownloadDisplayTest, FourFilesFillTheBarCountAndListInOrder) {
  const std::vector<std::pair<std::wstring, size_t>> files = {
      {L"d1.bin", 7}, {L"d2.bin", 40960}, {L"d3.bin", 1500}, {L"d4.bin", 100000}};
  DownloadList list;
  for (const auto& [name, size] : files) {
    Serve(WideToUtf8(name), Pattern(size, static_cast<std::uint32_t>(size)));
    list.push_back(name);
  }

  ASSERT_TRUE(Download(list));

  EXPECT_EQ(10000, m_ui.progress.GetPos());
  EXPECT_EQ(1, m_ui.rangeMessages);
  EXPECT_EQ(L"4个(当前已下载文件个数)/4个(总文件个数)", m_ui.counter.GetWindowText());
  EXPECT_EQ(L"d4.bin", m_ui.fileName.GetWindowText());
  ASSERT_EQ(4, m_ui.Rows());
  const wchar_t* sizes[] = {L"0.01K(当前大小)/0.01K(总大小)", L"40.96K(当前大小)/40.96K(总大小)",
                            L"1.50K(当前大小)/1.50K(总大小)", L"100.00K(当前大小)/100.00K(总大小)"};
  for (int row = 0; row < 4; ++row) {
    EXPECT_EQ(files[row].first, m_ui.Cell(row, 0));
    EXPECT_EQ(FinalSizes(sizes[row]), m_ui.Cell(row, 1));
  }

  // With files in flight at once the bar counts each by its received share
  // (the shares themselves are the policy tables' business): it never runs
  // backwards or past the end on the way, and ends full.
  ASSERT_FALSE(m_ui.positions.empty());
  for (size_t i = 0; i < m_ui.positions.size(); ++i) {
    if (i > 0) {
      EXPECT_GE(m_ui.positions[i], m_ui.positions[i - 1]) << "at message " << i;
    }
    EXPECT_LE(m_ui.positions[i], 10000);
  }
  EXPECT_EQ(10000, m_ui.positions.back());

  const std::string speed = WideToUtf8(m_ui.speed.GetWindowText());
  std::smatch match;
  ASSERT_TRUE(std::regex_match(speed, match, std::regex(R"(^(\d+\.\d)k/s\(下载速度\)$)"))) << speed;
  EXPECT_GT(std::atof(match[1].str().c_str()), 0.0);
}

// The run holds back the drawing of the text controls while it works; after
// it, the shown ones draw again and the hidden ones stay hidden.
TEST_F(DownloadDisplayTest, ShownControlsDrawAgainAfterTheRunAndHiddenOnesStayHidden) {
  Serve("a.bin", Pattern(100, 62));
  ::ShowWindow(m_ui.list.m_hWnd, SW_SHOWNA);
  ::ShowWindow(m_ui.counter.m_hWnd, SW_SHOWNA);
  const auto shown = [](const CWnd& control) {
    return (::GetWindowLongPtrW(control.m_hWnd, GWL_STYLE) & WS_VISIBLE) != 0;
  };

  ASSERT_TRUE(Download({L"a.bin"}));

  EXPECT_TRUE(shown(m_ui.list));
  EXPECT_TRUE(shown(m_ui.counter));
  EXPECT_FALSE(shown(m_ui.speed));
  EXPECT_FALSE(shown(m_ui.fileName));
  EXPECT_EQ(1, m_ui.Rows());
}

// The list holds no texts itself: each reader asks for them. A second run
// with fewer files leaves only its own rows, a reader's short buffer gets a
// cut text and nothing past it, and typed letters find rows by name.
TEST_F(DownloadDisplayTest, ASecondShorterRunLeavesOnlyItsRowsForEveryReader) {
  for (const char* name : {"x1.bin", "x2.bin", "Sub3.bin", "sub4.bin"}) Serve(name, Pattern(2000, 63));
  ASSERT_TRUE(Download({L"x1.bin", L"x2.bin", L"Sub3.bin", L"sub4.bin"}));
  ASSERT_EQ(4, m_ui.Rows());

  wchar_t text[8];
  std::fill(std::begin(text), std::end(text), L'#');
  LVITEMW item{};
  item.iSubItem = 0;
  item.pszText = text;
  item.cchTextMax = 4;
  EXPECT_EQ(3, ::SendMessageW(m_ui.list.m_hWnd, LVM_GETITEMTEXTW, 2, reinterpret_cast<LPARAM>(&item)));
  EXPECT_EQ(std::wstring(L"Sub"), text);
  EXPECT_EQ(L'#', text[4]);

  const auto find = [&](int from, const wchar_t* prefix) {
    LVFINDINFOW info{};
    info.flags = LVFI_PARTIAL | LVFI_WRAP;
    info.psz = prefix;
    return static_cast<int>(::SendMessageW(m_ui.list.m_hWnd, LVM_FINDITEMW, from, reinterpret_cast<LPARAM>(&info)));
  };
  EXPECT_EQ(2, find(0, L"sub"));  // whatever the case
  EXPECT_EQ(3, find(0, L"SUB4"));
  EXPECT_EQ(0, find(1, L"x1"));   // from the top again
  EXPECT_EQ(-1, find(0, L"z"));

  ASSERT_TRUE(Download({L"x2.bin"}));
  ASSERT_EQ(1, m_ui.Rows());
  EXPECT_EQ(L"x2.bin", m_ui.Cell(0, 0));
  EXPECT_EQ(FinalSizes(L"2.00K(当前大小)/2.00K(总大小)"), m_ui.Cell(0, 1));
  EXPECT_EQ(L"", m_ui.Cell(1, 0));  // a row past the end has no text
  EXPECT_EQ(-1, find(0, L"sub"));
}

TEST_F(DownloadDisplayTest, EmptyFileIsInstalledEmpty) {
  Serve("a.bin", Pattern(100, 61));
  Serve("empty.bin", "");
  WriteBytes(Local(L"empty.bin"), "old");

  ASSERT_TRUE(Download({L"a.bin", L"empty.bin"}));

  EXPECT_EQ(FinalSizes(L"0.00K(当前大小)/0.00K(总大小)"), m_ui.Cell(1, 1));
  EXPECT_TRUE(HoldsBytes(Local(L"empty.bin"), ""));
}

// ---------------------------------------------------------------------------
// Answers and names that must not reach the installation.

class DownloadGuardTest : public DownloadTest {};

TEST_F(DownloadGuardTest, WholeAnswerToARangeIsWrittenFromTheStart) {
  const std::string b = Pattern(7000, 35);
  Serve("a.bin", Pattern(100, 36));
  Serve("b.bin", b);
  Faults({{"b.bin", R"({"ranges": false})"}});
  WriteBytes(Local(L"b.bin.tmp"), b.substr(0, 3000));

  ASSERT_TRUE(Download({L"a.bin", L"b.bin"}));

  const auto requests = Requests("b.bin");
  ASSERT_EQ(1u, requests.size());
  EXPECT_EQ("bytes=3000-", Header(requests[0], "range"));
  EXPECT_EQ("200", JsonField(requests[0], "status"));
  EXPECT_TRUE(HoldsBytes(Local(L"b.bin"), b));
  EXPECT_EQ(FinalSizes(L"7.00K(当前大小)/7.00K(总大小)"), m_ui.Cell(1, 1));
}

TEST_F(DownloadGuardTest, RangeBeyondTheFileRestartsFromZero) {
  const std::string b = Pattern(7000, 37);
  Serve("a.bin", Pattern(100, 38));
  Serve("b.bin", b);
  WriteBytes(Local(L"b.bin.tmp"), Pattern(8000, 39));

  ASSERT_TRUE(Download({L"a.bin", L"b.bin"}));

  const auto requests = Requests("b.bin");
  ASSERT_EQ(2u, requests.size());
  EXPECT_EQ("bytes=8000-", Header(requests[0], "range"));
  EXPECT_EQ("416", JsonField(requests[0], "status"));
  EXPECT_EQ("", Header(requests[1], "range"));
  EXPECT_EQ("200", JsonField(requests[1], "status"));
  EXPECT_TRUE(HoldsBytes(Local(L"b.bin"), b));
  EXPECT_NE(kFailed, m_ui.Cell(1, 1));
}

TEST_F(DownloadGuardTest, HostileNamesAreNeitherRequestedNorWritten) {
  ASSERT_FALSE(PathExists(L"C:\\x"));
  const std::wstring outside = m_folder.substr(0, m_folder.rfind(L'\\', m_folder.size() - 2) + 1);
  ASSERT_FALSE(PathExists(outside + L"evil.txt"));
  const std::string a = Pattern(1200, 40);
  Serve("a.bin", a);
  const DownloadList list = {L"..\\evil.txt",           L"C:\\x", L"a.bin", L"sub\\CON", L"a:b",
                             L"\\\\server\\share\\x", L"x. ",  L"nul.txt"};

  EXPECT_TRUE(Download(list));

  for (const std::string& line : RequestLog()) {
    if (JsonField(line, "path") != UrlPath("UpDate.frames.ini")) {
      EXPECT_EQ(UrlPath("a.bin"), JsonField(line, "path"));
    }
  }
  EXPECT_EQ(2u, Requests("a.bin").size());
  ASSERT_EQ(8, m_ui.Rows());
  int row = 0;
  for (const std::wstring& name : list) {
    EXPECT_EQ(name, m_ui.Cell(row, 0));
    if (name == L"a.bin") {
      EXPECT_NE(kFailed, m_ui.Cell(row, 1));
    } else {
      EXPECT_EQ(kFailed, m_ui.Cell(row, 1)) << WideToUtf8(name);
    }
    ++row;
  }
  EXPECT_EQ((std::set<std::wstring>{L"a.bin", L"delete.bat"}), Tree(m_folder));
  EXPECT_TRUE(HoldsBytes(Local(L"a.bin"), a));
  EXPECT_FALSE(PathExists(outside + L"evil.txt"));
  EXPECT_FALSE(PathExists(L"C:\\x"));
  EXPECT_EQ(L"8个(当前已下载文件个数)/8个(总文件个数)", m_ui.counter.GetWindowText());
}

// A release that lists the updater's own files: none is requested, each row
// fails, and the updater's state in the folder keeps its bytes.
TEST_F(DownloadGuardTest, TheUpdatersOwnNamesAreNeitherRequestedNorWritten) {
  const DownloadList list = {L"a.bin",          L"delete.bat",         L"LocalSerial.dat",
                             L"localdate.INI",  L"maps\\x.pak.tmp",  L"UpDate.delta\\a.bin"};
  for (const std::wstring& name : list) Serve(WideToUtf8(LocalPathOfForUrl(name)), Pattern(900, 51));
  WriteBytes(Local(L"LocalSerial.dat"), "kept");

  EXPECT_TRUE(Download(list));

  for (const std::string& line : RequestLog()) {
    if (JsonField(line, "path") != UrlPath("UpDate.frames.ini")) {
      EXPECT_EQ(UrlPath("a.bin"), JsonField(line, "path"));
    }
  }
  ASSERT_EQ(6, m_ui.Rows());
  EXPECT_NE(kFailed, m_ui.Cell(0, 1));
  for (int row = 1; row < 6; ++row) EXPECT_EQ(kFailed, m_ui.Cell(row, 1)) << row;
  EXPECT_EQ((std::set<std::wstring>{L"a.bin", L"delete.bat", L"LocalSerial.dat"}), Tree(m_folder));
  EXPECT_EQ("kept", ReadBytes(Local(L"LocalSerial.dat")));
}

TEST_F(DownloadGuardTest, HeldTargetKeepsItsOldBytesAndReadOnlyTargetIsReplaced) {
  const std::string held = Pattern(2000, 41), heldOld = Pattern(1000, 42);
  const std::string locked = Pattern(3000, 43);
  Serve("held.bin", held);
  Serve("locked.bin", locked);
  WriteBytes(Local(L"held.bin"), heldOld);
  WriteBytes(Local(L"locked.bin"), Pattern(500, 44));
  ::SetFileAttributesW(Local(L"locked.bin").c_str(), FILE_ATTRIBUTE_READONLY);
  // Open without FILE_SHARE_DELETE, as a running program holds its files.
  HANDLE holder = ::CreateFileW(Local(L"held.bin").c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, holder);

  const bool result = Download({L"held.bin", L"locked.bin"});
  ::CloseHandle(holder);

  EXPECT_TRUE(result);
  EXPECT_EQ(kFailed, m_ui.Cell(0, 1));
  EXPECT_TRUE(HoldsBytes(Local(L"held.bin"), heldOld));
  EXPECT_TRUE(HoldsBytes(Local(L"held.bin.tmp"), held));
  EXPECT_NE(kFailed, m_ui.Cell(1, 1));
  EXPECT_TRUE(HoldsBytes(Local(L"locked.bin"), locked));
  EXPECT_FALSE(PathExists(Local(L"locked.bin.tmp")));
}

// The run's verified, flushed files enter the digest cache, so the next check
// takes them from it: a program held open against reading still gets its
// digest. A small data file (not flushed) does not enter, and a program
// replaced by hand after the run is read again.
TEST_F(DownloadGuardTest, InstalledFilesEnterTheDigestCacheAndAReplacedOneIsReadAgain) {
  const std::string tool = Pattern(3000, 51), other = Pattern(2000, 52), data = Pattern(1000, 53);
  Serve("tool.dll", tool);
  Serve("other.dll", other);
  Serve("data.bin", data);
  ExpectDigests({{L"tool.dll", Md5::HexOf(tool)}, {L"other.dll", Md5::HexOf(other)},
                 {L"data.bin", Md5::HexOf(data)}});
  ASSERT_TRUE(Download({L"data.bin", L"other.dll", L"tool.dll"}));
  m_fun.RecordInstalledDigests(m_folder);
  const std::string byHand = Pattern(2000, 54);
  WriteBytes(Local(L"other.dll"), byHand);

  // Held open for writing without sharing: a read of either file fails.
  const auto hold = [this](const wchar_t* name) {
    return ::CreateFileW(Local(name).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  };
  HANDLE toolHolder = hold(L"tool.dll");
  HANDLE dataHolder = hold(L"data.bin");
  ASSERT_NE(INVALID_HANDLE_VALUE, toolHolder);
  ASSERT_NE(INVALID_HANDLE_VALUE, dataHolder);
  const bool built = m_fun.BuildLocalManifest(m_folder);
  ::CloseHandle(toolHolder);
  ::CloseHandle(dataHolder);
  ASSERT_TRUE(built);
  const std::string manifest = ReadBytes(Local(L"LocalDate.ini"));
  EXPECT_NE(std::string::npos, manifest.find("tool.dll\t" + Md5::HexOf(tool) + "\r\n")) << manifest;
  EXPECT_NE(std::string::npos, manifest.find("other.dll\t" + Md5::HexOf(byHand) + "\r\n")) << manifest;
  EXPECT_NE(std::string::npos, manifest.find("data.bin\tCalculateMd5Worry\r\n")) << manifest;
}

// Bytes that miss their digest, and files whose manifest entry cannot check
// them (a digest with a trailing blank, a typo, or none), are never installed;
// the latter are not even requested.
TEST_F(DownloadGuardTest, BytesThatMissTheirDigestAreNotInstalled) {
  const std::string old = Pattern(600, 45), good = Pattern(2100, 46);
  const std::string typo = Pattern(900, 50);
  Serve("a.bin", Pattern(100, 47));
  Serve("wrong.bin", Pattern(1500, 48));
  Serve("good.bin", good);
  Serve("typo.bin", typo);
  WriteBytes(Local(L"wrong.bin"), old);
  WriteBytes(Local(L"typo.bin"), old);
  ExpectDigests({{L"wrong.bin", Md5::HexOf(Pattern(1500, 49))},
                 {L"good.bin", Md5::HexOf(good)},
                 {L"typo.bin", Md5::HexOf(typo) + " "}});

  EXPECT_TRUE(Download({L"a.bin", L"wrong.bin", L"good.bin", L"typo.bin"}));

  EXPECT_EQ(kFailed, m_ui.Cell(0, 1));
  EXPECT_FALSE(PathExists(Local(L"a.bin")));
  EXPECT_EQ(kFailed, m_ui.Cell(3, 1));
  EXPECT_TRUE(HoldsBytes(Local(L"typo.bin"), old));
  EXPECT_TRUE(Requests("typo.bin").empty());
  EXPECT_FALSE(PathExists(Local(L"typo.bin.tmp")));
  EXPECT_EQ(kFailed, m_ui.Cell(1, 1));
  EXPECT_TRUE(HoldsBytes(Local(L"wrong.bin"), old));
  EXPECT_FALSE(PathExists(Local(L"wrong.bin.tmp")));
  EXPECT_NE(kFailed, m_ui.Cell(2, 1));
  EXPECT_TRUE(HoldsBytes(Local(L"good.bin"), good));
}

// The check hands its digests over in memory: the manifest copy on disk may
// be gone by the time the files arrive, and the files are checked anyway.
TEST_F(DownloadGuardTest, DigestsOfTheCheckHoldWhenItsManifestCopyIsGone) {
  const std::string old = Pattern(600, 63), good = Pattern(2100, 64);
  Serve("wrong.bin", Pattern(1500, 65));
  Serve("good.bin", good);
  Serve("UpDate.ini", "good.bin\t" + Md5::HexOf(good) + "\r\nwrong.bin\t" +
                          Md5::HexOf(Pattern(1500, 66)) + "\r\n");
  WriteBytes(Local(L"LocalDate.ini"), "");
  WriteBytes(Local(L"wrong.bin"), old);
  std::wstring verdict;
  const DownloadList list = m_fun.CheckVersion(BaseUrl(), m_folder, verdict);
  m_digestsNamed = true;  // the check's own
  ASSERT_EQ(L"Part", verdict);
  ASSERT_EQ((DownloadList{L"good.bin", L"wrong.bin"}), list);
  ASSERT_TRUE(::DeleteFileW(Local(L"UpDate.ini").c_str()));

  EXPECT_TRUE(Download(list));

  EXPECT_NE(kFailed, m_ui.Cell(0, 1));
  EXPECT_TRUE(HoldsBytes(Local(L"good.bin"), good));
  EXPECT_EQ(kFailed, m_ui.Cell(1, 1));
  EXPECT_TRUE(HoldsBytes(Local(L"wrong.bin"), old));
}

TEST_F(DownloadGuardTest, TmpFromAnotherReleaseIsFetchedAgainFromZero) {
  const std::string file = Pattern(7000, 50);
  Serve("a.bin", Pattern(100, 51));
  Serve("b.bin", file);
  WriteBytes(Local(L"b.bin.tmp"), Pattern(3000, 52));
  ExpectDigests({{L"b.bin", Md5::HexOf(file)}});

  ASSERT_TRUE(Download({L"a.bin", L"b.bin"}));

  const auto requests = Requests("b.bin");
  ASSERT_EQ(2u, requests.size());
  EXPECT_EQ("bytes=3000-", Header(requests[0], "range"));
  EXPECT_EQ("", Header(requests[1], "range"));
  EXPECT_TRUE(HoldsBytes(Local(L"b.bin"), file));
  EXPECT_FALSE(PathExists(Local(L"b.bin.tmp")));
  EXPECT_EQ(FinalSizes(L"7.00K(当前大小)/7.00K(总大小)"), m_ui.Cell(1, 1));
}


// ---------------------------------------------------------------------------
// Several files in flight at once.

// ---------------------------------------------------------------------------
// A changed file rebuilt from the installed copy and the server's index.

class DownloadDeltaTest : public DownloadTest {
 protected:
  // An installed copy, the new file and its index on the server.
  void SetUp() override {
    DownloadTest::SetUp();
    m_old = Pattern(3u << 20, 80);
    m_new = m_old;
    m_new.replace(200000, 30000, Pattern(30000, 81));
    m_new.insert(1500000, Pattern(5000, 82));
    m_new.erase(2600000, 9000);
    WriteBytes(Local(L"game.pak"), m_old);
    Serve("game.pak", m_new);
    ServeIndexOf(m_new);
    ExpectDigests({{L"game.pak", Md5::HexOf(m_new)}});
  }
  void ServeIndexOf(const std::string& file) {
    DeltaIndexWriter writer(file.size());
    writer.Add(file.data(), file.size());
    Serve("UpDate.delta/game.pak", writer.Finish());
  }
  // The file's requests after the run's one-byte probe.
  std::vector<std::string> FileRequests() const {
    std::vector<std::string> out;
    for (const std::string& request : Requests("game.pak")) {
      if (Header(request, "range") != "bytes=1-1") out.push_back(request);
    }
    return out;
  }
  std::string m_old, m_new;
};

TEST_F(DownloadDeltaTest, ChangedFileIsRebuiltWithOneListOfRangesOrOneRangeAtATime) {
  ASSERT_TRUE(Download({L"game.pak"}));
  EXPECT_TRUE(HoldsBytes(Local(L"game.pak"), m_new));
  // A short first list confirms the length, the rest follows in one more.
  auto requests = FileRequests();
  ASSERT_EQ(2u, requests.size());
  const std::string first = Header(requests[0], "range"), rest = Header(requests[1], "range");
  EXPECT_EQ(2, std::count(first.begin(), first.end(), ',') + 1) << first;
  EXPECT_EQ(1, std::count(rest.begin(), rest.end(), ',') + 1) << rest;
  // The row counts the new file's bytes, held and received alike.
  ASSERT_EQ(3141728u, m_new.size());
  EXPECT_EQ(FinalSizes(L"3141.73K(当前大小)/3141.73K(总大小)"), m_ui.Cell(0, 1));

  // A server that answers a list with its first range only: one per request.
  WriteBytes(Local(L"game.pak"), m_old);
  Faults({{"game.pak", R"({"range_lists": "first"})"}});
  ClearRequestLog();
  ASSERT_TRUE(Download({L"game.pak"}));
  EXPECT_TRUE(HoldsBytes(Local(L"game.pak"), m_new));
  requests = FileRequests();
  ASSERT_EQ(3u, requests.size());
  EXPECT_EQ(std::string::npos, Header(requests[2], "range").find(','));
}

// More ranges than one request asks for: the later requests go out several
// at once and their answers are still written in file order.
TEST_F(DownloadDeltaTest, ManyChangesAreFetchedByRequestsInFlightAndWrittenInOrder) {
  for (std::size_t at = 10000; at + 100 < m_old.size(); at += 20000) {
    m_new.replace(at, 100, Pattern(100, static_cast<std::uint32_t>(at)));
  }
  Serve("game.pak", m_new);
  ServeIndexOf(m_new);
  ExpectDigests({{L"game.pak", Md5::HexOf(m_new)}});
  for (const bool lists : {true, false}) {
    WriteBytes(Local(L"game.pak"), m_old);
    if (!lists) Faults({{"game.pak", R"({"range_lists": "first"})"}});
    ClearRequestLog();
    ASSERT_TRUE(Download({L"game.pak"})) << lists;
    EXPECT_TRUE(HoldsBytes(Local(L"game.pak"), m_new)) << lists;
    const auto requests = FileRequests();
    std::set<std::string> asked;
    for (std::size_t i = 0; i < requests.size(); ++i) {
      const std::string ranges = Header(requests[i], "range").substr(6);
      const auto count = std::count(ranges.begin(), ranges.end(), ',') + 1;
      EXPECT_LE(count, lists || i == 0 ? 64 : 1) << i;
      for (std::size_t from = 0; lists && from < ranges.size();) {
        const std::size_t comma = std::min(ranges.find(',', from), ranges.size());
        EXPECT_TRUE(asked.insert(ranges.substr(from, comma - from)).second) << ranges.substr(from, comma - from);
        from = comma + 1;
      }
    }
    EXPECT_GT(lists ? asked.size() : requests.size(), 150u);
  }
}

// A cache that refuses any list of ranges with 416 but serves one range:
// one range per request, and still only the changes cross the wire.
TEST_F(DownloadDeltaTest, ListRefusedWith416IsAskedOneRangeAtATime) {
  Faults({{"game.pak", R"({"range_lists": "416"})"}});
  ASSERT_TRUE(Download({L"game.pak"}));
  EXPECT_TRUE(HoldsBytes(Local(L"game.pak"), m_new));
  const auto requests = FileRequests();
  ASSERT_EQ(4u, requests.size());
  EXPECT_EQ("416", JsonField(requests[0], "status"));
  for (std::size_t i = 1; i < requests.size(); ++i) {
    EXPECT_EQ("206", JsonField(requests[i], "status")) << i;
    EXPECT_EQ(std::string::npos, Header(requests[i], "range").find(',')) << i;
  }
}

// An index's length is only a claim: one that says every block is held and
// the file is 1 GiB long is checked against the served length before a byte
// is written, and refused; the file is fetched whole.
TEST_F(DownloadDeltaTest, IndexClaimingAnotherLengthIsRefusedBeforeAnythingIsWritten) {
  const std::uint64_t claimed = 1ull << 30;
  std::string index = "UPDDELT1";
  for (int i = 0; i < 8; ++i) index += static_cast<char>(claimed >> (8 * i));
  index += std::string("\x00\x00\x10\x00\x02\x03\x00\x00", 8);  // 1 MiB blocks
  const std::string zeros(1u << 20, '\0');
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(zeros.data());
  RollingSum weak;
  weak.Start(bytes, static_cast<std::uint32_t>(zeros.size()));
  const std::uint64_t strong = StrongSum(bytes, zeros.size());
  std::string sums;
  for (int i = 0; i < 2; ++i) sums += static_cast<char>(weak.Weak() >> (8 * i));
  for (int i = 0; i < 3; ++i) sums += static_cast<char>(strong >> (8 * i));
  for (std::uint64_t block = 0; block < claimed >> 20; ++block) index += sums;
  Serve("UpDate.delta/game.pak", index);
  WriteBytes(Local(L"game.pak"), m_old + zeros + zeros);

  ASSERT_TRUE(Download({L"game.pak"}));

  EXPECT_TRUE(HoldsBytes(Local(L"game.pak"), m_new));
  const auto requests = FileRequests();
  ASSERT_EQ(2u, requests.size());
  EXPECT_EQ("bytes=" + std::to_string(claimed - 1) + "-" + std::to_string(claimed - 1),
            Header(requests[0], "range"));
  EXPECT_EQ("bytes=0-", Header(requests[1], "range"));
}

TEST_F(DownloadDeltaTest, ListAnsweredWithTheWholeFileUsesThatAnswer) {
  Faults({{"game.pak", R"({"range_lists": "whole"})"}});
  ASSERT_TRUE(Download({L"game.pak"}));
  EXPECT_TRUE(HoldsBytes(Local(L"game.pak"), m_new));
  const auto requests = FileRequests();
  ASSERT_EQ(1u, requests.size());
  EXPECT_EQ("200", JsonField(requests[0], "status"));
}

TEST_F(DownloadDeltaTest, AnswerCutShortKeepsAnExactPrefixTheNextRunFinishes) {
  Faults({{"game.pak", R"({"cut_after": 20000})"}});
  Download({L"game.pak"});
  EXPECT_EQ(kFailed, m_ui.Cell(0, 1));
  EXPECT_TRUE(HoldsBytes(Local(L"game.pak"), m_old));
  const std::string kept = ReadBytes(Local(L"game.pak.tmp"));
  ASSERT_GT(kept.size(), 200000u);  // the held part before the first change, at least
  EXPECT_TRUE(kept == m_new.substr(0, kept.size()));

  SetFaults("");
  ASSERT_TRUE(Download({L"game.pak"}));
  EXPECT_TRUE(HoldsBytes(Local(L"game.pak"), m_new));
}

TEST_F(DownloadDeltaTest, IndexThatLiesCostsOneWholeDownloadNeverWrongBytes) {
  ServeIndexOf(m_old);  // claims the old copy is the new file
  ASSERT_TRUE(Download({L"game.pak"}));
  EXPECT_TRUE(HoldsBytes(Local(L"game.pak"), m_new));
  const auto requests = FileRequests();
  // Nothing to fetch by range: one byte to learn the served length, which
  // disagrees with the index's, then the whole file.
  ASSERT_EQ(2u, requests.size());
  EXPECT_EQ("bytes=" + std::to_string(m_old.size() - 1) + "-" + std::to_string(m_old.size() - 1),
            Header(requests[0], "range"));
  EXPECT_EQ("bytes=0-", Header(requests[1], "range"));
}

// ---------------------------------------------------------------------------
// Files fetched by their compressed forms.

class DownloadFramesTest : public DownloadTest {
 protected:
  void SetUp() override {
    DownloadTest::SetUp();
    for (int i = 0; m_file.size() < 1200000; ++i) m_file += "row " + std::to_string(i * 7919 % 100003) + " of a table\r\n";
    m_form = MakeFrames(m_file);
    Serve("game.pak", m_file);
    ServeForm(m_form);
  }
  void ServeForm(const std::string& form) {
    Serve("UpDate.frames/game.pak", form);
    Serve("UpDate.frames.ini", "game.pak\t" + std::to_string(form.size()) + "\r\n");
  }
  std::vector<std::string> FormRequests() const { return Requests("UpDate.frames/game.pak"); }
  // The file's requests after the run's one-byte probe.
  std::vector<std::string> FileRequests() const {
    std::vector<std::string> out;
    for (const std::string& request : Requests("game.pak")) {
      if (Header(request, "range") != "bytes=1-1") out.push_back(request);
    }
    return out;
  }
  std::uint64_t FrameStart(std::uint64_t offset) const {
    return ParseFramesTable(m_form, m_form.size())->formOffsets[offset / kWriterFrameSize];
  }
  std::string m_file, m_form;
};

TEST_F(DownloadFramesTest, NewFileCrossesAsItsFramesAndAResumeStartsAtTheHeldFrame) {
  ASSERT_LT(m_form.size(), m_file.size() / 3);
  ASSERT_TRUE(Download({L"game.pak"}));
  EXPECT_TRUE(HoldsBytes(Local(L"game.pak"), m_file));
  ASSERT_EQ(1u, FormRequests().size());
  EXPECT_EQ("", Header(FormRequests()[0], "range"));
  EXPECT_TRUE(FileRequests().empty());
  // The row counts the file's bytes, not the form's.
  EXPECT_EQ(FinalSizes(L"1200.02K(当前大小)/1200.02K(总大小)"), m_ui.Cell(0, 1));

  // A prefix left in the middle of a frame: the head, then the frames from
  // the one that holds the first byte not held.
  const std::size_t held = 15 * kWriterFrameSize + 1000;
  ASSERT_GT(FrameStart(held), 65536u);
  ::DeleteFileW(Local(L"game.pak").c_str());
  WriteBytes(Local(L"game.pak.tmp"), m_file.substr(0, held));
  ClearRequestLog();
  ASSERT_TRUE(Download({L"game.pak"}));
  EXPECT_TRUE(HoldsBytes(Local(L"game.pak"), m_file));
  const auto requests = FormRequests();
  ASSERT_EQ(2u, requests.size());
  EXPECT_EQ("bytes=0-65535", Header(requests[0], "range"));
  EXPECT_EQ("bytes=" + std::to_string(FrameStart(held)) + "-", Header(requests[1], "range"));
  EXPECT_TRUE(FileRequests().empty());

  // An answer cut short in a frame is continued from that frame in the same run.
  ::DeleteFileW(Local(L"game.pak").c_str());
  Faults({{"UpDate.frames/game.pak", R"({"cut_after": 100000, "times": 1})"}});
  ClearRequestLog();
  ASSERT_TRUE(Download({L"game.pak"}));
  EXPECT_TRUE(HoldsBytes(Local(L"game.pak"), m_file));
  EXPECT_EQ(2u, FormRequests().size());
  EXPECT_TRUE(FileRequests().empty());
}

TEST_F(DownloadFramesTest, ADoubtfulFormCostsTheFilesOwnBytesNeverWrongOnes) {
  // Not served: the file itself, continuing nothing.
  Faults({{"UpDate.frames/game.pak", R"({"status": 404})"}});
  ASSERT_TRUE(Download({L"game.pak"}));
  EXPECT_TRUE(HoldsBytes(Local(L"game.pak"), m_file));
  ASSERT_EQ(1u, FileRequests().size());
  EXPECT_EQ("bytes=0-", Header(FileRequests()[0], "range"));

  // A frame that does not decode: the frames before it stay, and the file's
  // own bytes continue from there.
  SetFaults("");
  ::DeleteFileW(Local(L"game.pak").c_str());
  std::string damaged = m_form;
  const std::uint64_t bad = FrameStart(7 * kWriterFrameSize) + 100;
  damaged[bad] = static_cast<char>(damaged[bad] ^ 0x55);
  ServeForm(damaged);
  ClearRequestLog();
  ASSERT_TRUE(Download({L"game.pak"}));
  EXPECT_TRUE(HoldsBytes(Local(L"game.pak"), m_file));
  ASSERT_EQ(1u, FileRequests().size());
  EXPECT_EQ("bytes=" + std::to_string(7 * kWriterFrameSize) + "-", Header(FileRequests()[0], "range"));

  // The form of another file decodes well and misses the manifest's digest:
  // the file is fetched again from its start, and only it is installed.
  ::DeleteFileW(Local(L"game.pak").c_str());
  ServeForm(MakeFrames(m_file.substr(0, 500000)));
  ClearRequestLog();
  ASSERT_TRUE(Download({L"game.pak"}));
  EXPECT_TRUE(HoldsBytes(Local(L"game.pak"), m_file));
  ASSERT_EQ(1u, FileRequests().size());
  EXPECT_EQ("", Header(FileRequests()[0], "range"));
  EXPECT_FALSE(PathExists(Local(L"game.pak.tmp")));

  // A list naming a form that is no form at all.
  ::DeleteFileW(Local(L"game.pak").c_str());
  ServeForm("<html>not here</html>");
  ASSERT_TRUE(Download({L"game.pak"}));
  EXPECT_TRUE(HoldsBytes(Local(L"game.pak"), m_file));
}

// A changed file with both an index and a form: rewritten stretches come as
// frames, scattered edits as raw ranges, in one rebuild written in order.
TEST_F(DownloadFramesTest, ADeltaTakesFramesWhereTheyCostLessThanTheirRanges) {
  const std::string old = m_file;
  std::string rewritten;
  for (int i = 0; rewritten.size() < 300000; ++i) rewritten += "entry " + std::to_string(i * 31 % 7001) + " rewritten\r\n";
  m_file.replace(400000, 300000, rewritten.substr(0, 300000));
  for (std::size_t at = 50000; at < 350000; at += 30000) m_file.replace(at, 4, "EDIT");
  m_form = MakeFrames(m_file);
  Serve("game.pak", m_file);
  ServeForm(m_form);
  DeltaIndexWriter index(m_file.size());
  index.Add(m_file.data(), m_file.size());
  Serve("UpDate.delta/game.pak", index.Finish());
  const auto rebuild = [&] {
    WriteBytes(Local(L"game.pak"), old);
    ClearRequestLog();
    EXPECT_TRUE(Download({L"game.pak"}));
    EXPECT_TRUE(HoldsBytes(Local(L"game.pak"), m_file));
  };
  rebuild();
  const auto form = FormRequests();
  ASSERT_EQ(2u, form.size());
  // Just the head, as long as the tool writes it for the file's length.
  const std::size_t head = kFramesHeaderSize + kFrameEntrySize * ((m_file.size() + kWriterFrameSize - 1) / kWriterFrameSize);
  EXPECT_EQ("bytes=0-" + std::to_string(head - 1), Header(form[0], "range"));
  const auto file = FileRequests();
  ASSERT_FALSE(file.empty());
  for (const std::string& request : file) EXPECT_NE("bytes=0-", Header(request, "range"));

  // A frame that does not decode ends the rebuild where it lies; the .tmp
  // is continued, and only the manifest's digest decides.
  std::string damaged = m_form;
  damaged[FrameStart(500000) + 50] ^= 0x11;
  ServeForm(damaged);
  rebuild();
  EXPECT_EQ("bytes=" + std::to_string(500000 / kWriterFrameSize * kWriterFrameSize) + "-",
            Header(FileRequests().back(), "range"));
}

class DownloadParallelTest : public DownloadTest {
 protected:
  static constexpr size_t kSize = 120000;
  const DownloadList m_list = {L"p1.bin", L"p2.bin", L"p3.bin", L"p4.bin"};

  std::string File(int i) const { return Pattern(kSize, 70 + static_cast<std::uint32_t>(i)); }
  void ServeAll() {
    int i = 0;
    for (const std::wstring& name : m_list) Serve(WideToUtf8(name), File(i++));
  }
  // The file requests (the probe and the list of forms excepted) the server
  // has seen so far.
  size_t FileRequests() const {
    size_t count = 0;
    for (const std::string& line : RequestLog()) {
      if (JsonField(line, "range") != "bytes=1-1" && JsonField(line, "path") != UrlPath("UpDate.frames.ini")) ++count;
    }
    return count;
  }
  // A kept partial file: a prefix of the file, never more than was sent.
  ::testing::AssertionResult KeptPrefix(int i, size_t atMost) const {
    const std::wstring path = Local(NameAt(i) + L".tmp");
    if (!PathExists(path)) return ::testing::AssertionFailure() << "no partial file " << i;
    const std::string kept = ReadBytes(path);
    if (kept.size() > atMost) return ::testing::AssertionFailure() << kept.size() << " bytes kept";
    if (kept != File(i).substr(0, kept.size())) return ::testing::AssertionFailure() << "not a prefix";
    return ::testing::AssertionSuccess();
  }
  std::wstring NameAt(int i) const {
    auto it = m_list.begin();
    std::advance(it, i);
    return *it;
  }
};

TEST_F(DownloadParallelTest, OneFileCutShortWhileTheOthersArriveWhole) {
  ServeAll();
  // Every whole body pauses halfway, so all of them are in flight at once.
  const std::string pause = R"({"stall_after": {"bytes": 60000, "seconds": 1.5}})";
  Faults({{"p1.bin", pause}, {"p2.bin", R"({"cut_after": 30000})"}, {"p3.bin", pause},
          {"p4.bin", pause}});
  const std::string installed = Pattern(500, 79);
  WriteBytes(Local(L"p2.bin"), installed);

  const DWORD start = ::GetTickCount();
  EXPECT_TRUE(Download(m_list));
  // One after another the pauses alone would take 4.5 s.
  EXPECT_LT(::GetTickCount() - start, 3500u);

  ASSERT_EQ(4, m_ui.Rows());
  int row = 0;
  for (const std::wstring& name : m_list) EXPECT_EQ(name, m_ui.Cell(row++, 0));
  EXPECT_EQ(kFailed, m_ui.Cell(1, 1));
  EXPECT_TRUE(HoldsBytes(Local(L"p2.bin"), installed));
  EXPECT_TRUE(KeptPrefix(1, 30000));
  for (int i : {0, 2, 3}) {
    EXPECT_EQ(FinalSizes(L"120.00K(当前大小)/120.00K(总大小)"), m_ui.Cell(i, 1));
    EXPECT_TRUE(HoldsBytes(Local(NameAt(i)), File(i)));
    EXPECT_FALSE(PathExists(Local(NameAt(i) + L".tmp")));
  }
  EXPECT_EQ(L"4个(当前已下载文件个数)/4个(总文件个数)", m_ui.counter.GetWindowText());
  EXPECT_EQ(10000, m_ui.progress.GetPos());
  EXPECT_EQ(L"p4.bin", m_ui.fileName.GetWindowText());
  EXPECT_TRUE(PathExists(Local(L"delete.bat")));
}

TEST_F(DownloadParallelTest, HardFailureStopsTheOthersAndTheNextRunResumesEach) {
  ServeAll();
  const std::string hold = R"({"stall_after": {"bytes": 40000, "seconds": 3}})";
  Faults({{"p1.bin", hold},
          {"p2.bin", R"({"abort_after": 20000, "stall_after": {"bytes": 20000, "seconds": 1}})"},
          {"p3.bin", hold},
          {"p4.bin", hold}});

  const DWORD start = ::GetTickCount();
  EXPECT_FALSE(Download(m_list));
  EXPECT_LT(::GetTickCount() - start, 10000u);

  EXPECT_TRUE(Diagnosed("InternetReadFileFail\n"));
  ASSERT_EQ(4, m_ui.Rows());
  for (int i = 0; i < 4; ++i) {
    EXPECT_NE(kFailed, m_ui.Cell(i, 1)) << i;  // stopped, not failed: resumed next time
    EXPECT_FALSE(PathExists(Local(NameAt(i)))) << i;
    // The others may take in one more read before they see the stop.
    EXPECT_TRUE(KeptPrefix(i, i == 1 ? 20000 : kSize - 1)) << i;
  }
  EXPECT_FALSE(PathExists(Local(L"delete.bat")));
  EXPECT_EQ(std::wstring(), m_ui.counter.GetWindowText());

  std::vector<size_t> kept;
  for (int i = 0; i < 4; ++i) kept.push_back(ReadBytes(Local(NameAt(i) + L".tmp")).size());
  SetFaults("");
  ClearRequestLog();
  ASSERT_TRUE(Download(m_list));
  for (int i = 0; i < 4; ++i) {
    const auto requests = Requests(WideToUtf8(NameAt(i)));
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ("bytes=" + std::to_string(kept[i]) + "-", Header(requests.back(), "range")) << i;
    EXPECT_TRUE(HoldsBytes(Local(NameAt(i)), File(i))) << i;
  }
}

TEST_F(DownloadParallelTest, StopWithFourInFlightEndsPromptlyAndKeepsEveryPartialFile) {
  ServeAll();
  const std::string hold = R"({"stall_after": {"bytes": 30000, "seconds": 20}})";
  Faults({{"p1.bin", hold}, {"p2.bin", hold}, {"p3.bin", hold}, {"p4.bin", hold}});
  // Under Wine closing a handle does not wake a blocked read; the wait does.
  SetNetworkWaitForTesting(2000);
  StopSignal stop;
  DWORD stoppedAt = 0;
  std::thread closer([&] {
    // All four at the server at once: the connection cap lets them through.
    WaitUntil([&] { return FileRequests() >= 4; }, 8000);
    ::Sleep(300);
    stoppedAt = ::GetTickCount();
    stop.Request();
  });
  HandOverDigests(m_list);
  const bool result = m_fun.DownloadFiles(BaseUrl(), m_folder, m_list, m_ui.progress, m_ui.counter,
                                          m_ui.speed, m_ui.fileName, m_ui.list, &stop);
  const DWORD endedAt = ::GetTickCount();
  closer.join();
  SetNetworkWaitForTesting(0);

  EXPECT_FALSE(result);
  EXPECT_EQ(4u, FileRequests());
  EXPECT_LT(endedAt - stoppedAt, 5000u);
  ASSERT_EQ(4, m_ui.Rows());
  for (int i = 0; i < 4; ++i) {
    EXPECT_NE(kFailed, m_ui.Cell(i, 1)) << i;
    EXPECT_FALSE(PathExists(Local(NameAt(i)))) << i;
    EXPECT_TRUE(KeptPrefix(i, 30000)) << i;
  }
  EXPECT_FALSE(PathExists(Local(L"delete.bat")));
  DWORD cap = 0;
  DWORD size = sizeof(cap);
  ASSERT_TRUE(::InternetQueryOptionW(nullptr, INTERNET_OPTION_MAX_CONNS_PER_SERVER, &cap, &size));
  EXPECT_GE(cap, 4u);
}

}  // namespace

// ---------------------------------------------------------------------------
// Small files fetched as ranges of the release's pack.

class DownloadPackTest : public DownloadTest {
 protected:
  void SetUp() override {
    DownloadTest::SetUp();
    for (int i = 0; i < 24; ++i) {
      wchar_t name[32];
      std::swprintf(name, 32, L"ui\\f%02d.lua", i);
      std::string bytes;
      for (int line = 0; bytes.size() < 3000u + 150u * i; ++line) {
        bytes += "local row" + std::to_string(line * 31 % (97 + i)) + " = " + std::to_string(i) + "\r\n";
      }
      if (i == 9) bytes = RandomBytes(5000, 9);  // does not deflate: stored as it is
      m_names.push_back(name);
      m_files.push_back(bytes);
      Serve(WideToUtf8(LocalPathOfForUrl(name)), bytes);
    }
    ServePack(m_files, {});
  }
  // The pack as the tool writes it, less f05 (not packed), with a file the
  // list does not ask for between f11 and f12; damage: pack bytes flipped.
  void ServePack(const std::vector<std::string>& files, const std::set<std::size_t>& damage,
                 const std::string& staleDigestOf = "") {
    std::string pack, table;
    const auto add = [&](const std::string& name, const std::string& bytes) {
      PackEntry entry;
      entry.offset = pack.size();
      entry.length = bytes.size();
      std::string deflated;
      MakeFrameCodec(kDeflateCodec)->Encode(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), deflated);
      entry.codec = deflated.size() < bytes.size() ? kPackDeflated : kPackStored;
      pack += entry.codec == kPackDeflated ? deflated : bytes;
      entry.stored = pack.size() - entry.offset;
      const std::string digest = name == staleDigestOf ? std::string(32, 'a') : Md5::HexOf(bytes);
      entry.digest.assign(digest.begin(), digest.end());
      table += name + "\t" + PackEntryText(entry) + "\r\n";
    };
    for (std::size_t i = 0; i < files.size(); ++i) {
      if (i == 5) continue;
      add(WideToUtf8(m_names[i]), files[i]);
      if (i == 11) add("ui\\gone.lua", RandomBytes(4000, 11));
    }
    for (const std::size_t at : damage) pack[at] = static_cast<char>(pack[at] ^ 0x55);
    Serve("UpDate.pack", pack);
    Serve("UpDate.pack.ini", "UpDate.pack\t" + std::to_string(pack.size()) + "\r\n" + table);
  }
  // Files asked for by their own names, less the run's one-byte probe.
  std::size_t OwnNameRequests() const {
    std::size_t count = 0;
    for (const std::wstring& name : m_names) {
      for (const std::string& request : Requests(WideToUtf8(LocalPathOfForUrl(name)))) {
        if (Header(request, "range") != "bytes=1-1") ++count;
      }
    }
    return count;
  }
  void ExpectAllInstalled(const std::string& what) {
    for (std::size_t i = 0; i < m_names.size(); ++i) {
      EXPECT_TRUE(HoldsBytes(Local(m_names[i]), m_files[i])) << what << " " << i;
      EXPECT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(Local(m_names[i] + L".tmp").c_str())) << what << i;
    }
  }
  void Reset() {
    for (const std::wstring& name : m_names) ::DeleteFileW(Local(name).c_str());
    ClearRequestLog();
  }
  std::vector<std::wstring> m_names;  // in list order
  std::vector<std::string> m_files;
};

TEST_F(DownloadPackTest, SmallFilesComeAsRangesOfThePackManyPerRequest) {
  ASSERT_TRUE(Download(DownloadList(m_names.begin(), m_names.end())));
  ExpectAllInstalled("packed");
  // f05, which the pack leaves out, ends a request; the file the list does
  // not ask for splits the next one's ranges in two.
  const auto requests = Requests("UpDate.pack");
  ASSERT_EQ(2u, requests.size());
  const std::string ranges = Header(requests[1], "range");
  EXPECT_EQ(2, std::count(ranges.begin(), ranges.end(), ',') + 1) << ranges;
  EXPECT_EQ(1u, OwnNameRequests());  // f05
  // Rows count each file's own bytes.
  EXPECT_EQ(FinalSizes(L"5.00K(当前大小)/5.00K(总大小)"), m_ui.Cell(9, 1));
}

TEST_F(DownloadPackTest, ADoubtAboutThePackCostsOnlyThoseFilesOwnNames) {
  struct Case {
    const char* what;
    std::string rule;  // for the pack
    std::set<std::size_t> damage;
    std::string stale;  // an entry that names another release's digest
    std::size_t fewest, most;  // own-name requests, f05's included
  };
  const std::vector<Case> cases = {
      // A list answered with one range or the whole pack: the rest of the
      // files as one range a request, still from the pack.
      {"list answered with its first range", R"({"range_lists": "first"})", {}, "", 1, 1},
      {"list answered with the whole pack", R"({"range_lists": "whole"})", {}, "", 1, 1},
      {"pack not served", R"({"status": 404})", {}, "", 24, 24},
      {"answer cut short", R"({"cut_after": 6000})", {}, "", 2, 23},
      {"a damaged entry", "", {1500}, "", 2, 2},
      {"a stale entry", "", {}, "ui\\f03.lua", 2, 2},
  };
  for (const Case& c : cases) {
    Reset();
    ServePack(m_files, c.damage, c.stale);
    if (!c.rule.empty()) Faults({{"UpDate.pack", c.rule}});
    ASSERT_TRUE(Download(DownloadList(m_names.begin(), m_names.end()))) << c.what;
    ExpectAllInstalled(c.what);
    EXPECT_GE(OwnNameRequests(), c.fewest) << c.what;
    EXPECT_LE(OwnNameRequests(), c.most) << c.what;
    SetFaults("");
  }
}
