#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "transfer/byte_ranges.h"

// A file's compressed form: the file cut into frames of one size (the last
// may be shorter), each compressed on its own, so a client can fetch and
// decode any run of frames with one range and no state from the frames
// before it.
//
// Bytes (little-endian):
//   "UPDFRAM1"                  8 bytes, the form's name and version
//   length                      8 bytes, the file's length
//   frame size                  4 bytes, a power of two from 4 KiB to 4 MiB
//   codec                       1 byte: 1 = raw deflate
//   reserved                    3 bytes, zero
//   then per frame, in order: its stored size (4 bytes) and StrongSum of its
//   decoded bytes (8 bytes);
//   then the frames' stored bytes back to back, in order.
// A frame whose stored size equals its decoded length is the file's bytes as
// they are; a stored size of 0 or above the decoded length is invalid.
//
// Nothing in a form is trusted: a frame that decodes is only a guess that the
// whole file's MD5 from the signed manifest confirms or not.

constexpr std::size_t kFramesHeaderSize = 24;
constexpr std::size_t kFrameEntrySize = 12;
constexpr std::uint32_t kWriterFrameSize = 1u << 16;
constexpr std::uint32_t kMinFrameSize = 1u << 12;
constexpr std::uint32_t kMaxFrameSize = 1u << 22;
constexpr std::uint8_t kDeflateCodec = 1;
// Smaller files are not worth a form: one request fetches them either way
// and a frame table costs more than deflate saves on a few bytes.
constexpr std::uint64_t kFramesMinLength = 4096;

// The folder at the top of a release that holds the forms, each under its
// file's own path ("UpDate.frames\maps\a.pak" for "maps\a.pak"). Serving the
// release serves them; nothing below it is ever a release file.
constexpr wchar_t kFramesFolder[] = L"UpDate.frames";
// The list of the release's files that have a form, beside the manifest:
// per line a name as the manifest writes it, a TAB and the form's length.
// A client asks for a form only when the list names it.
constexpr wchar_t kFormListName[] = L"UpDate.frames.ini";
// True for a release-relative name (either separator) inside that folder,
// and for the list.
bool IsFramesName(std::wstring_view name);

// One frame's place: its stored bytes in the form, its decoded bytes in the file.
struct FrameRange {
  std::uint64_t formOffset = 0;
  std::uint32_t storedSize = 0;
  std::uint64_t fileOffset = 0;
  std::uint32_t decodedLength = 0;
  std::uint64_t sum = 0;  // StrongSum of the decoded bytes
  bool Stored() const { return storedSize == decodedLength; }
};

// What the first kFramesHeaderSize bytes say; enough to know how many bytes
// the table takes before any of it is fetched.
struct FramesHeader {
  std::uint64_t length = 0;
  std::uint32_t frameSize = 0;
  std::uint8_t codec = 0;

  // Without length + frameSize - 1, which wraps for a length near 2^64.
  std::uint64_t Frames() const { return length / frameSize + (length % frameSize != 0 ? 1 : 0); }
  // Header and table; compared with the bytes there before anything is kept.
  std::uint64_t HeadLength() const;
};

// Nothing when the bytes are not an exact header of the form above.
std::optional<FramesHeader> ParseFramesHeader(std::string_view bytes);

struct FramesTable {
  FramesHeader header;
  std::vector<std::uint32_t> storedSizes;
  std::vector<std::uint64_t> sums;
  std::vector<std::uint64_t> formOffsets;  // per frame, computed once when read
  std::uint64_t formLength = 0;            // the whole form's

  std::uint64_t Frames() const { return storedSizes.size(); }
  FrameRange Range(std::uint64_t frame) const;
  // The frame holding the file's byte at offset (offset < length).
  std::uint64_t FrameAt(std::uint64_t offset) const { return offset / header.frameSize; }
};

// Reads a form's header and table from its first bytes (at least HeadLength
// of them; any frame bytes after are ignored). formLength is the whole
// form's length as served: the stored sizes must add up to exactly what
// follows the table. Nothing when anything disagrees, or when the file's
// length is not expectedLength.
std::optional<FramesTable> ParseFramesTable(std::string_view start, std::uint64_t formLength);
std::optional<FramesTable> ParseFramesTable(std::string_view start, std::uint64_t formLength,
                                            std::uint64_t expectedLength);

