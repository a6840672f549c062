#pragma once
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

// What the download's two ways of filling a <name>.tmp (a whole body, a delta
// rebuild) both need of the file.

// Its length; 0 when there is none or it cannot be read.
std::uint64_t TemporaryLength(const std::wstring& path);

// Writes what the stream still buffers and has the system put the file's
// data on the disk, so a rename after it cannot leave the name over zeros.
bool FlushStreamToDisk(std::FILE* stream);

// For a BodyPipe's settle: has the system put what the file at path holds
// so far on the disk. It flushes through a handle of its own, since on
// Windows a flush on the writer's synchronous handle holds up its writes
// until it is done. Null when no such handle can be had (the flush before
// the rename then does it all); the handle closes with the last copy.
std::function<void()> FlushAside(const std::wstring& path);
