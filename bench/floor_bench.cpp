// The floor for a first, uncached check: a plain loop that opens, reads and
// closes every file below a folder, one thread, nothing hashed or written.
// The names are listed first, untimed; the timed loop is only
//   CreateFileW, ReadFile until the end, CloseHandle
// per file. Prints one result line:
//   result ok=1 seconds=S list_seconds=L files=N bytes=B
#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench_win.h"
#include "engine/handles_win.h"

namespace {

void List(const std::wstring& folder, std::vector<std::wstring>& files) {
  WIN32_FIND_DATAW entry{};
  UniqueFind find(::FindFirstFileW((folder + L"*.*").c_str(), &entry));
  if (!find) return;
  do {
    const std::wstring name = entry.cFileName;
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      if (name != L"." && name != L"..") List(folder + name + L"\\", files);
    } else {
      files.push_back(folder + name);
    }
  } while (::FindNextFileW(find.get(), &entry));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: floor_bench.exe FOLDER\n");
    return 2;
  }
  std::wstring folder = argv[1];
  if (!folder.empty() && folder.back() != L'\\') folder += L'\\';
  std::vector<std::wstring> files;
  const double listStart = bench::Seconds();
  List(folder, files);
  const double listSeconds = bench::Seconds() - listStart;
  std::vector<char> buffer(1 << 20);

  unsigned long long bytes = 0;
  bool ok = true;
  const double start = bench::Seconds();
  for (const std::wstring& path : files) {
    UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) {
      ok = false;
      continue;
    }
    DWORD got = 0;
    while (::ReadFile(file.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) && got > 0) {
      bytes += got;
    }
  }
  const double seconds = bench::Seconds() - start;
  std::printf("result ok=%d seconds=%.6f list_seconds=%.6f files=%zu bytes=%llu\n", ok ? 1 : 0, seconds,
              listSeconds, files.size(), bytes);
  return ok ? 0 : 1;
}
