#pragma once
// Standard output carries event lines and nothing else. The geometry kernel
// prints diagnostics of its own on standard output; once the streams are
// separated, everything printed that way lands on standard error.
#include <cstdio>
#include <string_view>

// Moves the original standard output to a private descriptor, returned as a
// stream, and points descriptor 1 at standard error. Returns stdout itself
// when the descriptors cannot be rearranged (one of them is closed, say).
std::FILE* SeparateEventOutput();

// Keeps the start of this run's error event line, up to and including the
// opening quote of its stage, for a last line written from a signal handler.
// A prefix longer than the room kept for it is not kept.
void SetFinalEventPrefix(std::string_view prefix);

// Writes the kept prefix, `stage`, `code` and `message` (plain ASCII without
// quotes or backslashes) as one error event line to the events descriptor.
// Allocates nothing and is safe in a signal handler; writes nothing when no
// prefix is kept.
void WriteFinalEventLine(std::string_view stage, std::string_view code, std::string_view message);
