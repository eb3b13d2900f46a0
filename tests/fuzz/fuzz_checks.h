#pragma once
// The reader contracts the fuzz targets hold every input to, shared with the
// replay test of the normal suite: a reader returns a valid result or throws
// its own failure type with a known code; a decoder's accepted bytes encode
// back to exactly the same bytes. A broken contract throws PlFuzzViolation,
// and any other exception is left to escape, so libFuzzer aborts on both and
// the replay test reports them.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "context/operation_context.h"
#include "core/error.h"
#include "core/sha256.h"
#include "shapes/analytic_member.h"
#include "shapes/shape_definition.h"
#include "members/collision_mesh.h"
#include "members/voxel_member.h"
#include "mesh/obj_reader.h"
#include "mesh/stl_reader.h"
#include "package/zip_image.h"
#include "request/json_reader.h"
#include "request/prepare_request.h"
#include "request/step_side_requests.h"
#include "step/step_selection_record.h"

namespace plfuzz {

using Codes = std::span<const std::string_view>;

class PlFuzzViolation : public std::logic_error {
 public:
  explicit PlFuzzViolation(const std::string& message) : std::logic_error(message) {}
};

inline void Require(bool holds, const std::string& what) {
  if (!holds) throw PlFuzzViolation(what);
}

// A reader failure: one of the reader's own codes, a stage and a message.
inline void RequireKnownFailure(const PlCadPrepError& error, Codes codes) {
  const bool known = std::find(codes.begin(), codes.end(), error.code) != codes.end();
  Require(known, "unexpected failure code \"" + error.code + "\": " + error.what());
  Require(!error.stage.empty() && std::string_view(error.what()).size() > 0,
          "failure \"" + error.code + "\" without stage or message");
}

inline std::string_view AsText(std::span<const std::uint8_t> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// A limits ledger small enough that a fuzz run never reaches the machine's memory.
inline constexpr std::uint64_t kFuzzMaxMemoryBytes = 268'435'456;

inline PlCadPrepRequest FuzzRequest() {
  PlCadPrepRequest request;
  request.sourceUnits = "mm";
  request.maxMemoryBytes = kFuzzMaxMemoryBytes;
  return request;
}

// ---- JSON and request readers: the first byte picks the reader. ----

// Every preflight code of the request module; reading alone throws only some of them.
inline constexpr std::array<std::string_view, 29> kRequestCodes = {
    "format_extension_mismatch",
    "input_empty",
    "input_not_regular",
    "input_output_alias",
    "input_path_error",
    "input_too_large",
    "invalid_component_role",
    "invalid_component_selection_path",
    "invalid_excluded_solid",
    "invalid_free_shell_decision",
    "invalid_generated_source_name",
    "invalid_geometry_schema",
    "invalid_json",
    "invalid_limits",
    "invalid_mount_transform",
    "invalid_orientation",
    "invalid_output_extension",
    "invalid_request",
    "invalid_request_id",
    "invalid_schema",
    "invalid_tessellation_options",
    "invalid_units",
    "output_exists",
    "output_parent_missing",
    "output_path_error",
    "path_not_absolute",
    "units_confirmation_required",
    "unsupported_format",
    "memory_limit_exceeded"};

inline constexpr std::array<std::string_view, 1> kJsonCodes = {"invalid_json"};

// Well-formed UTF-8 (no overlong form, surrogate or code point past U+10FFFF)
// without NUL: what every decoded JSON string must be.
inline bool IsCleanUtf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<std::uint8_t>(text[i]);
    if (lead == 0) return false;
    if (lead < 0x80) {
      ++i;
      continue;
    }
    std::size_t length = 0;
    std::uint32_t minimum = 0;
    std::uint32_t codePoint = 0;
    if ((lead & 0xE0U) == 0xC0U) {
      length = 2;
      minimum = 0x80;
      codePoint = lead & 0x1FU;
    } else if ((lead & 0xF0U) == 0xE0U) {
      length = 3;
      minimum = 0x800;
      codePoint = lead & 0x0FU;
    } else if ((lead & 0xF8U) == 0xF0U) {
      length = 4;
      minimum = 0x10000;
      codePoint = lead & 0x07U;
    } else {
      return false;
    }
    if (text.size() - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<std::uint8_t>(text[i + k]);
      if ((next & 0xC0U) != 0x80U) return false;
      codePoint = (codePoint << 6) | (next & 0x3FU);
    }
    if (codePoint < minimum || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
      return false;
    i += length;
  }
  return true;
}

inline void CheckJsonString(std::string_view text, std::size_t offset) {
  Require(IsCleanUtf8(DecodeJsonString(text, offset)), "a decoded JSON string is not clean UTF-8");
}

inline void CheckJsonValue(std::string_view text, const JsonValueSpan& value) {
  Require(value.begin < value.end && value.end <= text.size(), "JSON value span outside the text");
  const char first = text[value.begin];
  switch (value.kind) {
    case JsonValueKind::object:
      Require(first == '{', "JSON object span does not start with {");
      for (const JsonMemberSpan& member : ReadJsonObjectMembers(text, value)) {
        Require(member.keyOffset < member.value.begin && member.keyOffset < text.size() &&
                    text[member.keyOffset] == '"',
                "JSON member name is not a string before its value");
        CheckJsonString(text, member.keyOffset);
        CheckJsonValue(text, member.value);
      }
      return;
    case JsonValueKind::array:
      Require(first == '[', "JSON array span does not start with [");
      for (const JsonValueSpan& element : ReadJsonArrayElements(text, value)) {
        CheckJsonValue(text, element);
      }
      return;
    case JsonValueKind::string:
      Require(first == '"' && text[value.end - 1] == '"', "JSON string span is not quoted");
      CheckJsonString(text, value.begin);
      return;
    case JsonValueKind::number: {
      double number = 0.0;
      if (ParseJsonFiniteNumber(text.substr(value.begin, value.end - value.begin), number)) {
        Require(std::isfinite(number), "JSON number accepted as non-finite");
      }
      return;
    }
    case JsonValueKind::boolean:
    case JsonValueKind::null:
      return;
  }
  throw PlFuzzViolation("JSON value of no known kind");
}

inline void CheckJsonDocument(std::string_view text) {
  std::vector<JsonMemberSpan> members;
  try {
    members = ReadJsonFrame(text);
  } catch (const PlServeJsonParseError& error) {
    Require(error.offset <= text.size(), "JSON syntax error offset past the text");
    RequireKnownFailure(MakeJsonParseFailure(error), kJsonCodes);
    return;
  }
  for (const JsonMemberSpan& member : members) {
    Require(member.keyOffset < text.size() && text[member.keyOffset] == '"',
            "JSON frame member name is not a string");
    CheckJsonString(text, member.keyOffset);
    CheckJsonValue(text, member.value);
  }
}

inline void CheckRequestInput(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return;
  const std::string_view text = AsText(bytes.subspan(1));
  try {
    switch (bytes[0] % 5) {
      case 0:
        CheckJsonDocument(text);
        return;
      case 1: {
        const PlCadPrepRequest request = ReadPlCadPrepRequest(text);
        Require(!request.schema.empty(), "prepare request read without a schema");
        return;
      }
      case 2:
        Require(!ReadPlCadPrepStepSeatRequest(text).schema.empty(), "seat request without schema");
        return;
      case 3:
        Require(!ReadPlCadPrepStepReviewRequest(text).schema.empty(),
                "review request without schema");
        return;
      default: {
        const PlCadPrepStepRecordRequest request = ReadPlCadPrepStepRecordRequest(text);
        Require(!request.schema.empty(), "select request without schema");
        return;
      }
    }
  } catch (const PlCadPrepError& error) {
    RequireKnownFailure(error, kRequestCodes);
  }
}

// ---- STL and OBJ readers: bit 0 of the first byte picks the format; the rest
// is written to `path`, the reader's only way in. ----

// Every failure the STL and OBJ readers or the mesh builder may report; anything
// else is a bug. Shared with the mesh mutation test, whose runs vary the units.
inline constexpr std::array<std::string_view, 25> kMeshCodes = {
    "cancelled",
    "degenerate_triangle",
    "empty_mesh",
    "input_read_failed",
    "invalid_mesh",
    "invalid_mesh_bounds",
    "invalid_mesh_number",
    "invalid_mesh_topology",
    "invalid_number",
    "invalid_obj_index",
    "invalid_obj_vertex",
    "invalid_stl",
    "invalid_surface_deviation",
    "memory_limit_exceeded",
    "mesh_limit_exceeded",
    "source_changed",
    "too_many_fields",
    "trailing_stl_data",
    "triangle_limit_exceeded",
    "truncated_stl",
    "units_confirmation_required",
    "unsupported_obj_polygon",
    "unsupported_obj_record",
    "unsupported_obj_vertex",
    "vertex_limit_exceeded",
};

inline void CheckMeshInput(std::span<const std::uint8_t> bytes, const std::filesystem::path& path) {
  if (bytes.empty()) return;
  const std::span<const std::uint8_t> source = bytes.subspan(1);
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(source.data()),
              static_cast<std::streamsize>(source.size()));
    Require(out.good(), "the mesh source could not be written to " + path.string());
  }
  PlCadPrepRequest request = FuzzRequest();
  request.inputPath = path;
  const bool stl = (bytes[0] & 1U) == 0;
  request.sourceFormat = stl ? PlCadPrepSourceFormat::stl : PlCadPrepSourceFormat::obj;
  const NeverCancelled never;
  PlCadPrepTriangleImport import;
  try {
    import = stl ? ReadPlCadPrepStl(request, {}, never) : ReadPlCadPrepObj(request, {}, never);
  } catch (const PlCadPrepError& error) {
    RequireKnownFailure(error, kMeshCodes);
    return;
  }
  const PlMemberDiagnostic contract = CheckPlRuntimeMeshContract(import.mesh, kPlRuntimeMeshLimits);
  Require(contract.Passed(), "an accepted mesh breaks the runtime contract: " + contract.message);
  Require(import.mesh.triangles.size() <= request.maxTriangles, "triangle limit passed");
  Require(import.sourceHash == Sha256Identity(source), "source hash is not of the source bytes");
}

