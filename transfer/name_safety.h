#pragma once
#include <string>
#include <string_view>

// True when a name from the server manifest stays inside the installation
// folder and names an ordinary file there: no empty, "." or ".." component, no
// root, drive, UNC or device prefix, no ":" (streams), no reserved device name
// (CON, NUL, COM1, ... with or without extension), no component ending in a
// dot or a space, no control or wildcard characters. "/" counts as a
// separator because Windows treats it as one.
bool IsSafeRelativeName(const std::wstring& name);

// True when a release-relative name (either separator, any letter case) is one
// of the files the updater keeps in its installation folder for itself:
// installed from a release, it would overwrite the updater's own state. Every
// ".tmp" name counts ("a.bin.tmp" is a.bin on its way in), and so does
// everything below the folders UpDate.delta and Updater.old. Updater.exe is an
// ordinary release file: it is how the updater updates itself.
bool IsUpdaterOwnName(const std::wstring& name);

// Whether text begins with start, ASCII letters compared without case: how
// the clients' disks, and many servers, compare the names a release keeps
// for its own files (UpDate.delta, UpDate.frames, UpDate.pack).
bool StartsWithIgnoringAsciiCase(std::wstring_view text, std::wstring_view start);

// The name's place below the installation folder: "/" becomes "\", which
// extended-length paths (past MAX_PATH) and the folder creation need. The
// manifest's own spelling stays for the URL and the row.
std::wstring LocalPathOf(const std::wstring& name);
