#include "members/preview_model.h"

#include <array>
#include <charconv>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>

#include "core/byte_io.h"
#include "core/json_text.h"

namespace {

constexpr std::size_t kCheckpointItems = 2048;
constexpr std::uint64_t kGlbHeaderBytes = 28;
constexpr std::uint64_t kGlbFixedWorkBytes = 4096;
constexpr std::uint64_t kChunkLengthLimit = 4'294'967'295;
constexpr std::uint32_t kGlbVersion = 2;
// Three binary32 coordinates or three u32 indices.
constexpr std::uint64_t kBytesPerElement = 12;
// Nine significant digits read back as the same binary32 value.
constexpr int kBoundSignificantDigits = 9;
constexpr std::array<std::uint8_t, 4> kGlbMagic = {'g', 'l', 'T', 'F'};
constexpr std::array<std::uint8_t, 4> kJsonChunkType = {'J', 'S', 'O', 'N'};
constexpr std::array<std::uint8_t, 4> kBinChunkType = {'B', 'I', 'N', 0};

void AppendCount(std::string& json, std::uint64_t value) {
  std::array<char, 32> digits{};
  const auto result = std::to_chars(digits.data(), digits.data() + digits.size(), value);
  if (result.ec != std::errc{}) {
    throw PlCadPrepError("preview_encode_failed", "preview count could not be encoded as JSON",
                         "mesh");
  }
  json.append(digits.data(), result.ptr);
}

void AppendBounds(std::string& json, const PlPoint3& bounds) {
  json += '[';
  for (int axis = 0; axis < 3; ++axis) {
    if (axis > 0) json += ',';
    if (!AppendJsonGeneralDouble(json, bounds[axis], kBoundSignificantDigits)) {
      throw PlCadPrepError("preview_encode_failed", "preview bound could not be encoded as JSON",
                           "mesh");
    }
  }
  json += ']';
}

std::string PreviewJson(std::uint64_t vertexCount, std::uint64_t triangleCount,
                        std::uint64_t positionBytes, std::uint64_t indexBytes,
                        const PlPoint3& boundsMin, const PlPoint3& boundsMax) {
  std::string json;
  json.reserve(kPreviewJsonLimitBytes);
  json += R"({"asset":{"generator":"PeltoCadPrep","version":"2.0"},)";
  json += R"("scene":0,"scenes":[{"nodes":[0]}],)";
  json += R"("nodes":[{"mesh":0}],)";
  json += R"("meshes":[{"primitives":[{"attributes":{"POSITION":0},)";
  json += R"("indices":1,"material":0,"mode":4}]}],)";
  json += R"("materials":[{"doubleSided":true,)";
  json += R"("pbrMetallicRoughness":{"baseColorFactor":[0.58,0.7,0.76,1],)";
  json += R"("metallicFactor":0,"roughnessFactor":0.72}}],)";
  json += R"("buffers":[{"byteLength":)";
  AppendCount(json, positionBytes + indexBytes);
  json += R"(}],"bufferViews":[{"buffer":0,"byteOffset":0,"byteLength":)";
  AppendCount(json, positionBytes);
  json += R"(,"target":34962},{"buffer":0,"byteOffset":)";
  AppendCount(json, positionBytes);
  json += R"(,"byteLength":)";
  AppendCount(json, indexBytes);
  json += R"(,"target":34963}],"accessors":[{"bufferView":0,)";
  json += R"("componentType":5126,"count":)";
  AppendCount(json, vertexCount);
  json += R"(,"type":"VEC3","min":)";
  AppendBounds(json, boundsMin);
  json += R"(,"max":)";
  AppendBounds(json, boundsMax);
  json += R"(},{"bufferView":1,"componentType":5125,"count":)";
  AppendCount(json, 3 * triangleCount);
  json += R"(,"type":"SCALAR"}]})";
  return json;
}

std::vector<std::uint8_t> BuildPreview(const PlCollisionMeshMember& member,
                                       const PlCadPrepOperationContext& context,
                                       const PlCadPrepMemoryReservation& inputReservation) {
  RequireMemoryReservation(context, inputReservation, PlCollisionMeshMemberStorageBytes(member),
                           "mesh");
  // A vector's size is bounded by the address space, so doubling it cannot overflow.
  const PlCadPrepMemoryReservation decodeMemory = ReserveMemory(
      context, 2 * static_cast<std::uint64_t>(member.bytes.size()) + kGlbFixedWorkBytes, "mesh");

  PlGeometryMesh mesh;
  if (!DecodeCollisionMesh(member.bytes, kPlRuntimeMeshLimits, mesh).Passed()) {
    throw PlCadPrepError("invalid_mesh_topology",
                         "collision.pmesh bytes fail the native preview input contract", "mesh");
  }

  const std::uint64_t vertexCount = mesh.vertices.size();
  const std::uint64_t triangleCount = mesh.triangles.size();
  // The decoder caps both counts far below 2^32, so the products fit.
  const std::uint64_t positionBytes = kBytesPerElement * vertexCount;
  const std::uint64_t indexBytes = kBytesPerElement * triangleCount;
  if (positionBytes > kChunkLengthLimit || indexBytes > kChunkLengthLimit - positionBytes) {
    throw PlCadPrepError("preview_limit_exceeded", "preview binary payload exceeds GLB limits",
                         "mesh");
  }

  const PlCadPrepMemoryReservation jsonMemory = ReserveMemory(context, kGlbFixedWorkBytes, "mesh");
  // The decoded coordinates are binary32 values already; rounding again keeps
  // the bounds those of exactly what the BIN chunk carries.
  PlPoint3 boundsMin{};
  PlPoint3 boundsMax{};
  for (std::size_t i = 0; i < mesh.vertices.size(); ++i) {
    if (i % kCheckpointItems == 0) CheckpointStage(context, "mesh");
    for (int axis = 0; axis < 3; ++axis) {
      const double v = static_cast<double>(static_cast<float>(mesh.vertices[i][axis]));
      if (i == 0 || v < boundsMin[axis]) boundsMin[axis] = v;
      if (i == 0 || v > boundsMax[axis]) boundsMax[axis] = v;
    }
  }
  std::string json =
      PreviewJson(vertexCount, triangleCount, positionBytes, indexBytes, boundsMin, boundsMax);
  while (json.size() % 4 != 0) json += ' ';
  const std::uint64_t jsonBytes = json.size();
  if (jsonBytes > kPreviewJsonLimitBytes) {
    throw PlCadPrepError("preview_limit_exceeded",
                         "preview JSON exceeded its bounded document size", "mesh");
  }

  const std::uint64_t total = kGlbHeaderBytes + jsonBytes + positionBytes + indexBytes;
  if (total > kPreviewByteLimit) {
    throw PlCadPrepError("preview_limit_exceeded", "preview.glb exceeds the runtime byte limit",
                         "mesh");
  }
  const PlCadPrepMemoryReservation glbMemory = ReserveMemory(context, total, "mesh");
  const PlCadPrepOutputReservation glbOutput = ReserveOutput(context, total, "mesh");

  // Every length below is bounded by the 64 MiB total checked above.
  ByteWriter writer(static_cast<std::size_t>(total));
  writer.Bytes(kGlbMagic);
  writer.U32(kGlbVersion);
  writer.U32(static_cast<std::uint32_t>(total));
  writer.U32(static_cast<std::uint32_t>(jsonBytes));
  writer.Bytes(kJsonChunkType);
  for (const char c : json) writer.U8(static_cast<std::uint8_t>(c));
  writer.U32(static_cast<std::uint32_t>(positionBytes + indexBytes));
  writer.Bytes(kBinChunkType);
  for (std::size_t i = 0; i < mesh.vertices.size(); ++i) {
    if (i % kCheckpointItems == 0) CheckpointStage(context, "mesh");
    for (const double v : mesh.vertices[i]) writer.F32(static_cast<float>(v));
  }
  for (std::size_t i = 0; i < mesh.triangles.size(); ++i) {
    if (i % kCheckpointItems == 0) CheckpointStage(context, "mesh");
    for (const std::uint32_t index : mesh.triangles[i]) writer.U32(index);
  }
  if (writer.bytes.size() != total) {
    throw PlCadPrepError("preview_encode_failed", "preview.glb byte count changed during encoding",
                         "mesh");
  }
  return std::move(writer.bytes);
}

}  // namespace

std::vector<std::uint8_t> BuildPlCadPrepPreviewModel(
    const PlCollisionMeshMember& member, const PlCadPrepOperationContext& context,
    const PlCadPrepMemoryReservation& inputReservation) {
  try {
    return BuildPreview(member, context, inputReservation);
  } catch (const std::bad_alloc&) {
    throw PlCadPrepError("memory_limit_exceeded",
                         "preview allocation failed within the bounded request", "mesh");
  } catch (const std::length_error&) {
    throw PlCadPrepError("memory_limit_exceeded", "preview allocation exceeds the bounded request",
                         "mesh");
  }
}
