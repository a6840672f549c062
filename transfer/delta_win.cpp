#include "transfer/delta_win.h"

#include <share.h>

#include <algorithm>
#include <functional>
#include <system_error>
#include <thread>
#include <cstdio>
#include <optional>
#include <vector>

#include "engine/handles_win.h"
#include "engine/monitor.h"
#include "engine/separators.h"
#include "engine/stop_signal.h"
#include "manifest/manifest_file.h"
#include "manifest/md5.h"
#include "transfer/body_pipe.h"
#include "transfer/byte_ranges.h"
#include "transfer/delta_index.h"
#include "transfer/download_policy.h"
#include "transfer/temporary_file_win.h"
#include "transfer/url_path.h"

namespace {

// An index past this is not read: a 1 TiB file's index is about 5 MiB.
constexpr DWORD kLargestIndex = 8u << 20;
// A list of up to this many ranges goes in one request (about 1.5 KB of header).
constexpr std::size_t kRangesPerRequest = 64;
// A request after the first asks for at most this many bytes: a few such
// answers are held in memory at once.
constexpr std::uint64_t kBatchBytes = 256u << 10;
constexpr DWORD kRangeReadSize = 1u << 20;
// The first request of a delta asks for at most this much.
constexpr std::size_t kFirstRanges = 2;
constexpr std::uint64_t kFirstBytes = 256u << 10;

// The installed copy, read at offsets and never written.
class OldCopy {
 public:
  explicit OldCopy(const std::wstring& path)
      : m_file(::CreateFileW(ExtendedLengthPath(path).c_str(), GENERIC_READ,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr)) {
    LARGE_INTEGER size{};
    if (m_file && ::GetFileSizeEx(m_file.get(), &size)) m_length = static_cast<std::uint64_t>(size.QuadPart);
  }
  explicit operator bool() const { return static_cast<bool>(m_file); }
  std::uint64_t Length() const { return m_length; }

  std::size_t Read(std::uint64_t offset, std::uint8_t* out, std::size_t size) const {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD read = 0;
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    if (!::ReadFile(m_file.get(), out, want, &read, &at)) return 0;
    return read;
  }

