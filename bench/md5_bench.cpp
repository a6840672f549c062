// Our MD5 over a file's bytes in memory: the limit of a download that hashes
// what it receives on one stream. The file is read in pieces, untimed; only
// the hashing of each piece is timed. Prints one line:
//   result ok=1 seconds=S bytes=B md5=HEX
#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench_win.h"
#include "engine/handles_win.h"
#include "manifest/md5.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: md5_bench.exe FILE\n");
    return 2;
  }
  UniqueFile file(::CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) {
    std::fprintf(stderr, "cannot open the file (error %lu)\n", ::GetLastError());
    return 2;
  }
  std::vector<char> piece(16 << 20);
  Md5 md5;
  unsigned long long bytes = 0;
  double seconds = 0;
  bool ok = true;
  for (;;) {
    DWORD got = 0;
    if (!::ReadFile(file.get(), piece.data(), static_cast<DWORD>(piece.size()), &got, nullptr)) {
      ok = false;
      break;
    }
    if (got == 0) break;
    const double start = bench::Seconds();
    md5.Update(piece.data(), got);
    seconds += bench::Seconds() - start;
    bytes += got;
  }
  const std::string hex = Md5::ToHex(md5.Final());
  std::printf("result ok=%d seconds=%.6f bytes=%llu md5=%s\n", ok ? 1 : 0, seconds, bytes, hex.c_str());
  return ok ? 0 : 1;
}
