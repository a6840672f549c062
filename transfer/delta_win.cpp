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
constexpr std::uint64_t kBatchBytes = 2u << 20;
constexpr DWORD kRangeReadSize = 1u << 20;

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

// The one writer of the .tmp: the new file's bytes strictly in order, written
// and hashed on the body pipe's threads while this one reads the old copy
// and the network. Bytes it is handed that lie before its position are
// passed over (a server may send more than was asked for); a gap before them
// is filled from the old copy, where the plan says the old copy holds it.
class Assembler {
 public:
  Assembler(BodyPipe& out, const OldCopy& old, const std::vector<DeltaPiece>& plan,
            std::uint64_t start, std::atomic<std::uint64_t>& shown)
      : m_out(out), m_old(old), m_plan(plan), m_position(start), m_shown(shown) {}

  std::uint64_t Position() const { return m_position; }

  bool Put(std::uint64_t offset, const char* data, std::size_t size) {
    if (offset + size <= m_position) return true;
    if (offset < m_position) {
      const std::size_t skip = static_cast<std::size_t>(m_position - offset);
      data += skip;
      size -= skip;
      offset = m_position;
    }
    if (offset > m_position && !HeldTo(offset)) return false;
    return Write(data, size);
  }

  // Copies what the old copy holds up to target; false at a gap it does not hold.
  bool HeldTo(std::uint64_t target) {
    while (m_position < target) {
      while (m_piece < m_plan.size() && m_plan[m_piece].offset + m_plan[m_piece].length <= m_position) {
        ++m_piece;
      }
      if (m_piece == m_plan.size() || !m_plan[m_piece].Held()) return false;
      const DeltaPiece& piece = m_plan[m_piece];
      const std::uint64_t end = std::min(target, piece.offset + piece.length);
      // Read straight into the pipe's chunk: no copy on the way.
      const BodyPipe::Room room = m_out.NextRoom();
      if (!room.data) return false;
      const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(end - m_position, room.size));
      const std::uint64_t from = static_cast<std::uint64_t>(piece.oldOffset) + (m_position - piece.offset);
      if (m_old.Read(from, reinterpret_cast<std::uint8_t*>(room.data), take) != take) return false;
      if (!m_out.Filled(take)) return false;
      Advance(take);
    }
    return true;
  }

 private:
  bool Write(const char* data, std::size_t size) {
    if (size > 0 && !m_out.Put(data, size)) return false;
    Advance(size);
    return true;
  }
  void Advance(std::size_t size) {
    m_position += size;
    m_shown = m_position;
  }

  BodyPipe& m_out;
  const OldCopy& m_old;
  const std::vector<DeltaPiece>& m_plan;
  std::uint64_t m_position;
  std::atomic<std::uint64_t>& m_shown;
  std::size_t m_piece = 0;
};

enum class Exchange { kAdvanced, kNotUnderstood, kBroken };