 private:
  UniqueFile m_file;
  std::uint64_t m_length = 0;
};

enum class Exchange { kAdvanced, kNotUnderstood, kBroken };

std::optional<DeltaIndex> FetchIndex(const DeltaContext& context, const std::wstring& url) {
  UrlRequest request = OpenUrlHandle(context.root, url, kAcceptAllHeader, context.stop);
  DWORD status = 0;
  std::uint64_t length = 0;
  if (!request || !QueryStatusCode(request, status) || status != 200 ||
      !QueryContentLength(request, length) || length < kDeltaHeaderSize || length > kLargestIndex) {
    return std::nullopt;
  }
  std::string bytes;
  bytes.reserve(static_cast<std::size_t>(length));
  const BodyResult body = ReadBody(
      request,
      [&](const char* data, DWORD count) {
        context.networkBytes += count;
        if (count > length - bytes.size()) return false;
        bytes.append(data, count);
        return true;
      },
      context.stop);
  if (body != BodyResult::kComplete || bytes.size() != length) return std::nullopt;
  return ParseDeltaIndex(bytes);
}

// Bytes of the new file an answer brought, by their offset in it.
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

void Keep(std::vector<Piece>& pieces, std::uint64_t offset, const char* data, std::size_t size) {
  if (!pieces.empty() && pieces.back().offset + pieces.back().bytes.size() == offset) {
    pieces.back().bytes.append(data, size);
  } else {
    pieces.push_back({offset, std::string(data, size)});
  }
}

// One request for a list of ranges of a file of `length` bytes, and whatever
// the server makes of it: the parts asked for (multipart/byteranges), one
// range only, or, where whole is given, the whole file. Every answer must
// agree with that length (Content-Range totals, Content-Length of a 200):
// an index's length is only a claim until the server confirms it. The parts
// are kept in memory (a request asks for at most kBatchBytes) and written
// once the answer has been read: a long copy from the old copy meanwhile
// would leave the answer unread, and a server may drop the connection.
RangeAnswer FetchRanges(const DeltaContext& context, const std::wstring& url,
                        const std::vector<ByteRange>& ranges, std::uint64_t length, const WholeSink* whole) {
  RangeAnswer answer;
  UrlRequest request = OpenUrlHandle(context.root, url, RangesHeader(ranges), context.stop);
  if (!request) {
    answer.exchange = Exchange::kBroken;
    answer.diagnostic = "OpenUrlFail\n";
    return answer;
  }
  const bool list = ranges.size() > 1;
  DWORD status = 0;
  QueryStatusCode(request, status);
  std::string type, contentRange;
  QueryHeaderText(request, HTTP_QUERY_CONTENT_TYPE, type);
  const auto boundary = status == 206 ? MultipartBoundary(type) : std::nullopt;

  std::optional<MultipartReader> parts;
  std::uint64_t offset = 0;  // of the next body byte, when the body is one piece of the file
  std::uint64_t end = 0;
  ByteRange asked = ranges.front();
  if (status == 200 && whole) {
    std::uint64_t announced = 0;
    if (!QueryContentLength(request, announced) || announced != length) return answer;
    answer.whole = true;
    answer.listRefused = list;
    end = length;
  } else if (status == 206 && boundary) {
    parts.emplace(*boundary, ranges, length);
  } else if (status == 206 && QueryHeaderText(request, HTTP_QUERY_CONTENT_RANGE, contentRange)) {
    const auto range = ParseContentRange(contentRange);
    if (!range || range->total != length || range->range.first > asked.first || range->range.last < asked.last) {
      return answer;
    }
    answer.listRefused = list;
    offset = range->range.first;
    end = range->range.last + 1;
  } else {
    answer.listRefused = list && status == 416;
    return answer;
  }

  bool refused = false;
  const BodyResult body = ReadBody(
      request,
      [&](const char* data, DWORD count) {
        context.networkBytes += count;
        if (count == 0) return true;
        if (parts) {
          refused = !parts->Feed(data, count, [&](std::uint64_t at, const char* bytes, std::size_t size) {
            Keep(answer.pieces, at, bytes, size);
            return true;
          });
        } else if (count > end - offset) {
          refused = true;
        } else if (answer.whole) {
          refused = !(*whole)(data, count);
        } else {
          // A single range answered wider than asked: only what was asked is kept.
          const std::uint64_t from = std::max(offset, asked.first);
          const std::uint64_t to = std::min(offset + count, asked.last + 1);
          if (from < to) Keep(answer.pieces, from, data + (from - offset), static_cast<std::size_t>(to - from));
        }
        offset += count;
        return !refused;
      },
      context.stop, kRangeReadSize);
  if (body == BodyResult::kReadFailed) {
    answer.exchange = Exchange::kBroken;
    answer.diagnostic = "InternetReadFileFail\n";
    return answer;
  }
  const bool complete = parts ? parts->Complete() : offset == end;
  answer.exchange = refused || !complete ? Exchange::kNotUnderstood : Exchange::kAdvanced;
  return answer;
}

// The requests after the first, a few at once: each answer is kept in memory
// and handed over strictly in request order, so the .tmp is still written in
// order by its one writer. Only parts or a single range are taken here; a
// server that turns to answering with the whole file ends the delta, and the
// usual fetch continues the .tmp.
class RangePrefetch {
 public:
  RangePrefetch(const DeltaContext& context, const std::wstring& url, std::uint64_t length,
                std::vector<std::vector<ByteRange>> batches)
      : m_context(context), m_url(url), m_length(length), m_batches(std::move(batches)),
        m_answers(m_batches.size()) {
    const std::size_t threads = std::min(kInFlight, m_batches.size());
    try {
      for (std::size_t i = 0; i < threads; ++i) m_threads.emplace_back([this] { Work(); });
    } catch (const std::system_error&) {
      // Whatever threads there are do the work; with none, Take fetches.
    }
  }
  ~RangePrefetch() {
    {
      Monitor::Hold hold(m_monitor);
      m_ending = true;
    }
    m_monitor.WakeAll();
    for (std::thread& thread : m_threads) thread.join();
  }
  RangePrefetch(const RangePrefetch&) = delete;
  RangePrefetch& operator=(const RangePrefetch&) = delete;

