// An index and a multipart answer from a hostile server. Whatever the bytes,
// the plan must tile the new file in order and read only inside the old copy,
// and a multipart reader must hand on only bytes of the ranges it was asked
// for, each at most once.
#include <cstring>

#include "fuzz/fuzz_support.h"
#include "transfer/byte_ranges.h"
#include "transfer/delta_index.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  // The first byte splits the input into the index and the old copy.
  const std::size_t cut = std::min<std::size_t>(size - 1, 1 + data[0] * (size - 1) / 256);
  const std::string_view index(reinterpret_cast<const char*>(data + 1), cut - 1);
  const std::string old(reinterpret_cast<const char*>(data + cut), size - cut);

  if (const auto parsed = ParseDeltaIndex(index)) {
    const OldReader read = [&](std::uint64_t offset, std::uint8_t* out, std::size_t n) -> std::size_t {
      FUZZ_CHECK(offset < old.size());
      n = std::min<std::size_t>(n, old.size() - offset);
      std::memcpy(out, old.data() + offset, n);
      return n;
    };
    std::uint64_t next = 0;
    for (const DeltaPiece& piece : PlanDelta(*parsed, old.size(), read)) {
      FUZZ_CHECK(piece.offset == next && piece.length > 0);
      if (piece.Held()) {
        FUZZ_CHECK(static_cast<std::uint64_t>(piece.oldOffset) + piece.length <= old.size());
      }
      next += piece.length;
    }
    FUZZ_CHECK(next == parsed->length);
  }

  // The same bytes as a multipart answer to two ranges of a 1000-byte file.
  const std::vector<ByteRange> asked = {{10, 19}, {500, 999}};
  MultipartReader reader("B", asked, 1000);
  std::vector<std::uint64_t> seen(1000, 0);
  reader.Feed(reinterpret_cast<const char*>(data), size,
              [&](std::uint64_t offset, const char*, std::size_t n) {
                for (std::uint64_t at = offset; at < offset + n; ++at) {
                  FUZZ_CHECK(at < 1000 && ((at >= 10 && at <= 19) || at >= 500));
                  FUZZ_CHECK(++seen[at] == 1);
                }
                return true;
              });
  return 0;
}
