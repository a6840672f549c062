#pragma once
#include <string>
#include <vector>

#include "manifest/md5.h"

class StopSignal;

// Reads a manifest file back as prepared text: text mode turns CR LF into LF
// and ends the text at a 0x1A byte, a NUL ends it too, the bytes are taken in
// the thread's ANSI code page, and the whole text is trimmed with one LF
// appended. A missing file is created empty. False on any open or read
// error, so a partial text never reaches a comparison.
bool ReadManifestFile(const std::wstring& path, std::wstring& text);

// Feeds a whole file to md5; false when it cannot be read or the stop came
// before its end (md5 then holds part of the file only).
bool AddFileToMd5(const std::wstring& path, Md5& md5, const StopSignal* stop = nullptr);

// What a local manifest line holds after the file's name: "<md5>\n", or the
// words of the steps that failed ("CalculateMd5Worry\n" when the file cannot
// be opened). scratch is a read buffer the caller may reuse between files.
// A stop ends the read at the next piece; the text is then not a digest.
std::string FileDigestText(const std::wstring& path, std::vector<char>& scratch,
                           const StopSignal* stop = nullptr);
