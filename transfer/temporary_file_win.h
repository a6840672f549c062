#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

// What the download's two ways of filling a <name>.tmp (a whole body, a delta
// rebuild) both need of the file.

// Its length; 0 when there is none or it cannot be read.
std::uint64_t TemporaryLength(const std::wstring& path);

// Writes what the stream still buffers and has the system put the file's
// data on the disk, so a rename after it cannot leave the name over zeros.
bool FlushStreamToDisk(std::FILE* stream);
