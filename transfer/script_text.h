#pragma once
#include <string>
#include <vector>

// The lines of delete.bat, without line ends. folderAnsi is the installation
// folder in the ANSI code page, ending in "\". withSwap picks the variant that
// moves Updater.exe.tmp over Updater.exe, retrying for a bounded time, before
// starting the client.
std::vector<std::string> DeleteScriptLines(const std::string& folderAnsi, bool withSwap);

// A batch file expands "%...%"; doubling every "%" makes a folder such as
// "C:\100% Games\" reach the commands unchanged.
std::string EscapeBatchPercent(const std::string& text);
