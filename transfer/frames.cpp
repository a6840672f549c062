#include "transfer/frames.h"

#include <zlib.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "transfer/delta_index.h"
#include "transfer/name_safety.h"

namespace {

constexpr char kMagic[8] = {'U', 'P', 'D', 'F', 'R', 'A', 'M', '1'};
constexpr std::uint8_t kStoredCodec = 0;
// Raw deflate (no zlib header or trailer: the table holds the sum), with the
// full 32 KiB window; memLevel 8 is zlib's default.
constexpr int kWindowBits = -15;
constexpr int kMemLevel = 8;
// The decoded bytes a FormReader gathers before it decodes them, several
// frames at once when it has helpers.
constexpr std::uint64_t kDecodeBatch = 1u << 20;

std::uint64_t Load(const std::uint8_t* p, std::size_t bytes) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < bytes; ++i) value |= std::uint64_t{p[i]} << (8 * i);
  return value;
}

void Store(std::string& out, std::uint64_t value, std::size_t bytes) {
  for (std::size_t i = 0; i < bytes; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}

class StoredCodec : public FrameCodec {
 public:
  void Encode(const std::uint8_t* data, std::size_t size, std::string& out) override {
    out.append(reinterpret_cast<const char*>(data), size);
  }
  bool Decode(const std::uint8_t* in, std::size_t inSize, std::uint8_t* out, std::size_t outSize) override {
    if (inSize != outSize) return false;
    if (outSize != 0) std::memcpy(out, in, outSize);
    return true;
  }
};

// One z_stream each way, reset between frames: each frame is a stream of its
// own, and the state is allocated once per codec, not once per frame.
class DeflateCodec : public FrameCodec {
 public:
  explicit DeflateCodec(int level) : m_level(level) {}
  ~DeflateCodec() override {
    if (m_deflating) deflateEnd(&m_deflate);
    if (m_inflating) inflateEnd(&m_inflate);
  }

  void Encode(const std::uint8_t* data, std::size_t size, std::string& out) override {
    if (!m_deflating) {
      m_deflate = z_stream{};
      if (deflateInit2(&m_deflate, m_level, Z_DEFLATED, kWindowBits, kMemLevel, Z_DEFAULT_STRATEGY) != Z_OK) {
        throw std::bad_alloc();
      }
      m_deflating = true;
    } else {
      deflateReset(&m_deflate);
    }
    // Frames are at most kMaxFrameSize, so the sizes fit zlib's uInt.
    const std::size_t at = out.size();
    out.resize(at + deflateBound(&m_deflate, static_cast<uLong>(size)));
    m_deflate.next_in = const_cast<Bytef*>(data);
    m_deflate.avail_in = static_cast<uInt>(size);
    m_deflate.next_out = reinterpret_cast<Bytef*>(&out[at]);
    m_deflate.avail_out = static_cast<uInt>(out.size() - at);
    const int result = deflate(&m_deflate, Z_FINISH);
    if (result != Z_STREAM_END) throw std::bad_alloc();  // deflateBound was not enough: cannot happen
    out.resize(out.size() - m_deflate.avail_out);
  }

  bool Decode(const std::uint8_t* in, std::size_t inSize, std::uint8_t* out, std::size_t outSize) override {
    if (inSize == 0 || outSize == 0 || inSize > kMaxFrameSize || outSize > kMaxFrameSize) return false;
    if (!m_inflating) {
      m_inflate = z_stream{};
      if (inflateInit2(&m_inflate, kWindowBits) != Z_OK) return false;
      m_inflating = true;
    } else if (inflateReset(&m_inflate) != Z_OK) {
      return false;
    }
    m_inflate.next_in = const_cast<Bytef*>(in);
    m_inflate.avail_in = static_cast<uInt>(inSize);
    m_inflate.next_out = out;
    m_inflate.avail_out = static_cast<uInt>(outSize);
    // avail_out bounds what inflate writes: a frame that would decode longer
    // stops at outSize without reaching its end and is refused below.
    const int result = inflate(&m_inflate, Z_FINISH);
    return result == Z_STREAM_END && m_inflate.avail_out == 0 && m_inflate.avail_in == 0;
  }

 private:
  int m_level;
  z_stream m_deflate{};
  z_stream m_inflate{};
  bool m_deflating = false;
  bool m_inflating = false;
};

}  // namespace

