#include "core/glb_container.h"

#include <utility>

#include "core/checked.h"
#include "core/error.h"

namespace {

constexpr std::uint64_t kGlbAlignment = 4;

std::uint64_t PaddingOf(std::uint64_t payloadBytes) {
  return (kGlbAlignment - payloadBytes % kGlbAlignment) % kGlbAlignment;
}

}  // namespace

bool GlbChunkBytes(std::uint64_t payloadBytes, std::uint64_t& chunkBytes) {
  return CheckedAdd(payloadBytes, PaddingOf(payloadBytes), chunkBytes);
}

bool GlbContainerBytes(std::uint64_t jsonBytes, std::uint64_t binaryBytes,
                       std::uint64_t& totalBytes) {
  std::uint64_t jsonChunk = 0;
  std::uint64_t binaryChunk = 0;
  std::uint64_t total = 0;
  if (!GlbChunkBytes(jsonBytes, jsonChunk) || !GlbChunkBytes(binaryBytes, binaryChunk) ||
      !CheckedAdd(jsonChunk, binaryChunk, total) || !CheckedAdd(total, kGlbFramingBytes, total)) {
    return false;
  }
  totalBytes = total;
  return true;
}

GlbContainerWriter::GlbContainerWriter(std::string_view json, std::uint64_t binaryPayloadBytes,
                                       std::uint64_t containerBytes)
    : writer(0), binaryBytes(binaryPayloadBytes), totalBytes(containerBytes) {
  std::uint64_t expected = 0;
  PlRequire(GlbContainerBytes(json.size(), binaryBytes, expected) && expected == totalBytes &&
                totalBytes <= kGlbMaxContainerBytes,
            "GLB container size must be computed from its chunks and fit 32 bits");
  // Every length below is bounded by the 32-bit total just checked.
  writer.bytes.reserve(static_cast<std::size_t>(totalBytes));
  const std::uint64_t jsonPadding = PaddingOf(json.size());
  writer.Bytes(kGlbMagic);
  writer.U32(kGlbVersion);
  writer.U32(static_cast<std::uint32_t>(totalBytes));
  writer.U32(static_cast<std::uint32_t>(json.size() + jsonPadding));
  writer.Bytes(kGlbJsonChunkType);
  for (const char c : json) writer.U8(static_cast<std::uint8_t>(c));
  for (std::uint64_t i = 0; i < jsonPadding; ++i) writer.U8(' ');
  writer.U32(static_cast<std::uint32_t>(binaryBytes + PaddingOf(binaryBytes)));
  writer.Bytes(kGlbBinChunkType);
  binaryStart = writer.bytes.size();
}

std::vector<std::uint8_t> GlbContainerWriter::Finish() {
  if (writer.bytes.size() - binaryStart != binaryBytes) return {};
  for (std::uint64_t i = 0; i < PaddingOf(binaryBytes); ++i) writer.U8(0);
  if (writer.bytes.size() != totalBytes) return {};
  return std::move(writer.bytes);
}

void WriteGltfBufferView(JsonTextWriter& json, std::uint64_t byteOffset, std::uint64_t byteLength,
                         std::uint64_t target) {
  json.BeginObject();
  json.Unsigned("buffer", 0);
  json.Unsigned("byteOffset", byteOffset);
  json.Unsigned("byteLength", byteLength);
  json.Unsigned("target", target);
  json.EndObject();
}