std::optional<DeltaIndex> FetchIndex(const DeltaContext& context, const std::wstring& url) {
  UrlRequest request = OpenUrlHandle(context.root, url, kAcceptAllHeader, context.stop);
  DWORD status = 0, length = 0;
  if (!request || !QueryStatusCode(request, status) || status != 200 ||
      !QueryContentLength(request, length) || length < kDeltaHeaderSize || length > kLargestIndex) {
    return std::nullopt;
  }
  std::string bytes;
  bytes.reserve(length);
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

// Where an answer's bytes go, by their offset in the new file.
using RangeSink = std::function<bool(std::uint64_t offset, const char* data, std::size_t size)>;

// One request for a list of ranges, and whatever the server makes of it: the
// parts asked for (multipart/byteranges), one range only, or, where
// wholeAnswer allows it, the whole file.
Exchange FetchRanges(const DeltaContext& context, const std::wstring& url,
                     const std::vector<ByteRange>& ranges, std::uint64_t length, bool wholeAnswer,
                     const RangeSink& sink, const char*& diagnostic) {
  UrlRequest request = OpenUrlHandle(context.root, url, RangesHeader(ranges), context.stop);
  if (!request) {
    diagnostic = "OpenUrlFail\n";
    return Exchange::kBroken;
  }
  DWORD status = 0;
  QueryStatusCode(request, status);
  std::string type, contentRange;
  QueryHeaderText(request, HTTP_QUERY_CONTENT_TYPE, type);
  const auto boundary = status == 206 ? MultipartBoundary(type) : std::nullopt;

  std::optional<MultipartReader> parts;
  std::uint64_t offset = 0;  // of the next body byte, when the body is one piece of the file
  std::uint64_t end = 0;
  if (status == 200 && wholeAnswer) {
    DWORD announced = 0;
    if (!QueryContentLength(request, announced) || announced != length) return Exchange::kNotUnderstood;
    end = length;  // the whole file: use it
  } else if (status == 206 && boundary) {
    parts.emplace(*boundary, ranges, length);
  } else if (status == 206 && QueryHeaderText(request, HTTP_QUERY_CONTENT_RANGE, contentRange)) {
    const auto answer = ParseContentRange(contentRange);
    if (!answer || answer->total != length || answer->range.first > ranges.front().first ||
        answer->range.last < ranges.front().last) {
      return Exchange::kNotUnderstood;
    }
    // A list answered with one range: go on with one range per request.
    if (ranges.size() > 1) context.listsOfRanges = false;
    offset = answer->range.first;
    end = answer->range.last + 1;
  } else {
    return Exchange::kNotUnderstood;
  }

  bool refused = false;
  const BodyResult body = ReadBody(
      request,
      [&](const char* data, DWORD count) {
        context.networkBytes += count;
        if (count == 0) return true;
        if (parts) {
          refused = !parts->Feed(data, count, sink);
        } else {
          refused = count > end - offset || !sink(offset, data, count);
          offset += count;
        }
        return !refused;
      },
      context.stop, kRangeReadSize);
  if (body == BodyResult::kReadFailed) {
    diagnostic = "InternetReadFileFail\n";
    return Exchange::kBroken;
  }
  const bool whole = parts ? parts->Complete() : offset == end;
  return refused || !whole ? Exchange::kNotUnderstood : Exchange::kAdvanced;
}

// The requests after the first, a few at once: each answer is kept in memory
// (a request asks for at most kBatchBytes) and handed over strictly in
// request order, so the .tmp is still written in order by one writer. Only
// parts or a single range are taken here; a server that turns to answering
// with the whole file ends the delta, and the usual fetch continues the .tmp.
class RangePrefetch {
 public:
  struct Piece {
    std::uint64_t offset;
    std::string bytes;
  };

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
  Exchange Take(std::size_t batch, std::vector<Piece>& pieces, const char*& diagnostic) {
    if (m_threads.empty()) {
      Answer answer = Fetch(batch);
      pieces = std::move(answer.pieces);
      diagnostic = answer.diagnostic;
      return answer.exchange;
    }
    Monitor::Hold hold(m_monitor);
    m_taken = batch;
    m_monitor.WakeAll();
    while (!m_answers[batch].done) m_monitor.Wait();
    Answer& answer = m_answers[batch];
    pieces = std::move(answer.pieces);
    diagnostic = answer.diagnostic;
    return answer.exchange;
  }

 private:
  static constexpr std::size_t kInFlight = 3;

  struct Answer {
    bool done = false;
    Exchange exchange = Exchange::kNotUnderstood;
    std::vector<Piece> pieces;
    const char* diagnostic = nullptr;
  };

  Answer Fetch(std::size_t batch) const {
    Answer answer;
    const std::vector<ByteRange>& ranges = m_batches[batch];
    std::uint64_t asked = 0;
    for (const ByteRange& range : ranges) asked += range.Length();
    std::uint64_t kept = 0;
    answer.exchange = FetchRanges(
        m_context, m_url, ranges, m_length, false,
        [&](std::uint64_t offset, const char* data, std::size_t size) {
          // A single range answered wider than asked is not kept past what was asked.
          if (size > asked - kept) return false;
          kept += size;
          if (!answer.pieces.empty() &&
              answer.pieces.back().offset + answer.pieces.back().bytes.size() == offset) {
            answer.pieces.back().bytes.append(data, size);
          } else {
            answer.pieces.push_back({offset, std::string(data, size)});
          }
          return true;
        },
        answer.diagnostic);
    answer.done = true;
    return answer;
  }

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
      Answer answer = Fetch(batch);
      {
        Monitor::Hold hold(m_monitor);
        m_answers[batch] = std::move(answer);
      }
      m_monitor.WakeAll();
    }
  }

  const DeltaContext& m_context;
  const std::wstring& m_url;
  const std::uint64_t m_length;
  const std::vector<std::vector<ByteRange>> m_batches;
  std::vector<Answer> m_answers;
  std::size_t m_next = 0;   // the next request a thread starts
  std::size_t m_taken = 0;  // the request being written
  bool m_ending = false;
  Monitor m_monitor;
  std::vector<std::thread> m_threads;
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
  if (!index || StopRequested(context.stop)) return result;

  const OldReader read = [&old](std::uint64_t offset, std::uint8_t* out, std::size_t size) {
    return old.Read(offset, out, size);
  };
  const std::vector<DeltaPiece> plan =
      PlanDelta(*index, old.Length(), read, [&] { return StopRequested(context.stop); });
  if (StopRequested(context.stop) || (plan.empty() && index->length > 0)) return result;
  // With next to nothing held, a whole download costs the same bytes and fewer requests.
  if (FetchedBytes(plan) > index->length / 20 * 19) return result;

  // A prefix an earlier run left is continued, as a whole download would.
  std::uint64_t start = TemporaryLength(temporary);
  Md5 md5;
  if (start > index->length || (start > 0 && !AddFileToMd5(temporary, md5, context.stop))) {
    if (StopRequested(context.stop)) {
      result.outcome = DeltaOutcome::kFailed;  // the prefix stays as it is
      return result;
    }
    start = 0;
    md5 = Md5();
  }
  UniqueStream out(::_wfsopen(ExtendedLengthPath(temporary).c_str(), start > 0 ? L"ab" : L"wb",
                              _SH_DENYNO));
  if (!out) {
    result.outcome = DeltaOutcome::kFailed;
    result.diagnostic = "OpenFileFail\n";
    return result;
  }
  context.length = index->length;
  context.assembled = start;
  context.answered = true;
  // Declared after the file: on every way out it finishes first, so what
  // was handed to it is in the .tmp, in order, before the file is closed.
  const bool flushed = FlushBeforeInstall(name, index->length);
  BodyPipe pipe(out.get(), md5, flushed ? FlushAside(temporary) : nullptr);
  Assembler assembler(pipe, old, plan, start, context.assembled);

  std::vector<ByteRange> wanted;
  for (const DeltaPiece& piece : plan) {
    if (!piece.Held() && piece.offset + piece.length > start) {
      wanted.push_back({std::max(piece.offset, start), piece.offset + piece.length - 1});
    }
  }
  const auto failed = [&](const char* diagnostic) {
    result.outcome = DeltaOutcome::kFailed;  // the .tmp keeps its exact prefix
    result.diagnostic = diagnostic;
    return result;
  };
  const RangeSink toTmp = [&](std::uint64_t at, const char* data, std::size_t size) {
    return assembler.Put(at, data, size);
  };
  // The first request learns what the server makes of a list of ranges
  // (the whole file, in the worst case, is written as it arrives).
  if (StopRequested(context.stop)) return failed("InternetReadFileFail\n");
  if (!wanted.empty()) {
    const std::size_t count = context.listsOfRanges ? std::min(kRangesPerRequest, wanted.size()) : 1;
    const std::vector<ByteRange> first(wanted.begin(), wanted.begin() + static_cast<std::ptrdiff_t>(count));
    const char* diagnostic = nullptr;
    const std::uint64_t before = assembler.Position();
    const Exchange exchange = FetchRanges(context, fileUrl, first, index->length, true, toTmp, diagnostic);
    if (exchange == Exchange::kBroken) return failed(diagnostic);
    // An answer not understood leaves an exact prefix for the usual fetch to continue.
    if (exchange == Exchange::kNotUnderstood || assembler.Position() <= before) return result;
    if (StopRequested(context.stop)) return failed("InternetReadFileFail\n");
  }
  std::vector<ByteRange> rest;
  for (ByteRange range : wanted) {
    if (range.last < assembler.Position()) continue;
    range.first = std::max(range.first, assembler.Position());
    rest.push_back(range);
  }
  if (!rest.empty()) {
    RangePrefetch prefetch(context, fileUrl, index->length,
                           RangeBatches(rest, context.listsOfRanges ? kRangesPerRequest : 1, kBatchBytes));
    for (std::size_t batch = 0; batch < prefetch.Batches(); ++batch) {
      std::vector<RangePrefetch::Piece> pieces;
      const char* diagnostic = nullptr;
      const Exchange exchange = prefetch.Take(batch, pieces, diagnostic);
      if (exchange == Exchange::kBroken) return failed(diagnostic);
      if (exchange == Exchange::kNotUnderstood) return result;
      for (const RangePrefetch::Piece& piece : pieces) {
        if (!assembler.Put(piece.offset, piece.bytes.data(), piece.bytes.size())) return result;
      }
      if (StopRequested(context.stop)) return failed("InternetReadFileFail\n");
    }
  }
  if (!assembler.HeldTo(index->length) || !pipe.Finish()) return result;
  if (flushed && !FlushStreamToDisk(out.get())) return result;
  if (std::fclose(out.release()) != 0) return result;
  result.outcome = DeltaOutcome::kAssembled;
  result.digest = Md5::ToHex(md5.Final());
  return result;
}