bool IsFramesName(std::wstring_view name) {
  const std::wstring_view folder(kFramesFolder), list(kFormListName);
  if (name.size() == list.size() && StartsWithIgnoringAsciiCase(name, list)) return true;
  return name.size() > folder.size() && (name[folder.size()] == L'\\' || name[folder.size()] == L'/') &&
         StartsWithIgnoringAsciiCase(name, folder);
}

std::uint64_t FramesHeader::HeadLength() const {
  // Frames() <= 2^52 for a frame size of at least 4 KiB: no overflow.
  return kFramesHeaderSize + Frames() * kFrameEntrySize;
}

std::optional<FramesHeader> ParseFramesHeader(std::string_view bytes) {
  if (bytes.size() < kFramesHeaderSize || bytes.substr(0, sizeof(kMagic)) != std::string_view(kMagic, sizeof(kMagic))) {
    return std::nullopt;
  }
  const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.data());
  FramesHeader header;
  header.length = Load(p + 8, 8);
  header.frameSize = static_cast<std::uint32_t>(Load(p + 16, 4));
  header.codec = p[20];
  const bool powerOfTwo = header.frameSize != 0 && (header.frameSize & (header.frameSize - 1)) == 0;
  if (!powerOfTwo || header.frameSize < kMinFrameSize || header.frameSize > kMaxFrameSize ||
      header.codec != kDeflateCodec || Load(p + 21, 3) != 0) {
    return std::nullopt;
  }
  return header;
}

std::optional<FramesTable> ParseFramesTable(std::string_view start, std::uint64_t formLength) {
  const auto header = ParseFramesHeader(start);
  if (!header) return std::nullopt;
  // The table must be there before its count is trusted for anything.
  const std::uint64_t headLength = header->HeadLength();
  if (start.size() < headLength || formLength < headLength) return std::nullopt;
  const std::uint64_t frames = header->Frames();
  const auto* p = reinterpret_cast<const std::uint8_t*>(start.data()) + kFramesHeaderSize;
  FramesTable table;
  table.header = *header;
  table.formLength = formLength;
  table.storedSizes.resize(frames);
  table.sums.resize(frames);
  table.formOffsets.resize(frames);
  // Each stored size is at most its frame's decoded length, and the offsets
  // never pass formLength, so nothing below can wrap.
  std::uint64_t offset = headLength;
  for (std::uint64_t frame = 0; frame < frames; ++frame, p += kFrameEntrySize) {
    const auto stored = static_cast<std::uint32_t>(Load(p, 4));
    const std::uint64_t decoded = std::min<std::uint64_t>(header->frameSize, header->length - frame * header->frameSize);
    if (stored == 0 || stored > decoded || stored > formLength - offset) return std::nullopt;
    table.storedSizes[frame] = stored;
    table.sums[frame] = Load(p + 4, 8);
    table.formOffsets[frame] = offset;
    offset += stored;
  }
  if (offset != formLength) return std::nullopt;
  return table;
}

std::optional<FramesTable> ParseFramesTable(std::string_view start, std::uint64_t formLength,
                                            std::uint64_t expectedLength) {
  auto table = ParseFramesTable(start, formLength);
  if (!table || table->header.length != expectedLength) return std::nullopt;
  return table;
}

FrameRange FramesTable::Range(std::uint64_t frame) const {
  FrameRange range;
  range.formOffset = formOffsets[frame];
  range.storedSize = storedSizes[frame];
  range.fileOffset = frame * header.frameSize;
  range.decodedLength =
      static_cast<std::uint32_t>(std::min<std::uint64_t>(header.frameSize, header.length - range.fileOffset));
  range.sum = sums[frame];
  return range;
}

std::unique_ptr<FrameCodec> MakeFrameCodec(std::uint8_t codec) {
  if (codec == kStoredCodec) return std::make_unique<StoredCodec>();
  if (codec == kDeflateCodec) return std::make_unique<DeflateCodec>(Z_DEFAULT_COMPRESSION);
  return nullptr;
}

FrameDecoder::FrameDecoder(const FramesTable& table)
    : m_table(table), m_stored(MakeFrameCodec(kStoredCodec)), m_codec(MakeFrameCodec(table.header.codec)) {}

