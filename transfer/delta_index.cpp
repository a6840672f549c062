#include "transfer/delta_index.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <system_error>
#include <thread>

namespace {

constexpr char kMagic[8] = {'U', 'P', 'D', 'D', 'E', 'L', 'T', '1'};
constexpr std::uint32_t kWriterWeakBytes = 2;
constexpr std::uint32_t kWriterStrongBytes = 3;
constexpr std::uint32_t kNone = 0xffffffffu;

std::uint64_t Load(const std::uint8_t* p, std::size_t bytes) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < bytes; ++i) value |= std::uint64_t{p[i]} << (8 * i);
  return value;
}

void Store(std::string& out, std::uint64_t value, std::size_t bytes) {
  for (std::size_t i = 0; i < bytes; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}

std::uint64_t Mask(std::uint32_t bytes) {
  return bytes >= 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * bytes)) - 1;
}

std::uint64_t Rotate(std::uint64_t x, int by) { return (x << by) | (x >> (64 - by)); }

constexpr unsigned kPairBits = 20;  // a 128 KiB filter
// From this length on the old copy is walked by two threads, each a half.
constexpr std::uint64_t kTwoWalkersFrom = 16u << 20;
std::uint32_t PairBit(std::uint32_t weak1, std::uint32_t weak2) {
  const std::uint32_t key = (weak1 << 16) ^ (weak1 >> 16) ^ (weak2 & 0xffffu) ^ (weak2 >> 16 << 8);
  return (key * 0x9e3779b1u) >> (32 - kPairBits);
}

// The old copy, read forwards through a window of a few MiB.
class OldWindow {
 public:
  OldWindow(const OldReader& read, std::uint64_t length, std::size_t capacity)
      : m_read(read), m_length(length), m_buffer(capacity) {}

  // Makes old[offset, offset + size) readable through At; false when the old
  // copy ends (or cannot be read) before that.
  bool Ensure(std::uint64_t offset, std::size_t size) {
    if (offset > m_length || size > m_length - offset || size > m_buffer.size()) return false;
    if (offset >= m_base && offset + size <= m_base + m_filled) return true;
    m_base = offset;
    m_filled = 0;
    while (m_filled < m_buffer.size() && m_base + m_filled < m_length) {
      const std::size_t want = static_cast<std::size_t>(
          std::min<std::uint64_t>(m_buffer.size() - m_filled, m_length - m_base - m_filled));
      const std::size_t got = m_read(m_base + m_filled, m_buffer.data() + m_filled, want);
      if (got == 0 || got > want) break;
      m_filled += got;
    }
    return offset + size <= m_base + m_filled;
  }
  std::uint64_t End() const { return m_base + m_filled; }
  const std::uint8_t* At(std::uint64_t offset) const {
    return m_buffer.data() + static_cast<std::size_t>(offset - m_base);
  }

 private:
  const OldReader& m_read;
  std::uint64_t m_length;
  std::vector<std::uint8_t> m_buffer;
  std::uint64_t m_base = 0;
  std::size_t m_filled = 0;
};

}  // namespace

bool IsDeltaIndexName(std::wstring_view name) {
  const std::wstring_view folder(kDeltaFolder);
  if (name.size() <= folder.size() || (name[folder.size()] != L'\\' && name[folder.size()] != L'/')) {
    return false;
  }
  // Case does not matter on the clients' disks, nor on many servers'.
  for (std::size_t i = 0; i < folder.size(); ++i) {
    const auto lower = [](wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c + 32) : c; };
    if (lower(name[i]) != lower(folder[i])) return false;
  }
  return true;
}

std::uint32_t DeltaIndex::BlockLength(std::uint64_t block) const {
  const std::uint64_t start = block * blockSize;
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(blockSize, length - start));
}

std::uint32_t DeltaIndex::Weak(std::uint64_t block) const {
  return static_cast<std::uint32_t>(Load(&sums[block * (weakBytes + strongBytes)], weakBytes));
}

std::uint64_t DeltaIndex::Strong(std::uint64_t block) const {
  return Load(&sums[block * (weakBytes + strongBytes) + weakBytes], strongBytes);
}

