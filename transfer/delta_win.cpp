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
#include "transfer/frames.h"
#include "transfer/frames_win.h"
#include "transfer/range_fetch_win.h"
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
// The first request of a delta asks for at most this much.
constexpr std::size_t kFirstRanges = 2;
constexpr std::uint64_t kFirstBytes = 256u << 10;
// A request for frames decodes to at most this much, whatever the table
// claims of its stored sizes.
constexpr std::uint64_t kBatchDecoded = 1u << 20;
// Below this many missing bytes the form's head is not worth a request.
constexpr std::uint64_t kFramesFrom = 128u << 10;

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

std::optional<DeltaIndex> FetchIndex(const DeltaContext& context, const std::wstring& url) {
  const auto bytes = FetchSmallBody(context.root, url, kLargestIndex, context.stop, context.networkBytes);
  if (!bytes || bytes->size() < kDeltaHeaderSize) return std::nullopt;
  return ParseDeltaIndex(*bytes);
}

// The form of the file, where its list names one and its table agrees with
// the index's length.
struct ServedFrames {
  const std::wstring* url = nullptr;
  const FramesTable* table = nullptr;
};

// One request after the first: ranges of the file, or whole frames of its form.
struct Batch {
  bool frames = false;
  std::vector<ByteRange> ranges;      // in the file's or the form's offsets
  std::vector<std::uint64_t> framed;  // with frames: the frames asked for, in order
  std::uint64_t first = 0;            // the file offset of its first byte
};

// The frames an answer for the form brought, decoded to the file's bytes at
// their offsets. The first frame missing or not decoding ends the answer's
// use there: what came before it stays good.
void DecodeFrames(RangeAnswer& answer, const Batch& batch, const FramesTable& table) {
  std::vector<Piece> decoded;
  FrameDecoder decoder(table);
  std::vector<std::uint8_t> out;
  std::size_t piece = 0;
  bool whole = true;
  for (const std::uint64_t frame : batch.framed) {
    const FrameRange range = table.Range(frame);
    while (piece < answer.pieces.size() &&
           answer.pieces[piece].offset + answer.pieces[piece].bytes.size() <= range.formOffset) {
      ++piece;
    }
    if (piece == answer.pieces.size() || answer.pieces[piece].offset > range.formOffset ||
        answer.pieces[piece].offset + answer.pieces[piece].bytes.size() < range.formOffset + range.storedSize) {
      whole = false;
      break;
    }
    const std::string_view stored =
        std::string_view(answer.pieces[piece].bytes)
            .substr(static_cast<std::size_t>(range.formOffset - answer.pieces[piece].offset), range.storedSize);
    out.resize(range.decodedLength);
    if (!decoder.Decode(frame, stored, out.data(), out.size())) {
      whole = false;
      break;
    }
    Keep(decoded, range.fileOffset, reinterpret_cast<const char*>(out.data()), out.size());
  }
  answer.pieces = std::move(decoded);
  if (!whole && answer.exchange == Exchange::kAdvanced) answer.exchange = Exchange::kNotUnderstood;
}

// The requests after the first, a few at once: each answer is kept in memory
// and handed over strictly in request order, so the .tmp is still written in
// order by its one writer. Only parts or a single range are taken here; a
// server that turns to answering with the whole file ends the delta, and the
// usual fetch continues the .tmp.
class RangePrefetch {
 public:
  RangePrefetch(const DeltaContext& context, const std::wstring& url, std::uint64_t length,
                const ServedFrames& frames, std::vector<Batch> batches)
      : m_context(context), m_url(url), m_length(length), m_frames(frames), m_batches(std::move(batches)),
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
  const Batch& At(std::size_t batch) const { return m_batches[batch]; }

