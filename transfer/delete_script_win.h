#pragma once
#include <string>

// Writes <folder>delete.bat: with swap, the script puts Updater.exe.tmp in
// place of Updater.exe once the updater has exited; either way it starts the
// client and deletes itself. CMyFun::ReplaceSelf picks swap from whether
// Updater.exe.tmp exists; the download engine forces the swap off while it
// rewrites that file.
void WriteDeleteScript(const std::wstring& folder, bool swap);