std::uint32_t DeltaBlockSize(std::uint64_t length) {
  std::uint32_t size = 1024;
  while (size < (1u << 20) && length / size > 65536) size <<= 1;
  return size;
}

void RollingSum::Start(const std::uint8_t* data, std::uint32_t size) {
  // b = sum of (size - i) * x[i]; eight bytes a step keep the adds apart.
  std::uint32_t a = 0, b = 0;
  std::uint32_t i = 0;
  for (; i + 8 <= size; i += 8) {
    const std::uint8_t* x = data + i;
    const std::uint32_t w = size - i;
    a += x[0] + x[1] + x[2] + x[3] + x[4] + x[5] + x[6] + x[7];
    b += w * (x[0] + x[1] + x[2] + x[3] + x[4] + x[5] + x[6] + x[7]) -
         (x[1] + 2u * x[2] + 3u * x[3] + 4u * x[4] + 5u * x[5] + 6u * x[6] + 7u * x[7]);
  }
  for (; i < size; ++i) {
    a += data[i];
    b += (size - i) * data[i];
  }
  m_a = static_cast<std::uint16_t>(a);
  m_b = static_cast<std::uint16_t>(b);
  m_size = static_cast<std::uint16_t>(size);
}

std::uint64_t StrongSum(const std::uint8_t* data, std::size_t size) {
  std::uint64_t h = 0x9e3779b97f4a7c15ull ^ size;
  std::size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, data + i, 8);
    h = Rotate(h ^ (word * 0x87c37b91114253d5ull), 31) * 0x4cf5ad432745937full;
  }
  std::uint64_t tail = 0;
  for (std::size_t k = 0; i + k < size; ++k) tail |= std::uint64_t{data[i + k]} << (8 * k);
  h = Rotate(h ^ (tail * 0x87c37b91114253d5ull), 31) * 0x4cf5ad432745937full;
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdull;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ull;
  h ^= h >> 33;
  return h;
}

DeltaIndexWriter::DeltaIndexWriter(std::uint64_t length) {
  m_index.length = length;
  m_index.blockSize = DeltaBlockSize(length);
  m_index.weakBytes = kWriterWeakBytes;
  m_index.strongBytes = kWriterStrongBytes;
  m_block.reserve(m_index.blockSize);
}

void DeltaIndexWriter::Add(const void* data, std::size_t size) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  m_fed += size;
  while (size > 0) {
    const std::size_t take = std::min(size, m_index.blockSize - m_block.size());
    m_block.insert(m_block.end(), bytes, bytes + take);
    bytes += take;
    size -= take;
    if (m_block.size() == m_index.blockSize) EndBlock();
  }
}

void DeltaIndexWriter::EndBlock() {
  RollingSum weak;
  weak.Start(m_block.data(), static_cast<std::uint32_t>(m_block.size()));
  const std::uint64_t strong = StrongSum(m_block.data(), m_block.size());
  const std::size_t at = m_index.sums.size();
  m_index.sums.resize(at + m_index.weakBytes + m_index.strongBytes);
  for (std::uint32_t i = 0; i < m_index.weakBytes; ++i) {
    m_index.sums[at + i] = static_cast<std::uint8_t>(weak.Weak() >> (8 * i));
  }
  for (std::uint32_t i = 0; i < m_index.strongBytes; ++i) {
    m_index.sums[at + m_index.weakBytes + i] = static_cast<std::uint8_t>(strong >> (8 * i));
  }
  m_block.clear();
}

std::string DeltaIndexWriter::Finish() {
  if (!m_block.empty()) EndBlock();
  if (m_fed != m_index.length) return std::string();
  std::string out(kMagic, sizeof(kMagic));
  Store(out, m_index.length, 8);
  Store(out, m_index.blockSize, 4);
  Store(out, m_index.weakBytes, 1);
  Store(out, m_index.strongBytes, 1);
  Store(out, 0, 2);
  out.append(reinterpret_cast<const char*>(m_index.sums.data()), m_index.sums.size());
  return out;
}