  // The answer to request `batch`, waiting for it.
  RangeAnswer Take(std::size_t batch) {
    if (m_threads.empty()) return Fetch(m_batches[batch]);
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
      RangeAnswer answer = Fetch(m_batches[batch]);
      {
        Monitor::Hold hold(m_monitor);
        m_answers[batch].answer = std::move(answer);
        m_answers[batch].done = true;
      }
      m_monitor.WakeAll();
    }
  }

  // Frames are decoded here, on the prefetch threads, while the writer copies.
  RangeAnswer Fetch(const Batch& batch) const {
    if (!batch.frames) return FetchRanges(m_context.Link(), m_url, batch.ranges, m_length, nullptr);
    RangeAnswer answer =
        FetchRanges(m_context.Link(), *m_frames.url, batch.ranges, m_frames.table->formLength, nullptr);
    DecodeFrames(answer, batch, *m_frames.table);
    return answer;
  }

  const DeltaContext& m_context;
  const std::wstring& m_url;
  const std::uint64_t m_length;
  const ServedFrames m_frames;
  const std::vector<Batch> m_batches;
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
          const OldCopy& old, const std::wstring& temporary, const std::wstring& name, std::uint64_t length,
          const ServedFrames& frames)
      : m_context(context), m_url(url), m_plan(plan), m_length(length), m_frames(frames),
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
    return RangeBatches(Wanted(from), m_context.listsOfRanges ? ranges : 1, bytes);
  }

  std::vector<ByteRange> Wanted(std::uint64_t from) const {
    std::vector<ByteRange> wanted;
    for (const DeltaPiece& piece : m_plan) {
      if (!piece.Held() && piece.offset + piece.length > from) {
        wanted.push_back({std::max(piece.offset, from), piece.offset + piece.length - 1});
      }
    }
    return wanted;
  }

  // The requests after the first, in the order of their first bytes in the
  // file: where the form is served, each frame comes as whichever costs
  // fewer bytes, its raw ranges or its stored bytes.
  std::vector<Batch> RestBatches(std::uint64_t from) const {
    const std::size_t perRequest = m_context.listsOfRanges ? kRangesPerRequest : 1;
    FetchChoice choice;
    if (m_frames.table) {
      choice = ChooseFrames(Wanted(from), *m_frames.table);
    } else {
      choice.raw = Wanted(from);
    }
    std::vector<Batch> batches;
    for (std::vector<ByteRange>& ranges : RangeBatches(choice.raw, perRequest, kBatchBytes)) {
      Batch batch;
      batch.first = ranges.front().first;
      batch.ranges = std::move(ranges);
      batches.push_back(std::move(batch));
    }
    // Frames next to each other are one range of the form.
    std::uint64_t stored = 0, decoded = 0;
    for (const std::uint64_t frame : choice.frames) {
      const FrameRange range = m_frames.table->Range(frame);
      Batch* batch = batches.empty() || !batches.back().frames ? nullptr : &batches.back();
      const bool follows = batch && batch->framed.back() + 1 == frame;
      if (!batch || (!follows && batch->ranges.size() == perRequest) || stored + range.storedSize > kBatchBytes ||
          decoded + range.decodedLength > kBatchDecoded) {
        batches.push_back(Batch{true, {}, {}, range.fileOffset});
        batch = &batches.back();
        stored = decoded = 0;
      }
      if (!batch->framed.empty() && batch->framed.back() + 1 == frame) {
        batch->ranges.back().last += range.storedSize;
      } else {
        batch->ranges.push_back({range.formOffset, range.formOffset + range.storedSize - 1});
      }
      batch->framed.push_back(frame);
      stored += range.storedSize;
      decoded += range.decodedLength;
    }
    std::stable_sort(batches.begin(), batches.end(),
                     [](const Batch& a, const Batch& b) { return a.first < b.first; });
    return batches;
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
      const std::vector<std::vector<ByteRange>> firstBatches = Batches(from, kFirstRanges, kFirstBytes);
      const bool allHeld = firstBatches.empty();
      const std::vector<ByteRange> first =
          allHeld ? std::vector<ByteRange>{{m_length - 1, m_length - 1}} : firstBatches.front();
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
      RangeAnswer answer = FetchRanges(m_context.Link(), m_url, first, m_length, &whole);
      if (answer.listRefused) m_context.listsOfRanges = false;
      if (beginFailed) return Step::kFailed;
      // Parts only arrive after their headers confirmed the length: what
      // came before a broken answer is kept.
      if (!answer.pieces.empty() && !allHeld && (!Begin(kept) || !Write(answer.pieces))) {
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
      if (allHeld) return Step::kGoOn;  // the one byte asked for is held
      // Written once the other requests are on their way. What the first
      // answer left of its ranges (a list answered with its first range
      // only) goes with the rest.
      const std::uint64_t after =
          answer.pieces.empty() ? from : answer.pieces.back().offset + answer.pieces.back().bytes.size();
      m_first = std::move(answer.pieces);
      m_rest = RestBatches(after);
      return StopRequested(m_context.stop) ? Step::kFailed : Step::kGoOn;
    }
  }

  // Answers are taken in the order of their first bytes; a piece is written
  // once no request still to come starts before it (ranges of the file and
  // frames of the form interleave), so at most about two answers wait.
  Step Rest() {
    RangePrefetch prefetch(m_context, m_url, m_length, m_frames, std::move(m_rest));
    if (!Write(m_first)) return Stopped();
    std::vector<Piece> waiting;
    for (std::size_t batch = 0; batch < prefetch.Batches(); ++batch) {
      RangeAnswer answer = prefetch.Take(batch);
      if (answer.listRefused) m_context.listsOfRanges = false;
      for (Piece& piece : answer.pieces) waiting.push_back(std::move(piece));
      std::sort(waiting.begin(), waiting.end(), [](const Piece& a, const Piece& b) { return a.offset < b.offset; });
      const std::uint64_t next = batch + 1 < prefetch.Batches() ? prefetch.At(batch + 1).first : m_length;
      const auto ready = std::find_if(waiting.begin(), waiting.end(), [next](const Piece& p) { return p.offset >= next; });
      const std::vector<Piece> now(std::make_move_iterator(waiting.begin()), std::make_move_iterator(ready));
      waiting.erase(waiting.begin(), ready);
      if (!Write(now)) return Stopped();
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
  const ServedFrames m_frames;
  const SourceReader m_read;
  TemporaryFile m_file;
  std::vector<Batch> m_rest;  // the requests after the first
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
                           const std::wstring& temporary, const std::wstring& name, const std::wstring* formUrl) {
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
  // The form's table, for the frames that cost less than their raw ranges.
  std::optional<FramesTable> table;
  if (formUrl && FetchedBytes(plan) >= kFramesFrom) table = FetchFramesTable(context, *formUrl, index->length);
  if (StopRequested(context.stop)) {
    result.outcome = DeltaOutcome::kFailed;
    result.diagnostic = "InternetReadFileFail\n";
    return result;
  }
  const ServedFrames frames{table ? formUrl : nullptr, table ? &*table : nullptr};
  return Rebuild(context, fileUrl, plan, old, temporary, name, index->length, frames).Run(std::move(kept));
}
