#pragma once
// Overflow-checked arithmetic for counts and sizes that come from outside,
// and the exact comparison of recorded numbers.
#include <bit>
#include <cstdint>
#include <limits>

// True when both are zeros (of either sign) or carry the identical bit
// pattern; a recorded value and its replay must agree this exactly, NaN included.
[[nodiscard]] inline bool SameRecordedValue(double a, double b) {
  return (a == 0.0 && b == 0.0) ||
         std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

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
