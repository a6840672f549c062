#pragma once
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Hashes files on worker threads while the walk goes on, and hands each
// file's result back in the order the walk found the files, so the manifest
// reads as a one-thread walk would have written it. At most `window` files
// are in flight: memory stays bounded whatever the tree.
//
// Add, Finish and Abandon are called from one thread (the walk's); the emit
// callback runs on that thread only, in order.
class OrderedPipeline {
 public:
  // The per-file work; `scratch` is the calling worker's own buffer.
  using Work = std::function<std::string(const std::wstring& path, std::vector<char>& scratch)>;
  using Emit = std::function<void(const std::string& head, const std::string& result)>;

  OrderedPipeline(unsigned workers, std::size_t window, Work work, Emit emit);
  ~OrderedPipeline();
  OrderedPipeline(const OrderedPipeline&) = delete;
  OrderedPipeline& operator=(const OrderedPipeline&) = delete;

  // Queues one file; waits while the window is full; emits what has finished.
  void Add(std::string head, std::wstring path);
  // Queues a file whose result is already known; it keeps its place in order.
  void AddDone(std::string head, std::string result);
  // Emits every remaining result and ends the workers.
  void Finish();
  // Ends the workers without emitting anything more (a stopped walk).
  void Abandon();

 private:
  struct Item {
    std::string head;
    std::wstring path;
    std::string result;
    bool done = false;
  };

  void Worker();
  void WaitForRoom(std::unique_lock<std::mutex>& lock);
  void EmitFinished(std::unique_lock<std::mutex>& lock);
  void Join();

  const std::size_t m_window;
  Work m_work;
  Emit m_emit;
  std::mutex m_lock;
  std::condition_variable m_queued;   // workers wait for items
  std::condition_variable m_finished; // the walk waits for results
  std::deque<Item> m_items;           // front: the next result to emit
  std::size_t m_claimed = 0;          // items from the front taken by workers or known
  bool m_closing = false;
  std::vector<std::thread> m_workers;
};

// The worker count for this machine: one per processor, at least one, at most 8.
unsigned DigestWorkerCount(unsigned processors);
