#include "transfer/delta_index.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>

#include "transfer/name_safety.h"

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
  return StartsWithIgnoringAsciiCase(name, folder);
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

namespace {

// Chain entries looked at for one position of the old copy. A real file has
// chains of a few entries; an index whose blocks share one weak sum would
// otherwise have every position visit all of them.
constexpr std::uint32_t kChainSteps = 64;
// How often a walker asks whether to stop: a few ms of work apart.
constexpr std::uint64_t kCheckEveryWork = 16u << 20;

// Finds where the old copy holds the new file's blocks. The steps, in order:
// the index's sums are set out in tables (BuildTables); one or two walkers
// slide a window over the old copy and note where they find blocks (Walk);
// blocks the walk passed over are tried beside their found neighbours and in
// their own place (PlaceLeftovers); neighbouring pieces are joined (Pieces).
//
// The walk's cost is bounded whatever the index holds: each position looks
// at no more than kChainSteps chain entries, and the work spent on positions
// that found nothing (bytes hashed, entries visited) has a budget of a few
// reads of both files. Past it, or after a quarter of each half of a large
// file without a single block, a whole download is cheaper: the plan is then
// one fetched piece.
class Planner {
 public:
  Planner(const DeltaIndex& index, std::uint64_t oldLength, const OldReader& read,
          const std::function<bool()>& stop)
      : m_index(index), m_oldLength(oldLength), m_read(read), m_stop(stop), m_size(index.blockSize),
        m_blocks(index.Blocks()), m_full(index.length / index.blockSize),
        m_weakMask(static_cast<std::uint32_t>(Mask(index.weakBytes))), m_strongMask(Mask(index.strongBytes)),
        m_budget(4 * (oldLength + index.length) + (64u << 20)),
        // Never more than the old copy: a small file needs no 4 MiB window.
        m_capacity(static_cast<std::size_t>(std::max<std::uint64_t>(
            1, std::min<std::uint64_t>(std::max<std::uint64_t>(4u << 20, 8u * m_size), oldLength)))) {}

  std::vector<DeltaPiece> Plan() {
    BuildTables();
    std::vector<std::int64_t> found(m_blocks, -1);
    switch (WalkOldCopy(found)) {
      case Walked::kStopped:
        return {};
      case Walked::kGivenUp:
        return {DeltaPiece{0, m_index.length, -1}};
      case Walked::kDone:
        break;
    }
    if (!PlaceLeftovers(found)) return {};
    return Pieces(found);
  }

 private:
  enum class Walked { kDone, kStopped, kGivenUp };
  class Walker;

  // Whole blocks by their weak sum's low 16 bits, chained, and a bit per pair
  // of neighbouring weak sums: most positions of a changed region are turned
  // away by one bit that stays in the cache. Pairs of blocks with the same
  // sums (a file's zero-filled stretches are many equal blocks) are chained
  // once; the others are listed behind that one in m_same, the lowest first.
  void BuildTables() {
    m_weaks.resize(m_blocks);
    m_strongs.resize(m_blocks);
    for (std::uint64_t i = 0; i < m_blocks; ++i) {
      m_weaks[i] = m_index.Weak(i);
      m_strongs[i] = m_index.Strong(i);
    }
    m_heads.assign(1u << 16, kNone);
    m_next.assign(m_full, kNone);
    m_same.assign(m_full, kNone);
    m_pairs.assign(std::size_t{1} << (kPairBits - 6), 0);
    std::unordered_map<PairKey, std::uint32_t, PairKeyHash> chained;
    for (std::uint64_t i = m_full; i-- > 0;) {
      const auto block = static_cast<std::uint32_t>(i);
      if (i + 1 < m_full) {
        const PairKey key{m_weaks[i], m_weaks[i + 1], m_strongs[i], m_strongs[i + 1]};
        const auto [at, added] = chained.try_emplace(key, block);
        if (!added) {
          const std::uint32_t first = at->second;
          m_same[block] = m_same[first];
          m_same[first] = block;
          continue;
        }
        const std::uint32_t bit = PairBit(m_weaks[i], m_weaks[i + 1]);
        m_pairs[bit >> 6] |= std::uint64_t{1} << (bit & 63);
      }
      const std::uint32_t key = m_weaks[i] & 0xffffu;
      m_next[i] = m_heads[key];
      m_heads[key] = block;
    }
  }