std::optional<DeltaIndex> ParseDeltaIndex(std::string_view bytes) {
  if (bytes.size() < kDeltaHeaderSize || bytes.substr(0, sizeof(kMagic)) != std::string_view(kMagic, sizeof(kMagic))) {
    return std::nullopt;
  }
  const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.data());
  DeltaIndex index;
  index.length = Load(p + 8, 8);
  index.blockSize = static_cast<std::uint32_t>(Load(p + 16, 4));
  index.weakBytes = p[20];
  index.strongBytes = p[21];
  const bool powerOfTwo = index.blockSize != 0 && (index.blockSize & (index.blockSize - 1)) == 0;
  if (!powerOfTwo || index.blockSize < 512 || index.blockSize > (1u << 20) ||
      index.weakBytes < 2 || index.weakBytes > 4 || index.strongBytes < 2 ||
      index.strongBytes > 8 || Load(p + 22, 2) != 0) {
    return std::nullopt;
  }
  // The record count follows from the length; the sums must be exactly that
  // many records (dividing first: a huge length cannot overflow the product).
  const std::uint64_t record = index.weakBytes + index.strongBytes;
  const std::uint64_t have = bytes.size() - kDeltaHeaderSize;
  if (have % record != 0 || index.Blocks() != have / record) return std::nullopt;
  index.sums.assign(p + kDeltaHeaderSize, p + bytes.size());
  return index;
}

std::optional<DeltaIndex> ParseDeltaIndex(std::string_view bytes, std::uint64_t expectedLength) {
  auto index = ParseDeltaIndex(bytes);
  if (!index || index->length != expectedLength) return std::nullopt;
  return index;
}

