// Conversions through the ANSI code page. The suite runs under a zh_CN locale,
// so the code page is 936, as on the users' systems.
#include <gtest/gtest.h>

#include "engine/my_fun.h"
#include "engine/win.h"

TEST(TextConvert, RunsUnderTheUsersCodePage) { EXPECT_EQ(936u, ::GetACP()); }

TEST(TextConvert, RoundTripsChineseThroughTheCodePage) {
  const std::wstring text = L"数据\\更新日志.txt\t";
  const std::string ansi = WideToAnsi(text);
  EXPECT_EQ(std::string("\xca\xfd\xbe\xdd\\\xb8\xfc\xd0\xc2\xc8\xd5\xd6\xbe.txt\t"), ansi);
  EXPECT_EQ(text, AnsiToWide(ansi.data(), static_cast<int>(ansi.size())));
}

TEST(TextConvert, EmptyInEmptyOut) {
  EXPECT_EQ("", WideToAnsi(L""));
  EXPECT_EQ(L"", AnsiToWide("", 0));
  EXPECT_EQ(L"", AnsiToWide("abc", 0));
}

TEST(TextConvert, UnmappableCharactersBecomeTheDefaultCharacter) {
  // U+0E01 (Thai) has no GBK form.
  EXPECT_EQ("a?b", WideToAnsi(L"a\x0E01" L"b"));
}

TEST(TextConvert, StopsAtTheFirstZero) {
  const char bytes[] = {'a', 'b', '\0', 'c'};
  EXPECT_EQ(L"ab", AnsiToWide(bytes, 4));
}
