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

}  // namespace
