#include "transfer/delta_win.h"

#include <share.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <vector>

#include "engine/handles_win.h"
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
constexpr std::size_t kCopyPiece = 1u << 20;
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
      : m_out(out), m_old(old), m_plan(plan), m_position(start), m_shown(shown),
        m_buffer(kCopyPiece) {}

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
      const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(end - m_position, kCopyPiece));
      const std::uint64_t from = static_cast<std::uint64_t>(piece.oldOffset) + (m_position - piece.offset);
      if (m_old.Read(from, m_buffer.data(), take) != take) return false;
      if (!Write(reinterpret_cast<const char*>(m_buffer.data()), take)) return false;
    }
    return true;
  }

 private:
  bool Write(const char* data, std::size_t size) {
    if (size > 0 && !m_out.Put(data, size)) return false;
    m_position += size;
    m_shown = m_position;
    return true;
  }

  BodyPipe& m_out;
  const OldCopy& m_old;
  const std::vector<DeltaPiece>& m_plan;
  std::uint64_t m_position;
  std::atomic<std::uint64_t>& m_shown;
  std::size_t m_piece = 0;
  std::vector<std::uint8_t> m_buffer;
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

// One request for a list of ranges, and whatever the server makes of it: the
// parts asked for (multipart/byteranges), one range only, or the whole file.
Exchange FetchRanges(const DeltaContext& context, const std::wstring& url,
                     const std::vector<ByteRange>& ranges, std::uint64_t length,
                     Assembler& assembler, const char*& diagnostic) {
  UrlRequest request = OpenUrlHandle(context.root, url, RangesHeader(ranges), context.stop);
  if (!request) {
    diagnostic = "OpenUrlFail\n";
    return Exchange::kBroken;
  }
  DWORD status = 0;
  QueryStatusCode(request, status);
  const std::uint64_t before = assembler.Position();
  std::string type, contentRange;
  QueryHeaderText(request, HTTP_QUERY_CONTENT_TYPE, type);
  const auto boundary = status == 206 ? MultipartBoundary(type) : std::nullopt;

  std::optional<MultipartReader> parts;
  std::uint64_t offset = 0;  // of the next body byte, when the body is one piece of the file
  std::uint64_t end = 0;
  if (status == 200) {
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
          refused = !parts->Feed(data, count, [&](std::uint64_t at, const char* bytes, std::size_t size) {
            return assembler.Put(at, bytes, size);
          });
        } else {
          refused = count > end - offset || !assembler.Put(offset, data, count);
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
  if (refused || !whole || assembler.Position() <= before) return Exchange::kNotUnderstood;
  return Exchange::kAdvanced;
}

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
  BodyPipe pipe(out.get(), md5);
  Assembler assembler(pipe, old, plan, start, context.assembled);

  std::vector<ByteRange> wanted;
  for (const DeltaPiece& piece : plan) {
    if (!piece.Held() && piece.offset + piece.length > start) {
      wanted.push_back({std::max(piece.offset, start), piece.offset + piece.length - 1});
    }
  }
  std::size_t next = 0;
  while (next < wanted.size()) {
    if (StopRequested(context.stop)) {
      result.outcome = DeltaOutcome::kFailed;
      result.diagnostic = "InternetReadFileFail\n";
      return result;
    }
    const std::size_t count = context.listsOfRanges ? std::min(kRangesPerRequest, wanted.size() - next) : 1;
    const std::vector<ByteRange> batch(wanted.begin() + static_cast<std::ptrdiff_t>(next),
                                       wanted.begin() + static_cast<std::ptrdiff_t>(next + count));
    const char* diagnostic = nullptr;
    const Exchange exchange = FetchRanges(context, fileUrl, batch, index->length, assembler, diagnostic);
    if (exchange == Exchange::kBroken) {
      result.outcome = DeltaOutcome::kFailed;
      result.diagnostic = diagnostic;
      return result;
    }
    // An answer not understood leaves an exact prefix for the usual fetch to continue.
    if (exchange == Exchange::kNotUnderstood) return result;
    while (next < wanted.size() && wanted[next].last < assembler.Position()) ++next;
    if (next < wanted.size()) wanted[next].first = std::max(wanted[next].first, assembler.Position());
  }
  if (!assembler.HeldTo(index->length) || !pipe.Finish()) return result;
  if (FlushBeforeInstall(name, index->length) && !FlushStreamToDisk(out.get())) return result;
  if (std::fclose(out.release()) != 0) return result;
  result.outcome = DeltaOutcome::kAssembled;
  result.digest = Md5::ToHex(md5.Final());
  return result;
}
