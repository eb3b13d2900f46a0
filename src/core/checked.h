#pragma once
// Overflow-checked arithmetic for counts and sizes that come from outside.
#include <cstdint>
#include <limits>

// False (and `out` untouched) when a + b does not fit in 64 bits.
[[nodiscard]] inline bool CheckedAdd(std::uint64_t a, std::uint64_t b, std::uint64_t& out) {
  if (b > std::numeric_limits<std::uint64_t>::max() - a) return false;
  out = a + b;
  return true;
}

// False (and `out` untouched) when a * b does not fit in 64 bits.
[[nodiscard]] inline bool CheckedMultiply(std::uint64_t a, std::uint64_t b, std::uint64_t& out) {
  if (a != 0 && b > std::numeric_limits<std::uint64_t>::max() / a) return false;
  out = a * b;
  return true;
}
