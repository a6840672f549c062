#include "publisher/code_page.h"

#include <gtest/gtest.h>

#include "publisher/text.h"
#include "publisher/tool_error.h"

namespace {

TEST(CodePage, EncodesChineseNamesInGbk) {
  const CodePage gbk(936);
  std::string bytes;
  ASSERT_TRUE(gbk.Encode(L"\u6570\u636E\\a.dat", bytes));  // 数据\a.dat
  EXPECT_EQ(bytes, "\xCA\xFD\xBE\xDD\\a.dat");
  EXPECT_EQ(gbk.Decode(bytes), L"\u6570\u636E\\a.dat");
}

TEST(CodePage, RefusesCharactersWithoutAnExactForm) {
  const CodePage gbk(936);
  std::string bytes;
  EXPECT_FALSE(gbk.Encode(L"\u0E01.txt", bytes));      // Thai
  EXPECT_FALSE(gbk.Encode(L"a\U0001F600.txt", bytes));  // emoji
  const CodePage western(1252);
  EXPECT_FALSE(western.Encode(L"\u6570.txt", bytes));
  EXPECT_TRUE(western.Encode(L"caf\u00E9.txt", bytes));
  EXPECT_EQ(bytes, "caf\xE9.txt");
}

TEST(CodePage, DecodeMarksEachInvalidByte) {
  const CodePage gbk(936);
  std::vector<std::size_t> invalid;
  // A lead byte followed by "." or 0x7F forms no character, nor does one
  // at the end without its trail byte.
  const std::wstring text = gbk.Decode("a\x81.b\x81\x7F" "c\xCA", &invalid);
  EXPECT_EQ(invalid, (std::vector<std::size_t>{1, 4, 7}));
  EXPECT_EQ(text.front(), L'a');
  EXPECT_NE(text.find(L'b'), std::wstring::npos);
  EXPECT_NE(text.find(L'c'), std::wstring::npos);

  invalid.clear();
  gbk.Decode("\xCA\xFD\xBE\xDD plain", &invalid);
  EXPECT_TRUE(invalid.empty());
}

TEST(CodePage, UnknownCodePageIsAnError) {
  EXPECT_THROW(CodePage(12345), ToolError);
}

TEST(Text, Utf8RoundTripAndRejection) {
  std::wstring wide;
  ASSERT_TRUE(Utf8ToWide("\xE6\x95\xB0\xF0\x9F\x98\x80", wide));
  EXPECT_EQ(WideToUtf8(wide), "\xE6\x95\xB0\xF0\x9F\x98\x80");
  for (const char* bad : {"\xC0\xAF", "\xED\xA0\x80", "\xE6\x95", "\xFF", "\x80"}) {
    EXPECT_FALSE(Utf8ToWide(bad, wide)) << bad;
  }
  EXPECT_EQ(Printable(L"a\nb\r\t\x01"), "a\\nb\\r\\t\\x01");
  EXPECT_TRUE(LooksLikeUtf8Text("sub\\\xE6\x95\xB0\xE6\x8D\xAE\ta"));
  EXPECT_FALSE(LooksLikeUtf8Text("sub\\\xCA\xFD\xBE\xDD\ta"));  // the same name in GBK
  EXPECT_FALSE(LooksLikeUtf8Text("plain ascii"));
}

}  // namespace
