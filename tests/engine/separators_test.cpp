#include "engine/separators.h"

#include <gtest/gtest.h>

namespace {

struct SeparatorCase {
  const wchar_t* folder;
  const wchar_t* url;
  const wchar_t* wantFolder;
  const wchar_t* wantUrl;
};

const SeparatorCase kSeparatorCases[] = {
    {L"D:\\Games\\Client", L"http://host/Update", L"D:\\Games\\Client\\", L"http://host/Update/"},
    {L"D:\\Games\\Client\\", L"http://host/Update/", L"D:\\Games\\Client\\", L"http://host/Update/"},
    {L"", L"", L"", L""},
    // Each string is judged on its own last character only.
    {L"", L"http://host", L"", L"http://host/"},
    {L"C:\\dir", L"", L"C:\\dir\\", L""},
    {L"C:/dir/", L"http://host\\", L"C:/dir/\\", L"http://host\\/"},
    {L"\\", L"/", L"\\", L"/"},
};

TEST(AddTrailingSeparators, AppendsEachSeparatorOnceAndIsIdempotent) {
  for (const auto& c : kSeparatorCases) {
    SCOPED_TRACE(&c - kSeparatorCases);
    std::wstring folder = c.folder, url = c.url;
    AddTrailingSeparators(folder, url);
    EXPECT_EQ(folder, c.wantFolder);
    EXPECT_EQ(url, c.wantUrl);

    AddTrailingSeparators(folder, url);
    EXPECT_EQ(folder, c.wantFolder);
    EXPECT_EQ(url, c.wantUrl);
  }
}

TEST(FolderOfPath, CutsBeforeTheLastBackslash) {
  const struct {
    const wchar_t* path;
    const wchar_t* folder;
  } cases[] = {
      {L"D:\\Games\\Client\\Updater.exe", L"D:\\Games\\Client"},
      {L"D:\\Updater.exe", L"D:"},
      {L"D:\\Games\\Client\\", L"D:\\Games\\Client"},
      {L"Error", L""},
      {L"", L""},
      {L"a/b/c", L""},  // only the backslash counts
  };
  for (const auto& c : cases) EXPECT_EQ(FolderOfPath(c.path), c.folder);
}

}  // namespace