  std::size_t Batches() const { return m_batches.size(); }

  // The answer to request `batch`, waiting for it.
  RangeAnswer Take(std::size_t batch) {
    if (m_threads.empty()) return FetchRanges(m_context, m_url, m_batches[batch], m_length, nullptr);
    Monitor::Hold hold(m_monitor);
    m_taken = batch;
    m_monitor.WakeAll();
    while (!m_answers[batch].done) m_monitor.Wait();
    return std::move(m_answers[batch].answer);
  }

 private:
  static constexpr std::size_t kInFlight = 3;

  struct Slot {
    bool done = false;
    RangeAnswer answer;
  };

  void Work() {
    for (;;) {
      std::size_t batch;
      {
        Monitor::Hold hold(m_monitor);
        // Never more than kInFlight answers ahead of the one being written.
        while (!m_ending && m_next >= std::min(m_batches.size(), m_taken + kInFlight)) m_monitor.Wait();
        if (m_ending || m_next >= m_batches.size()) return;
        batch = m_next++;
      }
      RangeAnswer answer = FetchRanges(m_context, m_url, m_batches[batch], m_length, nullptr);
      {
        Monitor::Hold hold(m_monitor);
        m_answers[batch].answer = std::move(answer);
        m_answers[batch].done = true;
      }
      m_monitor.WakeAll();
    }
  }

  const DeltaContext& m_context;
  const std::wstring& m_url;
  const std::uint64_t m_length;
  const std::vector<std::vector<ByteRange>> m_batches;
  std::vector<Slot> m_answers;
  std::size_t m_next = 0;   // the next request a thread starts
  std::size_t m_taken = 0;  // the request being written
  bool m_ending = false;
  Monitor m_monitor;
  std::vector<std::thread> m_threads;
};

// One rebuild of a new file in its .tmp from the plan, the old copy and the
// server. The steps, in order: the first request, alone, which confirms the
// file's length and shows how the server answers a list of ranges; only then
// is the .tmp begun (Start); the other requests, a few in flight, each
// answer written in order with the held bytes before and between its parts
// (Rest); the held bytes after the last (Finish).
class Rebuild {
 public:
  enum class Step { kGoOn, kNotUsed, kFailed };

  Rebuild(const DeltaContext& context, const std::wstring& url, const std::vector<DeltaPiece>& plan,
          const OldCopy& old, const std::wstring& temporary, const std::wstring& name, std::uint64_t length)
      : m_context(context), m_url(url), m_plan(plan), m_length(length),
        m_read([&old](std::uint64_t offset, std::uint8_t* out, std::size_t size) { return old.Read(offset, out, size); }),
        m_file(temporary, name, context.stop, context.assembled) {}

  DeltaResult Run(KeptPrefix kept) {
    DeltaResult result;
    const auto outcome = [&](Step step) {
      if (step == Step::kFailed) {
        result.outcome = DeltaOutcome::kFailed;  // the .tmp keeps its exact prefix
        result.diagnostic = m_diagnostic ? m_diagnostic : "InternetReadFileFail\n";
      }
      return result;
    };
    Step step = Start(std::move(kept));
    if (step == Step::kGoOn && !m_wholeAnswer) step = Rest();
    if (step == Step::kGoOn && !m_wholeAnswer && !HeldTo(m_length)) step = Stopped();
    const TemporaryFile::Ending ending = m_file.Finish();
    if (step != Step::kGoOn) return outcome(step);
    if (ending.state != TemporaryFile::State::kComplete) return outcome(Step::kNotUsed);
    result.outcome = DeltaOutcome::kAssembled;
    result.digest = ending.digest;
    return result;
  }

