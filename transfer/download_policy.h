#pragma once
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <utility>

#include "transfer/byte_ranges.h"

// The download's decisions that need no network: what an answer means, which
// bytes to ask for, whether a received file passes its digest, what a row
// says, where the bar stands and how fast the run goes.

// The one-byte range probe at the start of a run.
enum class ProbeVerdict {
  kResume,     // 206, or 416 for a file of 0 or 1 bytes: partial files are continued
  kWhole,      // 200: the server ignores ranges, every file is fetched whole
  kMissing,    // 404: the run fails before anything is touched
  kUndecided,  // anything else (a passing 5xx): partial files are still asked by range
};
ProbeVerdict ProbeVerdictOf(unsigned long status);

// "Range: bytes=<offset>-" when a range is asked for (0 included: resume mode
// with nothing kept yet), else "Accept: */*".
std::wstring RequestHeader(bool askRange, std::uint64_t offset);

// The headers of the answer to a file's request that decide what its body is.
struct FileAnswer {
  unsigned long status = 0;
  std::uint64_t contentLength = 0;
  std::optional<ContentRange> contentRange;
};

// What to do with the answer to a file's request.
enum class AnswerUse {
  kWriteWhole,       // 200 asked from 0: the body is the file
  kRewriteWhole,     // 200 to a range: the server sent the whole file, start the copy over
  kAppend,           // 206 continuing the kept prefix to the file's end
  kAskAgainFromZero, // the first time: 416, or a 206 that does not continue the prefix
  kRefuse,           // anything else is an error page and is never installed
};
struct AnswerDecision {
  AnswerUse use = AnswerUse::kRefuse;
  std::uint64_t fileLength = 0;  // the whole file's, where the body is written
};
// A 206 continues the file only when its Content-Range starts at the offset
// asked for, runs to the file's end and agrees with its Content-Length: a
// proxy that answers another range would otherwise leave a .tmp that is no
// prefix of the file.
AnswerDecision DecideAnswer(const FileAnswer& answer, bool askedRange, std::uint64_t offset,
                            bool firstAttempt);

// The digest check of a received file against the server manifest's entry.
enum class DigestVerdict { kMatches, kDiffers, kUnchecked };
// Whether a manifest's digest text can check a file: exactly 32 hex digits.
// A file whose entry cannot check it is never fetched nor installed.
bool IsCheckableDigest(const std::wstring* expected);
// expected is the manifest's text (null when the manifest has no entry);
// actual the lowercase hex of the received bytes. An entry that is not 32 hex
// digits cannot be checked; upper-case digits compare as lower-case.
DigestVerdict DigestVerdictOf(const std::wstring* expected, const std::string& actual);
// A resumed file that misses its digest most likely continued a partial file
// of another release: it is received once more from zero.
inline bool FetchAgainFromZero(DigestVerdict verdict, bool resumed) {
  return verdict == DigestVerdict::kDiffers && resumed;
}

// Whether a received file's data is forced to the disk before it is renamed
// into place, so a power cut cannot leave its name over zeros: large files
// (the flush costs little beside their transfer) and programs and libraries
// (which the client loads before any check could notice). A small data file
// is not: a flush costs a few ms each (5 000 files: 0.4 s become 18 s here),
// and a damaged one misses its digest at the next check and is fetched again.
bool FlushBeforeInstall(const std::wstring& name, std::uint64_t length);

// The final text of a row: the sizes, or "文件下载失败".
std::wstring RowEndText(bool failed, std::uint64_t received, std::uint64_t reported);

// Two names that one case-insensitive file system holds as one file: such
// entries share their temporary file and must not be received at once.
std::wstring TemporaryKey(const std::wstring& name);

// The bar over a run with several files in flight: every finished file counts
// done*10000/total, every file in flight its received share of 10000/total.
// The position never runs backwards (a file that starts over from zero keeps
// the bar where it was) and never passes 10000.
class RunBar {
 public:
  static constexpr int kRange = 10000;
  explicit RunBar(int total) : m_total(total) {}

  // The share of a file in flight, in bar units; a reported 0 counts as 1.
  std::uint64_t InFlightShare(std::uint64_t received, std::uint64_t reported) const;
  // The position for done finished files plus the sum of in-flight shares.
  int Show(int done, std::uint64_t inFlight);
  int Position() const { return m_shown; }

 private:
  int m_total;
  int m_shown = 0;
};

// The receive rate of the whole run over about the last second: samples of
// the run's byte count at millisecond ticks (which may wrap around).
class RunRate {
 public:
  static constexpr std::uint32_t kWindowMs = 1000;

  void Add(std::uint32_t nowMs, std::uint64_t totalBytes);
  // Bytes and milliseconds over the window that ends at the last sample, for
  // SpeedText; before two samples, nothing.
  std::pair<std::uint64_t, std::uint32_t> Window() const;

 private:
  std::deque<std::pair<std::uint32_t, std::uint64_t>> m_samples;
};
