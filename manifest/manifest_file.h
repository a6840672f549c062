#pragma once
#include <string>
#include <vector>

#include "manifest/md5.h"

// Reads a manifest file back as prepared text: text mode turns CR LF into LF
// and ends the text at a 0x1A byte, a NUL ends it too, the bytes are taken in
// the thread's ANSI code page, and the whole text is trimmed with one LF
// appended. A missing file is created empty. False on any open or read
// error, so a partial text never reaches a comparison.
bool ReadManifestFile(const std::wstring& path, std::wstring& text);

// Feeds a whole file to md5; false when it cannot be read.
bool AddFileToMd5(const std::wstring& path, Md5& md5);

// What a local manifest line holds after the file's name: "<md5>\n", or the
// words of the steps that failed ("CalculateMd5Worry\n" when the file cannot
// be opened). scratch is a read buffer the caller may reuse between files.
std::string FileDigestText(const std::wstring& path, std::vector<char>& scratch);
