#include "platform/fault_trap.h"

#include <setjmp.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cstddef>

#include "platform/event_output.h"
#include "platform/interrupt_cleanup.h"

namespace {

constexpr std::array<int, 4> kTrappedSignals = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};
// Room for the handler when the fault is a stack overflow.
constexpr std::size_t kAlternateStackBytes = 64 * 1024;

// The innermost trap of the running work and its report; null outside
// trapped work. Only the program's main thread runs trapped work.
sigjmp_buf* volatile activeTrap = nullptr;
const PlFaultReport* volatile activeReport = nullptr;
volatile bool endProcessOnFaults = false;

void HandleFault(int signal) {
  sigjmp_buf* const trap = activeTrap;
  if (trap == nullptr) {
    // A fault of our own: crash as if no handler were installed.
    ::signal(signal, SIG_DFL);
    ::raise(signal);
    return;
  }
  constexpr char kNote[] = "PeltoCadPrep: a fault signal inside kernel work was trapped\n";
  // Only a diagnostic for a person; a failed write changes nothing.
  [[maybe_unused]] const ssize_t ignored = ::write(STDERR_FILENO, kNote, sizeof(kNote) - 1);
  const PlFaultReport* const report = activeReport;
  if (endProcessOnFaults && report != nullptr && report->stage != nullptr) {
    WriteFinalEventLine(*report->stage, report->code, report->message);
    EndProcessNow(5);
  }
  siglongjmp(*trap, signal);
}

void UseAlternateStack() {
  static std::array<std::byte, kAlternateStackBytes> stack;
  static const bool installed = [] {
    stack_t alternate{};
    alternate.ss_sp = stack.data();
    alternate.ss_size = stack.size();
    alternate.ss_flags = 0;
    return ::sigaltstack(&alternate, nullptr) == 0;
  }();
  (void)installed;
}

// One trapped call: the outermost installs the handlers and restores the
// previous ones (a sanitizer's, say) when it ends; each restores the outer trap.
class TrapFrame {
 public:
  TrapFrame() : outer(activeTrap), outerReport(activeReport) {
    if (outer != nullptr) return;
    UseAlternateStack();
    struct sigaction action {};
    action.sa_handler = HandleFault;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_ONSTACK;
    for (std::size_t i = 0; i < kTrappedSignals.size(); ++i) {
      ::sigaction(kTrappedSignals[i], &action, &previous[i]);
    }
  }
  TrapFrame(const TrapFrame&) = delete;
  TrapFrame& operator=(const TrapFrame&) = delete;
  ~TrapFrame() {
    activeTrap = outer;
    activeReport = outerReport;
    if (outer != nullptr) return;
    for (std::size_t i = 0; i < kTrappedSignals.size(); ++i) {
      ::sigaction(kTrappedSignals[i], &previous[i], nullptr);
    }
  }

  sigjmp_buf jump{};

 private:
  sigjmp_buf* const outer;
  const PlFaultReport* const outerReport;
  std::array<struct sigaction, kTrappedSignals.size()> previous{};
};

}  // namespace

bool RunTrappingFaults(const std::function<void()>& work, const PlFaultReport& report) {
  // Constructed before the jump point, so it is intact when a fault lands here.
  TrapFrame frame;
  if (sigsetjmp(frame.jump, 1) != 0) return false;
  activeReport = &report;
  activeTrap = &frame.jump;
  work();
  return true;
}

void EndProcessOnTrappedFaults() { endProcessOnFaults = true; }
