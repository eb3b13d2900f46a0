#include "platform/event_output.h"

#include <fcntl.h>
#include <unistd.h>

std::FILE* SeparateEventOutput() {
  std::fflush(stdout);
  const int events = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  if (events < 0) return stdout;
  if (::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
    ::close(events);
    return stdout;
  }
  std::FILE* stream = ::fdopen(events, "w");
  if (stream == nullptr) {
    // Put standard output back as it was rather than lose the events.
    (void)::dup2(events, STDOUT_FILENO);
    ::close(events);
    return stdout;
  }
  return stream;
}
