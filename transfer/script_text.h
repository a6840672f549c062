#pragma once
#include <string>
#include <vector>

// The lines of delete.bat, without line ends. withSwap picks the variant that
// moves Updater.exe.tmp over Updater.exe, retrying for a bounded time, before
// starting the client.
//
// No line holds the installation folder: every file is named through "%~dp0",
// the folder of the script itself, which cmd expands from its own Unicode
// command line. cmd reads a batch file's bytes in the console's OEM code page,
// and the updater could only write the folder in the ANSI one; outside the
// Chinese code page the two differ (1252 and 850 in Western Europe), and a
// folder such as "C:\Jeux\Société\" would be misread. ASCII lines read the
// same in every code page.
std::vector<std::string> DeleteScriptLines(bool withSwap);
