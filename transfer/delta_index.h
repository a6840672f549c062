#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The index that lets a client rebuild a new file from any older copy of it,
// fetching only the bytes it does not hold. The new file is cut into blocks of
// one size (the last may be shorter); for each block the index keeps a weak
// checksum that rolls over a window byte by byte and a stronger one. The
// client slides a window over its old copy and looks each position up.
//
// Bytes (little-endian):
//   "UPDDELT1"                  8 bytes, the form's name and version
//   length                      8 bytes, the new file's length
//   block size                  4 bytes, a power of two from 512 to 1 MiB
//   weak bytes, strong bytes    1 byte each (2..4, 2..8)
//   reserved                    2 bytes, zero
//   then per block: the weak checksum's low weak-bytes bytes, then the strong
//   checksum's low strong-bytes bytes.
//
// Nothing in an index is trusted: a block it claims the old copy holds is only
// a guess that the whole file's MD5 from the signed manifest confirms or not.

constexpr std::uint64_t kDeltaMinLength = 1u << 20;  // smaller files are fetched whole
constexpr std::size_t kDeltaHeaderSize = 24;

// The folder at the top of a release that holds the indexes, each under its
// file's own path ("UpDate.delta\maps\a.pak" for "maps\a.pak"). Serving the
// release serves them; nothing below it is ever a release file.
constexpr wchar_t kDeltaFolder[] = L"UpDate.delta";
// True for a release-relative name (either separator) inside that folder.
bool IsDeltaIndexName(std::wstring_view name);

struct DeltaIndex {
  std::uint64_t length = 0;
  std::uint32_t blockSize = 0;
  std::uint32_t weakBytes = 0;
  std::uint32_t strongBytes = 0;
  std::vector<std::uint8_t> sums;  // (weakBytes + strongBytes) per block

  // Without length + blockSize - 1, which wraps for a length near 2^64.
  std::uint64_t Blocks() const { return length / blockSize + (length % blockSize != 0 ? 1 : 0); }
  std::uint32_t BlockLength(std::uint64_t block) const;
  std::uint32_t Weak(std::uint64_t block) const;
  std::uint64_t Strong(std::uint64_t block) const;
};

// The block size for a file: about 65 536 blocks, at least 1 KiB.
std::uint32_t DeltaBlockSize(std::uint64_t length);

// The rolling checksum over a window of a fixed size (two 16-bit sums, as
// rsync's). Weak() is the 32-bit value an index keeps the low bytes of.
class RollingSum {
 public:
  void Start(const std::uint8_t* data, std::uint32_t size);
  void Roll(std::uint8_t out, std::uint8_t in) {
    m_a = static_cast<std::uint16_t>(m_a - out + in);
    m_b = static_cast<std::uint16_t>(m_b - m_size * out + m_a);
  }
  std::uint32_t Weak() const { return std::uint32_t{m_b} | (std::uint32_t{m_a} << 16); }

 private:
  std::uint16_t m_a = 0;
  std::uint16_t m_b = 0;
  std::uint16_t m_size = 0;  // the window's size modulo 2^16
};

// A fast 64-bit checksum of a block. Not a security measure: only the
// manifest's MD5 decides whether bytes are installed.
std::uint64_t StrongSum(const std::uint8_t* data, std::size_t size);

// Builds an index from the new file's bytes, fed in order in pieces of any
// size; the length must be known first.
class DeltaIndexWriter {
 public:
  explicit DeltaIndexWriter(std::uint64_t length);
  void Add(const void* data, std::size_t size);
  // The index bytes; empty when the bytes fed do not add up to the length.
  std::string Finish();

 private:
  void EndBlock();

  DeltaIndex m_index;
  std::vector<std::uint8_t> m_block;
  std::uint64_t m_fed = 0;
};

// Reads an index; nothing when it is not of the form above, or when its
// length disagrees with expectedLength.
std::optional<DeltaIndex> ParseDeltaIndex(std::string_view bytes, std::uint64_t expectedLength);
// Reads an index whose file length is not known yet.
std::optional<DeltaIndex> ParseDeltaIndex(std::string_view bytes);

// One piece of the new file, in order: taken from the old copy at oldOffset,
// or fetched (oldOffset < 0).
struct DeltaPiece {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  std::int64_t oldOffset = -1;
  bool Held() const { return oldOffset >= 0; }
};

// Reads up to size bytes of the old copy at offset into out; returns how many
// were read (0 at its end or on a failure).
using OldReader = std::function<std::size_t(std::uint64_t offset, std::uint8_t* out, std::size_t size)>;

// Finds which blocks of the new file the old copy holds and where, reading
// the old copy once from start to end (in windows, never whole), and returns
// the new file as pieces in order: neighbouring held blocks that follow each
// other in the old copy make one piece, neighbouring fetched blocks one range.
// stop, when given, is asked now and then; a stopped search returns nothing.
std::vector<DeltaPiece> PlanDelta(const DeltaIndex& index, std::uint64_t oldLength,
                                  const OldReader& read,
                                  const std::function<bool()>& stop = nullptr);

// The bytes the plan fetches.
std::uint64_t FetchedBytes(const std::vector<DeltaPiece>& plan);
