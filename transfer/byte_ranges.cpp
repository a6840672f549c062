#include "transfer/byte_ranges.h"

#include <algorithm>
#include <cctype>

namespace {

constexpr std::size_t kLongestLine = 1024;

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  }
  return true;
}

// A decimal number of up to 19 digits: no sign, no spaces, no overflow.
bool Number(std::string_view text, std::uint64_t& value) {
  if (text.empty() || text.size() > 19) return false;
  value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return true;
}

}  // namespace

std::wstring RangesHeader(const std::vector<ByteRange>& ranges) {
  std::string text = "Range: bytes=";
  for (std::size_t i = 0; i < ranges.size(); ++i) {
    if (i > 0) text += ',';
    text += std::to_string(ranges[i].first) + '-' + std::to_string(ranges[i].last);
  }
  text += "\r\n\r\n";
  return std::wstring(text.begin(), text.end());
}

std::wstring RestOfFileHeader(std::uint64_t first) {
  const std::string text = "Range: bytes=" + std::to_string(first) + "-\r\n\r\n";
  return std::wstring(text.begin(), text.end());
}

std::optional<std::uint64_t> ParseContentLength(std::string_view value) {
  std::uint64_t length = 0;
  if (!Number(Trim(value), length)) return std::nullopt;
  return length;
}

bool ContinuesFileAt(const ContentRange& answer, std::uint64_t offset) {
  return answer.range.first == offset && answer.range.last + 1 == answer.total;
}

std::vector<std::vector<ByteRange>> RangeBatches(const std::vector<ByteRange>& ranges,
                                                 std::size_t maxRanges, std::uint64_t maxBytes) {
  std::vector<std::vector<ByteRange>> batches;
  std::uint64_t bytes = 0;
  for (ByteRange range : ranges) {
    for (;;) {
      if (batches.empty() || batches.back().size() == maxRanges || bytes == maxBytes) {
        batches.emplace_back();
        bytes = 0;
      }
      const std::uint64_t room = maxBytes - bytes;
      if (range.Length() <= room) {
        batches.back().push_back(range);
        bytes += range.Length();
        break;
      }
      batches.back().push_back({range.first, range.first + room - 1});
      bytes = maxBytes;
      range.first += room;
    }
  }
  return batches;
}

std::optional<ContentRange> ParseContentRange(std::string_view value) {
  value = Trim(value);
  if (!StartsWithNoCase(value, "bytes ")) return std::nullopt;
  value.remove_prefix(6);
  value = Trim(value);
  const auto dash = value.find('-');
  const auto slash = value.find('/');
  if (dash == std::string_view::npos || slash == std::string_view::npos || dash > slash) {
    return std::nullopt;
  }
  ContentRange answer;
  if (!Number(value.substr(0, dash), answer.range.first) ||
      !Number(value.substr(dash + 1, slash - dash - 1), answer.range.last) ||
      !Number(value.substr(slash + 1), answer.total) || answer.range.first > answer.range.last ||
      answer.range.last >= answer.total) {
    return std::nullopt;
  }
  return answer;
}

std::optional<std::string> MultipartBoundary(std::string_view contentType) {
  contentType = Trim(contentType);
  if (!StartsWithNoCase(contentType, "multipart/byteranges")) return std::nullopt;
  contentType.remove_prefix(20);
  while (!contentType.empty()) {
    const auto semicolon = contentType.find(';');
    std::string_view parameter = Trim(contentType.substr(0, semicolon));
    contentType = semicolon == std::string_view::npos ? std::string_view() : contentType.substr(semicolon + 1);
    if (!StartsWithNoCase(parameter, "boundary=")) continue;
    parameter.remove_prefix(9);
    if (parameter.size() >= 2 && parameter.front() == '"' && parameter.back() == '"') {
      parameter = parameter.substr(1, parameter.size() - 2);
    }
    // RFC 2046 allows 70 characters; an empty one could never be found.
    if (parameter.empty() || parameter.size() > 70) return std::nullopt;
    return std::string(parameter);
  }
  return std::nullopt;
}

MultipartReader::MultipartReader(std::string boundary, std::vector<ByteRange> expected,
                                 std::uint64_t total)
    : m_boundary(std::move(boundary)), m_expected(std::move(expected)), m_total(total) {}

bool MultipartReader::Feed(const char* data, std::size_t size, const Sink& sink) {
  while (size > 0) {
    switch (m_state) {
      case State::kFailed:
        return false;
      case State::kEnd:
        return true;  // an epilogue is allowed and ignored
      case State::kBody: {
        const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(size, m_remaining));
        if (!sink(m_offset, data, take)) {
          m_state = State::kFailed;
          return false;
        }
        m_offset += take;
        m_remaining -= take;
        data += take;
        size -= take;
        if (m_remaining == 0) m_state = State::kDelimiter;
        break;
      }
      case State::kDelimiter:
      case State::kHeaders: {
        const char c = *data++;
        --size;
        m_line += c;
        if (m_line.size() > kLongestLine) {
          m_state = State::kFailed;
          return false;
        }
        if (m_line.size() >= 2 && m_line.compare(m_line.size() - 2, 2, "\r\n") == 0) {
          const std::string line = m_line.substr(0, m_line.size() - 2);
          m_line.clear();
          if (!Line(line)) {
            m_state = State::kFailed;
            return false;
          }
        }
        break;
      }
    }
  }
  return m_state != State::kFailed;
}

bool MultipartReader::Line(std::string_view line) {
  if (m_state == State::kDelimiter) {
    if (line.empty()) return true;  // the line end before a delimiter
    const std::string open = "--" + m_boundary;
    if (line == open + "--") {
      if (m_part != m_expected.size()) return false;
      m_state = State::kEnd;
      return true;
    }
    if (line != open || m_part >= m_expected.size()) return false;
    m_state = State::kHeaders;
    m_rangeSeen = false;
    return true;
  }
  // A part's headers: only its Content-Range matters.
  if (!line.empty()) {
    if (StartsWithNoCase(line, "content-range:")) {
      const auto answer = ParseContentRange(line.substr(14));
      if (!answer || answer->total != m_total || !(answer->range == m_expected[m_part])) return false;
      m_rangeSeen = true;
    }
    return true;
  }
  if (!m_rangeSeen) return false;
  m_offset = m_expected[m_part].first;
  m_remaining = m_expected[m_part].Length();
  ++m_part;
  m_state = State::kBody;
  return true;
}