// One codec: how a frame's bytes are stored. The fetch and write paths hold
// one of these and never ask which it is.
class FrameCodec {
 public:
  virtual ~FrameCodec() = default;
  // Appends the encoded bytes of data to out.
  virtual void Encode(const std::uint8_t* data, std::size_t size, std::string& out) = 0;
  // Decodes in into exactly outSize bytes of out, never writing past them;
  // false for anything else (an error, trailing input, another length).
  virtual bool Decode(const std::uint8_t* in, std::size_t inSize, std::uint8_t* out, std::size_t outSize) = 0;
};

// The codec a table's codec byte names (kDeflateCodec), or for 0 the one
// that stores bytes as they are; nothing for any other.
std::unique_ptr<FrameCodec> MakeFrameCodec(std::uint8_t codec);

// Decodes the frames of one table, one at a time, into the caller's buffer.
// Memory stays the codec's state (tens of KiB) whatever the frames claim.
class FrameDecoder {
 public:
  explicit FrameDecoder(const FramesTable& table);
  // Decodes frame's stored bytes (exactly storedSize of them) into out,
  // which holds exactly its decoded length. False on any error, another
  // length, or a sum that does not match; out may then hold anything.
  bool Decode(std::uint64_t frame, std::string_view stored, std::uint8_t* out, std::size_t outSize);

 private:
  const FramesTable& m_table;
  std::unique_ptr<FrameCodec> m_stored;
  std::unique_ptr<FrameCodec> m_codec;
};

// The largest header and table a client reads: 700,000 frames, a file of
// 42 GiB at 64 KiB a frame. A larger form is left alone (the file's own
// bytes are fetched), so a form can never make a client hold much memory.
constexpr std::uint64_t kLargestFramesHead = 8u << 20;

// One whole frame's stored bytes, to be decoded.
struct FrameJob {
  std::uint64_t frame = 0;
  std::string_view stored;
  bool decoded = false;
};
class FrameCrew;

// Reads a served form from any of its bytes on, in order, across as many
// answers as it takes: the header and table first (held, at most
// kLargestFramesHead), then each frame's stored bytes, decoded and handed to
// the sink at their place in the file. It holds one frame's stored bytes
// and at most about 1 MiB of decoded frames (or one frame), whatever the
// form claims.
class FormReader {
 public:
  // What comes of the bytes fed so far.
  enum class State { kMore, kDone, kBad };
  // The table was read: true to go on. A frame's decoded bytes at their
  // offset in the file: true to go on.
  using TableSink = std::function<bool(const FramesTable& table)>;
  using BytesSink = std::function<bool(std::uint64_t fileOffset, const std::uint8_t* data, std::size_t size)>;

  // formLength is the form's length as its server confirmed it. helpers:
  // threads that decode frames beside the caller's (FrameDecodeHelpers),
  // started once a Feed brings two frames or more; the sinks still run on
  // the caller's thread, in order.
  FormReader(std::uint64_t formLength, TableSink onTable, BytesSink onBytes, unsigned helpers = 0);
  ~FormReader();
  FormReader(const FormReader&) = delete;  // its decoder refers to its table
  FormReader& operator=(const FormReader&) = delete;

  // The form offset of the next byte Feed takes.
  std::uint64_t Next() const { return m_next; }
  // Where the form's bytes should go on from for a file whose first
  // `offset` bytes are held: the start of the frame that holds its byte
  // there, or Next() when that frame has begun already or the table has not
  // been read yet. Moves Next() there.
  std::uint64_t SkipTo(std::uint64_t offset);
  const FramesTable* Table() const { return m_table ? &*m_table : nullptr; }
  // Until the table is read: the form offset where the head ends, as far as
  // the bytes so far tell (the header's end until the header is in).
  std::uint64_t HeadEnd() const { return m_headEnd; }
  State Current() const { return m_state; }

