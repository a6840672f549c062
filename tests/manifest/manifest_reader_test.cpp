#include "manifest/manifest_reader.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace {

using Entries = std::vector<std::pair<std::wstring, std::wstring>>;

Entries Read(const std::wstring& raw) {
  const ManifestTable table = ReadManifestTable(PrepareManifestText(raw));
  return Entries(table.begin(), table.end());
}

struct ReadCase {
  const char* what;
  std::wstring raw;
  Entries want;
};

TEST(ReadManifestTable, ReadsTextAsTheManifestRulesSay) {
  const ReadCase cases[] = {
      {"LF line ends", L"b.dll\td2\na.dll\td1\n", {{L"a.dll", L"d1"}, {L"b.dll", L"d2"}}},
      {"last line without its line end", L"a.dll\td1\nb.dll\td2",
       {{L"a.dll", L"d1"}, {L"b.dll", L"d2"}}},
      // Text mode turns CR LF into LF; a CR that survives belongs to the digest,
      // except at the very end where it is trimmed.
      {"CR left in the text", L"a.dll\td1\r\nb.dll\td2\r\n",
       {{L"a.dll", L"d1\r"}, {L"b.dll", L"d2"}}},
      {"blanks around the whole text", L" \r\n\n\t a.dll\td1\n\n \t\n", {{L"a.dll", L"d1"}}},
      {"blank line inside", L"a\td1\n\nb\td2\n", {{L"\nb", L"d2"}, {L"a", L"d1"}}},
      {"spaces after an inner digest stay", L"a\td1  \nb\td2  ", {{L"a", L"d1  "}, {L"b", L"d2"}}},
      {"spaces around a name stay", L"x\td0\n a \td1\n", {{L" a ", L"d1"}, {L"x", L"d0"}}},
      {"two TABs", L"a\td1\textra\n", {{L"a", L"d1\textra"}}},
      {"first line for a name wins", L"a\tfirst\nb\td2\na\tsecond\n",
       {{L"a", L"first"}, {L"b", L"d2"}}},
      {"excluded names only when exact",
       L"MD5.exe\tx\nUpDate.ini\ty\nmd5.exe\tz\nsub\\MD5.exe\tw\nupdate.ini\tv\nMD5.exe \tu\n",
       {{L"MD5.exe ", L"u"}, {L"md5.exe", L"z"}, {L"sub\\MD5.exe", L"w"}, {L"update.ini", L"v"}}},
      {"an excluded line does not block a later entry", L"MD5.exe\tx\nMD5.exe\ty\na\td\n",
       {{L"a", L"d"}}},
      {"byte-order mark joins the first name", L"\uFEFFa.dll\td1\nb.dll\td2\n",
       {{L"b.dll", L"d2"}, {L"\uFEFFa.dll", L"d1"}}},
      {"empty text", L"", {}},
      {"whitespace only", L" \r\n\t \n\v\f", {}},
      {"no TAB at all", L"just some words\nand more", {}},
      {"text without TAB swallowed into the next name",
       L"a\tCalculateMd5Worry\nOpenFileFail\nb\td2\n",
       {{L"OpenFileFail\nb", L"d2"}, {L"a", L"CalculateMd5Worry"}}},
      {"trailing text without TAB is dropped", L"a\td1\nleftover", {{L"a", L"d1"}}},
      {"line beginning with a TAB has an empty name", L"x\td0\n\td1\n",
       {{L"", L"d1"}, {L"x", L"d0"}}},
      {"empty digest", L"a\t\nb\td2", {{L"a", L""}, {L"b", L"d2"}}},
  };
  for (const auto& c : cases) EXPECT_EQ(Read(c.raw), c.want) << c.what;
}

TEST(ReadManifestTable, StopsAtATabWithoutLineFeedAfterIt) {
  // Unprepared text: the last entry has no LF and is not taken.
  const ManifestTable table = ReadManifestTable(L"a\td1\nb\td2");
  EXPECT_EQ(Entries(table.begin(), table.end()), (Entries{{L"a", L"d1"}}));
}

TEST(ReadManifestTable, CrLfAndLfFilesReadAlike) {
  EXPECT_EQ(Read(L"a.dll\td1\nsub\\b.dll\td2\n"), Read(L"a.dll\td1\nsub\\b.dll\td2"));
  EXPECT_EQ(Read(L"a.dll\td1\nsub\\b.dll\td2\n"), Read(L"\n\na.dll\td1\nsub\\b.dll\td2\n\n\n"));
}

TEST(PrepareManifestText, TrimsTheWholeTextAndEndsWithOneLineFeed) {
  const struct {
    std::wstring raw;
    std::wstring want;
  } cases[] = {
      {L"", L"\n"},
      {L" \t\r\n\v\f", L"\n"},
      {L"a\tb", L"a\tb\n"},
      {L"\r\n a\tb \r\n\r\n", L"a\tb\n"},
      {L"a \n\n b", L"a \n\n b\n"},      // inner lines untouched
      {L"\uFEFFa\tb\n", L"\uFEFFa\tb\n"},  // U+FEFF is no white space
  };
  for (const auto& c : cases) EXPECT_EQ(PrepareManifestText(c.raw), c.want);
}

TEST(IsExcludedManifestName, ExactWholeNamesOnly) {
  EXPECT_TRUE(IsExcludedManifestName(L"MD5.exe"));
  EXPECT_TRUE(IsExcludedManifestName(L"UpDate.ini"));
  for (const wchar_t* name : {L"md5.exe", L"MD5.EXE", L"sub\\MD5.exe", L"MD5.exe ", L"Update.ini",
                              L"LocalDate.ini", L"Updater.exe", L""}) {
    EXPECT_FALSE(IsExcludedManifestName(name)) << name;
  }
}

TEST(OrdinalUtf16Less, OrdersByUtf16CodeUnits) {
  // Strictly ascending.
  const std::vector<std::wstring> ordered = {
      L"",
      L"0",
      L"9",
      L"A",
      L"Z",
      L"\\",
      L"_",
      L"a",
      L"ab",
      L"dataA",
      L"data\\a.dat",  // after the shared prefix, '\' sorts after 'A'
      L"data\\b",
      L"data_x",
      L"dataa",
      L"z",
      L"\u00E9",
      L"\u6587\u4EF6",
      L"\uD7FF",
      L"\U00010000",
      L"\U0001F600",
      L"\U0001F600a",
      L"\U0010FFFF",
      L"\uE000",
      L"\uFFFF",
  };
  const OrdinalUtf16Less less;
  for (std::size_t i = 0; i < ordered.size(); ++i) {
    EXPECT_FALSE(less(ordered[i], ordered[i])) << i;
    for (std::size_t j = i + 1; j < ordered.size(); ++j) {
      EXPECT_TRUE(less(ordered[i], ordered[j])) << i << " < " << j;
      EXPECT_FALSE(less(ordered[j], ordered[i])) << j << " !< " << i;
    }
  }
}

TEST(OrdinalUtf16Less, OrdersTheTable) {
  const ManifestTable table = ReadManifestTable(
      PrepareManifestText(L"\uE000\t1\n\U0001F600\t2\nb.dll\t3\nA.dll\t4\na.dll\t5\nsub\\x\t6\n"));
  std::vector<std::wstring> names;
  for (const auto& entry : table) names.push_back(entry.first);
  EXPECT_EQ(names, (std::vector<std::wstring>{L"A.dll", L"a.dll", L"b.dll", L"sub\\x", L"\U0001F600",
                                              L"\uE000"}));
}

}  // namespace
