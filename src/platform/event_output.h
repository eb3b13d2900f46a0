#pragma once
// Standard output carries event lines and nothing else. The geometry kernel
// prints diagnostics of its own on standard output; once the streams are
// separated, everything printed that way lands on standard error.
#include <cstdio>

// Moves the original standard output to a private descriptor, returned as a
// stream, and points descriptor 1 at standard error. Returns stdout itself
// when the descriptors cannot be rearranged (one of them is closed, say).
std::FILE* SeparateEventOutput();