// ---- Shape definition parser: accepted bytes are their own canonical form. ----

inline void CheckShapeDefinitionInput(std::span<const std::uint8_t> bytes) {
  const std::string_view text = AsText(bytes);
  PlShapeDefinition definition;
  try {
    definition = ParsePlShapeDefinition(text);
  } catch (const PlShapeDefinitionError& error) {
    const auto category = static_cast<std::int32_t>(error.category);
    Require(category >= 0 && category <= 7, "shape definition failure of no known category");
    Require(!PlShapeDefinitionEventCode(error.category).empty() &&
                std::string_view(error.what()).size() > 0,
            "shape definition failure without code or message");
    return;
  }
  Require(PlShapeDefinitionCanonicalBytes(definition) == text,
          "an accepted shape definition is not its own canonical form");
  PlShapeDefinition revalidated = definition;
  ValidatePlShapeDefinition(revalidated);
  Require(revalidated == definition, "validation changed an accepted shape definition");
  Require(IsCanonicalSha256Identity(PlShapeDefinitionSourceHash(definition)),
          "an accepted shape definition has no source hash");
}

// ---- Selection record reader (in memory; the file reader only adds the read). ----

inline constexpr std::array<std::string_view, 4> kSelectionCodes = {
    "invalid_step_component_selection", "step_component_selection_too_large",
    "memory_limit_exceeded", "elapsed_limit_exceeded"};

