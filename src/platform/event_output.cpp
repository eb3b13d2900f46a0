#include "platform/event_output.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace {

// Room for the schema, a request identifier of any length the request
// allows, and the rest of the line.
constexpr std::size_t kFinalLineBytes = 4096;

int eventsDescriptor = STDOUT_FILENO;
std::array<char, kFinalLineBytes> finalPrefix{};
std::size_t finalPrefixBytes = 0;

// Appends `text` at `at` when it fits; false when it does not.
bool Append(std::array<char, kFinalLineBytes>& line, std::size_t& at, std::string_view text) {
  if (text.size() > line.size() - at) return false;
  std::memcpy(line.data() + at, text.data(), text.size());
  at += text.size();
  return true;
}

}  // namespace

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
  eventsDescriptor = events;
  return stream;
}

void SetFinalEventPrefix(std::string_view prefix) {
  finalPrefixBytes = 0;
  if (prefix.size() > finalPrefix.size() / 2) return;
  std::memcpy(finalPrefix.data(), prefix.data(), prefix.size());
  finalPrefixBytes = prefix.size();
}

void WriteFinalEventLine(std::string_view stage, std::string_view code, std::string_view message) {
  if (finalPrefixBytes == 0) return;
  std::array<char, kFinalLineBytes> line{};
  std::size_t at = 0;
  const bool fits = Append(line, at, std::string_view(finalPrefix.data(), finalPrefixBytes)) &&
                    Append(line, at, stage) && Append(line, at, "\",\"code\":\"") &&
                    Append(line, at, code) && Append(line, at, "\",\"message\":\"") &&
                    Append(line, at, message) && Append(line, at, "\"}\n");
  if (!fits) return;
  // A short write has nowhere to be reported; the exit status still tells.
  std::size_t written = 0;
  while (written < at) {
    const ssize_t n = ::write(eventsDescriptor, line.data() + written, at - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    written += static_cast<std::size_t>(n);
  }
}
