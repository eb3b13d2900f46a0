#pragma once
// The one little-endian writer and bounds-checked reader behind every binary
// member of the program. Byte order is explicit; host layout never matters.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <vector>

// Explicit little-endian loads and stores for bulk sections: a decoder checks a
// section with Has(n), takes it with Take(n) and reads it with LoadLe32; an
// encoder makes room with Append(n) and fills it with StoreLe32.
inline std::uint32_t LoadLe32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

inline void StoreLe32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v >> 16);
  p[3] = static_cast<std::uint8_t>(v >> 24);
}

class ByteWriter {
 public:
  explicit ByteWriter(std::size_t expectedSize) { bytes.reserve(expectedSize); }
  void U8(std::uint8_t v) { bytes.push_back(v); }
  void U16(std::uint16_t v) { PutLe(v, 2); }
  void U32(std::uint32_t v) { PutLe(v, 4); }
  void U64(std::uint64_t v) { PutLe(v, 8); }
  void F32(float v) { U32(std::bit_cast<std::uint32_t>(v)); }
  void F64(double v) { U64(std::bit_cast<std::uint64_t>(v)); }
  void Bytes(std::span<const std::uint8_t> v) { bytes.insert(bytes.end(), v.begin(), v.end()); }
  // n new bytes at the end, for the caller to fill completely.
  std::span<std::uint8_t> Append(std::size_t n) {
    const std::size_t at = bytes.size();
    bytes.resize(at + n);
    return std::span<std::uint8_t>(bytes).subspan(at, n);
  }

  std::vector<std::uint8_t> bytes;

 private:
  void PutLe(std::uint64_t v, int width) {
    for (int i = 0; i < width; ++i) bytes.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
};

class ByteReader {
 public:
  explicit ByteReader(std::span<const std::uint8_t> in) : data(in) {}
  std::size_t Remaining() const { return data.size() - pos; }
  std::size_t Position() const { return pos; }
  bool Has(std::uint64_t n) const { return n <= Remaining(); }
  bool AtEnd() const { return pos == data.size(); }
  std::uint8_t U8() { return static_cast<std::uint8_t>(GetLe(1)); }
  std::uint16_t U16() { return static_cast<std::uint16_t>(GetLe(2)); }
  std::uint32_t U32() { return static_cast<std::uint32_t>(GetLe(4)); }
  std::uint64_t U64() { return GetLe(8); }
  float F32() { return std::bit_cast<float>(U32()); }
  double F64() { return std::bit_cast<double>(GetLe(8)); }
  // The next n bytes as a view into the input; callers check Has(n) first.
  std::span<const std::uint8_t> Take(std::size_t n) {
    if (!Has(n)) throw std::out_of_range("byte reader overrun");
    std::span<const std::uint8_t> out = data.subspan(pos, n);
    pos += n;
    return out;
  }

 private:
  std::uint64_t GetLe(int width) {
    // Reaching here without a prior Has() is a decoder bug, never an input problem.
    if (!Has(static_cast<std::uint64_t>(width))) throw std::out_of_range("byte reader overrun");
    std::uint64_t v = 0;
    for (int i = 0; i < width; ++i)
      v |= std::uint64_t{data[pos + static_cast<std::size_t>(i)]} << (8 * i);
    pos += static_cast<std::size_t>(width);
    return v;
  }
  std::span<const std::uint8_t> data;
  std::size_t pos = 0;
};
