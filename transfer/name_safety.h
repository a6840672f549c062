#pragma once
#include <string>

// True when a name from the server manifest stays inside the installation
// folder and names an ordinary file there: no empty, "." or ".." component, no
// root, drive, UNC or device prefix, no ":" (streams), no reserved device name
// (CON, NUL, COM1, ... with or without extension), no component ending in a
// dot or a space, no control or wildcard characters. "/" counts as a
// separator because Windows treats it as one.
bool IsSafeRelativeName(const std::wstring& name);

// The name's place below the installation folder: "/" becomes "\", which
// extended-length paths (past MAX_PATH) and the folder creation need. The
// manifest's own spelling stays for the URL and the row.
std::wstring LocalPathOf(const std::wstring& name);
