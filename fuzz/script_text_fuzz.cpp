// The hand-off script built around any folder: the fixed lines stay fixed and
// every path line carries the folder so that cmd reads back exactly it.
#include "fuzz/fuzz_support.h"
#include "transfer/script_text.h"

namespace {

// Reads a line the way cmd's "%" handling does for a script: "%%" is one "%";
// a lone "%" would start a variable expansion, so it fails the check.
bool UndoublePercent(const std::string& line, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '%') {
      if (i + 1 >= line.size() || line[i + 1] != '%') return false;
      ++i;
    }
    out += line[i];
  }
  return true;
}

std::size_t Count(const std::string& text, char c) {
  std::size_t n = 0;
  for (const char x : text) n += x == c;
  return n;
}

void CheckPathLine(const std::string& line, const std::string& expected) {
  FUZZ_CHECK(Count(line, '%') % 2 == 0);
  std::string read;
  FUZZ_CHECK(UndoublePercent(line, read));
  FUZZ_CHECK(read == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string folder(reinterpret_cast<const char*>(data), size);
  const bool folderHasLineEnd = folder.find_first_of("\r\n") != std::string::npos;
  const std::string q = "\"" + folder;

  const std::vector<std::string> swap = DeleteScriptLines(folder, true);
  const std::vector<std::string> start = DeleteScriptLines(folder, false);
  FUZZ_CHECK(swap.size() == 12);
  FUZZ_CHECK(start.size() == 3);

  for (const auto* lines : {&swap, &start}) {
    for (const std::string& line : *lines) {
      // A line end inside a line would split a command in two; only a folder
      // holding one can bring it in (Windows names cannot hold CR or LF).
      FUZZ_CHECK(folderHasLineEnd || line.find_first_of("\r\n") == std::string::npos);
    }
  }

  const std::string pause = "ping -n 2 127.0.0.1 >nul";
  FUZZ_CHECK(swap[0] == "setlocal");
  FUZZ_CHECK(swap[1] == "set /a tries=0");
  FUZZ_CHECK(swap[2] == ":try");
  FUZZ_CHECK(swap[3] == pause);
  CheckPathLine(swap[4], "move /y " + q + "Updater.exe.tmp\" " + q + "Updater.exe\" >nul");
  CheckPathLine(swap[5], "if not exist " + q + "Updater.exe.tmp\" goto :start");
  FUZZ_CHECK(swap[6] == "set /a tries+=1");
  FUZZ_CHECK(swap[7] == "if %tries% lss 30 goto :try");
  FUZZ_CHECK(swap[8] == ":start");
  FUZZ_CHECK(swap[9] == "endlocal");
  CheckPathLine(swap[10], "start \"\" /normal " + q + "QyrUIPro.exe\"");
  CheckPathLine(swap[11], "del " + q + "delete.bat\"");

  // Without the swap it is the pause and the same last two lines.
  FUZZ_CHECK(start[0] == pause);
  FUZZ_CHECK(start[1] == swap[10]);
  FUZZ_CHECK(start[2] == swap[11]);

  const std::string escaped = EscapeBatchPercent(folder);
  FUZZ_CHECK(escaped.size() == folder.size() + Count(folder, '%'));
  std::string back;
  FUZZ_CHECK(UndoublePercent(escaped, back) && back == folder);
  return 0;
}