bool FrameDecoder::Decode(std::uint64_t frame, std::string_view stored, std::uint8_t* out, std::size_t outSize) {
  if (!m_codec || frame >= m_table.Frames()) return false;
  const FrameRange range = m_table.Range(frame);
  if (stored.size() != range.storedSize || outSize != range.decodedLength) return false;
  FrameCodec& codec = range.Stored() ? *m_stored : *m_codec;
  const auto* in = reinterpret_cast<const std::uint8_t*>(stored.data());
  return codec.Decode(in, stored.size(), out, outSize) && StrongSum(out, outSize) == range.sum;
}

unsigned FrameDecodeHelpers(unsigned processors) { return processors <= 1 ? 0 : std::min(processors - 1, 3u); }

// Decodes a batch of whole frames on the caller's thread and its helpers',
// each with a decoder of its own; Run returns once every frame is decoded.
class FrameCrew {
 public:
  FrameCrew(const FramesTable& table, unsigned helpers) : m_table(table) {
    try {
      for (unsigned i = 0; i < helpers; ++i) m_threads.emplace_back([this] { Help(); });
    } catch (const std::system_error&) {
      // Fewer helpers decode just as well, only slower.
    }
  }
  ~FrameCrew() {
    {
      std::lock_guard<std::mutex> lock(m_lock);
      m_closing = true;
    }
    m_start.notify_all();
    for (std::thread& thread : m_threads) thread.join();
  }
  FrameCrew(const FrameCrew&) = delete;
  FrameCrew& operator=(const FrameCrew&) = delete;

  // out[i] is jobs[i]'s room, sized to its decoded length.
  void Run(std::vector<FrameJob>& jobs, std::vector<std::vector<std::uint8_t>>& out, FrameDecoder& own) {
    {
      std::lock_guard<std::mutex> lock(m_lock);
      m_jobs = &jobs;
      m_out = &out;
      m_next = 0;
      m_left = jobs.size();
      ++m_round;
    }
    m_start.notify_all();
    Work(own);
    std::unique_lock<std::mutex> lock(m_lock);
    m_done.wait(lock, [this] { return m_left == 0; });
    m_jobs = nullptr;
  }

 private:
  void Help() {
    FrameDecoder decoder(m_table);
    std::uint64_t seen = 0;
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;) {
      m_start.wait(lock, [&] { return m_closing || m_round != seen; });
      if (m_closing) return;
      seen = m_round;
      lock.unlock();
      Work(decoder);
      lock.lock();
    }
  }

  // Takes frames of the batch until none is left untaken.
  void Work(FrameDecoder& decoder) {
    for (;;) {
      std::size_t i = 0;
      {
        std::lock_guard<std::mutex> lock(m_lock);
        if (!m_jobs || m_next == m_jobs->size()) return;
        i = m_next++;
      }
      FrameJob& job = (*m_jobs)[i];
      std::vector<std::uint8_t>& out = (*m_out)[i];
      job.decoded = decoder.Decode(job.frame, job.stored, out.data(), out.size());
      std::lock_guard<std::mutex> lock(m_lock);
      if (--m_left == 0) m_done.notify_all();
    }
  }

  const FramesTable& m_table;
  std::mutex m_lock;
  std::condition_variable m_start;  // helpers wait for a batch
  std::condition_variable m_done;   // Run waits for its batch's last frame
  std::vector<FrameJob>* m_jobs = nullptr;
  std::vector<std::vector<std::uint8_t>>* m_out = nullptr;
  std::size_t m_next = 0;  // the batch's first untaken frame
  std::size_t m_left = 0;  // its frames not decoded yet
  std::uint64_t m_round = 0;
  bool m_closing = false;
  std::vector<std::thread> m_threads;
};

FormReader::FormReader(std::uint64_t formLength, TableSink onTable, BytesSink onBytes, unsigned helpers)
    : m_formLength(formLength), m_onTable(std::move(onTable)), m_onBytes(std::move(onBytes)), m_helpers(helpers) {}

FormReader::~FormReader() = default;

std::uint64_t FormReader::SkipTo(std::uint64_t offset) {
  if (!m_table || m_state != State::kMore || m_table->Frames() == 0) return m_next;
  const std::uint64_t frame = std::min(m_table->FrameAt(std::min(offset, m_table->header.length - 1)),
                                       m_table->Frames() - 1);
  if (frame > m_frame) {
    m_frame = frame;
    m_stored.clear();
    m_next = m_table->formOffsets[frame];
  }
  return m_next;
}

