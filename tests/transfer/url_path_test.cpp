#include "transfer/url_path.h"

#include <gtest/gtest.h>

TEST(UrlPathOf, KeepsPlainNamesAndTurnsBackslashesIntoSlashes) {
  EXPECT_EQ(L"data/maps/a.bin", UrlPathOf(L"data\\maps\\a.bin"));
  EXPECT_EQ(L"Updater.exe", UrlPathOf(L"Updater.exe"));
  EXPECT_EQ(L"a-b_c.d~e!$&'()*+,;=:@", UrlPathOf(L"a-b_c.d~e!$&'()*+,;=:@"));
}

TEST(UrlPathOf, EscapesWhatWouldChangeTheUrl) {
  struct Case {
    const wchar_t* name;
    const wchar_t* path;
  };
  const Case cases[] = {
      {L"a b.txt", L"a%20b.txt"},
      {L"notes#1.txt", L"notes%231.txt"},  // a raw "#" would start a fragment
      {L"100%.txt", L"100%25.txt"},        // a raw "%" would be read as an escape
      {L"what?.txt", L"what%3F.txt"},      // a raw "?" would start a query
      {L"a\"<>^`{|}[]b", L"a%22%3C%3E%5E%60%7B%7C%7D%5B%5Db"},
      {L"tab\there", L"tab%09here"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.path, UrlPathOf(c.name)) << c.path;
}

TEST(UrlPathOf, EncodesNonAsciiAsUtf8) {
  EXPECT_EQ(L"%E6%95%B0%E6%8D%AE/%E6%96%87%E4%BB%B6.dat", UrlPathOf(L"数据\\文件.dat"));
  EXPECT_EQ(L"caf%C3%A9", UrlPathOf(L"café"));
  // A character beyond U+FFFF (a surrogate pair in UTF-16) is one 4-byte sequence.
  std::wstring emoji;
  if (sizeof(wchar_t) == 2) {
    emoji = {static_cast<wchar_t>(0xD83D), static_cast<wchar_t>(0xDE00)};
  } else {
    emoji = {static_cast<wchar_t>(0x1F600)};
  }
  EXPECT_EQ(L"%F0%9F%98%80", UrlPathOf(emoji));
}
