#include "members/preview_model.h"

#include <array>
#include <bit>
#include <string>
#include <string_view>
#include <utility>

#include "core/byte_io.h"
#include "core/error.h"
#include "core/glb_container.h"
#include "core/json_text.h"

namespace {

constexpr std::size_t kCheckpointItems = 2048;
constexpr std::uint64_t kGlbFixedWorkBytes = 4096;
constexpr std::uint64_t kChunkLengthLimit = 4'294'967'295;
// Three binary32 coordinates or three u32 indices.
constexpr std::uint64_t kBytesPerElement = 12;
// Nine significant digits read back as the same binary32 value.
constexpr int kBoundSignificantDigits = 9;
constexpr std::array<double, 4> kBaseColorFactor = {0.58, 0.7, 0.76, 1};
constexpr double kMetallicFactor = 0;
constexpr double kRoughnessFactor = 0.72;

// The material's fixed factors, in the shortest form like every other glTF number.
void AppendFactor(std::string& json, double v) {
  PlRequire(AppendJsonShortestDouble(json, v), "preview material factors are finite");
}

void AppendBounds(JsonTextWriter& json, std::string_view name, const PlPoint3& bounds) {
  json.BeginArray(name);
  for (int axis = 0; axis < 3; ++axis) {
    if (!AppendJsonGeneralDouble(json.Element(), bounds[axis], kBoundSignificantDigits)) {
      throw PlCadPrepError("preview_encode_failed", "preview bound could not be encoded as JSON",
                           "mesh");
    }
  }
  json.EndArray();
}

// The members that never change: asset, the one scene with its one node and
// mesh (triangles of accessor 0 indexed by accessor 1), and the one material.
void AppendFixedScene(JsonTextWriter& json) {
  json.BeginObject("asset");
  json.String("generator", "PeltoCadPrep");
  json.String("version", "2.0");
  json.EndObject();
  json.Unsigned("scene", 0);
  json.BeginArray("scenes");
  json.BeginObject();
  json.BeginArray("nodes");
  json.Unsigned(0);
  json.EndArray();
  json.EndObject();
  json.EndArray();
  json.BeginArray("nodes");
  json.BeginObject();
  json.Unsigned("mesh", 0);
  json.EndObject();
  json.EndArray();

  json.BeginArray("meshes");
  json.BeginObject();
  json.BeginArray("primitives");
  json.BeginObject();
  json.BeginObject("attributes");
  json.Unsigned("POSITION", 0);
  json.EndObject();
  json.Unsigned("indices", 1);
  json.Unsigned("material", 0);
  json.Unsigned("mode", 4);
  json.EndObject();
  json.EndArray();
  json.EndObject();
  json.EndArray();

  json.BeginArray("materials");
  json.BeginObject();
  json.Bool("doubleSided", true);
  json.BeginObject("pbrMetallicRoughness");
  json.BeginArray("baseColorFactor");
  for (const double factor : kBaseColorFactor) AppendFactor(json.Element(), factor);
  json.EndArray();
  AppendFactor(json.Key("metallicFactor"), kMetallicFactor);
  AppendFactor(json.Key("roughnessFactor"), kRoughnessFactor);
  json.EndObject();
  json.EndObject();
  json.EndArray();
}

std::string PreviewJson(std::uint64_t vertexCount, std::uint64_t triangleCount,
                        std::uint64_t positionBytes, std::uint64_t indexBytes,
                        const PlPoint3& boundsMin, const PlPoint3& boundsMax) {
  std::string text;
  text.reserve(kPreviewJsonLimitBytes);
  JsonTextWriter json(text);
  json.BeginObject();
  AppendFixedScene(json);

  json.BeginArray("buffers");
  json.BeginObject();
  json.Unsigned("byteLength", positionBytes + indexBytes);
  json.EndObject();
  json.EndArray();
  json.BeginArray("bufferViews");
  WriteGltfBufferView(json, 0, positionBytes, kGltfArrayBufferTarget);
  WriteGltfBufferView(json, positionBytes, indexBytes, kGltfElementArrayBufferTarget);
  json.EndArray();

  json.BeginArray("accessors");
  json.BeginObject();
  json.Unsigned("bufferView", 0);
  json.Unsigned("componentType", 5126);
  json.Unsigned("count", vertexCount);
  json.String("type", "VEC3");
  AppendBounds(json, "min", boundsMin);
  AppendBounds(json, "max", boundsMax);
  json.EndObject();
  json.BeginObject();
  json.Unsigned("bufferView", 1);
  json.Unsigned("componentType", 5125);
  json.Unsigned("count", 3 * triangleCount);
  json.String("type", "SCALAR");
  json.EndObject();
  json.EndArray();
  json.EndObject();
  return text;
}

// `decoded` is null, or what the member's bytes are known to decode to.
std::vector<std::uint8_t> BuildPreview(const PlCollisionMeshMember& member,
                                       const PlCadPrepOperationContext& context,
                                       const PlCadPrepMemoryReservation& inputReservation,
                                       const PlGeometryMesh* decoded) {
  RequireMemoryReservation(context, inputReservation, PlCollisionMeshMemberStorageBytes(member),
                           "mesh");
  // A vector's size is bounded by the address space, so doubling it cannot overflow.
  const PlCadPrepMemoryReservation decodeMemory = ReserveMemory(
      context, 2 * static_cast<std::uint64_t>(member.bytes.size()) + kGlbFixedWorkBytes, "mesh");

  PlGeometryMesh ownDecoded;
  const PlGeometryMesh* input = DecodedPlCollisionMesh(member, decoded, ownDecoded);
  if (input == nullptr) {
    throw PlCadPrepError("invalid_mesh_topology",
                         "collision.pmesh bytes fail the native preview input contract", "mesh");
  }
  const PlGeometryMesh& mesh = *input;

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
  const std::string json =
      PreviewJson(vertexCount, triangleCount, positionBytes, indexBytes, boundsMin, boundsMax);
  std::uint64_t jsonBytes = 0;
  PlRequire(GlbChunkBytes(json.size(), jsonBytes), "the preview text pads without overflow");
  if (jsonBytes > kPreviewJsonLimitBytes) {
    throw PlCadPrepError("preview_limit_exceeded",
                         "preview JSON exceeded its bounded document size", "mesh");
  }

  // Every term is bounded above, so the sum cannot overflow.
  std::uint64_t total = 0;
  PlRequire(GlbContainerBytes(json.size(), positionBytes + indexBytes, total),
            "the bounded preview chunks add without overflow");
  if (total > kPreviewByteLimit) {
    throw PlCadPrepError("preview_limit_exceeded", "preview.glb exceeds the runtime byte limit",
                         "mesh");
  }
  const PlCadPrepMemoryReservation glbMemory = ReserveMemory(context, total, "mesh");
  const PlCadPrepOutputReservation glbOutput = ReserveOutput(context, total, "mesh");

  GlbContainerWriter glb(json, positionBytes + indexBytes, total);
  // Both sections are written in bulk, four bytes per value.
  ByteWriter& writer = glb.Binary();
  std::uint8_t* out = writer.Append(positionBytes).data();
  for (std::size_t i = 0; i < mesh.vertices.size(); ++i) {
    if (i % kCheckpointItems == 0) CheckpointStage(context, "mesh");
    for (const double v : mesh.vertices[i]) {
      StoreLe32(out, std::bit_cast<std::uint32_t>(static_cast<float>(v)));
      out += 4;
    }
  }
  out = writer.Append(indexBytes).data();
  for (std::size_t i = 0; i < mesh.triangles.size(); ++i) {
    if (i % kCheckpointItems == 0) CheckpointStage(context, "mesh");
    for (const std::uint32_t index : mesh.triangles[i]) {
      StoreLe32(out, index);
      out += 4;
    }
  }
  std::vector<std::uint8_t> bytes = glb.Finish();
  if (bytes.empty()) {
    throw PlCadPrepError("preview_encode_failed", "preview.glb byte count changed during encoding",
                         "mesh");
  }
  return bytes;
}

// The preview's allocation boundary, shared by its public entry points.
template <typename Build>
std::vector<std::uint8_t> WithinPreviewMemory(Build&& build) {
  return WithinMemoryLimit("mesh", "preview allocation failed within the bounded request",
                           "preview allocation exceeds the bounded request",
                           std::forward<Build>(build));
}

}  // namespace

std::vector<std::uint8_t> BuildPlCadPrepPreviewModel(
    const PlCollisionMeshMember& member, const PlCadPrepOperationContext& context,
    const PlCadPrepMemoryReservation& inputReservation) {
  return WithinPreviewMemory(
      [&] { return BuildPreview(member, context, inputReservation, nullptr); });
}

std::vector<std::uint8_t> BuildPlCadPrepDecodedPreviewModel(
    const PlCollisionMeshMember& member, const PlCadPrepOperationContext& context,
    const PlCadPrepMemoryReservation& inputReservation) {
  return WithinPreviewMemory(
      [&] { return BuildPreview(member, context, inputReservation, &member.mesh); });
}