  // Whether some chained pair has these weak sums; work counts the steps.
  bool Listed(std::uint32_t weak1, std::uint32_t weak2, std::uint64_t& work) const {
    std::uint32_t steps = 0;
    for (std::uint32_t i = m_heads[weak1 & 0xffffu]; i != kNone && steps < kChainSteps; i = m_next[i]) {
      work += 8;
      ++steps;
      if (i + 1 < m_full && m_weaks[i] == weak1 && m_weaks[i + 1] == weak2) return true;
    }
    return false;
  }

  // Block i at old offset, by both its sums.
  bool Holds(OldWindow& window, std::uint64_t i, std::uint64_t offset) const {
    const std::uint32_t length = m_index.BlockLength(i);
    if (!window.Ensure(offset, length) ||
        (StrongSum(window.At(offset), length) & m_strongMask) != m_strongs[i]) {
      return false;
    }
    RollingSum weak;
    weak.Start(window.At(offset), length);
    return (weak.Weak() & m_weakMask) == m_weaks[i];
  }

  // Work spent for nothing so far; false once it passes the budget.
  bool Spend(std::uint64_t work) {
    return m_spent.fetch_add(work, std::memory_order_relaxed) + work <= m_budget;
  }

  Walked WalkOldCopy(std::vector<std::int64_t>& found);

  // Blocks the walk passed over: each may still follow its found neighbour,
  // stand in its own place, (the short last block) end the old copy, or come
  // just before the next found block.
  bool PlaceLeftovers(std::vector<std::int64_t>& found) const {
    OldWindow window(m_read, m_oldLength, m_capacity);
    std::uint64_t sinceAsked = 0;
    for (std::uint64_t i = 0; i < m_blocks; ++i) {
      if (found[i] >= 0) continue;
      sinceAsked += 3u * m_size;
      if (sinceAsked >= kCheckEveryWork) {
        sinceAsked = 0;
        if (m_stop && m_stop()) return false;
      }
      const std::uint32_t length = m_index.BlockLength(i);
      std::uint64_t candidates[3];
      std::size_t count = 0;
      if (i > 0 && found[i - 1] >= 0) candidates[count++] = static_cast<std::uint64_t>(found[i - 1]) + m_size;
      candidates[count++] = i * m_size;
      if (i + 1 == m_blocks && m_oldLength >= length) candidates[count++] = m_oldLength - length;
      for (std::size_t c = 0; c < count; ++c) {
        if (Holds(window, i, candidates[c])) {
          found[i] = static_cast<std::int64_t>(candidates[c]);
          break;
        }
      }
    }
    // Then backwards: a block just before the next found one. In a run of
    // equal blocks (zeros) the walk keeps to its own grid and steps past the
    // place where shifted blocks begin.
    // A window of one block: these places lie far apart, and a window of
    // the walk's size would be read anew for each.
    OldWindow back(m_read, m_oldLength, std::min<std::size_t>(m_capacity, m_size));
    for (std::uint64_t i = m_blocks; i-- > 1;) {
      const std::uint64_t before = i - 1;
      if (found[before] >= 0 || found[i] < static_cast<std::int64_t>(m_size)) continue;
      sinceAsked += m_size;
      if (sinceAsked >= kCheckEveryWork) {
        sinceAsked = 0;
        if (m_stop && m_stop()) return false;
      }
      const std::uint64_t offset = static_cast<std::uint64_t>(found[i]) - m_size;
      if (Holds(back, before, offset)) {
        found[before] = static_cast<std::int64_t>(offset);
      }
    }
    return true;
  }

