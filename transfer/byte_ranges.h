#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Ranges of a file's bytes as HTTP asks for them and answers them: closed
// intervals, a request header built from a list of them, and the answers a
// server may give to a list (RFC 9110, section 14).

struct ByteRange {
  std::uint64_t first = 0;
  std::uint64_t last = 0;  // inclusive
  std::uint64_t Length() const { return last - first + 1; }
  bool operator==(const ByteRange& other) const { return first == other.first && last == other.last; }
};

// "Range: bytes=a-b,c-d\r\n\r\n" for a non-empty list.
std::wstring RangesHeader(const std::vector<ByteRange>& ranges);
// "Range: bytes=first-\r\n\r\n": the file from first to its end.
std::wstring RestOfFileHeader(std::uint64_t first);

// A Content-Length value: one decimal number (blanks around it allowed).
std::optional<std::uint64_t> ParseContentLength(std::string_view value);

// The ranges in order, cut into requests of at most maxRanges ranges and
// maxBytes bytes each (a longer range is split across requests).
std::vector<std::vector<ByteRange>> RangeBatches(const std::vector<ByteRange>& ranges,
                                                 std::size_t maxRanges, std::uint64_t maxBytes);

// A Content-Range value "bytes first-last/total" (a total of "*" is not one:
// the updater needs the file's length).
struct ContentRange {
  ByteRange range;
  std::uint64_t total = 0;
};
std::optional<ContentRange> ParseContentRange(std::string_view value);
// Whether an answer of that range continues a file whose first `offset`
// bytes are kept: it starts there and runs to the file's end.
bool ContinuesFileAt(const ContentRange& answer, std::uint64_t offset);

// The boundary of a "multipart/byteranges; boundary=..." content type; nothing
// for any other type.
std::optional<std::string> MultipartBoundary(std::string_view contentType);

// Takes a multipart/byteranges body as it arrives and hands on each part's
// bytes with their offset in the file. The parts must be exactly the ranges
// asked for, in order, each of a file of the given total length; anything
// else (another range, a merged range, a malformed part) fails the body, and
// no byte of a part is handed on before its headers were checked.
//   MultipartReader reader(boundary, ranges, total);
//   ok = reader.Feed(data, n, sink) ...; ok = ok && reader.Complete();
class MultipartReader {
 public:
  using Sink = std::function<bool(std::uint64_t offset, const char* data, std::size_t size)>;

  MultipartReader(std::string boundary, std::vector<ByteRange> expected, std::uint64_t total);
  bool Feed(const char* data, std::size_t size, const Sink& sink);
  bool Complete() const { return m_state == State::kEnd; }

 private:
  enum class State { kDelimiter, kHeaders, kBody, kEnd, kFailed };
  bool Line(std::string_view line);

  std::string m_boundary;
  std::vector<ByteRange> m_expected;
  std::uint64_t m_total;
  State m_state = State::kDelimiter;
  std::string m_line;
  std::size_t m_part = 0;
  bool m_rangeSeen = false;
  std::uint64_t m_offset = 0;
  std::uint64_t m_remaining = 0;
};
