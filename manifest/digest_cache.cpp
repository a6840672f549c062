#include "manifest/digest_cache.h"

#include <cstring>
#include <limits>
#include <unordered_set>

namespace {

constexpr char kMagic[8] = {'U', 'P', 'D', 'D', 'I', 'G', 'C', '1'};
constexpr std::uint32_t kVersion = 2;
constexpr std::size_t kHeaderBytes = sizeof kMagic + 4 + 8 + 4;
constexpr std::size_t kEntryFixedBytes = 2 + 8 + 8 + 8 + 8 + 16;
constexpr std::size_t kTrailerBytes = 16;

void PutNumber(std::string& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

// Reads from a view and remembers whether it ever ran past its end.
class Reader {
 public:
  explicit Reader(std::string_view bytes) : m_bytes(bytes) {}
  std::uint64_t Number(int bytes) {
    if (!Has(static_cast<std::size_t>(bytes))) return 0;
    std::uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) {
      value |= static_cast<std::uint64_t>(static_cast<unsigned char>(m_bytes[m_pos + i])) << (8 * i);
    }
    m_pos += static_cast<std::size_t>(bytes);
    return value;
  }
  std::string_view Bytes(std::size_t count) {
    if (!Has(count)) return {};
    const std::string_view piece = m_bytes.substr(m_pos, count);
    m_pos += count;
    return piece;
  }
  bool Ok() const { return m_ok; }
  std::size_t Left() const { return m_bytes.size() - m_pos; }

 private:
  bool Has(std::size_t count) {
    if (!m_ok || m_bytes.size() - m_pos < count) m_ok = false;
    return m_ok;
  }
  std::string_view m_bytes;
  std::size_t m_pos = 0;
  bool m_ok = true;
};

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;  // upper case never comes from ToHex: not a digest
}

}  // namespace

std::string DigestCacheKey(std::wstring_view relativeName) {
  std::string key;
  key.reserve(relativeName.size() * 2);
  const auto unit = [&key](std::uint32_t u) {
    key += static_cast<char>(u & 0xFF);
    key += static_cast<char>((u >> 8) & 0xFF);
  };
  for (const wchar_t c : relativeName) {
    const auto code = static_cast<std::uint32_t>(c);
    if (code > 0xFFFF) {  // a 32-bit wchar_t: the pair Windows would hold
      unit(0xD800 + ((code - 0x10000) >> 10));
      unit(0xDC00 + ((code - 0x10000) & 0x3FF));
    } else {
      unit(code);
    }
  }
  return key;
}

DigestCache DigestCache::Load(std::string_view bytes, std::uint64_t now) {
  DigestCache cache;
  if (bytes.size() < kHeaderBytes + kTrailerBytes) return cache;
  const std::string_view body = bytes.substr(0, bytes.size() - kTrailerBytes);
  const Md5::Digest sum = [&] {
    Md5 md5;
    md5.Update(body.data(), body.size());
    return md5.Final();
  }();
  if (std::memcmp(sum.data(), bytes.data() + body.size(), kTrailerBytes) != 0) return cache;

  Reader in(body);
  if (in.Bytes(sizeof kMagic) != std::string_view(kMagic, sizeof kMagic)) return cache;
  if (in.Number(4) != kVersion) return cache;
  const std::uint64_t writtenAt = in.Number(8);
  const std::uint64_t count = in.Number(4);
  if (writtenAt > now) return cache;
  // Each entry takes its fixed part at least: a count beyond that is a lie.
  if (count > in.Left() / kEntryFixedBytes) return cache;

  DigestCache read;
  read.m_writtenAt = writtenAt;
  read.m_entries.reserve(static_cast<std::size_t>(count));
  for (std::uint64_t i = 0; i < count && in.Ok(); ++i) {
    const std::size_t nameBytes = static_cast<std::size_t>(in.Number(2));
    std::string key(in.Bytes(nameBytes));
    Entry entry;
    entry.stamp.size = in.Number(8);
    entry.stamp.lastWrite = in.Number(8);
    entry.stamp.creation = in.Number(8);
    entry.stamp.change = in.Number(8);
    const std::string_view digest = in.Bytes(entry.digest.size());
    if (!in.Ok()) break;
    std::memcpy(entry.digest.data(), digest.data(), entry.digest.size());
    read.m_entries.emplace(std::move(key), entry);  // a repeated name: the first stays
  }
  if (!in.Ok() || in.Left() != 0) return cache;
  return read;
}

const Md5::Digest* DigestCache::Trusted(const std::string& key, const FileStamp& listed) const {
  const auto it = m_entries.find(key);
  if (it == m_entries.end() || !(it->second.stamp == listed)) return nullptr;
  if (!OutsideRacyWindow(listed, m_writtenAt)) return nullptr;
  return &it->second.digest;
}

bool OutsideRacyWindow(const FileStamp& stamp, std::uint64_t writtenAt) {
  // Without a change time only the times a program can set back would vouch for the file.
  if (stamp.change == 0 || writtenAt < kRacyTicks) return false;
  const std::uint64_t racyFrom = writtenAt - kRacyTicks;
  return stamp.lastWrite <= racyFrom && stamp.change <= racyFrom;
}

std::string DigestCache::MergedWith(const std::vector<DigestCacheEntry>& added,
                                    std::uint64_t writtenAt) const {
  std::unordered_set<std::string> replaced;
  for (const DigestCacheEntry& entry : added) replaced.insert(entry.key);
  DigestCacheWriter out;
  for (const auto& [key, entry] : m_entries) {
    if (!replaced.count(key) && OutsideRacyWindow(entry.stamp, m_writtenAt)) {
      out.Add(key, entry.stamp, entry.digest);
    }
  }
  for (const DigestCacheEntry& entry : added) {
    if (OutsideRacyWindow(entry.stamp, writtenAt)) out.Add(entry.key, entry.stamp, entry.digest);
  }
  return out.Serialize(writtenAt);
}

void DigestCacheWriter::Add(std::string key, const FileStamp& stamp, const Md5::Digest& digest) {
  // A name too long for its length field is left out: that file is hashed.
  if (key.size() > std::numeric_limits<std::uint16_t>::max()) return;
  PutNumber(m_body, key.size(), 2);
  m_body += key;
  PutNumber(m_body, stamp.size, 8);
  PutNumber(m_body, stamp.lastWrite, 8);
  PutNumber(m_body, stamp.creation, 8);
  PutNumber(m_body, stamp.change, 8);
  m_body.append(reinterpret_cast<const char*>(digest.data()), digest.size());
  ++m_count;
}

std::string DigestCacheWriter::Serialize(std::uint64_t writtenAt) const {
  std::string out(kMagic, sizeof kMagic);
  PutNumber(out, kVersion, 4);
  PutNumber(out, writtenAt, 8);
  PutNumber(out, m_count, 4);
  out.reserve(out.size() + m_body.size() + kTrailerBytes);
  out += m_body;
  Md5 md5;
  md5.Update(out.data(), out.size());
  const Md5::Digest sum = md5.Final();
  out.append(reinterpret_cast<const char*>(sum.data()), sum.size());
  return out;
}

bool DigestOfText(std::string_view text, Md5::Digest& digest) {
  if (text.size() != 33 || text[32] != '\n') return false;
  for (std::size_t i = 0; i < 16; ++i) {
    const int high = HexValue(text[2 * i]);
    const int low = HexValue(text[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    digest[i] = static_cast<std::uint8_t>(high * 16 + low);
  }
  return true;
}
