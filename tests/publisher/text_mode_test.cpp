#include "publisher/text_mode.h"

#include <gtest/gtest.h>

#include "publisher/code_page.h"

namespace {

using namespace std::string_literals;

TEST(BytesAsUpdaterReads, MirrorsTextModeAndTheNulTerminatedConversion) {
  const struct {
    const char* what;
    std::string file;
    std::string text;
    TextEnd end;
    std::size_t endOffset;
  } cases[] = {
      {"CR LF becomes LF", "a\tb\r\nc\td\r\n", "a\tb\nc\td\n", TextEnd::kWholeFile, 10},
      {"a lone CR stays", "a\tb\rc\td\r", "a\tb\rc\td\r", TextEnd::kWholeFile, 8},
      {"CR CR LF keeps the first CR", "a\tb\r\r\n", "a\tb\r\n", TextEnd::kWholeFile, 6},
      {"LF CR is no pair", "a\n\rb", "a\n\rb", TextEnd::kWholeFile, 4},
      {"0x1A ends the text", "a\tb\r\n\x1A" "c\td\r\n", "a\tb\n", TextEnd::kCtrlZ, 5},
      {"NUL ends the text", "a\tb\r\n\0c\td"s, "a\tb\n", TextEnd::kNul, 5},
      {"the earlier of NUL and 0x1A wins", "a\x1A\0"s, "a", TextEnd::kCtrlZ, 1},
      {"NUL before 0x1A", "a\0\x1A"s, "a", TextEnd::kNul, 1},
      {"CR before 0x1A stays", "a\r\x1A", "a\r", TextEnd::kCtrlZ, 2},
      {"empty file", "", "", TextEnd::kWholeFile, 0},
  };
  for (const auto& c : cases) {
    const UpdaterBytes got = BytesAsUpdaterReads(c.file);
    EXPECT_EQ(got.text, c.text) << c.what;
    EXPECT_EQ(got.end, c.end) << c.what;
    EXPECT_EQ(got.endOffset, c.endOffset) << c.what;
  }
}

TEST(PreparedTextOf, DecodesInTheCodePageAndTrimsTheWholeText) {
  const CodePage gbk(936);
  EXPECT_EQ(PreparedTextOf("\r\n  \xCA\xFD\xBE\xDD\\a\tx\r\n\r\n", gbk), L"\u6570\u636E\\a\tx\n");
  EXPECT_EQ(PreparedTextOf("", gbk), L"\n");
  EXPECT_EQ(PreparedTextOf("a\tb\r\n\x1Atrailing", gbk), L"a\tb\n");
  // The same bytes mean other names under another code page.
  const CodePage utf8(65001);
  EXPECT_EQ(PreparedTextOf("\xE6\x95\xB0\tx", utf8), L"\u6570\tx\n");
}

}  // namespace