 private:
  // A step that could not go on: a stop keeps the prefix for the next run;
  // anything else leaves it to the usual fetch.
  Step Stopped() const { return StopRequested(m_context.stop) ? Step::kFailed : Step::kNotUsed; }

  // The plan's fetched ranges from `from` on, in requests of at most
  // `ranges` ranges (one where the server serves no lists) and `bytes` bytes.
  std::vector<std::vector<ByteRange>> Batches(std::uint64_t from, std::size_t ranges = kRangesPerRequest,
                                              std::uint64_t bytes = kBatchBytes) const {
    std::vector<ByteRange> wanted;
    for (const DeltaPiece& piece : m_plan) {
      if (!piece.Held() && piece.offset + piece.length > from) {
        wanted.push_back({std::max(piece.offset, from), piece.offset + piece.length - 1});
      }
    }
    return RangeBatches(wanted, m_context.listsOfRanges ? ranges : 1, bytes);
  }

  bool Begin(KeptPrefix& kept) {
    if (m_file.Begun()) return true;
    if (!m_file.Begin(m_length, std::move(kept), 0)) {
      m_diagnostic = "OpenFileFail\n";
      return false;
    }
    m_context.length = m_length;
    m_context.answered = true;
    return true;
  }

  Step Start(KeptPrefix kept) {
    if (StopRequested(m_context.stop)) return Step::kFailed;
    const std::uint64_t from = kept.length;
    for (;;) {
      // A short first request: it only has to confirm the length and show
      // how a list is answered, and the rest then arrives while this thread
      // copies the held bytes. With every byte held, one byte is asked for
      // all the same: the server's answer is what confirms the file's length.
      m_batches = Batches(from, kFirstRanges, kFirstBytes);
      const std::vector<ByteRange> first =
          m_batches.empty() ? std::vector<ByteRange>{{m_length - 1, m_length - 1}} : m_batches.front();
      std::uint64_t wholeAt = 0;
      bool beginFailed = false;
      const WholeSink whole = [&](const char* data, std::size_t size) {
        if (!Begin(kept)) {
          beginFailed = true;
          return false;
        }
        const bool put = m_file.Put(wholeAt, data, size);
        wholeAt += size;
        return put;
      };
      RangeAnswer answer = FetchRanges(m_context, m_url, first, m_length, &whole);
      if (answer.listRefused) m_context.listsOfRanges = false;
      if (beginFailed) return Step::kFailed;
      // Parts only arrive after their headers confirmed the length: what
      // came before a broken answer is kept.
      if (!answer.pieces.empty() && !m_batches.empty() && (!Begin(kept) || !Write(answer.pieces))) {
        return m_diagnostic ? Step::kFailed : Stopped();
      }
      if (answer.exchange == Exchange::kBroken) {
        m_diagnostic = answer.diagnostic;
        return Step::kFailed;
      }
      // A list refused with 416: the same ranges again, one per request.
      if (answer.exchange == Exchange::kNotUnderstood && answer.listRefused && !answer.whole) continue;
      if (answer.exchange == Exchange::kNotUnderstood) return Stopped();
      if (answer.whole) {
        m_wholeAnswer = true;
        return Step::kGoOn;
      }
      if (!Begin(kept)) return Step::kFailed;
      if (m_batches.empty()) return Step::kGoOn;  // the one byte asked for is held
      // Written once the other requests are on their way. What the first
      // answer left of its ranges (a list answered with its first range
      // only) goes with the rest.
      const std::uint64_t after =
          answer.pieces.empty() ? from : answer.pieces.back().offset + answer.pieces.back().bytes.size();
      m_first = std::move(answer.pieces);
      m_batches = Batches(after);
      return StopRequested(m_context.stop) ? Step::kFailed : Step::kGoOn;
    }
  }

