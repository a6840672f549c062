#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "manifest/manifest_reader.h"
#include "transfer/byte_ranges.h"

// The pack: a release's small files back to back in one file beside the
// manifest, each stored as it is or as one raw deflate stream, so a client
// fetches many of them with one request for a list of its ranges.
//
// "UpDate.pack" holds nothing but the entries' stored bytes, in manifest
// order. "UpDate.pack.ini" says where each lies, in the manifest's code page,
// one line each (TAB after the name, CRLF at the end):
//   UpDate.pack<TAB><the pack's length>
//   <name as the manifest writes it><TAB><offset> <stored size> <length> <codec> <md5>
// codec 0: the file's bytes as they are (stored size = length); 1: raw
// deflate (RFC 1951) of the whole file. md5: the file's digest, as its
// manifest line gives it. Nothing in either is trusted: an entry is only a
// place to look, and the manifest's digest decides what is installed.
constexpr wchar_t kPackName[] = L"UpDate.pack";
constexpr wchar_t kPackTableName[] = L"UpDate.pack.ini";
// "Small": a file up to this long goes in the pack. One request of its own
// costs a round trip, which on a 40 ms link is the time 500 KB take at
// 100 Mbit/s; four connections share that, and larger files fill them.
constexpr std::uint64_t kPackedMaxLength = 128u << 10;
constexpr std::uint8_t kPackStored = 0;
constexpr std::uint8_t kPackDeflated = 1;
// A table past this is not read: some 60 bytes a line, 100,000 files.
constexpr std::uint64_t kLargestPackTable = 8u << 20;

// True for the pack and its table (either case): never release files.
bool IsPackName(std::wstring_view name);

struct PackEntry {
  std::uint64_t offset = 0;
  std::uint64_t stored = 0;
  std::uint64_t length = 0;
  std::uint8_t codec = kPackStored;
  std::wstring digest;  // 32 hex digits, as the table writes them

  std::uint64_t End() const { return offset + stored; }
};

struct PackTable {
  std::uint64_t length = 0;  // the pack's, as the table claims it
  std::map<std::wstring, PackEntry, OrdinalUtf16Less> entries;
};

// The table from its prepared text (PrepareManifestText). Nothing without a
// pack line. An entry whose line does not parse exactly, that ends past the
// pack, is empty or longer than kPackedMaxLength, whose stored size does not
// fit its codec, or whose name is listed twice, is left out: those files are
// fetched by their own names.
std::optional<PackTable> ReadPackTable(const std::wstring& preparedText);

// Whether the entry names the file the manifest's digest text describes (an
// entry of another release does not); upper- and lower-case digits alike.
bool EntryMatchesManifest(const PackEntry& entry, const std::wstring& manifestDigest);

// The text after the TAB of an entry's line, and of the pack's line.
std::string PackEntryText(const PackEntry& entry);
std::string PackLengthText(std::uint64_t length);

// One request's worth of entries, added in the download list's order while
// they fit: at most kPackBatchFiles files and kPackBatchBytes stored bytes,
// in at most kPackBatchRanges ranges (one, where the server answers a list
// with one range). Entries that lie next to each other, or within
// kRangeGap bytes, share a range.
class PackBatch {
 public:
  static constexpr std::size_t kPackBatchFiles = 256;
  static constexpr std::uint64_t kPackBatchBytes = 1u << 20;
  static constexpr std::size_t kPackBatchRanges = 64;
  static constexpr std::uint64_t kRangeGap = 100;

  explicit PackBatch(bool listsOfRanges) : m_mostRanges(listsOfRanges ? kPackBatchRanges : 1) {}
  // False, and nothing added, when the entry does not fit (the first always does).
  bool Add(const PackEntry& entry);
  // The ranges of the pack to ask for, in order, apart.
  const std::vector<ByteRange>& Ranges() const { return m_ranges; }
  std::size_t Files() const { return m_files; }

 private:
  static std::vector<ByteRange> Merged(std::vector<ByteRange> spans);

  std::size_t m_mostRanges;
  std::vector<ByteRange> m_spans;  // each entry's, as added
  std::vector<ByteRange> m_ranges;
  std::uint64_t m_bytes = 0;
  std::size_t m_files = 0;
};

// An entry's file from the bytes an answer brought for it (exactly its
// stored size): nothing when they do not decode to exactly its length.
std::optional<std::string> UnpackEntry(const PackEntry& entry, std::string_view stored);
