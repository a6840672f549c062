#pragma once
// The one loop that reads a file through a hash. Whoever reads the file (the
// Win32 calls in the updater, stdio in the publisher's tool) stays behind
// `read`; the hash behind `feed`.
#include <cstddef>
#include <string>
#include <vector>

#include "manifest/md5.h"

// Pieces this large keep the calls per byte few; memory stays one piece per
// reader whatever the file's size.
inline constexpr std::size_t kReadPiece = 1 << 20;

// For readers nobody stops.
struct NeverStopped {
  bool operator()() const { return false; }
};

// read(buffer, capacity) gives the count read, 0 at the end, below 0 on a
// failure; feed(data, count) takes each piece. False when a read failed or
// stopped() said so before a piece; everything read before has been fed.
// Asked once a piece: a stop waits for one piece, never for a whole file.
template <class Read, class Feed, class Stopped = NeverStopped>
bool ReadThrough(Read&& read, Feed&& feed, std::vector<char>& buffer, Stopped&& stopped = Stopped()) {
  if (buffer.size() < kReadPiece) buffer.resize(kReadPiece);
  for (;;) {
    if (stopped()) return false;
    const long long got = read(buffer.data(), buffer.size());
    if (got < 0) return false;
    if (got == 0) return true;
    feed(buffer.data(), static_cast<std::size_t>(got));
  }
}

// A local manifest line's digest part for a file read through `read`:
// "<md5>\n", or after a failed read "ReadFileWorry\n" and the digest of
// what was read. A stopped read gives the same words; a stopped walk writes
// nothing of it anywhere.
template <class Read, class Stopped = NeverStopped>
std::string Md5TextOf(Read&& read, std::vector<char>& buffer, Stopped&& stopped = Stopped()) {
  Md5 md5;
  const bool whole = ReadThrough(
      read, [&md5](const char* data, std::size_t count) { md5.Update(data, count); }, buffer, stopped);
  return (whole ? std::string() : std::string("ReadFileWorry\n")) + Md5::ToHex(md5.Final()) + "\n";
}