// Gathers the header, then the table the header says follows, and reads both.
bool FormReader::TakeHead(const char*& data, std::size_t& size) {
  const auto take = [&](std::uint64_t upTo) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size, upTo - m_head.size()));
    m_head.append(data, n);
    data += n;
    size -= n;
    m_next += n;
  };
  if (m_head.size() < kFramesHeaderSize) take(kFramesHeaderSize);
  if (m_head.size() < kFramesHeaderSize) return true;
  const auto header = ParseFramesHeader(m_head);
  if (!header || header->HeadLength() > kLargestFramesHead || header->HeadLength() > m_formLength) return false;
  m_headEnd = header->HeadLength();
  take(header->HeadLength());
  if (m_head.size() < header->HeadLength()) return true;
  m_table = ParseFramesTable(m_head, m_formLength);
  std::string().swap(m_head);
  if (!m_table || !m_onTable(*m_table)) return false;
  m_decoder = std::make_unique<FrameDecoder>(*m_table);
  return true;
}

void FormReader::Queue(const char* stored, std::size_t size) {
  m_queued.push_back(FrameJob{m_frame, std::string_view(stored, size), false});
  m_queuedBytes += m_table->Range(m_frame).decodedLength;
  ++m_frame;
}

// Decodes the queued frames, then hands them on in order up to the first
// that does not decode: what went before it is the file's, an exact prefix.
bool FormReader::DecodeQueued() {
  if (m_queued.empty()) return true;
  if (m_out.size() < m_queued.size()) m_out.resize(m_queued.size());
  for (std::size_t i = 0; i < m_queued.size(); ++i) m_out[i].resize(m_table->Range(m_queued[i].frame).decodedLength);
  if (!m_crew && m_helpers > 0 && m_queued.size() > 1) m_crew = std::make_unique<FrameCrew>(*m_table, m_helpers);
  if (m_crew) {
    m_crew->Run(m_queued, m_out, *m_decoder);
  } else {
    for (std::size_t i = 0; i < m_queued.size(); ++i) {
      m_queued[i].decoded = m_decoder->Decode(m_queued[i].frame, m_queued[i].stored, m_out[i].data(), m_out[i].size());
    }
  }
  bool good = true;
  for (std::size_t i = 0; i < m_queued.size() && good; ++i) {
    good = m_queued[i].decoded &&
           m_onBytes(m_table->Range(m_queued[i].frame).fileOffset, m_out[i].data(), m_out[i].size());
  }
  m_queued.clear();
  m_queuedBytes = 0;
  return good;
}

FormReader::State FormReader::Feed(const char* data, std::size_t size) {
  if (m_state != State::kMore) return size == 0 ? m_state : Fail();
  if (!m_table && !TakeHead(data, size)) return Fail();
  while (size > 0 && m_table) {
    if (m_frame >= m_table->Frames()) {  // bytes past the last frame
      DecodeQueued();
      return Fail();
    }
    const std::uint32_t storedSize = m_table->storedSizes[m_frame];
    if (m_stored.empty() && size >= storedSize) {
      // A whole frame in the bytes at hand is decoded where it lies.
      Queue(data, storedSize);
      data += storedSize;
      size -= storedSize;
      m_next += storedSize;
    } else {
      const std::size_t n = std::min<std::size_t>(size, storedSize - m_stored.size());
      m_stored.append(data, n);
      data += n;
      size -= n;
      m_next += n;
      if (m_stored.size() == storedSize) {
        // Only a Feed's first frame comes in pieces: this room is free again by the next.
        m_assembled.swap(m_stored);
        m_stored.clear();
        Queue(m_assembled.data(), storedSize);
      }
    }
    if (m_queuedBytes >= kDecodeBatch && !DecodeQueued()) return Fail();
  }
  if (!DecodeQueued()) return Fail();
  if (m_table && m_frame == m_table->Frames()) m_state = State::kDone;
  return m_state;
}

