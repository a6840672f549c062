#include "transfer/script_text.h"

std::vector<std::string> DeleteScriptLines(const std::string& folderAnsi, bool withSwap) {
  const std::string folder = EscapeBatchPercent(folderAnsi);
  const std::string quoted = "\"" + folder;
  std::vector<std::string> lines = {":try", "choice /t 1 /d y >nul"};
  if (withSwap) {
    // Deleting fails while the updater still runs; retry once a second.
    lines.push_back("del " + quoted + "Updater.exe\"");
    lines.push_back("if exist " + quoted + "Updater.exe\" goto :try");
    lines.push_back("rename Updater.exe.tmp Updater.exe");
  }
  // The empty title keeps start from taking the quoted path as the window title.
  lines.push_back("start \"\" " + quoted + "QyrUIPro.exe\"");
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
