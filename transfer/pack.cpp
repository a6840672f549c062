#include "transfer/pack.h"

#include <algorithm>
#include <limits>
#include <set>

#include "transfer/download_policy.h"
#include "transfer/frames.h"
#include "transfer/name_safety.h"

namespace {

bool SameIgnoringAsciiCase(std::wstring_view a, std::wstring_view b) {
  return a.size() == b.size() && StartsWithIgnoringAsciiCase(a, b);
}

// A decimal number without sign, blank or leading zero, that fits.
std::optional<std::uint64_t> Number(std::wstring_view text) {
  if (text.empty() || text.size() > 20 || (text.size() > 1 && text[0] == L'0')) return std::nullopt;
  std::uint64_t value = 0;
  for (const wchar_t c : text) {
    if (c < L'0' || c > L'9') return std::nullopt;
    const std::uint64_t digit = static_cast<std::uint64_t>(c - L'0');
    if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

bool IsDigestText(std::wstring_view text) {
  return text.size() == 32 && std::all_of(text.begin(), text.end(), [](wchar_t c) {
           return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
         });
}

// The fields of a value separated by single blanks.
std::vector<std::wstring_view> Fields(std::wstring_view value) {
  std::vector<std::wstring_view> fields;
  for (std::size_t at = 0;;) {
    const std::size_t blank = value.find(L' ', at);
    fields.push_back(value.substr(at, blank == std::wstring_view::npos ? std::wstring_view::npos : blank - at));
    if (blank == std::wstring_view::npos) return fields;
    at = blank + 1;
  }
}

std::wstring_view WithoutCarriageReturn(std::wstring_view value) {
  if (!value.empty() && value.back() == L'\r') value.remove_suffix(1);
  return value;
}

std::optional<PackEntry> ParseEntry(std::wstring_view value, std::uint64_t packLength) {
  const auto fields = Fields(value);
  if (fields.size() != 5) return std::nullopt;
  const auto offset = Number(fields[0]), stored = Number(fields[1]), length = Number(fields[2]),
             codec = Number(fields[3]);
  if (!offset || !stored || !length || !codec || !IsDigestText(fields[4])) return std::nullopt;
  if (*length == 0 || *length > kPackedMaxLength || *stored == 0 || *stored > packLength ||
      *offset > packLength - *stored) {
    return std::nullopt;
  }
  if (!(*codec == kPackStored && *stored == *length) && !(*codec == kPackDeflated && *stored <= *length)) {
    return std::nullopt;
  }
  PackEntry entry;
  entry.offset = *offset;
  entry.stored = *stored;
  entry.length = *length;
  entry.codec = static_cast<std::uint8_t>(*codec);
  entry.digest.assign(fields[4]);
  return entry;
}

}  // namespace

bool IsPackName(std::wstring_view name) {
  return SameIgnoringAsciiCase(name, kPackName) || SameIgnoringAsciiCase(name, kPackTableName);
}

std::optional<PackTable> ReadPackTable(const std::wstring& preparedText) {
  // The first line of the pack's name is the pack's: one that does not parse means no table.
  bool packLineRead = false;
  std::optional<std::uint64_t> packLength;
  ForEachManifestEntry(preparedText, [&](std::wstring_view name, std::wstring_view value) {
    if (packLineRead || name != kPackName) return;
    packLineRead = true;
    packLength = Number(WithoutCarriageReturn(value));
  });
  if (!packLength) return std::nullopt;
  PackTable table;
  table.length = *packLength;
  std::set<std::wstring, OrdinalUtf16Less> twice;
  bool packLineSeen = false;
  ForEachManifestEntry(preparedText, [&](std::wstring_view name, std::wstring_view value) {
    if (name == kPackName && !packLineSeen) {
      packLineSeen = true;
      return;
    }
    const std::wstring key(name);
    if (table.entries.count(key) != 0 || twice.count(key) != 0) {
      twice.insert(key);
      return;
    }
    if (const auto entry = ParseEntry(WithoutCarriageReturn(value), table.length)) table.entries.emplace(key, *entry);
  });
  for (const std::wstring& name : twice) table.entries.erase(name);
  return table;
}

bool EntryMatchesManifest(const PackEntry& entry, const std::wstring& manifestDigest) {
  std::string listed;
  for (const wchar_t c : entry.digest) listed.push_back(static_cast<char>(c >= L'A' && c <= L'F' ? c + 32 : c));
  return DigestVerdictOf(&manifestDigest, listed) == DigestVerdict::kMatches;
}

std::string PackEntryText(const PackEntry& entry) {
  std::string digest(entry.digest.begin(), entry.digest.end());
  return std::to_string(entry.offset) + " " + std::to_string(entry.stored) + " " + std::to_string(entry.length) +
         " " + std::to_string(entry.codec) + " " + digest;
}

std::string PackLengthText(std::uint64_t length) { return std::to_string(length); }

std::vector<ByteRange> PackBatch::Merged(std::vector<ByteRange> spans) {
  std::sort(spans.begin(), spans.end(), [](const ByteRange& a, const ByteRange& b) { return a.first < b.first; });
  std::vector<ByteRange> merged;
  for (const ByteRange& span : spans) {
    if (!merged.empty() && span.first <= merged.back().last + 1 + kRangeGap) {
      merged.back().last = std::max(merged.back().last, span.last);
    } else {
      merged.push_back(span);
    }
  }
  return merged;
}

bool PackBatch::Add(const PackEntry& entry) {
  if (m_files > 0 && (m_files == kPackBatchFiles || m_bytes + entry.stored > kPackBatchBytes)) return false;
  std::vector<ByteRange> spans = m_spans;
  spans.push_back(ByteRange{entry.offset, entry.End() - 1});
  std::vector<ByteRange> ranges = Merged(spans);
  if (m_files > 0 && ranges.size() > m_mostRanges) return false;
  m_spans = std::move(spans);
  m_ranges = std::move(ranges);
  m_bytes += entry.stored;
  ++m_files;
  return true;
}

std::optional<std::string> UnpackEntry(const PackEntry& entry, std::string_view stored) {
  if (stored.size() != entry.stored) return std::nullopt;
  if (entry.codec == kPackStored) return stored.size() == entry.length ? std::optional<std::string>(stored) : std::nullopt;
  if (entry.codec != kPackDeflated) return std::nullopt;
  std::string file(static_cast<std::size_t>(entry.length), '\0');
  const auto codec = MakeFrameCodec(kDeflateCodec);
  if (!codec->Decode(reinterpret_cast<const std::uint8_t*>(stored.data()), stored.size(),
                     reinterpret_cast<std::uint8_t*>(file.data()), file.size())) {
    return std::nullopt;
  }
  return file;
}