  // Neighbouring held blocks that follow each other in the old copy make one
  // piece, neighbouring fetched blocks one range.
  std::vector<DeltaPiece> Pieces(const std::vector<std::int64_t>& found) const {
    std::vector<DeltaPiece> plan;
    for (std::uint64_t i = 0; i < m_blocks; ++i) {
      const DeltaPiece piece{i * m_size, m_index.BlockLength(i), found[i]};
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

  struct PairKey {
    std::uint32_t weak1, weak2;
    std::uint64_t strong1, strong2;
    bool operator==(const PairKey& o) const {
      return weak1 == o.weak1 && weak2 == o.weak2 && strong1 == o.strong1 && strong2 == o.strong2;
    }
  };
  struct PairKeyHash {
    std::size_t operator()(const PairKey& k) const {
      return static_cast<std::size_t>(StrongSum(reinterpret_cast<const std::uint8_t*>(&k.strong1), 8) ^
                                      (std::uint64_t{k.weak1} << 32 | k.weak2) ^ (k.strong2 * 0x9e3779b97f4a7c15ull));
    }
  };

  const DeltaIndex& m_index;
  const std::uint64_t m_oldLength;
  const OldReader& m_read;
  const std::function<bool()>& m_stop;
  const std::uint32_t m_size;
  const std::uint64_t m_blocks;
  const std::uint64_t m_full;  // blocks of the whole size
  const std::uint32_t m_weakMask;
  const std::uint64_t m_strongMask;
  const std::uint64_t m_budget;
  const std::size_t m_capacity;
  std::vector<std::uint32_t> m_weaks;
  std::vector<std::uint64_t> m_strongs;
  std::vector<std::uint32_t> m_heads, m_next, m_same;
  std::vector<std::uint64_t> m_pairs;
  std::atomic<std::uint64_t> m_spent{0};
  std::atomic<bool> m_anyFound{false}, m_givenUp{false};
};

// One thread's walk over old positions [from, to), with its own window and
// its own list of what it found.
class Planner::Walker {
 public:
  Walker(Planner& planner, std::uint64_t from, std::uint64_t to, std::vector<std::int64_t>& found,
         bool mayGiveUp)
      : m_p(planner), m_from(from), m_to(to), m_found(found), m_mayGiveUp(mayGiveUp),
        m_window(planner.m_read, planner.m_oldLength, planner.m_capacity), m_at(from),
        m_expect(from == 0 ? 0 : -1), m_assigned(planner.m_full, false) {}

  Walked Run() {
    const std::uint64_t size = m_p.m_size;
    while (m_p.m_full > 0 && m_at < m_to && m_at + size <= m_p.m_oldLength) {
      const Walked checked = CheckIn();
      if (checked != Walked::kDone) return checked;
      if (FollowExpected()) continue;
      const bool pair = m_at + 2 * std::uint64_t{size} <= m_p.m_oldLength;
      if (!StartSums(pair)) break;
      if (pair) SlideToCandidate();
      const std::int64_t matched = pair ? LookUpPair() : -1;
      if (matched >= 0) {
        m_p.m_anyFound = true;
        m_expect = matched + 2;
        m_at += 2 * std::uint64_t{size};
        m_rolling = false;
        continue;
      }
      if (m_at + size >= m_p.m_oldLength) break;
      RollOne(pair);
    }
    return Walked::kDone;
  }

 private:
  // Now and then (by positions and by work): a stop, the budget, and whether
  // a rewritten file should be given up on.
  Walked CheckIn() {
    if (++m_sinceAsked < 65536 && m_at - m_askedAt < (1u << 20) && m_work < kCheckEveryWork) {
      return Walked::kDone;
    }
    m_sinceAsked = 0;
    m_askedAt = m_at;
    const std::uint64_t work = std::exchange(m_work, 0);
    if (m_p.m_stop && m_p.m_stop()) return Walked::kStopped;
    if (!m_p.Spend(work)) m_p.m_givenUp = true;
    if (m_mayGiveUp && !m_p.m_anyFound && (m_at - m_from) >= (m_to - m_from) / 4) m_p.m_givenUp = true;
    return m_p.m_givenUp ? Walked::kGivenUp : Walked::kDone;
  }

  // The block after the last one found, in its place; or, a block changed in
  // place, the one after it.
  bool FollowExpected() {
    if (m_expect < 0) return false;
    const std::uint64_t size = m_p.m_size;
    const auto e = static_cast<std::uint64_t>(m_expect);
    for (const std::uint64_t skip : {std::uint64_t{0}, std::uint64_t{1}}) {
      const std::uint64_t block = e + skip, offset = m_at + skip * size;
      if (block < m_p.m_full && m_p.Holds(m_window, block, offset)) {
        m_found[block] = static_cast<std::int64_t>(offset);
        m_p.m_anyFound = true;
        m_expect = static_cast<std::int64_t>(block + 1);
        m_at = offset + size;
        m_rolling = false;
        return true;
      }
      m_work += size;
    }
    m_expect = -1;
    return false;
  }

  // The window over the sums and the byte each rolls in next.
  bool StartSums(bool pair) {
    const std::uint64_t size = m_p.m_size;
    const std::size_t span = (pair ? 2 * static_cast<std::size_t>(size) : size) + 1;
    if (!m_window.Ensure(m_at, static_cast<std::size_t>(std::min<std::uint64_t>(span, m_p.m_oldLength - m_at)))) {
      return false;
    }
    if (!m_rolling) {
      m_first.Start(m_window.At(m_at), size);
      if (pair) m_second.Start(m_window.At(m_at + size), size);
      m_rolling = true;
    }
    return true;
  }

  // The common case in a changed region, kept in registers: roll both sums
  // until the filter and the chains let a position through or the window
  // ends. The filter lets about one position in sixteen through; answering
  // those here keeps the walk in this loop until the weak sums really agree.
  void SlideToCandidate() {
    const std::uint32_t size = m_p.m_size;
    const std::uint64_t limit = std::min(m_window.End(), m_p.m_oldLength);
    const std::uint64_t reach = 2 * std::uint64_t{size} + 1;
    const std::uint64_t until = std::min(m_to, limit >= reach ? limit - reach : 0);
    RollingSum one = m_first, two = m_second;
    const std::uint8_t* at = m_window.At(m_at);
    const std::uint64_t start = m_at;
    std::uint64_t p = m_at;
    while (p < until) {
      const std::uint32_t weak1 = one.Weak() & m_p.m_weakMask, weak2 = two.Weak() & m_p.m_weakMask;
      const std::uint32_t bit = PairBit(weak1, weak2);
      if ((m_p.m_pairs[bit >> 6] >> (bit & 63) & 1) != 0 && m_p.Listed(weak1, weak2, m_work)) break;
      one.Roll(at[0], at[size]);
      two.Roll(at[size], at[2 * size]);
      ++at;
      ++p;
    }
    m_work += p - start;
    m_at = p;
    m_first = one;
    m_second = two;
  }

  // A new block is looked for as a pair with the block after it, whose weak
  // sums must both agree: two short sums filter as well as one long. The
  // pairs with the same sums all take their bytes from here.
  std::int64_t LookUpPair() {
    const std::uint64_t size = m_p.m_size;
    const std::uint32_t weak1 = m_first.Weak() & m_p.m_weakMask;
    const std::uint32_t weak2 = m_second.Weak() & m_p.m_weakMask;
    const std::uint32_t bit = PairBit(weak1, weak2);
    if ((m_p.m_pairs[bit >> 6] >> (bit & 63) & 1) == 0) return -1;
    std::uint64_t strong1 = 0, strong2 = 0;
    bool strongKnown = false;
    std::uint32_t steps = 0;
    for (std::uint32_t i = m_p.m_heads[weak1 & 0xffffu]; i != kNone && steps < kChainSteps;
         i = m_p.m_next[i], ++steps) {
      m_work += 8;
      if (i + 1 >= m_p.m_full || m_p.m_weaks[i] != weak1 || m_p.m_weaks[i + 1] != weak2) continue;
      if (!strongKnown) {
        strong1 = StrongSum(m_window.At(m_at), size) & m_p.m_strongMask;
        strong2 = StrongSum(m_window.At(m_at + size), size) & m_p.m_strongMask;
        strongKnown = true;
        m_work += 2 * size;
      }
      if (m_p.m_strongs[i] != strong1 || m_p.m_strongs[i + 1] != strong2) continue;
      if (!m_assigned[i]) {
        m_assigned[i] = true;
        for (std::uint32_t same = i; same != kNone; same = m_p.m_same[same]) {
          if (m_found[same] < 0) m_found[same] = static_cast<std::int64_t>(m_at);
          if (m_found[same + 1] < 0) m_found[same + 1] = static_cast<std::int64_t>(m_at + size);
        }
      }
      // The walk goes on after the first of those pairs in the new file.
      return m_p.m_same[i] != kNone ? m_p.m_same[i] : i;
    }
    return -1;
  }

  void RollOne(bool pair) {
    const std::uint64_t size = m_p.m_size;
    m_first.Roll(m_window.At(m_at)[0], m_window.At(m_at)[size]);
    if (pair && m_at + 2 * size < m_p.m_oldLength) {
      m_second.Roll(m_window.At(m_at + size)[0], m_window.At(m_at + size)[size]);
    }
    ++m_at;
    ++m_work;
  }

  Planner& m_p;
  const std::uint64_t m_from, m_to;
  std::vector<std::int64_t>& m_found;
  const bool m_mayGiveUp;
  OldWindow m_window;
  std::uint64_t m_at;
  std::int64_t m_expect;  // the block that would follow at m_at: at first, the same place
  RollingSum m_first, m_second;
  bool m_rolling = false;
  std::uint32_t m_sinceAsked = 0;
  std::uint64_t m_askedAt = m_from;
  std::uint64_t m_work = 0;  // since the last check-in
  std::vector<bool> m_assigned;  // chained pairs whose equals have their place
};

// Two threads walk the two halves of a large old copy; a block found by
// both takes the first half's place.
Planner::Walked Planner::WalkOldCopy(std::vector<std::int64_t>& found) {
  const std::uint64_t half = m_oldLength / 2;
  if (m_oldLength >= kTwoWalkersFrom) {
    std::vector<std::int64_t> second(m_blocks, -1);
    Walked secondWalked = Walked::kDone;
    try {
      std::thread other([&] { secondWalked = Walker(*this, half, m_oldLength, second, true).Run(); });
      const Walked walked = Walker(*this, 0, half, found, true).Run();
      other.join();
      if (walked == Walked::kStopped || secondWalked == Walked::kStopped) return Walked::kStopped;
      if (m_givenUp) return Walked::kGivenUp;
      for (std::uint64_t i = 0; i < m_blocks; ++i) {
        if (found[i] < 0) found[i] = second[i];
      }
      return Walked::kDone;
    } catch (const std::system_error&) {
      std::fill(found.begin(), found.end(), -1);  // no thread to be had: one walk below
    }
  }
  const Walked walked = Walker(*this, 0, m_oldLength, found, false).Run();
  return walked == Walked::kDone && m_givenUp ? Walked::kGivenUp : walked;
}

}  // namespace

std::vector<DeltaPiece> PlanDelta(const DeltaIndex& index, std::uint64_t oldLength,
                                  const OldReader& read, const std::function<bool()>& stop) {
  return Planner(index, oldLength, read, stop).Plan();
}

std::uint64_t FetchedBytes(const std::vector<DeltaPiece>& plan) {
  std::uint64_t bytes = 0;
  for (const DeltaPiece& piece : plan) {
    if (!piece.Held()) bytes += piece.length;
  }
  return bytes;
}
