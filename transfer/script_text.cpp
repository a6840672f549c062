#include "transfer/script_text.h"

#include <string>

namespace {

// Passes of the swap loop, about a second each. The updater is gone within a
// few seconds of starting the script, and a virus scan holds a fresh file for
// moments; past half a minute the file is held for good, and the client must
// not wait longer for it.
constexpr int kSwapTries = 30;

// A file in the script's own folder. "%~dp0" ends in "\" and is expanded in
// one pass before the line is parsed: a "%" it brings is not expanded again,
// and the quotes keep "&", "^", "(" and blanks in the folder from being read
// as syntax. No "cd" into the folder: cmd refuses a UNC path as its current
// directory, and a script that went on after a failed "cd" would move and
// delete files of another folder by their plain names.
std::string InOwnFolder(const char* name) { return std::string("\"%~dp0") + name + "\""; }

}  // namespace

std::vector<std::string> DeleteScriptLines(bool withSwap) {
  // A second's pause: ping waits a second between its two echoes; choice has
  // no timeout everywhere the script runs.
  const std::string pause = "ping -n 2 127.0.0.1 >nul";
  // Delayed expansion (which a machine may switch on for every cmd through
  // the registry) would take a "!" in the folder as syntax even inside quotes.
  std::vector<std::string> lines = {"setlocal DisableDelayedExpansion"};
  if (withSwap) {
    // The move replaces Updater.exe in one step, so the folder never lacks
    // an updater. It fails while the old updater still runs or while anything
    // holds the new file (a virus scan): try again each second, and after the
    // last try leave both files for the next run.
    const std::string received = InOwnFolder("Updater.exe.tmp");
    lines.insert(lines.end(), {"set /a tries=0", ":try", pause,
                               "move /y " + received + " " + InOwnFolder("Updater.exe") + " >nul",
                               "if not exist " + received + " goto :start",
                               "set /a tries+=1",
                               "if %tries% lss " + std::to_string(kSwapTries) + " goto :try",
                               ":start",
                               // The client gets the updater's environment, not
                               // the counter; an endlocal here would also bring
                               // back delayed expansion for the lines below.
                               "set tries="});
  } else {
    lines.push_back(pause);
  }
  // The script runs at idle priority, which a program it starts would
  // inherit; the client gets normal priority. The empty title keeps start
  // from taking the quoted path as the window title.
  lines.push_back("start \"\" /normal " + InOwnFolder("QyrUIPro.exe"));
  lines.push_back("del " + InOwnFolder("delete.bat"));
  return lines;
}
