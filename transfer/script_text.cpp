#include "transfer/script_text.h"

#include <string>

namespace {

// Passes of the swap loop, about a second each. The updater is gone within a
// few seconds of starting the script, and a virus scan holds a fresh file for
// moments; past half a minute the file is held for good, and the client must
// not wait longer for it.
constexpr int kSwapTries = 30;

}  // namespace

std::vector<std::string> DeleteScriptLines(const std::string& folderAnsi, bool withSwap) {
  const std::string folder = EscapeBatchPercent(folderAnsi);
  const std::string quoted = "\"" + folder;
  // A second's pause: ping waits a second between its two echoes; choice has
  // no timeout everywhere the script runs.
  const std::string pause = "ping -n 2 127.0.0.1 >nul";
  std::vector<std::string> lines;
  if (withSwap) {
    // The move replaces Updater.exe in one step, so the folder never lacks
    // an updater. It fails while the old updater still runs or while anything
    // holds the new file (a virus scan): try again each second, and after the
    // last try leave both files for the next run.
    lines = {"setlocal", "set /a tries=0", ":try", pause,
             "move /y " + quoted + "Updater.exe.tmp\" " + quoted + "Updater.exe\" >nul",
             "if not exist " + quoted + "Updater.exe.tmp\" goto :start",
             "set /a tries+=1",
             "if %tries% lss " + std::to_string(kSwapTries) + " goto :try",
             ":start",
             // The client gets the updater's environment, not the counter.
             "endlocal"};
  } else {
    lines = {pause};
  }
  // The script runs at idle priority, which a program it starts would
  // inherit; the client gets normal priority. The empty title keeps start
  // from taking the quoted path as the window title.
  lines.push_back("start \"\" /normal " + quoted + "QyrUIPro.exe\"");
  lines.push_back("del " + quoted + "delete.bat\"");
  return lines;
}

std::string EscapeBatchPercent(const std::string& text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (const char c : text) {
    escaped += c;
    if (c == '%') escaped += '%';
  }
  return escaped;
}
