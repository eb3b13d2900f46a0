#include "driver/elapsed_watchdog.h"

#include <chrono>
#include <utility>

PlCadPrepElapsedWatchdog::PlCadPrepElapsedWatchdog(std::int64_t deadline,
                                                   std::function<void()> overdue)
    : deadlineNs(deadline), onOverdue(std::move(overdue)), thread([this] { Watch(); }) {}

PlCadPrepElapsedWatchdog::~PlCadPrepElapsedWatchdog() {
  {
    const std::lock_guard<std::mutex> guard(lock);
    stopped = true;
  }
  wake.notify_all();
  thread.join();
}

void PlCadPrepElapsedWatchdog::Watch() {
  const std::chrono::steady_clock::time_point deadline{std::chrono::nanoseconds(deadlineNs)};
  std::unique_lock<std::mutex> guard(lock);
  // A spurious wake-up before the deadline just waits again.
  if (wake.wait_until(guard, deadline, [this] { return stopped; })) return;
  guard.unlock();
  onOverdue();
}
