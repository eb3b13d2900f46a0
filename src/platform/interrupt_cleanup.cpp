#include "platform/interrupt_cleanup.h"

#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstring>
#include <string>

namespace {

constexpr std::array<int, 3> kInterruptSignals = {SIGINT, SIGTERM, SIGHUP};
// A run holds one or two unfinished files at a time; a full table leaves a
// further file unregistered, as it would be without this cleanup.
constexpr std::size_t kSlotCount = 16;

// One registered file. The handler reads `used` and then `path`, so `path`
// is written only while `used` is false.
struct Slot {
  std::atomic<bool> used{false};
  char path[PATH_MAX] = {};
};
static_assert(std::atomic<bool>::is_always_lock_free);

std::array<Slot, kSlotCount> slots;

void RemoveRegisteredFiles() {
  for (Slot& slot : slots) {
    // unlink() is safe in a handler; a name already gone is no error here.
    if (slot.used.load()) (void)::unlink(slot.path);
  }
}

void HandleInterrupt(int signal) {
  RemoveRegisteredFiles();
  // SA_RESETHAND restored the default action; the signal is blocked until the
  // handler returns, and then ends the process the conventional way.
  (void)::raise(signal);
}

class Deferral {
 public:
  Deferral() {
    sigset_t blocked;
    sigemptyset(&blocked);
    for (const int signal : kInterruptSignals) sigaddset(&blocked, signal);
    (void)::sigprocmask(SIG_BLOCK, &blocked, &previous);
  }
  Deferral(const Deferral&) = delete;
  Deferral& operator=(const Deferral&) = delete;
  ~Deferral() { (void)::sigprocmask(SIG_SETMASK, &previous, nullptr); }

 private:
  sigset_t previous{};
};

void Remember(const std::string& path) {
  if (path.size() >= PATH_MAX) return;
  for (Slot& slot : slots) {
    if (slot.used.load()) continue;
    std::memcpy(slot.path, path.c_str(), path.size() + 1);
    slot.used.store(true);
    return;
  }
}

}  // namespace

void InstallInterruptCleanup() {
  struct sigaction action {};
  action.sa_handler = HandleInterrupt;
  sigemptyset(&action.sa_mask);
  // Every interrupt signal is held while one handler runs, so removal happens once.
  for (const int signal : kInterruptSignals) sigaddset(&action.sa_mask, signal);
  action.sa_flags = static_cast<int>(SA_RESETHAND);
  for (const int signal : kInterruptSignals) (void)::sigaction(signal, &action, nullptr);
}

bool CreateRegisteredFile(const std::filesystem::path& path, const std::function<bool()>& create) {
  const Deferral deferral;
  if (!create()) return false;
  Remember(path.native());
  return true;
}

void ForgetCreatedFile(const std::filesystem::path& path) {
  const std::string& name = path.native();
  for (Slot& slot : slots) {
    if (slot.used.load() && name == slot.path) slot.used.store(false);
  }
}

void KeepCreatedFile(const std::filesystem::path& path) { ForgetCreatedFile(path); }

void EndProcessNow(int status) {
  RemoveRegisteredFiles();
  ::_exit(status);
}
