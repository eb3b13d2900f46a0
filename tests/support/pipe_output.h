#pragma once
// Collects what a child process wrote into a pipe, for tests that start one.
#include <unistd.h>

#include <string>

// Closes the write end `pipeEnds[1]`, reads the read end `pipeEnds[0]` until
// every writer has closed it, closes it and returns the bytes read.
inline std::string ReadPipeToEnd(const int (&pipeEnds)[2]) {
  close(pipeEnds[1]);
  std::string output;
  char buffer[4096];
  for (ssize_t n = 0; (n = read(pipeEnds[0], buffer, sizeof buffer)) > 0;) {
    output.append(buffer, static_cast<std::size_t>(n));
  }
  close(pipeEnds[0]);
  return output;
}