  // The form's bytes from Next() on. kBad for anything that is not a form of
  // the confirmed length, a frame that does not decode to its length and
  // sum, bytes past the form's end, or a sink that said no.
  State Feed(const char* data, std::size_t size);

 private:
  State Fail() { return m_state = State::kBad; }
  bool TakeHead(const char*& data, std::size_t& size);
  void Queue(const char* stored, std::size_t size);
  bool DecodeQueued();

  std::uint64_t m_formLength;
  TableSink m_onTable;
  BytesSink m_onBytes;
  State m_state = State::kMore;
  std::uint64_t m_next = 0;
  std::string m_head;
  std::uint64_t m_headEnd = kFramesHeaderSize;
  std::optional<FramesTable> m_table;
  std::unique_ptr<FrameDecoder> m_decoder;
  unsigned m_helpers;
  std::unique_ptr<FrameCrew> m_crew;
  std::uint64_t m_frame = 0;  // the frame the next stored bytes belong to, past those queued
  std::string m_stored;       // its stored bytes so far, when they came in pieces
  std::string m_assembled;    // a frame that came in pieces, queued
  // Whole frames not yet decoded, at most kDecodeBatch decoded bytes (or one
  // frame), each with its decoded bytes' room: what a Feed holds at most.
  std::vector<FrameJob> m_queued;
  std::uint64_t m_queuedBytes = 0;
  std::vector<std::vector<std::uint8_t>> m_out;
};

// Decode threads for a FormReader beside the caller's: one fewer than the
// processors (the caller's thread decodes too), at most three.
unsigned FrameDecodeHelpers(unsigned processors);

// What a delta fetches of the bytes it misses, where the file's form is
// served: each frame either as the raw ranges it misses or as its stored
// bytes, whichever crosses the wire in fewer bytes. Fine scattered edits
// stay raw; rewritten stretches come compressed.
struct FetchChoice {
  std::vector<ByteRange> raw;         // file ranges, in order
  std::vector<std::uint64_t> frames;  // whole frames from the form, in order
};
// What one more range costs beside its bytes: its part's header in a
// multipart answer and its place in the Range header.
constexpr std::uint64_t kRangeCost = 100;
// wanted: the missing file ranges, in order and apart (within the table's length).
FetchChoice ChooseFrames(const std::vector<ByteRange>& wanted, const FramesTable& table);

// Appends the encoded bytes of a frame to out, in the table's codec (raw
// deflate): the tool may take a stronger encoder than the updater's own,
// since any deflate stream decodes alike.
using FrameEncoder = std::function<void(const std::uint8_t* data, std::size_t size, std::string& out)>;
// zlib's, at its default level.
FrameEncoder DefaultFrameEncoder();

// Builds a form from the file's bytes, fed in order in pieces of any size;
// the length must be known first. The table's size follows from the length,
// so the form can be written in one pass: HeadLength() bytes of room, then
// each frame's stored bytes as Add and Finish hand them out, then Head() over
// the room.
class FramesWriter {
 public:
  explicit FramesWriter(std::uint64_t length, std::uint32_t frameSize = kWriterFrameSize,
                        FrameEncoder encoder = DefaultFrameEncoder());
  ~FramesWriter();
  std::uint64_t HeadLength() const { return m_header.HeadLength(); }
  // Appends the stored bytes of each frame completed to out.
  void Add(const void* data, std::size_t size, std::string& out);
  // Appends the last frame's; false when the bytes fed do not add up to the length.
  bool Finish(std::string& out);
  // The header and table, once finished.
  std::string Head() const;
  std::uint64_t FormLength() const { return HeadLength() + m_storedTotal; }

 private:
  void EndFrame(std::string& out);

  FramesHeader m_header;
  FrameEncoder m_encoder;
  std::vector<std::uint8_t> m_frame;
  std::string m_encoded;
  std::vector<std::uint32_t> m_storedSizes;
  std::vector<std::uint64_t> m_sums;
  std::uint64_t m_fed = 0;
  std::uint64_t m_storedTotal = 0;
};

// The whole form of a file held in memory; empty never (a zero-length file
// has a form of just its header).
std::string MakeFrames(std::string_view file, std::uint32_t frameSize = kWriterFrameSize);
