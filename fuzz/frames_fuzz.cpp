// A compressed form from a hostile server. Whatever the bytes, the table's
// ranges must tile the form after its head and the file from 0, and decoding
// a frame must never write past the buffer it is given, nor accept bytes
// whose sum differs. A form the writer made from the input decodes back to it.
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
