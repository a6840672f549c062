#include "publisher/lint.h"

#include <gtest/gtest.h>

#include "publisher/code_page.h"
#include "publisher/generate.h"
#include "temp_folder.h"

namespace {

using namespace std::string_literals;

const std::string kDigest = "0cc175b9c0f1b6a831c399e269772661";
const std::string kUpper = "0CC175B9C0F1B6A831C399E269772661";
const std::string kOther = "92eb5ffee6ae2fec3ad71c777531578f";

struct Expected {
  std::size_t line;
  const char* fragment;
};

std::vector<LintProblem> Lint(const std::string& file, unsigned codePage = 936) {
  const CodePage converter(codePage);
  return LintManifest(file, converter);
}

std::string Dump(const std::vector<LintProblem>& problems) {
  std::string text;
  for (const LintProblem& p : problems) text += std::to_string(p.line) + ": " + p.message + "\n";
  return text;
}

// Each expected problem is found on its line, and nothing else is reported.
void ExpectProblems(const std::string& file, const std::vector<Expected>& expected, unsigned codePage = 936) {
  const std::vector<LintProblem> problems = Lint(file, codePage);
  EXPECT_EQ(problems.size(), expected.size()) << Dump(problems);
  for (const Expected& e : expected) {
    bool found = false;
    for (const LintProblem& p : problems) found |= p.line == e.line && p.message.find(e.fragment) != std::string::npos;
    EXPECT_TRUE(found) << "line " << e.line << ": " << e.fragment << "\n" << Dump(problems);
  }
}

TEST(LintManifest, FindsEveryKindOfProblemOnItsLine) {
  const std::string file = "\xEF\xBB\xBF" "first.txt\t" + kDigest + "\r\n" +  // 1
                           "good.txt\t" + kDigest + "\r\n" +                      // 2
                           "noTabHere\r\n" +                                      // 3
                           "merged.txt\t" + kDigest + "\r\n" +                    // 4
                           "\r\n" +                                               // 5
                           "afterblank.txt\t" + kDigest + "\r\n" +                // 6
                           " lead.txt\t" + kDigest + "\r\n" +                     // 7
                           "trail.txt \t" + kDigest + "\r\n" +                    // 8
                           "blanks.txt\t" + kDigest + " \r\n" +                   // 9
                           "upper.txt\t" + kUpper + "\r\n" +                      // 10
                           "short.txt\tabc\r\n" +                                 // 11
                           "dir/slash.txt\t" + kDigest + "\r\n" +                 // 12
                           "good.txt\t" + kOther + "\r\n" +                       // 13
                           "..\\evil.dll\t" + kDigest + "\r\n" +                  // 14
                           "cr.txt\t" + kDigest + "\r\r\n" +                      // 15
                           "bad\x81.txt\t" + kDigest + "\r\n" +                   // 16
                           "GOOD.txt\t" + kDigest + "\r\n" +                      // 17
                           "extra.txt\t" + kDigest + "\tmore\r\n" +               // 18
                           "last.txt\t" + kDigest + "\r\n" +                      // 19
                           "\x1A" "ignored.txt\t" + kDigest + "\r\n";             // 20
  ExpectProblems(file, {
                           {1, "byte-order mark"},
                           {3, "no TAB on this line: the updater merges it into the name on line 4"},
                           {5, "blank line: the updater puts a line feed at the front of the name on line 6"},
                           {7, "leading blank"},
                           {8, "trailing blank"},
                           {9, "blanks around the digest: they are part of it, so it is not 32 hexadecimal digits: clients never install"},
                           {10, "uppercase digest"},
                           {11, "the digest \"abc\" is not 32 hexadecimal digits: clients never install the file"},
                           {12, "forward slash"},
                           {13, "duplicate name \"good.txt\": line 2 wins"},
                           {14, "leaves the folder"},
                           {15, "CR not followed by LF"},
                           {16, "bytes invalid in code page 936: 81 at byte 4"},
                           {17, "differs only in letter case from line 2"},
                           {18, "more than one TAB"},
                           {20, "0x1A byte"},
                       });
}

TEST(LintManifest, TextEndingBytesAndWrongEncodings) {
  ExpectProblems("a.txt\t" + kDigest + "\r\nb.t\0xt\t"s + kDigest + "\r\nc.txt\t" + kDigest + "\r\n",
                 {{2, "NUL byte: the updater's text ends here; the rest of the file (to line 4) is ignored"},
                  {2, "no TAB on this line and no entry after it"}});
  // UTF-16 text: the mark, the NUL of its first character and what follows from them.
  ExpectProblems("\xFF\xFE" "a\0\t\0b\0"s, {{1, "UTF-16"},
                                              {1, "NUL byte"},
                                              {1, "bytes invalid in code page 936: FF at byte 1"},
                                              {1, "no entry after it"},
                                              {1, "no entries"}});
  // A script that wrote UTF-8 names for GBK clients.
  ExpectProblems("a.txt\t" + kDigest + "\n\xE6\x95\xB0\xE6\x8D\xAE\\b.txt\t" + kDigest + "\n",
                 {{2, "UTF-8 text"}});
  EXPECT_TRUE(Lint("\xE6\x95\xB0\xE6\x8D\xAE\\b.txt\t" + kDigest + "\n", 65001).empty());
}

TEST(LintManifest, ReportsWhatTheReaderDropsOrLacks) {
  ExpectProblems("", {{1, "no entries"}});
  ExpectProblems("<html>404 Not Found</html>\r\n", {{1, "no TAB on this line and no entry after it"},
                                                    {1, "no entries"}});
  ExpectProblems("a.txt\t" + kDigest + "\r\ntrailing words\r\n\r\nmore\r\n",
                 {{2, "no entry after it"}, {4, "no entry after it"}});
  ExpectProblems("a.txt\t" + kDigest + "\r\n\tnoname\r\n",
                 {{2, "empty name"}, {2, "\"noname\" is not 32 hexadecimal digits"}});
  ExpectProblems("a.txt\t" + kDigest + "\nb.txt\t\nc.txt\t" + kDigest + "\n", {{2, "empty digest: clients never install"}});
  // The whole-text trim takes a TAB at the very start, so that line has none.
  ExpectProblems("\tnoname\r\n", {{1, "no entry after it"}, {1, "no entries"}});
  // Line numbers count the blank lines the whole-text trim drops.
  ExpectProblems("\r\n\r\n  x.txt\t" + kDigest + "\r\nbad.txt\tzz\r\n", {{4, "\"zz\""}});
}

TEST(LintManifest, TheUpdatersOwnNamesAreErrors) {
  ExpectProblems("delete.bat\t" + kDigest + "\r\n" +                      // 1
                     "LOCALSERIAL.DAT\t" + kDigest + "\r\n" +             // 2
                     "data\\big.pak.tmp\t" + kDigest + "\r\n" +         // 3
                     "UpDate.delta\\big.pak\t" + kDigest + "\r\n" +     // 4
                     "update.ini\t" + kDigest + "\r\n" +                  // 5
                     "sub\\delete.bat\t" + kDigest + "\r\n" +           // 6
                     "Updater.exe\t" + kDigest + "\r\n" +                // 7
                     // and the files generate writes beside the manifest
                     "UpDate.pack\t" + kDigest + "\r\n" +                // 8
                     "update.PACK.INI\t" + kDigest + "\r\n" +            // 9
                     "UpDate.frames\\a.dll\t" + kDigest + "\r\n" +      // 10
                     "sub\\UpDate.pack\t" + kDigest + "\r\n" +          // 11
                     "UpDate.pack.txt\t" + kDigest + "\r\n",              // 12
                 {{1, "\"delete.bat\" is one the updater keeps for itself"},
                  {2, "keeps for itself"},
                  {3, "keeps for itself"},
                  {4, "keeps for itself"},
                  {5, "keeps for itself"},
                  {8, "\"UpDate.pack\" is one generate writes beside the manifest"},
                  {9, "generate writes beside the manifest"},
                  {10, "generate writes beside the manifest"},
                  });
}

TEST(LintManifest, SilentOnWhatTheUpdaterReadsAsMeant) {
  TempFolder release;
  release.Write("Updater.exe", "exe");
  release.Write("\xE6\x95\xB0\xE6\x8D\xAE/\xE6\x96\x87\xE4\xBB\xB6.txt", "abc");
  release.Write("data/a b.dat", "spaces inside names are fine");
  GenerateRequest request;
  request.releaseDir = release.Root();
  request.codePage = 936;
  std::vector<std::string> notes;
  const std::string generated = GenerateManifest(request, notes).bytes;
  EXPECT_EQ(Dump(Lint(generated)), "");

  // LF line ends, blanks around the whole text, a final end-of-file mark and
  // the names the updater skips change nothing.
  EXPECT_EQ(Dump(Lint("\n \na.txt\t" + kDigest + "\nUpDate.ini\tjunk\nMD5.exe\tx\n\n\x1A")), "");
  EXPECT_EQ(Dump(Lint("a.txt\t" + kDigest + "\0\0"s)), "");
}

}  // namespace
