#include "manifest/ordered_pipeline.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

// Work whose duration varies with the item, so later items often finish
// before earlier ones; it also records how many items ran at once.
struct UnevenWork {
  std::atomic<int> running{0};
  std::atomic<int> most{0};
  std::atomic<int> calls{0};

  std::string operator()(const std::wstring& path, std::vector<char>& scratch) {
    const int now = ++running;
    for (int seen = most; now > seen && !most.compare_exchange_weak(seen, now);) {
    }
    ++calls;
    scratch.resize(16);  // each worker's own buffer: a shared one would race under TSan/ASan
    const int n = std::stoi(std::string(path.begin(), path.end()));
    std::this_thread::sleep_for(std::chrono::microseconds((n * 7919) % 500));
    --running;
    return "r" + std::to_string(n) + "\n";
  }
};

std::wstring Name(int i) { return std::to_wstring(i); }

}  // namespace

TEST(OrderedPipelineTest, ResultsComeOutInTheOrderAddedWhateverOrderTheyFinish) {
  UnevenWork work;
  std::string out;
  std::thread::id emitter;
  bool sameThread = true;
  {
    OrderedPipeline pipeline(
        4, 8, [&](const std::wstring& p, std::vector<char>& s) { return work(p, s); },
        [&](const std::string& head, const std::string& result) {
          if (emitter == std::thread::id()) emitter = std::this_thread::get_id();
          sameThread = sameThread && emitter == std::this_thread::get_id();
          out += head + result;
        });
    for (int i = 0; i < 500; ++i) pipeline.Add("f" + std::to_string(i) + "\t", Name(i));
    pipeline.Finish();
  }
  std::string expected;
  for (int i = 0; i < 500; ++i) expected += "f" + std::to_string(i) + "\tr" + std::to_string(i) + "\n";
  EXPECT_EQ(expected, out);
  EXPECT_TRUE(sameThread);
  EXPECT_EQ(std::this_thread::get_id(), emitter);  // the adding thread writes
  EXPECT_GT(work.most.load(), 1);                   // it did run in parallel
  EXPECT_LE(work.most.load(), 4);
}

TEST(OrderedPipelineTest, TheWindowBoundsWhatIsInFlight) {
  std::atomic<int> started{0};
  std::atomic<bool> release{false};
  int emitted = 0;
  OrderedPipeline pipeline(
      2, 5,
      [&](const std::wstring&, std::vector<char>&) {
        ++started;
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return std::string("x");
      },
      [&](const std::string&, const std::string&) { ++emitted; });
  std::thread adder([&] {
    for (int i = 0; i < 20; ++i) pipeline.Add("h", Name(i));
  });
  // With every worker blocked, the adder stops at the window.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(2, started.load());
  EXPECT_EQ(0, emitted);
  release = true;
  adder.join();
  pipeline.Finish();
  EXPECT_EQ(20, emitted);
  EXPECT_EQ(20, started.load());
}

TEST(OrderedPipelineTest, AbandonDropsWhatIsQueuedAndEmitsNothingMore) {
  std::atomic<int> calls{0};
  int emitted = 0;
  {
    OrderedPipeline pipeline(
        1, 100,
        [&](const std::wstring&, std::vector<char>&) {
          ++calls;
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
          return std::string("x");
        },
        [&](const std::string&, const std::string&) { ++emitted; });
    for (int i = 0; i < 50; ++i) pipeline.Add("h", Name(i));
    pipeline.Abandon();
    const int afterAbandon = calls;
    EXPECT_LT(afterAbandon, 5);
  }  // the destructor after Abandon is harmless
  EXPECT_EQ(0, emitted);
}

TEST(OrderedPipelineTest, NothingAddedFinishesAtOnce) {
  int emitted = 0;
  OrderedPipeline pipeline(
      3, 4, [](const std::wstring&, std::vector<char>&) { return std::string(); },
      [&](const std::string&, const std::string&) { ++emitted; });
  pipeline.Finish();
  EXPECT_EQ(0, emitted);
  EXPECT_EQ(1u, DigestWorkerCount(0));
  EXPECT_EQ(2u, DigestWorkerCount(2));
  EXPECT_EQ(8u, DigestWorkerCount(64));
}

// Known results (cached digests) mixed with worked ones, in runs and alone,
// at the front and behind unfinished work: each keeps its place, none is
// worked, nothing is emitted twice or lost.
TEST(OrderedPipelineTest, KnownResultsKeepTheirPlaceAndAreNotWorked) {
  UnevenWork work;
  std::string out;
  std::string expected;
  {
    OrderedPipeline pipeline(
        3, 6, [&](const std::wstring& p, std::vector<char>& s) { return work(p, s); },
        [&](const std::string& head, const std::string& result) { out += head + result; });
    int worked = 0;
    for (int i = 0; i < 600; ++i) {
      const std::string head = "f" + std::to_string(i) + "\t";
      if ((i * 37) % 5 < 2 || (i >= 200 && i < 260)) {
        pipeline.AddDone(head, "known\n");
        expected += head + "known\n";
      } else {
        pipeline.Add(head, Name(i));
        expected += head + "r" + std::to_string(i) + "\n";
        ++worked;
      }
    }
    pipeline.Finish();
    EXPECT_EQ(worked, work.calls.load());
  }
  EXPECT_EQ(expected, out);
}

TEST(OrderedPipelineTest, WithoutWorkersTheCallerDoesTheWorkInOrder) {
  // No thread to be had: a window smaller than the files and known results
  // between them must neither stall the caller nor reorder the lines.
  UnevenWork work;
  std::string out;
  std::thread::id worked;
  {
    OrderedPipeline pipeline(
        0, 3,
        [&](const std::wstring& p, std::vector<char>& s) {
          worked = std::this_thread::get_id();
          return work(p, s);
        },
        [&](const std::string& head, const std::string& result) { out += head + result; });
    for (int i = 0; i < 20; ++i) {
      if (i % 4 == 1) {
        pipeline.AddDone("k" + std::to_string(i) + "\t", "known\n");
      } else {
        pipeline.Add("f" + std::to_string(i) + "\t", Name(i));
      }
    }
    pipeline.Finish();
  }
  std::string expected;
  for (int i = 0; i < 20; ++i) {
    expected += i % 4 == 1 ? "k" + std::to_string(i) + "\tknown\n"
                           : "f" + std::to_string(i) + "\tr" + std::to_string(i) + "\n";
  }
  EXPECT_EQ(expected, out);
  EXPECT_EQ(15, work.calls.load());
  EXPECT_EQ(std::this_thread::get_id(), worked);
}
