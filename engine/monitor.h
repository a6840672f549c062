#pragma once
#include <cstdint>
#include <memory>

// A lock and a condition to wait for under it: what std::mutex and
// std::condition_variable give, for the threads that pass a body along. On
// Windows it is a slim lock and a condition variable: MinGW's condition
// variable goes through semaphores, and under Wine each of its waits and
// wakes is a round trip to the server (a hand-over between two threads costs
// about 300 us there, 35 us with the slim pair), while a large body is handed
// from thread to thread a few thousand times per GiB.
//   Monitor m;
//   { Monitor::Hold hold(m); while (!ready) m.Wait(); }
//   { Monitor::Hold hold(m); ready = true; }  m.WakeAll();
class Monitor {
 public:
  Monitor();
  ~Monitor();
  Monitor(const Monitor&) = delete;
  Monitor& operator=(const Monitor&) = delete;

  void Lock();
  void Unlock();
  // Both with the lock held: it is released while waiting and held again on
  // return, which may come without a wake. WaitFor gives up after about ms
  // milliseconds and then returns false.
  void Wait();
  bool WaitFor(std::uint32_t ms);
  void WakeAll();

  // Holds the lock for a scope.
  class Hold {
   public:
    explicit Hold(Monitor& monitor) : m_monitor(monitor) { m_monitor.Lock(); }
    ~Hold() { m_monitor.Unlock(); }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

   private:
    Monitor& m_monitor;
  };

 private:
  struct Parts;
  std::unique_ptr<Parts> m_parts;
};

// Asks the system to run the calling thread ahead of the process's other
// threads when the processors are short. For the one stage that sets a
// pipeline's pace (a checked download's hasher): on two cores it lost about a
// fifth of its time to the receiver, the writer and the window, which have
// chunks in hand to catch up with. Nothing on the host's build.
void FavourCurrentThread();
