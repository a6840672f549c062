#include "manifest/ordered_pipeline.h"

#include <algorithm>
#include <utility>

OrderedPipeline::OrderedPipeline(unsigned workers, std::size_t window, Work work, Emit emit)
    : m_window(std::max<std::size_t>(window, 1)), m_work(std::move(work)), m_emit(std::move(emit)) {
  for (unsigned i = 0; i < std::max(workers, 1u); ++i) m_workers.emplace_back([this] { Worker(); });
}

OrderedPipeline::~OrderedPipeline() { Abandon(); }

void OrderedPipeline::Add(std::string head, std::wstring path) {
  std::unique_lock<std::mutex> lock(m_lock);
  m_items.push_back(Item{std::move(head), std::move(path), std::string(), false});
  m_queued.notify_one();
  WaitForRoom(lock);
}

void OrderedPipeline::AddDone(std::string head, std::string result) {
  std::unique_lock<std::mutex> lock(m_lock);
  m_items.push_back(Item{std::move(head), std::wstring(), std::move(result), true});
  // Behind nothing unclaimed it joins the claimed front; else workers step over it.
  if (m_claimed + 1 == m_items.size()) ++m_claimed;
  WaitForRoom(lock);
}

void OrderedPipeline::WaitForRoom(std::unique_lock<std::mutex>& lock) {
  EmitFinished(lock);
  m_finished.wait(lock, [this] {
    return m_items.size() < m_window || (!m_items.empty() && m_items.front().done);
  });
  EmitFinished(lock);
}

void OrderedPipeline::Finish() {
  std::unique_lock<std::mutex> lock(m_lock);
  while (!m_items.empty()) {
    m_finished.wait(lock, [this] { return m_items.front().done; });
    EmitFinished(lock);
  }
  lock.unlock();
  Join();
}

void OrderedPipeline::Abandon() {
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

void OrderedPipeline::Join() {
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
// going while the stream is written. Only the walk's thread pops the front,
// and a deque keeps the other items in place, so workers' items stay valid.
void OrderedPipeline::EmitFinished(std::unique_lock<std::mutex>& lock) {
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

void OrderedPipeline::Worker() {
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
    std::string result = m_work(item.path, scratch);
    lock.lock();
    item.result = std::move(result);
    item.done = true;
    m_finished.notify_one();
  }
}

unsigned DigestWorkerCount(unsigned processors) { return std::clamp(processors, 1u, 8u); }
