// A compressed form from a hostile server. Whatever the bytes, the table's
// ranges must tile the form after its head and the file from 0, and decoding
// a frame must never write past the buffer it is given, nor accept bytes
// whose sum differs. A form the writer made from the input decodes back to it.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "transfer/delta_index.h"
#include "transfer/frames.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  if (const auto table = ParseFramesTable(bytes, bytes.size())) {
    const FramesHeader& header = table->header;
    FUZZ_CHECK(header.HeadLength() <= bytes.size());
    std::uint64_t formAt = header.HeadLength(), fileAt = 0;
    FrameDecoder decoder(*table);
    std::vector<std::uint8_t> out;
    for (std::uint64_t frame = 0; frame < table->Frames(); ++frame) {
      const FrameRange range = table->Range(frame);
      FUZZ_CHECK(range.formOffset == formAt && range.fileOffset == fileAt);
      FUZZ_CHECK(range.storedSize > 0 && range.storedSize <= range.decodedLength);
      FUZZ_CHECK(range.decodedLength <= header.frameSize);
      formAt += range.storedSize;
      fileAt += range.decodedLength;
      // A guard byte past the frame's length catches a write beyond it.
      out.assign(range.decodedLength + 1, 0xa5);
      const bool decoded = decoder.Decode(frame, bytes.substr(range.formOffset, range.storedSize), out.data(),
                                          range.decodedLength);
      FUZZ_CHECK(out[range.decodedLength] == 0xa5);
      if (decoded) FUZZ_CHECK(StrongSum(out.data(), range.decodedLength) == range.sum);
    }
    FUZZ_CHECK(formAt == bytes.size() && fileAt == header.length);
  }

  // The reader a client streams a served form through, in pieces cut by the
  // input's first byte (or whole, decoded on a helper thread too): whatever
  // the bytes, it never hands on bytes outside the file it claims, never out
  // of order, and once the form is done it has handed on exactly the file's
  // length.
  if (size > 0) {
    const bool whole = data[0] >= 192;
    std::uint64_t claimed = 0, handed = 0;
    bool ordered = true;
    FormReader reader(
        bytes.size(), [&](const FramesTable& t) { claimed = t.header.length; return true; },
        [&](std::uint64_t at, const std::uint8_t*, std::size_t n) {
          ordered = ordered && at == handed && n <= claimed - at;
          handed = at + n;
          return true;
        },
        whole ? 1 : 0);
    const std::size_t piece = whole ? size : 1 + data[0] % 64;
    for (std::size_t at = 0; at < size && reader.Current() == FormReader::State::kMore; at += piece) {
      reader.Feed(bytes.data() + at, std::min(piece, size - at));
    }
    FUZZ_CHECK(ordered);
    if (reader.Current() == FormReader::State::kDone) FUZZ_CHECK(handed == claimed);
  }

  // The input as a file: its form, with small frames so inputs span several.
  const std::string form = MakeFrames(bytes, kMinFrameSize);
  const auto table = ParseFramesTable(form, form.size(), size);
  FUZZ_CHECK(table);
  FUZZ_CHECK(form.size() <= table->header.HeadLength() + size);
  FrameDecoder decoder(*table);
  std::vector<std::uint8_t> out;
  for (std::uint64_t frame = 0; frame < table->Frames(); ++frame) {
    const FrameRange range = table->Range(frame);
    out.assign(range.decodedLength, 0);
    FUZZ_CHECK(decoder.Decode(frame, std::string_view(form).substr(range.formOffset, range.storedSize), out.data(),
                              out.size()));
    FUZZ_CHECK(std::memcmp(out.data(), data + range.fileOffset, out.size()) == 0);
  }
  return 0;
}
