// The comparison a check makes, natively: two 100 000-entry manifests, as
// ReadManifestFile hands them over (decoded and prepared), compared with
// CMyFun::CompareManifests, which reads both. The run
// should stay under 50 ms; the driver prints the ratio to that.
//
// The server manifest is in the publisher tool's (ordinal) order; the local
// one in a shuffled walk order, with 10% changed digests, 1% of the server's
// names missing and 1% local-only names. Before timing, the result is checked
// against a list built here independently; each timed pass checks its length.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "engine/my_fun.h"
#include "manifest/manifest_reader.h"

namespace {

constexpr int kEntries = 100000;

struct Manifests {
  std::wstring server;
  std::wstring local;
  std::vector<std::wstring> expected;  // in ordinal order
};

std::wstring Digest(std::mt19937_64& random) {
  static const wchar_t kHex[] = L"0123456789abcdef";
  std::wstring text(32, L'0');
  std::uint64_t bits = random();
  for (int i = 0; i < 32; ++i) {
    if (i == 16) bits = random();
    text[i] = kHex[bits & 0xF];
    bits >>= 4;
  }
  return text;
}

std::wstring Name(int i) {
  wchar_t name[64];
  std::swprintf(name, 64, L"data\\pack%03d\\part%02d\\file%06d.dat", i / 1000, (i / 100) % 10, i);
  return name;
}

const Manifests& Make() {
  static const Manifests made = [] {
    Manifests m;
    std::mt19937_64 random(20261208);
    struct Line {
      std::wstring name, digest;
    };
    std::vector<Line> server, local;
    for (int i = 0; i < kEntries; ++i) {
      const std::wstring name = Name(i);
      const std::wstring digest = Digest(random);
      server.push_back({name, digest});
      if (i % 100 == 37) {
        m.expected.push_back(name);  // missing locally
      } else if (i % 10 == 3) {
        local.push_back({name, Digest(random)});
        m.expected.push_back(name);  // changed
      } else {
        local.push_back({name, digest});
      }
    }
    for (int i = 0; i < kEntries / 100; ++i) {
      local.push_back({L"data\\old\\gone" + std::to_wstring(i) + L".dat", Digest(random)});
    }
    std::shuffle(local.begin(), local.end(), random);
    for (const Line& l : server) m.server += l.name + L"\t" + l.digest + L"\n";
    for (const Line& l : local) m.local += l.name + L"\t" + l.digest + L"\n";
    // ASCII names: code-point order is UTF-16 ordinal order.
    std::sort(m.expected.begin(), m.expected.end());
    return m;
  }();
  return made;
}

DownloadList Compare(const Manifests& m) {
  std::wstring server = PrepareManifestText(m.server);
  std::wstring local = PrepareManifestText(m.local);
  return CMyFun::CompareManifests(std::move(server), std::move(local));
}

// Times what the check does once both files are read: ReadManifestFile hands
// over prepared texts, which CompareManifests takes over (moved, not copied).
// Copying them for each pass is not part of that, so it is not timed.
void BM_CompareManifests(benchmark::State& state) {
  const Manifests& m = Make();
  const std::wstring preparedServer = PrepareManifestText(m.server);
  const std::wstring preparedLocal = PrepareManifestText(m.local);
  for (auto _ : state) {
    state.PauseTiming();
    std::wstring server = preparedServer;
    std::wstring local = preparedLocal;
    state.ResumeTiming();
    const DownloadList list = CMyFun::CompareManifests(std::move(server), std::move(local));
    if (list.size() != m.expected.size()) {
      state.SkipWithError("wrong number of names to fetch");
      break;
    }
    benchmark::DoNotOptimize(list);
  }
  state.counters["entries"] = kEntries;
  state.counters["to_fetch"] = static_cast<double>(m.expected.size());
}
BENCHMARK(BM_CompareManifests)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
  // One untimed pass, which is also the check of the result.
  const Manifests& m = Make();
  const DownloadList list = Compare(m);
  if (!std::equal(list.begin(), list.end(), m.expected.begin(), m.expected.end())) {
    std::fprintf(stderr, "CompareManifests gave %zu names, not the %zu expected\n", list.size(),
                 m.expected.size());
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
