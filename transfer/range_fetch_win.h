#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "check/http_win.h"
#include "transfer/byte_ranges.h"

class StopSignal;

// The run's connection a request for ranges goes out on, and its count of
// the bytes received.
struct RangeLink {
  const InternetHandle& root;
  StopSignal* stop;
  std::atomic<std::uint64_t>& networkBytes;
};

enum class Exchange { kAdvanced, kNotUnderstood, kBroken };

// Bytes of the file an answer brought, by their offset in it.
struct Piece {
  std::uint64_t offset;
  std::string bytes;
};

// What one request for a list of ranges brought.
struct RangeAnswer {
  Exchange exchange = Exchange::kNotUnderstood;
  std::vector<Piece> pieces;  // only bytes that were asked for
  bool whole = false;         // the whole file went to the whole sink
  // The list was answered with one range, the whole file or 416: from now
  // on one range per request, as such a server serves.
  bool listRefused = false;
  const char* diagnostic = nullptr;
};

// Takes the whole file's bytes from its first on, in order.
using WholeSink = std::function<bool(const char* data, std::size_t size)>;

// Appends bytes at offset to pieces, joining the last piece where they follow it.
void Keep(std::vector<Piece>& pieces, std::uint64_t offset, const char* data, std::size_t size);

// One request for a list of ranges of a file of `length` bytes, and whatever
// the server makes of it: the parts asked for (multipart/byteranges), one
// range only, or, where whole is given, the whole file. Every answer must
// agree with that length (Content-Range totals, Content-Length of a 200):
// an index's length is only a claim until the server confirms it. The parts
// are kept in memory (callers ask for 1 MiB at most) and written
// once the answer has been read: a long copy from the old copy meanwhile
// would leave the answer unread, and a server may drop the connection.
RangeAnswer FetchRanges(const RangeLink& link, const std::wstring& url,
                        const std::vector<ByteRange>& ranges, std::uint64_t length, const WholeSink* whole);