FetchChoice ChooseFrames(const std::vector<ByteRange>& wanted, const FramesTable& table) {
  // What each touched frame misses, in bytes and in ranges.
  struct Missing {
    std::uint64_t frame, bytes, ranges;
  };
  std::vector<Missing> missing;
  const std::uint64_t size = table.header.frameSize;
  for (const ByteRange& range : wanted) {
    for (std::uint64_t at = range.first; at <= range.last;) {
      const std::uint64_t frame = at / size;
      const std::uint64_t end = std::min(range.last + 1, (frame + 1) * size);
      if (missing.empty() || missing.back().frame != frame) missing.push_back({frame, 0, 0});
      missing.back().bytes += end - at;
      ++missing.back().ranges;
      at = end;
    }
  }
  FetchChoice choice;
  std::vector<bool> framed(missing.size());
  for (std::size_t i = 0; i < missing.size(); ++i) {
    const Missing& m = missing[i];
    framed[i] = m.frame < table.Frames() &&
                table.storedSizes[m.frame] + kRangeCost < m.bytes + kRangeCost * m.ranges;
    if (framed[i]) choice.frames.push_back(m.frame);
  }
  // The raw ranges are what is wanted outside the frames taken whole.
  std::size_t i = 0;
  for (const ByteRange& range : wanted) {
    for (std::uint64_t at = range.first; at <= range.last;) {
      const std::uint64_t frame = at / size;
      const std::uint64_t end = std::min(range.last + 1, (frame + 1) * size);
      while (missing[i].frame != frame) ++i;
      if (!framed[i]) {
        if (!choice.raw.empty() && choice.raw.back().last + 1 == at) {
          choice.raw.back().last = end - 1;
        } else {
          choice.raw.push_back({at, end - 1});
        }
      }
      at = end;
    }
  }
  return choice;
}

FrameEncoder DefaultFrameEncoder() {
  auto codec = std::make_shared<DeflateCodec>(Z_DEFAULT_COMPRESSION);
  return [codec](const std::uint8_t* data, std::size_t size, std::string& out) { codec->Encode(data, size, out); };
}

FramesWriter::FramesWriter(std::uint64_t length, std::uint32_t frameSize, FrameEncoder encoder)
    : m_encoder(std::move(encoder)) {
  m_header.length = length;
  m_header.frameSize = frameSize;
  m_header.codec = kDeflateCodec;
  m_frame.reserve(frameSize);
}

FramesWriter::~FramesWriter() = default;

void FramesWriter::Add(const void* data, std::size_t size, std::string& out) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  m_fed += size;
  while (size > 0) {
    const std::size_t take = std::min<std::size_t>(size, m_header.frameSize - m_frame.size());
    m_frame.insert(m_frame.end(), bytes, bytes + take);
    bytes += take;
    size -= take;
    if (m_frame.size() == m_header.frameSize) EndFrame(out);
  }
}

void FramesWriter::EndFrame(std::string& out) {
  m_encoded.clear();
  m_encoder(m_frame.data(), m_frame.size(), m_encoded);
  // A frame deflate does not shrink is stored as it is: never larger than the file.
  if (m_encoded.size() >= m_frame.size()) {
    out.append(reinterpret_cast<const char*>(m_frame.data()), m_frame.size());
    m_storedSizes.push_back(static_cast<std::uint32_t>(m_frame.size()));
  } else {
    out += m_encoded;
    m_storedSizes.push_back(static_cast<std::uint32_t>(m_encoded.size()));
  }
  m_storedTotal += m_storedSizes.back();
  m_sums.push_back(StrongSum(m_frame.data(), m_frame.size()));
  m_frame.clear();
}

bool FramesWriter::Finish(std::string& out) {
  if (!m_frame.empty()) EndFrame(out);
  return m_fed == m_header.length;
}

std::string FramesWriter::Head() const {
  std::string head(kMagic, sizeof(kMagic));
  Store(head, m_header.length, 8);
  Store(head, m_header.frameSize, 4);
  Store(head, m_header.codec, 1);
  Store(head, 0, 3);
  for (std::size_t i = 0; i < m_storedSizes.size(); ++i) {
    Store(head, m_storedSizes[i], 4);
    Store(head, m_sums[i], 8);
  }
  return head;
}

std::string MakeFrames(std::string_view file, std::uint32_t frameSize) {
  FramesWriter writer(file.size(), frameSize);
  std::string frames;
  writer.Add(file.data(), file.size(), frames);
  writer.Finish(frames);
  return writer.Head() + frames;
}