inline void CheckSelectionRecordInput(std::span<const std::uint8_t> bytes) {
  const std::string_view text = AsText(bytes);
  const NeverCancelled never;
  const PlCadPrepOperationContext context = MakePlCadPrepOperationContext(FuzzRequest(), never);
  try {
    const PlCadPrepStepSelection record = ParsePlCadPrepStepSelectionRecord(text, context);
    Require(record.schema == kPlCadPrepStepSelectionSchema, "record accepted with another schema");
    Require(record.components.size() <= kPlCadPrepStepSelectionMaxComponents,
            "record accepted past its component bound");
    Require(record.recordSha256 == PlCadPrepStepSelectionRecordSha256(text, context),
            "record identity is not of the record bytes");
    Require(record.memory.ledger == context.ledger &&
                context.ledger->memoryReserved == record.memory.bytes,
            "record memory is not held by its own reservation");
  } catch (const PlCadPrepError& error) {
    RequireKnownFailure(error, kSelectionCodes);
  }
  Require(context.ledger->memoryReserved == 0, "record memory was not given back");
}

// ---- Member decoders: the first byte picks the decoder (and the voxel level). ----

inline void CheckCollisionMeshMember(std::span<const std::uint8_t> bytes) {
  PlGeometryMesh mesh;
  const PlMemberDiagnostic decoded = DecodeCollisionMesh(bytes, kPlRuntimeMeshLimits, mesh);
  Require(decoded.member == kCollisionMeshMemberName, "mesh diagnostic names another member");
  if (!decoded.Passed()) {
    Require(!decoded.message.empty(), "mesh refused without a message");
    return;
  }
  // Declared bounds may lie within the tolerance of the measured ones, so the
  // six bounds are the only bytes that need not come back.
  const std::vector<std::uint8_t> again = EncodeCollisionMesh(mesh);
  constexpr std::size_t kBoundsBegin = 32;
  constexpr std::size_t kBoundsEnd = 80;
  Require(again.size() == bytes.size() &&
              std::equal(again.begin(), again.begin() + kBoundsBegin, bytes.begin()) &&
              std::equal(again.begin() + kBoundsEnd, again.end(), bytes.begin() + kBoundsEnd),
          "an accepted collision mesh does not encode back to its bytes");
  PlGeometryMesh exact;
  Require(DecodeCollisionMesh(again, kPlRuntimeMeshLimits, exact).Passed(),
          "the encoding of an accepted collision mesh is refused");
  for (std::size_t axis = 0; axis < 3; ++axis) {
    Require(std::abs(exact.boundsMin[axis] - mesh.boundsMin[axis]) <= kPlMeshBoundsToleranceMm &&
                std::abs(exact.boundsMax[axis] - mesh.boundsMax[axis]) <= kPlMeshBoundsToleranceMm,
            "accepted collision mesh bounds lie outside the tolerance");
  }
}

