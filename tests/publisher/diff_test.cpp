#include "publisher/diff.h"

#include <gtest/gtest.h>

#include "engine/my_fun.h"
#include "publisher/generate.h"
#include "publisher/tool_error.h"
#include "temp_folder.h"

namespace {

namespace fs = std::filesystem;

const std::string kA = "0cc175b9c0f1b6a831c399e269772661";  // "a"
const std::string kB = "92eb5ffee6ae2fec3ad71c777531578f";  // "b"

std::vector<DiffEntry> Diff(const fs::path& oldSide, const fs::path& newSide) {
  std::vector<std::string> notes;
  return DiffReleases(oldSide, newSide, 936, nullptr, notes);
}

std::vector<std::wstring> Names(const std::vector<DiffEntry>& entries) {
  std::vector<std::wstring> names;
  for (const DiffEntry& e : entries) names.push_back(e.name);
  return names;
}

std::wstring Wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

TEST(DiffReleases, TwoManifestsGiveTheUpdatersList) {
  TempFolder folder;
  // The old side as a client writes it; the new one with the quirks a
  // hand-made manifest has.
  const fs::path oldFile = folder.Write("old.ini", "a.txt\t" + kA + "\r\n\xCA\xFD\xBE\xDD\\x.bin\t" + kA +
                                                       "\r\nkeep.txt\t" + kB + "\r\nlocal-only\t" + kA + "\r\n");
  const fs::path newFile = folder.Write("new.ini", "\r\nb.txt\t" + kB + "\r\na.txt\t" + kA + "\r\nnoise\r\n" +
                                                       "keep.txt\t" + kB + "\r\n\xCA\xFD\xBE\xDD\\x.bin\t" + kB +
                                                       "\r\nMD5.exe\t" + kB + "\r\nA.txt\t" + kA + " \r\n");
  const std::wstring oldText = L"a.txt\t" + Wide(kA) + L"\n\u6570\u636E\\x.bin\t" + Wide(kA) + L"\nkeep.txt\t" +
                               Wide(kB) + L"\nlocal-only\t" + Wide(kA) + L"\n";
  const std::wstring newText = L"b.txt\t" + Wide(kB) + L"\na.txt\t" + Wide(kA) + L"\nnoise\nkeep.txt\t" + Wide(kB) +
                               L"\n\u6570\u636E\\x.bin\t" + Wide(kB) + L"\nMD5.exe\t" + Wide(kB) + L"\nA.txt\t" +
                               Wide(kA) + L"\n";
  const DownloadList updater = CMyFun::CompareManifests(newText, oldText);
  const std::vector<DiffEntry> entries = Diff(oldFile, newFile);
  EXPECT_EQ(Names(entries), std::vector<std::wstring>(updater.begin(), updater.end()));
  EXPECT_EQ(Names(entries), (std::vector<std::wstring>{L"A.txt", L"b.txt", L"noise\nkeep.txt", L"\u6570\u636E\\x.bin"}));
  for (const DiffEntry& e : entries) EXPECT_FALSE(e.size.has_value());
}

TEST(DiffReleases, FolderSidesCarrySizes) {
  TempFolder oldRelease, newRelease;
  oldRelease.Write("same.txt", "same");
  oldRelease.Write("changed.txt", "before");
  oldRelease.Write("gone.txt", "only in the old release");
  newRelease.Write("same.txt", "same");
  newRelease.Write("changed.txt", "after!!");
  newRelease.Write("new/deep.bin", std::string(5000, 'z'));
  newRelease.Write("UpDate.ini", "never downloaded");
  newRelease.Write("UpDate.pack", "the small files, fetched in their place");
  newRelease.Write("UpDate.pack.ini", "UpDate.pack\t39\r\n");

  const std::vector<DiffEntry> entries = Diff(oldRelease.Root(), newRelease.Root());
  EXPECT_EQ(Names(entries), (std::vector<std::wstring>{L"changed.txt", L"new\\deep.bin"}));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].size, 7u);
  EXPECT_EQ(entries[1].size, 5000u);

  // A manifest generated from a folder and the folder itself are the same side.
  GenerateRequest request;
  request.releaseDir = newRelease.Root();
  request.codePage = 936;
  std::vector<std::string> notes;
  TempFolder elsewhere;
  const fs::path manifest = elsewhere.Write("UpDate.ini", GenerateManifest(request, notes).bytes);
  EXPECT_TRUE(Diff(manifest, newRelease.Root()).empty());
  EXPECT_TRUE(Diff(newRelease.Root(), manifest).empty());
  EXPECT_EQ(Names(Diff(manifest, oldRelease.Root())),
            (std::vector<std::wstring>{L"changed.txt", L"gone.txt"}));
}

TEST(DiffReleases, MissingSideIsAnError) {
  TempFolder folder;
  EXPECT_THROW(Diff(folder.Root() / "absent.ini", folder.Root()), ToolError);
  EXPECT_THROW(Diff(folder.Root(), folder.Root() / "absent"), ToolError);
}

}  // namespace