std::vector<DeltaPiece> PlanDelta(const DeltaIndex& index, std::uint64_t oldLength,
                                  const OldReader& read, const std::function<bool()>& stop) {
  const std::uint64_t blocks = index.Blocks();
  const std::uint32_t size = index.blockSize;
  const std::uint64_t full = index.length / size;  // blocks of the whole size
  const std::uint32_t weakMask = static_cast<std::uint32_t>(Mask(index.weakBytes));
  const std::uint64_t strongMask = Mask(index.strongBytes);
  // The sums unpacked once: the walk looks them up at every position.
  std::vector<std::uint32_t> weaks(blocks);
  std::vector<std::uint64_t> strongs(blocks);
  for (std::uint64_t i = 0; i < blocks; ++i) {
    weaks[i] = index.Weak(i);
    strongs[i] = index.Strong(i);
  }

  // Whole blocks by their weak sum's low 16 bits, chained in block order, and
  // a bit per pair of neighbouring weak sums: most positions of a changed
  // region are turned away by one bit that stays in the cache.
  std::vector<std::uint32_t> heads(1u << 16, kNone);
  std::vector<std::uint32_t> next(full, kNone);
  std::vector<std::uint64_t> pairs(std::size_t{1} << (kPairBits - 6));
  for (std::uint64_t i = full; i-- > 0;) {
    const std::uint32_t key = weaks[i] & 0xffffu;
    next[i] = heads[key];
    heads[key] = static_cast<std::uint32_t>(i);
    if (i + 1 < full) {
      const std::uint32_t bit = PairBit(weaks[i], weaks[i + 1]);
      pairs[bit >> 6] |= std::uint64_t{1} << (bit & 63);
    }
  }

  // Never more than the old copy: a small file needs no 4 MiB window.
  const std::size_t capacity = static_cast<std::size_t>(
      std::max<std::uint64_t>(1, std::min<std::uint64_t>(std::max<std::uint64_t>(4u << 20, 8u * size), oldLength)));
  // Block i at old offset: the checks one candidate position needs.
  const auto holds = [&](OldWindow& window, std::uint64_t i, std::uint64_t offset) {
    const std::uint32_t length = index.BlockLength(i);
    if (!window.Ensure(offset, length) || (StrongSum(window.At(offset), length) & strongMask) != strongs[i]) {
      return false;
    }
    RollingSum weak;
    weak.Start(window.At(offset), length);
    return (weak.Weak() & weakMask) == weaks[i];
  };

  // Whether some pair of neighbouring blocks has these weak sums. The filter
  // lets about one position in sixteen through; answering those here keeps
  // the walk in its tight loop until the weak sums really agree.
  const auto listed = [&](std::uint32_t weak1, std::uint32_t weak2) {
    for (std::uint32_t i = heads[weak1 & 0xffffu]; i != kNone; i = next[i]) {
      if (i + 1 < full && weaks[i] == weak1 && weaks[i + 1] == weak2) return true;
    }
    return false;
  };

  // The walk over old positions [from, to): each thread of it has its own
  // window and notes what it finds in its own list. False when stopped.
  // With two walkers, a quarter of each half walked without a single block
  // found means the file was rewritten: the walk gives up and the whole file
  // is fetched, rather than reading the rest for the few blocks it might hold.
  std::atomic<bool> anyFound{false}, givenUp{false};
  const auto scan = [&](std::uint64_t from, std::uint64_t to, std::vector<std::int64_t>& found,
                        bool mayGiveUp) {
    OldWindow window(read, oldLength, capacity);
    std::uint64_t askedAt = from;
    const auto strongAt = [&](std::uint64_t offset, std::uint32_t length) {
      return StrongSum(window.At(offset), length) & strongMask;
    };
    std::uint64_t p = from;
    std::int64_t expect = from == 0 ? 0 : -1;  // the block that would follow at p: at first, the same place
    RollingSum first, second;
    bool rolling = false;
    std::uint32_t sinceAsked = 0;
    while (full > 0 && p < to && p + size <= oldLength) {
      // Asked by positions too: in a changed region one step walks a window.
      if (++sinceAsked == 65536 || p - askedAt >= (1u << 20)) {
        sinceAsked = 0;
        askedAt = p;
        if (stop && stop()) return false;
        if (mayGiveUp && !anyFound && (p - from) >= (to - from) / 4) givenUp = true;
        if (givenUp) return true;
      }
      if (expect >= 0) {
        const auto e = static_cast<std::uint64_t>(expect);
        if (e < full && holds(window, e, p)) {
          found[e] = static_cast<std::int64_t>(p);
          anyFound = true;
          ++expect;
          p += size;
          rolling = false;
          continue;
        }
        // A block changed in place: the one after it may still be in its place.
        if (e + 1 < full && holds(window, e + 1, p + size)) {
          found[e + 1] = static_cast<std::int64_t>(p + size);
          expect += 2;
          p += 2 * static_cast<std::uint64_t>(size);
          rolling = false;
          continue;
        }
        expect = -1;
      }
      const bool pair = p + 2 * static_cast<std::uint64_t>(size) <= oldLength;
      // The window, and the byte each sum rolls in next.
      const std::size_t span = (pair ? 2 * static_cast<std::size_t>(size) : size) + 1;
      if (!window.Ensure(p, static_cast<std::size_t>(std::min<std::uint64_t>(span, oldLength - p)))) break;
      if (!rolling) {
        first.Start(window.At(p), size);
        if (pair) second.Start(window.At(p + size), size);
        rolling = true;
      }
      if (pair) {
        // The common case in a changed region, kept in registers: roll both
        // sums until the filter lets a position through or the window ends.
        const std::uint64_t limit = std::min(window.End(), oldLength);
        const std::uint64_t reach = 2 * std::uint64_t{size} + 1;
        const std::uint64_t until = std::min(to, limit >= reach ? limit - reach : 0);
        RollingSum one = first, two = second;
        const std::uint8_t* at = window.At(p);
        while (p < until) {
          const std::uint32_t weak1 = one.Weak() & weakMask, weak2 = two.Weak() & weakMask;
          const std::uint32_t bit = PairBit(weak1, weak2);
          if ((pairs[bit >> 6] >> (bit & 63) & 1) != 0 && listed(weak1, weak2)) break;
          one.Roll(at[0], at[size]);
          two.Roll(at[size], at[2 * size]);
          ++at;
          ++p;
        }
        first = one;
        second = two;
      }
      // A new block is looked for as a pair with the block after it, whose
      // weak sums must both agree: two short sums filter as well as one long.
      std::int64_t matched = -1;
      const std::uint32_t weak1 = first.Weak() & weakMask;
      const std::uint32_t weak2 = second.Weak() & weakMask;
      const std::uint32_t bit = PairBit(weak1, weak2);
      if (pair && (pairs[bit >> 6] >> (bit & 63) & 1) != 0) {
        std::uint64_t strong1 = 0, strong2 = 0;
        bool strongKnown = false;
        for (std::uint32_t i = heads[weak1 & 0xffffu]; i != kNone; i = next[i]) {
          if (i + 1 >= full || weaks[i] != weak1 || weaks[i + 1] != weak2) continue;
          if (!strongKnown) {
            strong1 = strongAt(p, size);
            strong2 = strongAt(p + size, size);
            strongKnown = true;
          }
          if (strongs[i] != strong1 || strongs[i + 1] != strong2) continue;
          // Blocks with the same bytes all take them from here.
          if (found[i] < 0) found[i] = static_cast<std::int64_t>(p);
          if (found[i + 1] < 0) found[i + 1] = static_cast<std::int64_t>(p + size);
          if (matched < 0) matched = i;
        }
      }
      if (matched >= 0) {
        anyFound = true;
        expect = matched + 2;
        p += 2 * static_cast<std::uint64_t>(size);
        rolling = false;
        continue;
      }
      if (p + size >= oldLength) break;
      first.Roll(window.At(p)[0], window.At(p)[size]);
      if (pair && p + 2 * static_cast<std::uint64_t>(size) < oldLength) {
        second.Roll(window.At(p + size)[0], window.At(p + size)[size]);
      }
      ++p;
    }
    return true;
  };

  // Two threads walk the two halves of a large old copy; a block found by
  // both takes the first half's place.
  std::vector<std::int64_t> found(blocks, -1);
  const std::uint64_t half = oldLength / 2;
  bool walked = false;
  if (oldLength >= kTwoWalkersFrom) {
    std::vector<std::int64_t> second(blocks, -1);
    bool secondWalked = false;
    try {
      std::thread other([&] { secondWalked = scan(half, oldLength, second, true); });
      walked = scan(0, half, found, true);
      other.join();
      if (!walked || !secondWalked) return {};
      for (std::uint64_t i = 0; i < blocks; ++i) {
        if (found[i] < 0) found[i] = second[i];
      }
    } catch (const std::system_error&) {
      walked = false;  // no thread to be had: one walk below
      std::fill(found.begin(), found.end(), -1);
    }
  }
  if (!walked && !scan(0, oldLength, found, false)) return {};
  if (givenUp) return {DeltaPiece{0, index.length, -1}};

  OldWindow window(read, oldLength, capacity);
  // Blocks the walk passed over: each may still follow its found neighbour,
  // stand in its own place, or (the short last block) end the old copy.
  for (std::uint64_t i = 0; i < blocks; ++i) {
    if (found[i] >= 0) continue;
    if (stop && (i & 0xfff) == 0 && stop()) return {};
    const std::uint32_t length = index.BlockLength(i);
    std::vector<std::uint64_t> candidates;
    if (i > 0 && found[i - 1] >= 0) candidates.push_back(static_cast<std::uint64_t>(found[i - 1]) + size);
    candidates.push_back(i * size);
    if (i + 1 == blocks && oldLength >= length) candidates.push_back(oldLength - length);
    for (const std::uint64_t offset : candidates) {
      if (holds(window, i, offset)) {
        found[i] = static_cast<std::int64_t>(offset);
        break;
      }
    }
  }

  std::vector<DeltaPiece> plan;
  for (std::uint64_t i = 0; i < blocks; ++i) {
    const DeltaPiece piece{i * size, index.BlockLength(i), found[i]};
    if (!plan.empty()) {
      DeltaPiece& last = plan.back();
      const bool bothFetched = !last.Held() && !piece.Held();
      const bool continues = last.Held() && piece.Held() &&
                             static_cast<std::uint64_t>(last.oldOffset) + last.length ==
                                 static_cast<std::uint64_t>(piece.oldOffset);
      if (bothFetched || continues) {
        last.length += piece.length;
        continue;
      }
    }
    plan.push_back(piece);
  }
  return plan;
}

std::uint64_t FetchedBytes(const std::vector<DeltaPiece>& plan) {
  std::uint64_t bytes = 0;
  for (const DeltaPiece& piece : plan) {
    if (!piece.Held()) bytes += piece.length;
  }
  return bytes;
}