// A decoder's verdict on `bytes`: a refusal carries a message, and what it
// accepted encodes back to exactly `bytes`.
template <typename Encode>
void RequireMessageOrOwnBytes(bool accepted, const std::string& message,
                              std::span<const std::uint8_t> bytes, const std::string& what,
                              const Encode& encode) {
  if (!accepted) {
    Require(!message.empty(), what + " refused without a message");
    return;
  }
  const std::vector<std::uint8_t> again = encode();
  Require(std::equal(again.begin(), again.end(), bytes.begin(), bytes.end()),
          "an accepted " + what + " does not encode back to its bytes");
}

inline constexpr std::array<std::uint32_t, 2> kVoxelLevelsMm = {50, 30};

inline void CheckVoxelMember(std::span<const std::uint8_t> bytes, std::uint32_t cellSizeMm) {
  PlVoxelGrid grid;
  const PlMemberDiagnostic decoded =
      DecodePlVoxelGrid(bytes, cellSizeMm, kPlRuntimeMeshLimits, grid);
  Require(decoded.member == kPlVoxelMemberName, "voxel diagnostic names another member");
  RequireMessageOrOwnBytes(decoded.Passed(), decoded.message, bytes, "voxel grid",
                           [&] { return EncodePlVoxelGrid(grid); });
}

inline void CheckAnalyticMember(std::span<const std::uint8_t> bytes) {
  PlAnalyticShape shape;
  const PlAnalyticShapeDiagnostic decoded = DecodePlAnalyticShape(bytes, shape);
  RequireMessageOrOwnBytes(decoded.Accepted(), decoded.message, bytes, "analytic member",
                           [&] { return EncodePlAnalyticShape(shape); });
}

inline void CheckMemberInput(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return;
  const std::span<const std::uint8_t> member = bytes.subspan(1);
  switch (bytes[0] % 4) {
    case 0:
      CheckCollisionMeshMember(member);
      return;
    case 1:
      CheckVoxelMember(member, kVoxelLevelsMm[0]);
      return;
    case 2:
      CheckVoxelMember(member, kVoxelLevelsMm[1]);
      return;
    default:
      CheckAnalyticMember(member);
      return;
  }
}

// ---- Package re-read: the image must hold exactly the fixed member list. ----

// Members in package order with small bodies; the seeds are images of them.
struct FuzzPackageMembers {
  std::vector<std::string> bodies = {R"({"schema":"pelto.geometry.asset.v3"})", "glTF", "PLGMSH1",
                                     "PLGVOX1"};
  std::vector<PlCadPrepArchiveMember> List() const {
    const std::array<const char*, 4> names = {"manifest.json", "preview.glb", "collision.pmesh",
                                              "search_50mm_0.pvox"};
    std::vector<PlCadPrepArchiveMember> members;
    for (std::size_t i = 0; i < names.size(); ++i) {
      members.push_back(
          {names[i],
           std::span(reinterpret_cast<const std::uint8_t*>(bodies[i].data()), bodies[i].size())});
    }
    return members;
  }
};

inline constexpr std::array<std::string_view, 1> kPackageCodes = {"archive_validation_failed"};

inline void CheckPackageImageInput(std::span<const std::uint8_t> bytes) {
  const NeverCancelled never;
  const PlCadPrepOperationContext context = MakePlCadPrepOperationContext(FuzzRequest(), never);
  FuzzPackageMembers expected;
  try {
    ValidatePlCadPrepZipImage(bytes, expected.List(), context);
  } catch (const PlCadPrepError& error) {
    RequireKnownFailure(error, kPackageCodes);
    return;
  }
  // Accepted: the same image must be refused for a member list one byte off.
  FuzzPackageMembers changed;
  changed.bodies[2].back() = 'X';
  try {
    ValidatePlCadPrepZipImage(bytes, changed.List(), context);
  } catch (const PlCadPrepError& error) {
    RequireKnownFailure(error, kPackageCodes);
    return;
  }
  throw PlFuzzViolation("an image accepted for two different member lists");
}

}  // namespace plfuzz