  Step Rest() {
    RangePrefetch prefetch(m_context, m_url, m_length, std::move(m_batches));
    if (!Write(m_first)) return Stopped();
    for (std::size_t batch = 0; batch < prefetch.Batches(); ++batch) {
      RangeAnswer answer = prefetch.Take(batch);
      if (answer.listRefused) m_context.listsOfRanges = false;
      if (!Write(answer.pieces)) return Stopped();
      if (answer.exchange == Exchange::kBroken) {
        m_diagnostic = answer.diagnostic;
        return Step::kFailed;
      }
      if (answer.exchange == Exchange::kNotUnderstood) return Stopped();
      if (StopRequested(m_context.stop)) return Step::kFailed;
    }
    return Step::kGoOn;
  }

  // An answer's parts, each after the held bytes before it.
  bool Write(const std::vector<Piece>& pieces) {
    for (const Piece& piece : pieces) {
      if (!HeldTo(piece.offset) || !m_file.Put(piece.offset, piece.bytes.data(), piece.bytes.size())) return false;
    }
    return true;
  }

  // Copies what the old copy holds up to target; false at a gap it does not
  // hold, when the old copy cannot be read, or when stopped.
  bool HeldTo(std::uint64_t target) {
    while (m_file.Position() < target) {
      const std::uint64_t at = m_file.Position();
      while (m_piece < m_plan.size() && m_plan[m_piece].offset + m_plan[m_piece].length <= at) ++m_piece;
      if (m_piece == m_plan.size() || !m_plan[m_piece].Held()) return false;
      const DeltaPiece& piece = m_plan[m_piece];
      const std::uint64_t end = std::min(target, piece.offset + piece.length);
      const std::uint64_t from = static_cast<std::uint64_t>(piece.oldOffset) + (at - piece.offset);
      if (!m_file.CopyFrom(m_read, from, end - at)) return false;
    }
    return true;
  }

  const DeltaContext& m_context;
  const std::wstring& m_url;
  const std::vector<DeltaPiece>& m_plan;
  const std::uint64_t m_length;
  const SourceReader m_read;
  TemporaryFile m_file;
  std::vector<std::vector<ByteRange>> m_batches;  // the requests still to go
  std::vector<Piece> m_first;                      // the first answer's, until written
  std::size_t m_piece = 0;                         // the plan's piece at the file's position
  bool m_wholeAnswer = false;
  const char* m_diagnostic = nullptr;
};

}  // namespace

std::wstring DeltaIndexUrl(const std::wstring& updateUrl, const std::wstring& name) {
  return updateUrl + L"UpDate.delta/" + UrlPathOf(name);
}

DeltaResult ReceiveByDelta(const DeltaContext& context, const std::wstring& fileUrl,
                           const std::wstring& indexUrl, const std::wstring& installed,
                           const std::wstring& temporary, const std::wstring& name) {
  DeltaResult result;
  const OldCopy old(installed);
  if (!old || old.Length() < kDeltaMinLength) return result;
  const auto index = FetchIndex(context, indexUrl);
  if (!index || index->length == 0 || StopRequested(context.stop)) return result;

  const OldReader read = [&old](std::uint64_t offset, std::uint8_t* out, std::size_t size) {
    return old.Read(offset, out, size);
  };
  const std::vector<DeltaPiece> plan =
      PlanDelta(*index, old.Length(), read, [&] { return StopRequested(context.stop); });
  if (StopRequested(context.stop) || plan.empty()) return result;
  // With next to nothing held, a whole download costs the same bytes and fewer requests.
  if (FetchedBytes(plan) > index->length / 20 * 19) return result;

  // A prefix an earlier run left is continued, as a whole download would.
  bool stopped = false;
  KeptPrefix kept = ReadKeptPrefix(temporary, context.stop, stopped);
  if (stopped) {
    result.outcome = DeltaOutcome::kFailed;  // the prefix stays as it is
    result.diagnostic = "InternetReadFileFail\n";
    return result;
  }
  if (kept.length > index->length) kept = KeptPrefix();
  return Rebuild(context, fileUrl, plan, old, temporary, name, index->length).Run(std::move(kept));
}
