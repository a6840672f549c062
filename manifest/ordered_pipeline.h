#pragma once
#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

// Hashes files on worker threads while the caller goes on listing them, and
// hands each file's result back in the order the files were added, so the
// output reads as one thread would have written it. At most `window` files
// are in flight: memory stays bounded whatever the tree. Every parallel
// hashing of the project goes through it: the local manifest's walk
// (OrderedPipeline, files by wide path) and the publisher's tool (files by
// std::filesystem::path).
//
// Add, AddDone, Finish and Abandon are called from one thread (the caller's);
// the emit callback runs on that thread only, in order. With no worker (asked
// for none, or no thread to be had) Add does the work itself, on that thread.
template <class Job>
class OrderedPipelineOf {
 public:
  // The per-file work; `scratch` is the calling worker's own buffer.
  using Work = std::function<std::string(const Job& job, std::vector<char>& scratch)>;
  using Emit = std::function<void(const std::string& head, const std::string& result)>;

  OrderedPipelineOf(unsigned workers, std::size_t window, Work work, Emit emit)
      : m_window(std::max<std::size_t>(window, 1)),
        m_batch(std::max<std::size_t>(m_window / 4, 1)),
        m_work(std::move(work)),
        m_emit(std::move(emit)) {
    try {
      for (unsigned i = 0; i < workers; ++i) m_workers.emplace_back([this] { Worker(); });
    } catch (const std::system_error&) {
      // Fewer workers than asked for still finish the walk; none at all
      // leaves the work to Add.
    }
  }
  ~OrderedPipelineOf() { Abandon(); }
  OrderedPipelineOf(const OrderedPipelineOf&) = delete;
  OrderedPipelineOf& operator=(const OrderedPipelineOf&) = delete;

  // Queues one file; waits while the window is full; emits what has finished.
  void Add(std::string head, Job job) {
    if (m_workers.empty()) {
      std::string result = m_work(job, m_scratch);
      AddDone(std::move(head), std::move(result));
      return;
    }
    std::unique_lock<std::mutex> lock(m_lock);
    m_items.push_back(Item{std::move(head), std::move(job), std::string(), false});
    m_queued.notify_one();
    WaitForRoom(lock);
  }

  // Queues a file whose result is already known; it keeps its place in order.
  void AddDone(std::string head, std::string result) {
    std::unique_lock<std::mutex> lock(m_lock);
    m_items.push_back(Item{std::move(head), Job(), std::move(result), true});
    // Behind nothing unclaimed it joins the claimed front; else workers step over it.
    if (m_claimed + 1 == m_items.size()) ++m_claimed;
    WaitForRoom(lock);
  }

  // Emits every remaining result and ends the workers.
  void Finish() {
    std::unique_lock<std::mutex> lock(m_lock);
    while (!m_items.empty()) {
      WaitForFront(lock, std::min(m_batch, m_items.size()));
      EmitFinished(lock);
    }
    lock.unlock();
    Join();
  }

  // Ends the workers without emitting anything more (a stopped walk).
  void Abandon() {
    {
      std::lock_guard<std::mutex> lock(m_lock);
      // Items no worker has taken are dropped; taken ones finish and are dropped.
      m_items.erase(m_items.begin() + static_cast<std::ptrdiff_t>(m_claimed), m_items.end());
    }
    Join();
    std::lock_guard<std::mutex> lock(m_lock);
    m_items.clear();
    m_claimed = 0;
  }

 private:
  struct Item {
    std::string head;
    Job job;
    std::string result;
    bool done = false;
  };

  void WaitForRoom(std::unique_lock<std::mutex>& lock) {
    EmitFinished(lock);
    if (m_items.size() >= m_window) WaitForFront(lock, m_batch);
    EmitFinished(lock);
  }

  // Waits until the first `count` items are done. Waking the caller for each
  // finished file would cost a thread switch per file (a round trip to the
  // system's server under Wine); a batch at a time keeps workers busy anyway.
  void WaitForFront(std::unique_lock<std::mutex>& lock, std::size_t count) {
    m_wanted = count;
    m_finished.wait(lock, [this] { return FrontDone(); });
    m_wanted = 0;
  }

  bool FrontDone() const {
    if (m_items.size() < m_wanted) return false;
    for (std::size_t i = 0; i < m_wanted; ++i) {
      if (!m_items[i].done) return false;
    }
    return true;
  }

  void Join() {
    {
      std::lock_guard<std::mutex> lock(m_lock);
      m_closing = true;
    }
    m_queued.notify_all();
    for (std::thread& worker : m_workers) {
      if (worker.joinable()) worker.join();
    }
    m_workers.clear();
  }

  // Emits the finished results at the front, outside the lock so workers keep
  // going while the output is written. Only the caller's thread pops the
  // front, and a deque keeps the other items in place, so workers' items stay
  // valid.
  void EmitFinished(std::unique_lock<std::mutex>& lock) {
    while (!m_items.empty() && m_items.front().done) {
      Item item = std::move(m_items.front());
      m_items.pop_front();
      // A known item can reach the front unclaimed, once all before it are gone.
      if (m_claimed > 0) --m_claimed;
      lock.unlock();
      m_emit(item.head, item.result);
      lock.lock();
    }
  }

  void Worker() {
    std::vector<char> scratch;
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;) {
      m_queued.wait(lock, [this] {
        while (m_claimed < m_items.size() && m_items[m_claimed].done) ++m_claimed;
        return m_closing || m_claimed < m_items.size();
      });
      if (m_claimed == m_items.size()) return;  // closing and nothing left
      Item& item = m_items[m_claimed++];
      lock.unlock();
      std::string result = m_work(item.job, scratch);
      lock.lock();
      item.result = std::move(result);
      item.done = true;
      if (m_wanted > 0 && FrontDone()) m_finished.notify_one();
    }
  }

  const std::size_t m_window;
  const std::size_t m_batch;  // front items a waiting caller waits for
  Work m_work;
  Emit m_emit;
  std::mutex m_lock;
  std::condition_variable m_queued;   // workers wait for items
  std::condition_variable m_finished; // the caller waits for results
  std::deque<Item> m_items;           // front: the next result to emit
  std::size_t m_claimed = 0;          // items from the front taken by workers or known
  std::size_t m_wanted = 0;           // while the caller waits: front items it waits for
  bool m_closing = false;
  std::vector<std::thread> m_workers;
  std::vector<char> m_scratch;  // the caller's buffer when there is no worker
};

using OrderedPipeline = OrderedPipelineOf<std::wstring>;

// The worker count for this machine: one per processor, at least one, at most 8.
unsigned DigestWorkerCount(unsigned processors);
