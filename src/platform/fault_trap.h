#pragma once
// Turns a memory-access or arithmetic fault raised while third-party code runs
// into an ordinary failure of the work in progress, instead of a crash.
#include <functional>
#include <string_view>

// How a fault inside trapped work ends the run once the process ends on
// faults: the stage in force when it happens (read then) and the failure's
// code and message.
struct PlFaultReport {
  const std::string_view* stage = nullptr;
  std::string_view code;
  std::string_view message;
};

// Runs `work` and returns true when it finished (an exception it throws passes
// through unchanged). Returns false when it raised SIGSEGV, SIGBUS, SIGFPE or
// SIGILL: the work is abandoned where it faulted, without unwinding it, so the
// caller must treat everything the work touched as lost and end the run.
// Faults outside such work keep their default effect. Calls may nest.
[[nodiscard]] bool RunTrappingFaults(const std::function<void()>& work,
                                     const PlFaultReport& report = {});

// From now on a fault inside trapped work never returns to the caller: a
// fault can land inside the allocator with its lock held or its lists half
// changed, and then nothing may allocate again. The handler itself writes the
// innermost work's report as the run's last event line, removes the run's
// unfinished files and ends the process with status 5. The executable's choice.
void EndProcessOnTrappedFaults();
