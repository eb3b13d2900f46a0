#pragma once
// The executable's backstop for maxElapsedMs. The stages poll the elapsed
// limit often, but the kernel's mesher builds the grid of one huge face for
// seconds without asking; a watchdog thread ends such a run soon after its
// deadline instead.
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

// How long after the deadline the watchdog steps in: the polling stages report
// the limit themselves well within it.
inline constexpr std::int64_t kPlCadPrepElapsedGraceNs = 250'000'000;

class PlCadPrepElapsedWatchdog {
 public:
  // Calls `onOverdue` on the watchdog's own thread once the steady clock passes
  // `deadlineNs`, unless the watchdog is destroyed first.
  PlCadPrepElapsedWatchdog(std::int64_t deadlineNs, std::function<void()> onOverdue);
  PlCadPrepElapsedWatchdog(const PlCadPrepElapsedWatchdog&) = delete;
  PlCadPrepElapsedWatchdog& operator=(const PlCadPrepElapsedWatchdog&) = delete;
  // Stops the watchdog and waits for its thread.
  ~PlCadPrepElapsedWatchdog();

 private:
  void Watch();

  std::int64_t deadlineNs;
  std::function<void()> onOverdue;
  std::mutex lock;
  std::condition_variable wake;
  bool stopped = false;
  std::thread thread;  // last, so that it starts after everything it reads
};
