#include "transfer/range_fetch_win.h"

#include <algorithm>
#include <optional>

#include "engine/stop_signal.h"

namespace {

constexpr DWORD kRangeReadSize = 1u << 20;

}  // namespace

void Keep(std::vector<Piece>& pieces, std::uint64_t offset, const char* data, std::size_t size) {
  if (!pieces.empty() && pieces.back().offset + pieces.back().bytes.size() == offset) {
    pieces.back().bytes.append(data, size);
  } else {
    pieces.push_back({offset, std::string(data, size)});
  }
}

RangeAnswer FetchRanges(const RangeLink& link, const std::wstring& url,
                        const std::vector<ByteRange>& ranges, std::uint64_t length, const WholeSink* whole) {
  RangeAnswer answer;
  UrlRequest request = OpenUrlHandle(link.root, url, RangesHeader(ranges), link.stop);
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
    // A list answered with the whole file where none is taken, or refused.
    answer.listRefused = list && (status == 416 || status == 200);
    return answer;
  }

  bool refused = false;
  const BodyResult body = ReadBody(
      request,
      [&](const char* data, DWORD count) {
        link.networkBytes += count;
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
      link.stop, kRangeReadSize);
  if (body == BodyResult::kReadFailed) {
    answer.exchange = Exchange::kBroken;
    answer.diagnostic = "InternetReadFileFail\n";
    return answer;
  }
  const bool complete = parts ? parts->Complete() : offset == end;
  answer.exchange = refused || !complete ? Exchange::kNotUnderstood : Exchange::kAdvanced;
  return answer;
}

