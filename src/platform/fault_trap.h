#pragma once
// Turns a memory-access or arithmetic fault raised while third-party code runs
// into an ordinary failure of the work in progress, instead of a crash.
#include <functional>

// Runs `work` and returns true when it finished (an exception it throws passes
// through unchanged). Returns false when it raised SIGSEGV, SIGBUS, SIGFPE or
// SIGILL: the work is abandoned where it faulted, without unwinding it, so the
// caller must treat everything the work touched as lost and end the run.
// Faults outside such work keep their default effect. Calls may nest.
[[nodiscard]] bool RunTrappingFaults(const std::function<void()>& work);
