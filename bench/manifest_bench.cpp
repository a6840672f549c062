// Times one CMyFun::BuildLocalManifest over a folder, the way the worker calls
// it before a check (no stop signal), and prints one result line:
//   result ok=1 seconds=S base_ws_kib=... call_peak_ws_kib=... growth_kib=...
// The manifest lands in <folder>LocalDate.ini; the driver checks its digests.
#include <cstdio>
#include <string>

#include "bench/bench_win.h"
#include "engine/my_fun.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: manifest_bench.exe FOLDER\n");
    return 2;
  }
  const std::wstring folder = argv[1];
  CMyFun fun;
  bench::CallMemory memory;

  memory.Start();
  const double start = bench::Seconds();
  const bool ok = fun.BuildLocalManifest(folder, nullptr);
  const double seconds = bench::Seconds() - start;
  memory.Stop();

  std::printf("result ok=%d seconds=%.6f", ok ? 1 : 0, seconds);
  memory.Print(stdout);
  std::printf("\n");
  return ok ? 0 : 1;
}
