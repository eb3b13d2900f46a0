#pragma once
// The binary glTF container every GLB of the program is framed in: the 12-byte
// header, a JSON chunk padded with spaces and a BIN chunk padded with zeros,
// each to four bytes. The caller computes the exact size first and writes the
// BIN payload itself, so large meshes are streamed into one buffer.
#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

#include "core/byte_io.h"
#include "core/json_text.h"

inline constexpr std::array<std::uint8_t, 4> kGlbMagic = {'g', 'l', 'T', 'F'};
inline constexpr std::uint32_t kGlbVersion = 2;
inline constexpr std::array<std::uint8_t, 4> kGlbJsonChunkType = {'J', 'S', 'O', 'N'};
inline constexpr std::array<std::uint8_t, 4> kGlbBinChunkType = {'B', 'I', 'N', 0};
// The header (12) and the two chunk headers (8 each).
inline constexpr std::uint64_t kGlbFramingBytes = 28;
// The header's length field is 32 bits wide.
inline constexpr std::uint64_t kGlbMaxContainerBytes = 4'294'967'295;

// The glTF buffer-view targets of vertex attributes and of indices.
inline constexpr std::uint64_t kGltfArrayBufferTarget = 34962;
inline constexpr std::uint64_t kGltfElementArrayBufferTarget = 34963;

// Writes one view of the container's single buffer as the next JSON value.
void WriteGltfBufferView(JsonTextWriter& json, std::uint64_t byteOffset, std::uint64_t byteLength,
                         std::uint64_t target);

// The length of a chunk of `payloadBytes` after padding to four bytes; false
// (and `chunkBytes` untouched) when it does not fit in 64 bits.
[[nodiscard]] bool GlbChunkBytes(std::uint64_t payloadBytes, std::uint64_t& chunkBytes);

// The exact container size for a JSON text of `jsonBytes` and a BIN payload of
// `binaryBytes`, both padded; false (and `totalBytes` untouched) on 64-bit overflow.
// Callers check their own limit on the result; every limit is below kGlbMaxContainerBytes.
[[nodiscard]] bool GlbContainerBytes(std::uint64_t jsonBytes, std::uint64_t binaryBytes,
                                     std::uint64_t& totalBytes);

// Writes one container into a buffer reserved for exactly `totalBytes`, which
// must be GlbContainerBytes(json.size(), binaryBytes) and at most
// kGlbMaxContainerBytes. The constructor writes the header, the padded JSON
// chunk and the BIN chunk header; the caller then appends exactly `binaryBytes`
// through Binary() and calls Finish().
class GlbContainerWriter {
 public:
  GlbContainerWriter(std::string_view json, std::uint64_t binaryBytes, std::uint64_t totalBytes);

  ByteWriter& Binary() { return writer; }

  // Pads the BIN chunk with zeros and hands the bytes over; empty when the
  // payload written was not exactly `binaryBytes` or the size is not `totalBytes`.
  [[nodiscard]] std::vector<std::uint8_t> Finish();

 private:
  ByteWriter writer;
  std::uint64_t binaryStart = 0;
  std::uint64_t binaryBytes = 0;
  std::uint64_t totalBytes = 0;
};
