#include "transfer/name_safety.h"

#include <gtest/gtest.h>

namespace {

TEST(IsSafeRelativeName, RejectsHostileNames) {
  const wchar_t* const hostile[] = {
      // empty, rooted, UNC and device-path forms
      L"", L"\\", L"/", L"\\Windows\\a.dll", L"/etc/passwd", L"\\\\server\\share\\a.dll",
      L"//server/share/a.dll", L"\\\\?\\C:\\a.dll", L"\\\\.\\PhysicalDrive0",
      // drives and streams
      L"C:\\Windows\\a.dll", L"C:a.dll", L"a.dll:stream", L"a.dll::$DATA", L"sub\\a:b",
      // empty components
      L"a\\\\b", L"a//b", L"a\\/b", L"a\\", L"a/", L"sub\\dir\\",
      // dot components and trailing dots or spaces
      L".", L"..", L"..\\a.dll", L"../a.dll", L"a\\..\\..\\b", L"a\\.\\b", L"sub/..", L"a.",
      L"a ", L"dir.\\a", L"dir \\a", L"...",
      // reserved device names, any case, any extension, any folder
      L"CON", L"con", L"PRN", L"AUX", L"NUL", L"nul.txt", L"NUL.tar.gz", L"sub\\Com1.log",
      L"COM9", L"lpt1", L"LPT9.dat", L"nul .txt", L"CON  .ini", L"a\\aux\\b", L"conin$",
      L"CONOUT$.txt", L"COM0", L"LPT\u00B9", L"com\u00B3.txt",
      // control and wildcard characters
      L"a\tb", L"a\nb", L"a\rb", L"a\x1F", L"\x01", L"a<b", L"a>b", L"a\"b", L"a|b", L"a?b",
      L"a*b", L"sub\\*.dll",
  };
  for (const wchar_t* name : hostile) EXPECT_FALSE(IsSafeRelativeName(name)) << name;
  EXPECT_FALSE(IsSafeRelativeName(std::wstring(L"a\0b", 3))) << "embedded NUL";
}

TEST(IsSafeRelativeName, AcceptsOrdinaryNames) {
  const wchar_t* const ordinary[] = {
      L"Updater.exe",  L"data\\maps\\a.bin", L"data/maps/a.bin", L"\u6587\u4EF6\\\u8BF4\u660E.txt",
      L"..foo",        L"a..b",              L".hidden",         L"CONSOLE.txt",
      L"nul1",         L"COM10",             L"LPT",             L"xcon",
      L"con_x.txt",    L"COMA.txt",          L" lead.txt",       L"a b\\c d.txt",
      L"QyrUIPro.exe", L"sub\\Updater.exe",  L"x$",              L"\U0001F600.png",
  };
  for (const wchar_t* name : ordinary) EXPECT_TRUE(IsSafeRelativeName(name)) << name;
}

TEST(IsUpdaterOwnName, NamesTheUpdaterKeepsForItself) {
  const struct {
    const wchar_t* name;
    bool own;
  } cases[] = {
      // at the top, in any case the disk folds
      {L"delete.bat", true}, {L"DELETE.BAT", true}, {L"LocalDate.ini", true}, {L"localdate.INI", true},
      {L"UpDate.ini", true}, {L"update.ini", true}, {L"Update_Logo.txt", true}, {L"LocalSerial.dat", true},
      {L"LocalDigest.cache", true}, {L"LocalSer\u0131al.dat", true},
      // temporary names at any depth
      {L"x.TMP", true}, {L"a.bin.tmp", true}, {L"Updater.exe.tmp", true}, {L"data/maps/a.pak.Tmp", true},
      {L"LocalSerial.dat.tmp", true}, {L".tmp", true}, {L"x.tmp\\a.bin", false}, {L"a.tmpl", false},
      {L"tmp", false},
      // the index and set-aside folders, either separator, and a file in their place
      {L"UpDate.delta\\a.pak", true}, {L"update.DELTA/maps/a.pak", true}, {L"UpDate.delta", true},
      {L"Updater.old\\Updater.exe.1.0", true}, {L"updater.old/x", true}, {L"UpDate.deltas\\a.pak", false},
      // the same names elsewhere are ordinary files
      {L"sub\\delete.bat", false}, {L"sub/LocalDate.ini", false}, {L"maps\\UpDate.delta\\a.pak", false},
      {L"delete.bat.txt", false}, {L"xdelete.bat", false}, {L"UpDate.ini.sig", false},
      // how the updater updates itself
      {L"Updater.exe", false}, {L"QyrUIPro.exe", false}, {L"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(c.own, IsUpdaterOwnName(c.name)) << c.name;
}

}  // namespace
