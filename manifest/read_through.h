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

// read(buffer, capacity) gives the count read, 0 at the end, below 0 on a
// failure; feed(data, count) takes each piece. False when a read failed;
// everything read before it has been fed.
template <class Read, class Feed>
bool ReadThrough(Read&& read, Feed&& feed, std::vector<char>& buffer) {
  if (buffer.size() < kReadPiece) buffer.resize(kReadPiece);
  for (;;) {
    const long long got = read(buffer.data(), buffer.size());
    if (got < 0) return false;
    if (got == 0) return true;
    feed(buffer.data(), static_cast<std::size_t>(got));
  }
}

// A local manifest line's digest part for a file read through `read`:
// "<md5>\n", or after a failed read "ReadFileWorry\n" and the digest of
// what was read.
template <class Read>
std::string Md5TextOf(Read&& read, std::vector<char>& buffer) {
  Md5 md5;
  const bool whole =
      ReadThrough(read, [&md5](const char* data, std::size_t count) { md5.Update(data, count); }, buffer);
  return (whole ? std::string() : std::string("ReadFileWorry\n")) + Md5::ToHex(md5.Final()) + "\n";
}
