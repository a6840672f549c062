#pragma once
#include <string>

// Gives a non-empty URL a trailing "/" and a non-empty folder a trailing "\",
// each only when missing, so applying it twice changes nothing. Callers that
// need one of the two pass an empty string for the other.
void AddTrailingSeparators(std::wstring& folder, std::wstring& url);

// The folder part of a full path: everything before its last backslash, or
// empty when it holds none ("Error" from GetAppPath gives an empty folder).
std::wstring FolderOfPath(const std::wstring& path);

// The form of an absolute path that the file APIs accept beyond MAX_PATH:
// "\\?\" before a drive path, "\\?\UNC\" for a share. Shorter paths, relative
// paths and paths that already carry a prefix come back unchanged, so names
// written into files never carry the prefix.
std::wstring ExtendedLengthPath(const std::wstring& path);
