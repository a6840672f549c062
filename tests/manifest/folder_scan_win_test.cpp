// The local manifest of real folders: line bytes, walk order, files that
// cannot be read, a locked manifest, a large file and a folder link loop.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <thread>

#include "engine/my_fun.h"
#include "engine/stop_signal.h"
#include "manifest/md5.h"
#include "support/win_test_support.h"

#include <psapi.h>  // after the Windows headers it builds on

namespace {

const std::string kEmptyMd5 = "d41d8cd98f00b204e9800998ecf8427e";
const std::string kManifestLine = "LocalDate.ini\tCalculateMd5Worry";

std::string Line(const std::string& relative, const std::string& content) {
  return relative + "\t" + Md5::HexOf(content);
}

// The manifest's lines without their CR LF; every line must have one.
std::vector<std::string> Lines(const std::wstring& folder) {
  const std::string bytes = ReadBytes(folder + L"LocalDate.ini");
  std::vector<std::string> lines;
  for (size_t start = 0; start < bytes.size();) {
    const size_t end = bytes.find("\r\n", start);
    if (end == std::string::npos) {
      ADD_FAILURE() << "last line has no CR LF: " << bytes.substr(start);
      lines.push_back(bytes.substr(start));
      break;
    }
    lines.push_back(bytes.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

std::multiset<std::string> AsSet(const std::vector<std::string>& lines) {
  return {lines.begin(), lines.end()};
}

// The next path component of every line below prefix, repeats in a row
// collapsed: a folder walked depth first shows up as one run.
std::vector<std::string> ComponentRuns(const std::vector<std::string>& lines, const std::string& prefix) {
  std::vector<std::string> runs;
  for (const std::string& line : lines) {
    if (line.compare(0, prefix.size(), prefix) != 0) continue;
    const std::string rest = line.substr(prefix.size());
    const std::string part = rest.substr(0, rest.find_first_of("\\\t"));
    if (runs.empty() || runs.back() != part) runs.push_back(part);
  }
  return runs;
}

// The folder's entries in the order the platform lists them.
std::vector<std::string> ListingOrder(const std::wstring& folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW entry;
  HANDLE find = ::FindFirstFileW((folder + L"*.*").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring name = entry.cFileName;
    if (name != L"." && name != L"..") names.push_back(WideToAnsi(name));
  } while (::FindNextFileW(find, &entry));
  ::FindClose(find);
  return names;
}

std::vector<std::string> KeepOnly(const std::vector<std::string>& order,
                                  const std::vector<std::string>& present) {
  std::vector<std::string> kept;
  for (const std::string& name : order) {
    for (const std::string& p : present) {
      if (p == name) kept.push_back(name);
    }
  }
  return kept;
}

// CalculateMd5 into a binary stream, so its own "\n" shows as written.
std::string DigestText(const std::wstring& path, const std::wstring& scratch) {
  const std::wstring out = scratch + L"digest.out";
  FILE* stream = ::_wfopen(out.c_str(), L"wb");
  if (!stream) return "no stream";
  CMyFun::CalculateMd5(path, stream);
  std::fclose(stream);
  const std::string text = ReadBytes(out);
  ::DeleteFileW(out.c_str());
  return text;
}

HANDLE OpenWithShare(const std::wstring& path, DWORD access, DWORD share) {
  return ::CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, 0, nullptr);
}

class FolderScanTest : public ::testing::Test {
 protected:
  void SetUp() override { m_folder = MakeTempFolder(L"scan"); }
  void TearDown() override { RemoveTree(m_folder); }
  void Put(const std::wstring& relative, const std::string& bytes) { WriteBytes(m_folder + relative, bytes); }
  void Folder(const std::wstring& relative) { ::CreateDirectoryW((m_folder + relative).c_str(), nullptr); }

  std::wstring m_folder;
};

TEST_F(FolderScanTest, WritesOneLinePerFileDepthFirst) {
  const std::string binary("MZ\0\x1a\r\n\n\xff", 8);
  Put(L"LocalDate.ini", "stale\tfrom an earlier run\r\n");
  Put(L"a.txt", "alpha");
  Put(L".hidden.dat", "secret");
  ASSERT_TRUE(::SetFileAttributesW((m_folder + L".hidden.dat").c_str(),
                                   FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
  ASSERT_TRUE(::GetFileAttributesW((m_folder + L".hidden.dat").c_str()) & FILE_ATTRIBUTE_HIDDEN);
  Folder(L"sub");
  ::SetFileAttributesW((m_folder + L"sub").c_str(), FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN);
  Put(L"sub\\b.bin", binary);
  Folder(L"sub\\deep");
  Put(L"sub\\deep\\c.dat", "");
  Folder(L"sub\\empty");
  Folder(L"empty");
  Put(L"z.exe", "zz");

  ASSERT_TRUE(CMyFun().BuildLocalManifest(m_folder));

  const std::vector<std::string> lines = Lines(m_folder);
  EXPECT_EQ(AsSet({Line("a.txt", "alpha"), Line(".hidden.dat", "secret"), Line("sub\\b.bin", binary),
                   "sub\\deep\\c.dat\t" + kEmptyMd5, Line("z.exe", "zz"), kManifestLine}),
            AsSet(lines));
  // No sorting of its own: each level follows the listing, a subfolder's
  // lines stand together where its entry came up.
  const std::vector<std::string> top = ComponentRuns(lines, "");
  EXPECT_EQ(KeepOnly(ListingOrder(m_folder), top), top);
  const std::vector<std::string> sub = ComponentRuns(lines, "sub\\");
  EXPECT_EQ(KeepOnly(ListingOrder(m_folder + L"sub\\"), sub), sub);
}

TEST_F(FolderScanTest, NamesAreWrittenInTheAnsiCodePage) {
  Folder(L"数据");
  Put(L"数据\\更新日志.txt", "log");
  Put(L"\x0E01.txt", "thai");  // no GBK form: the converter's substitute stands in

  ASSERT_TRUE(CMyFun().BuildLocalManifest(m_folder));

  EXPECT_EQ(AsSet({"\xca\xfd\xbe\xdd\\\xb8\xfc\xd0\xc2\xc8\xd5\xd6\xbe.txt\t" + Md5::HexOf("log"),
                   Line("?.txt", "thai"), kManifestLine}),
            AsSet(Lines(m_folder)));
}

TEST_F(FolderScanTest, FolderWithOnlyTheUpdaterGivesTwoLines) {
  const std::string exe(3000, '\x90');
  Put(L"Updater.exe", exe);
  const std::multiset<std::string> expected = {Line("Updater.exe", exe), kManifestLine};

  ASSERT_TRUE(CMyFun().BuildLocalManifest(m_folder));
  EXPECT_EQ(expected, AsSet(Lines(m_folder)));
  EXPECT_EQ(Line("Updater.exe", exe).size() + kManifestLine.size() + 4,
            ReadBytes(m_folder + L"LocalDate.ini").size());

  // Without its trailing backslash the folder gives the same relative paths;
  // the digest cache the first walk left is listed like any other file.
  const std::string cache = ReadBytes(m_folder + L"LocalDigest.cache");
  ASSERT_FALSE(cache.empty());
  ASSERT_TRUE(CMyFun().BuildLocalManifest(m_folder.substr(0, m_folder.size() - 1)));
  EXPECT_EQ(AsSet({Line("Updater.exe", exe), kManifestLine, Line("LocalDigest.cache", cache)}),
            AsSet(Lines(m_folder)));
}

TEST_F(FolderScanTest, FileOpenForWritingGetsTheWorryWord) {
  Put(L"busy.log", "being written");
  Put(L"calm.txt", "calm");
  HANDLE writer = OpenWithShare(m_folder + L"busy.log", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
  ASSERT_NE(INVALID_HANDLE_VALUE, writer);

  const bool built = CMyFun().BuildLocalManifest(m_folder);
  const std::string direct = DigestText(m_folder + L"busy.log", m_folder);
  ::CloseHandle(writer);

  ASSERT_TRUE(built);
  EXPECT_EQ(AsSet({"busy.log\tCalculateMd5Worry", Line("calm.txt", "calm"), kManifestLine}),
            AsSet(Lines(m_folder)));
  EXPECT_EQ("CalculateMd5Worry\n", direct);
  EXPECT_EQ(Md5::HexOf("being written") + "\n", DigestText(m_folder + L"busy.log", m_folder));
}

TEST_F(FolderScanTest, LockedManifestFailsAndKeepsItsBytes) {
  Put(L"LocalDate.ini", "earlier\tbytes\r\n");
  Put(L"a.txt", "a");
  HANDLE reader = OpenWithShare(m_folder + L"LocalDate.ini", GENERIC_READ, FILE_SHARE_READ);
  ASSERT_NE(INVALID_HANDLE_VALUE, reader);

  const bool built = CMyFun().BuildLocalManifest(m_folder);
  ::CloseHandle(reader);

  EXPECT_FALSE(built);
  EXPECT_EQ("earlier\tbytes\r\n", ReadBytes(m_folder + L"LocalDate.ini"));
  EXPECT_FALSE(CMyFun().BuildLocalManifest(m_folder + L"missing\\"));
  EXPECT_FALSE(PathExists(m_folder + L"missing"));
}

TEST_F(FolderScanTest, DigestTextOfSingleFiles) {
  Put(L"empty", "");
  Put(L"abc", "abc");
  EXPECT_EQ(kEmptyMd5 + "\n", DigestText(m_folder + L"empty", m_folder));
  EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72\n", DigestText(m_folder + L"abc", m_folder));
  EXPECT_EQ(DigestText(m_folder + L"abc", m_folder), DigestText(m_folder + L"abc", m_folder));
  EXPECT_EQ("CalculateMd5Worry\n", DigestText(m_folder + L"absent", m_folder));
}

TEST_F(FolderScanTest, LargeFileIsHashedInBoundedMemory) {
  constexpr size_t kPiece = 1 << 20;
  constexpr size_t kSize = 300 * kPiece + 12345;  // a tail shorter than any read
  PROCESS_MEMORY_COUNTERS before{};
  ASSERT_TRUE(::GetProcessMemoryInfo(::GetCurrentProcess(), &before, sizeof(before)));
  if (before.PeakWorkingSetSize > kSize / 4) GTEST_SKIP() << "an earlier test already raised the peak";

  const std::wstring path = m_folder + L"big.bin";
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, file);
  Md5 expected;
  std::string piece(kPiece, '\0');
  bool written = true;
  for (size_t done = 0, round = 0; done < kSize; done += piece.size(), ++round) {
    piece.resize(std::min(kPiece, kSize - done));
    for (size_t i = 0; i < piece.size(); ++i) piece[i] = static_cast<char>(i * 31 + round * 7);
    expected.Update(piece.data(), piece.size());
    DWORD got = 0;
    written = written && ::WriteFile(file, piece.data(), static_cast<DWORD>(piece.size()), &got, nullptr) &&
              got == piece.size();
  }
  ::CloseHandle(file);
  ASSERT_TRUE(written);

  const std::string text = DigestText(path, m_folder);
  PROCESS_MEMORY_COUNTERS after{};
  ::GetProcessMemoryInfo(::GetCurrentProcess(), &after, sizeof(after));
  ::DeleteFileW(path.c_str());

  EXPECT_EQ(Md5::ToHex(expected.Final()) + "\n", text);
  EXPECT_LT(after.PeakWorkingSetSize, before.PeakWorkingSetSize + 64 * kPiece)
      << "peak working set grew by " << (after.PeakWorkingSetSize - before.PeakWorkingSetSize);
}

// Sets a file's last-write and creation times, in FILETIME ticks.
bool SetTimes(const std::wstring& path, unsigned long long lastWrite, unsigned long long creation) {
  HANDLE file = ::CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const FILETIME written{static_cast<DWORD>(lastWrite), static_cast<DWORD>(lastWrite >> 32)};
  const FILETIME created{static_cast<DWORD>(creation), static_cast<DWORD>(creation >> 32)};
  const bool set = ::SetFileTime(file, &created, nullptr, &written);
  ::CloseHandle(file);
  return set;
}

unsigned long long TicksNow() {
  FILETIME now{};
  ::GetSystemTimeAsFileTime(&now);
  return (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

constexpr unsigned long long kSecond = 10000000ull;

struct Stamp {
  unsigned long long lastWrite = 0;
  unsigned long long creation = 0;
};

Stamp Listed(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  ::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data);
  const auto ticks = [](const FILETIME& t) {
    return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  };
  return {ticks(data.ftLastWriteTime), ticks(data.ftCreationTime)};
}

// The quick re-check: a tree last written an hour ago, so the cache may
// stand for all of it.
class DigestCacheScanTest : public FolderScanTest {
 protected:
  void SetUp() override {
    FolderScanTest::SetUp();
    Put(L"a.dll", "alpha");
    Folder(L"data");
    Put(L"data\\b.dat", "beta");
    Put(L"data\\\x6570\x636e.txt", "chinese");
    Put(L"z.exe", std::string(70000, 'z'));
    for (const wchar_t* name : {L"a.dll", L"data\\b.dat", L"data\\\x6570\x636e.txt", L"z.exe"}) {
      ASSERT_TRUE(SetTimes(m_folder + name, TicksNow() - 3600 * kSecond, TicksNow() - 7200 * kSecond));
    }
    // Setting the times is itself a change, whose time no call sets back:
    // wait until it lies outside the racy margin, so the files are old in
    // every time the cache looks at.
    ::Sleep(2100);
  }
  std::string Manifest() { return ReadBytes(m_folder + L"LocalDate.ini"); }
  std::string Cache() { return ReadBytes(m_folder + L"LocalDigest.cache"); }
};

TEST_F(DigestCacheScanTest, LocalManifestWithTheCacheHasTheBytesOfAFullHash) {
  ASSERT_TRUE(CMyFun().BuildLocalManifest(m_folder));
  const std::string first = Cache();
  ASSERT_FALSE(first.empty());
  EXPECT_FALSE(PathExists(m_folder + L"LocalDigest.cache.tmp"));

  ASSERT_TRUE(CMyFun().BuildLocalManifest(m_folder));
  const std::string quick = Manifest();
  // The same tree for a full hash: the cache as the quick walk found it.
  WriteBytes(m_folder + L"LocalDigest.cache", first);
  ASSERT_TRUE(CMyFun().BuildLocalManifest(m_folder, nullptr, DigestSource::kReadEveryFile));
  EXPECT_EQ(Manifest(), quick);
  EXPECT_EQ(6u, Lines(m_folder).size());

  // The digests came from the cache: a file nobody may open keeps its digest
  // in a quick walk, and only a full one finds it unreadable.
  HANDLE locked = OpenWithShare(m_folder + L"z.exe", GENERIC_READ, 0);
  ASSERT_NE(INVALID_HANDLE_VALUE, locked);
  ASSERT_TRUE(CMyFun().BuildLocalManifest(m_folder));
  const std::multiset<std::string> quickLines = AsSet(Lines(m_folder));
  ASSERT_TRUE(CMyFun().BuildLocalManifest(m_folder, nullptr, DigestSource::kReadEveryFile));
  const std::multiset<std::string> fullLines = AsSet(Lines(m_folder));
  ::CloseHandle(locked);
  EXPECT_EQ(1u, quickLines.count(Line("z.exe", std::string(70000, 'z'))));
  EXPECT_EQ(1u, fullLines.count("z.exe\tCalculateMd5Worry"));
  // That word is not cached: the next quick walk reads the file again.
  ASSERT_TRUE(CMyFun().BuildLocalManifest(m_folder));
  EXPECT_EQ(1u, AsSet(Lines(m_folder)).count(Line("z.exe", std::string(70000, 'z'))));
}

TEST_F(DigestCacheScanTest, ChangedAndRacyFilesAreReadAgain) {
  // b.dat is written just before this walk, so within the racy margin of
  // the cache it leaves.
  Put(L"data\\b.dat", "beta");
  const Stamp racy = Listed(m_folder + L"data\\b.dat");
  const Stamp old = Listed(m_folder + L"a.dll");
  ASSERT_TRUE(CMyFun().BuildLocalManifest(m_folder));

  // a.dll: same size, a newer time that is still an hour old. b.dat: same size, both times put back as
  // listed (a write within the time stamps' granularity): only the racy rule
  // can tell.
  Put(L"a.dll", "ALPHA");
  ASSERT_TRUE(SetTimes(m_folder + L"a.dll", old.lastWrite + kSecond, old.creation));
  Put(L"data\\b.dat", "BETA");
  ASSERT_TRUE(SetTimes(m_folder + L"data\\b.dat", racy.lastWrite, racy.creation));
  ASSERT_EQ(racy.lastWrite, Listed(m_folder + L"data\\b.dat").lastWrite);

  ASSERT_TRUE(CMyFun().BuildLocalManifest(m_folder));
  const std::multiset<std::string> lines = AsSet(Lines(m_folder));
  EXPECT_EQ(1u, lines.count(Line("a.dll", "ALPHA")));
  EXPECT_EQ(1u, lines.count(Line("data\\b.dat", "BETA")));
  EXPECT_EQ(1u, lines.count(Line("z.exe", std::string(70000, 'z'))));
}

TEST_F(DigestCacheScanTest, ContentRewrittenWithItsTimesPutBackIsReadAgain) {
  const Stamp listed = Listed(m_folder + L"a.dll");
  ASSERT_TRUE(CMyFun().BuildLocalManifest(m_folder));
  Put(L"a.dll", "ALPHA");
  ASSERT_TRUE(SetTimes(m_folder + L"a.dll", listed.lastWrite, listed.creation));
  ASSERT_EQ(listed.lastWrite, Listed(m_folder + L"a.dll").lastWrite);
  ASSERT_TRUE(CMyFun().BuildLocalManifest(m_folder));
  EXPECT_EQ(1u, AsSet(Lines(m_folder)).count(Line("a.dll", "ALPHA")));
}

TEST_F(DigestCacheScanTest, BrokenCachesAreIgnoredAndAStoppedWalkWritesNone) {
  ASSERT_TRUE(CMyFun().BuildLocalManifest(m_folder));
  const std::string good = Cache();

  // A cut, damaged or foreign cache is not used: every file is read.
  for (const std::string& bad : {good.substr(0, good.size() / 2), good.substr(0, good.size() - 1),
                                 std::string("garbage"), std::string()}) {
    WriteBytes(m_folder + L"LocalDigest.cache", bad);
    HANDLE locked = OpenWithShare(m_folder + L"z.exe", GENERIC_READ, 0);
    ASSERT_TRUE(CMyFun().BuildLocalManifest(m_folder));
    ::CloseHandle(locked);
    // Unreadable now, so read it must have been tried.
    EXPECT_EQ(1u, AsSet(Lines(m_folder)).count("z.exe\tCalculateMd5Worry")) << bad.size();
  }

  // A walk stopped before its end leaves the cache as it was, and no part of
  // a new one.
  WriteBytes(m_folder + L"LocalDigest.cache", good);
  StopSignal stop;
  stop.Request();
  EXPECT_TRUE(CMyFun().BuildLocalManifest(m_folder, &stop));
  EXPECT_EQ(good, Cache());
  EXPECT_FALSE(PathExists(m_folder + L"LocalDigest.cache.tmp"));
  ::DeleteFileW((m_folder + L"LocalDigest.cache").c_str());
  EXPECT_TRUE(CMyFun().BuildLocalManifest(m_folder, &stop));
  EXPECT_FALSE(PathExists(m_folder + L"LocalDigest.cache"));
  EXPECT_FALSE(PathExists(m_folder + L"LocalDigest.cache.tmp"));
}

// A folder link, removed again on destruction: CreateSymbolicLinkW where it
// works, else a unix symlink. Wine reports success from CreateSymbolicLinkW
// but makes nothing, and cannot delete a unix link to a folder itself.
class FolderLink {
 public:
  FolderLink(const std::wstring& link, const std::wstring& target) : m_link(link) {
    if (::CreateSymbolicLinkW(link.c_str(), target.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY) && PathExists(link)) {
      return;
    }
    m_unixLink = UnixPath(link);
    if (!m_unixLink.empty()) Unix("/bin/ln -s \"" + UnixPath(target) + "\" \"" + m_unixLink + "\"");
  }
  ~FolderLink() {
    if (!m_unixLink.empty()) Unix("/bin/rm -f \"" + m_unixLink + "\"");
    ::RemoveDirectoryW(m_link.c_str());
  }
  bool Made() const { return PathExists(m_link); }

 private:
  static std::string UnixPath(const std::wstring& path) {
    using UnixName = char*(CDECL*)(LPCWSTR);
    const auto unixName = reinterpret_cast<UnixName>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name")));
    char* name = unixName ? unixName(path.c_str()) : nullptr;
    const std::string text = name ? name : "";
    if (name) ::HeapFree(::GetProcessHeap(), 0, name);
    return text;
  }
  static void Unix(const std::string& command) { std::system(("start /wait /unix " + command).c_str()); }

  std::wstring m_link;
  std::string m_unixLink;
};

TEST_F(FolderScanTest, LinkBackToAnAncestorIsNotWalkedAgain) {
  Put(L"top.txt", "top");
  Folder(L"real");
  Put(L"real\\f.txt", "f");
  const std::wstring loop = m_folder + L"real\\loop";
  std::vector<std::string> lines;
  bool ended = false;
  bool built = false;
  {
    FolderLink link(loop, m_folder);
    if (!link.Made()) GTEST_SKIP() << "no folder links here";
    StopSignal stop;
    std::atomic<bool> done{false};
    std::thread walk([&] {
      built = CMyFun().BuildLocalManifest(m_folder, &stop);
      done = true;
    });
    ended = WaitUntil([&] { return done.load(); }, 60000);
    if (!ended) stop.Request();
    walk.join();
  }
  EXPECT_FALSE(PathExists(loop));

  ASSERT_TRUE(ended) << "the walk kept following the link";
  EXPECT_TRUE(built);
  EXPECT_EQ(AsSet({Line("top.txt", "top"), Line("real\\f.txt", "f"), kManifestLine}), AsSet(Lines(m_folder)));
}

}  // namespace
