#pragma once
// The reader contracts the fuzz targets hold every input to, shared with the
// replay and mutation tests of the normal suite: a reader returns a valid result
// or fails with one of its own codes; a decoder's accepted bytes encode back to
// the same bytes. A broken contract throws PlFuzzViolation, and any other
// exception escapes, so libFuzzer aborts on both and the tests report them.
// Each check returns "ok" or the failure it saw.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "context/operation_context.h"
#include "core/error.h"
#include "core/json_text.h"
#include "core/sha256.h"
#include "members/collision_mesh.h"
#include "members/voxel_member.h"
#include "mesh/obj_reader.h"
#include "mesh/stl_reader.h"
#include "package/zip_image.h"
#include "request/json_reader.h"
#include "request/prepare_request.h"
#include "request/step_side_requests.h"
#include "shapes/analytic_member.h"
#include "shapes/shape_definition.h"
#include "step/step_selection_record.h"

namespace plfuzz {

struct PlFuzzViolation : std::logic_error {
  using std::logic_error::logic_error;
};

inline void Require(bool holds, const std::string& what) {
  if (!holds) throw PlFuzzViolation(what);
}

// A reader failure: one of the reader's own '|'-separated `codes`, a (known) stage
// and a message.
inline std::string RequireKnownFailure(const PlCadPrepError& error, std::string_view codes,
                                       std::string_view stages = {}) {
  const auto known = [](std::string_view table, const std::string& item) {
    return !item.empty() && item.find('|') == std::string::npos &&
           ("|" + std::string(table) + "|").find("|" + item + "|") != std::string::npos;
  };
  Require(known(codes, error.code) && *error.what() != '\0' &&
              (stages.empty() ? !error.stage.empty() : known(stages, error.stage)),
          "unexpected failure " + error.code + " in stage " + error.stage + ": " + error.what());
  return error.code;
}

inline std::string_view AsText(std::span<const std::uint8_t> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}
inline std::span<const std::uint8_t> AsBytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// A limits ledger small enough that a fuzz run never reaches the machine's memory.
inline PlCadPrepOperationContext FuzzContext(const PlCadPrepCancellation& never) {
  PlCadPrepRequest request;
  request.maxMemoryBytes = 268'435'456;
  return MakePlCadPrepOperationContext(request, never);
}

// ---- JSON and request readers: the first byte picks the reader. An accepted
// document reads again value by value, its strings read back as written and no
// number is accepted as non-finite. ----

inline void CheckJsonString(std::string_view text, std::size_t offset) {
  const std::string decoded = DecodeJsonString(text, offset);
  std::string again;
  AppendJsonString(again, decoded);
  Require(DecodeJsonString(again, 0) == decoded, "a JSON string does not read back as written");
}

inline void CheckJsonValue(std::string_view text, const JsonValueSpan& value);

inline void CheckJsonMembers(std::string_view text, const std::vector<JsonMemberSpan>& members) {
  for (const JsonMemberSpan& member : members) {
    Require(member.keyOffset < member.value.begin, "a JSON member name after its value");
    CheckJsonString(text, member.keyOffset);
    CheckJsonValue(text, member.value);
  }
}

inline void CheckJsonValue(std::string_view text, const JsonValueSpan& value) {
  Require(value.begin < value.end && value.end <= text.size(), "JSON value span outside the text");
  if (value.kind == JsonValueKind::string) CheckJsonString(text, value.begin);
  if (value.kind == JsonValueKind::object)
    CheckJsonMembers(text, ReadJsonObjectMembers(text, value));
  if (value.kind == JsonValueKind::array) {
    for (const JsonValueSpan& element : ReadJsonArrayElements(text, value)) {
      CheckJsonValue(text, element);
    }
  }
  double number = 0.0;
  Require(value.kind != JsonValueKind::number ||
              !ParseJsonFiniteNumber(text.substr(value.begin, value.end - value.begin), number) ||
              std::isfinite(number),
          "a JSON number accepted as non-finite");
}

inline std::string CheckRequestInput(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return "ok";
  const std::string_view text = AsText(bytes.subspan(1));
  const int pick = bytes[0] % 5;
  std::vector<JsonMemberSpan> frame;
  std::string schema = "json";
  try {
    if (pick == 0) frame = ReadJsonFrame(text);
    if (pick == 1) schema = ReadPlCadPrepRequest(text).schema;
    if (pick == 2) schema = ReadPlCadPrepStepSeatRequest(text).schema;
    if (pick == 3) schema = ReadPlCadPrepStepReviewRequest(text).schema;
    if (pick == 4) schema = ReadPlCadPrepStepRecordRequest(text).schema;
  } catch (const PlServeJsonParseError& error) {
    Require(pick == 0 && error.offset <= text.size(), "JSON syntax error escaped or past the text");
    return RequireKnownFailure(MakeJsonParseFailure(error), "invalid_json");
  } catch (const PlCadPrepError& error) {
    return RequireKnownFailure(error,
                               "format_extension_mismatch|input_empty|input_not_regular|"
                               "input_output_alias|input_path_error|input_too_large|"
                               "invalid_component_role|invalid_component_selection_path|"
                               "invalid_excluded_solid|invalid_free_shell_decision|"
                               "invalid_generated_source_name|invalid_geometry_schema|invalid_json|"
                               "invalid_limits|invalid_mount_transform|invalid_orientation|"
                               "invalid_output_extension|invalid_request|invalid_request_id|"
                               "invalid_schema|invalid_tessellation_options|invalid_units|"
                               "output_exists|output_parent_missing|output_path_error|"
                               "path_not_absolute|units_confirmation_required|"
                               "unsupported_format|memory_limit_exceeded");
  }
  Require(!schema.empty(), "request read without a schema");
  CheckJsonMembers(text, frame);
  return "ok";
}

// ---- STL and OBJ readers. The first byte picks the format (bit 0), the units
// (bits 1-2), a triangle limit (bits 3-5, less one) and a memory limit (bits 6-7);
// the rest is written to `path`, the reader's only way in, and removed after. ----

inline std::string CheckMeshInput(std::span<const std::uint8_t> bytes,
                                  const std::filesystem::path& path) {
  if (bytes.empty()) return "ok";
  const std::string_view source = AsText(bytes.subspan(1));
  std::ofstream(path, std::ios::binary) << source;
  Require(std::filesystem::file_size(path) == source.size(), "the source was not written");
  const bool obj = bytes[0] % 2 != 0;
  const unsigned triangles = (bytes[0] >> 3) & 7U;
  PlCadPrepRequest request;
  request.inputPath = path;
  request.sourceFormat = obj ? PlCadPrepSourceFormat::obj : PlCadPrepSourceFormat::stl;
  request.sourceUnits = std::array{"mm", "in", "m", "mm "}[(bytes[0] >> 1) & 3U];
  if (triangles != 0) request.maxTriangles = triangles - 1;
  request.maxMemoryBytes =
      std::array<std::uint64_t, 4>{268'435'456, 256, 1024, 4096}[bytes[0] >> 6];
  const NeverCancelled never;
  PlCadPrepTriangleImport import;
  try {
    import = obj ? ReadPlCadPrepObj(request, {}, never) : ReadPlCadPrepStl(request, {}, never);
  } catch (const PlCadPrepError& error) {
    std::filesystem::remove(path);
    return RequireKnownFailure(
        error,
        "cancelled|degenerate_triangle|empty_mesh|input_read_failed|invalid_mesh|"
        "invalid_mesh_bounds|invalid_mesh_number|invalid_mesh_topology|invalid_number|"
        "invalid_obj_index|invalid_obj_vertex|invalid_stl|invalid_surface_deviation|"
        "memory_limit_exceeded|mesh_limit_exceeded|source_changed|too_many_fields|"
        "trailing_stl_data|triangle_limit_exceeded|truncated_stl|units_confirmation_required|"
        "unsupported_obj_polygon|unsupported_obj_record|unsupported_obj_vertex|"
        "vertex_limit_exceeded",
        "import|validate|preflight");
  }
  std::filesystem::remove(path);
  const PlMemberDiagnostic contract = CheckPlRuntimeMeshContract(import.mesh, kPlRuntimeMeshLimits);
  Require(contract.Passed() && import.mesh.triangles.size() <= request.maxTriangles &&
              import.sourceHash == Sha256Identity(source),
          "an accepted mesh breaks the runtime contract (" + contract.message +
              "), the triangle limit or the source hash");
  return "ok";
}

// ---- Shape definition parser: accepted bytes are their own canonical form. ----

inline std::string CheckShapeDefinitionInput(std::span<const std::uint8_t> bytes) {
  PlShapeDefinition definition;
  try {
    definition = ParsePlShapeDefinition(AsText(bytes));
  } catch (const PlShapeDefinitionError& error) {
    const std::string code(PlShapeDefinitionEventCode(error.category));
    Require(
        static_cast<std::uint32_t>(error.category) <= 7 && !code.empty() && *error.what() != '\0',
        "shape definition failure of no known category, code or message");
    return code;
  }
  PlShapeDefinition revalidated = definition;
  ValidatePlShapeDefinition(revalidated);
  Require(PlShapeDefinitionCanonicalBytes(definition) == AsText(bytes) &&
              revalidated == definition &&
              IsCanonicalSha256Identity(PlShapeDefinitionSourceHash(definition)),
          "an accepted shape definition is not its own valid, hashed canonical form");
  return "ok";
}

// ---- Selection record reader (in memory; the file reader only adds the read):
// an accepted record holds its memory in its own reservation, given back after. ----

inline std::string CheckSelectionRecordInput(std::span<const std::uint8_t> bytes) {
  const NeverCancelled never;
  const PlCadPrepOperationContext context = FuzzContext(never);
  std::string outcome = "ok";
  try {
    const PlCadPrepStepSelection record = ParsePlCadPrepStepSelectionRecord(AsText(bytes), context);
    Require(record.schema == kPlCadPrepStepSelectionSchema &&
                record.components.size() <= kPlCadPrepStepSelectionMaxComponents &&
                record.recordSha256 == PlCadPrepStepSelectionRecordSha256(AsText(bytes), context) &&
                record.memory.ledger == context.ledger &&
                context.ledger->memoryReserved == record.memory.bytes,
            "a record accepted with another schema, identity or reservation, or too large");
  } catch (const PlCadPrepError& error) {
    outcome = RequireKnownFailure(error,
                                  "invalid_step_component_selection|elapsed_limit_exceeded|"
                                  "step_component_selection_too_large|memory_limit_exceeded");
  }
  Require(context.ledger->memoryReserved == 0, "record memory was not given back");
  return outcome;
}

// ---- Member decoders: the first byte picks the decoder (and the voxel level). A
// refusal carries a known diagnostic code and a message; an acceptance encodes back
// to its bytes, all but the collision mesh's declared bounds, which may lie within
// the tolerance of the measured ones written back. ----

inline std::string CheckMemberInput(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return "ok";
  const std::span<const std::uint8_t> member = bytes.subspan(1);
  const int pick = bytes[0] % 4;
  PlAnalyticShape shape;
  PlVoxelGrid grid;
  PlGeometryMesh mesh;
  PlGeometryMesh exact;
  std::uint32_t code = 0;
  std::uint32_t lastCode = 14;  // of a member diagnostic; 11 for the analytic member
  std::string message;
  std::vector<std::uint8_t> again;
  if (pick == 3) {
    const PlAnalyticShapeDiagnostic decoded = DecodePlAnalyticShape(member, shape);
    code = static_cast<std::uint32_t>(decoded.code);
    lastCode = 11;
    message = decoded.message;
    if (decoded.Accepted()) again = EncodePlAnalyticShape(shape);
  } else {
    const PlMemberDiagnostic decoded =
        pick == 0 ? DecodeCollisionMesh(member, kPlRuntimeMeshLimits, mesh)
                  : DecodePlVoxelGrid(member, pick == 1 ? 50 : 30, kPlRuntimeMeshLimits, grid);
    Require(decoded.member == (pick == 0 ? kCollisionMeshMemberName : kPlVoxelMemberName),
            "the diagnostic names another member");
    code = static_cast<std::uint32_t>(decoded.code);
    message = decoded.message;
    if (decoded.Passed()) again = pick == 0 ? EncodeCollisionMesh(mesh) : EncodePlVoxelGrid(grid);
  }
  Require(code <= lastCode && (code == 0) == message.empty(),
          "refused without a known code: " + message);
  if (code != 0) return message;
  const std::size_t from = pick == 0 ? 32 : 0;
  const std::size_t to = pick == 0 ? 80 : 0;
  Require(again.size() == member.size() &&
              std::equal(again.begin(), again.begin() + from, member.begin()) &&
              std::equal(again.begin() + to, again.end(), member.begin() + to),
          "an accepted member does not encode back to its bytes");
  Require(pick != 0 || DecodeCollisionMesh(again, kPlRuntimeMeshLimits, exact).Passed(),
          "the encoding of an accepted collision mesh is refused");
  for (std::size_t axis = 0; pick == 0 && axis < 3; ++axis) {
    Require(std::abs(exact.boundsMin[axis] - mesh.boundsMin[axis]) <= kPlMeshBoundsToleranceMm &&
                std::abs(exact.boundsMax[axis] - mesh.boundsMax[axis]) <= kPlMeshBoundsToleranceMm,
            "accepted collision mesh bounds lie outside the tolerance");
  }
  return "ok";
}

// ---- Package re-read: the image must hold exactly the fixed member list (the
// seeds are images of it), and an accepted image is refused for a list one byte off. ----

inline std::string CheckPackageImageInput(std::span<const std::uint8_t> bytes) {
  const NeverCancelled never;
  const PlCadPrepOperationContext context = FuzzContext(never);
  for (const std::string_view mesh : {"PLGMSH1", "PLGMSHX"}) {
    const std::vector<PlCadPrepArchiveMember> members = {
        {"manifest.json", AsBytes(R"({"schema":"pelto.geometry.asset.v3"})")},
        {"preview.glb", AsBytes("glTF")},
        {"collision.pmesh", AsBytes(mesh)},
        {"search_50mm_0.pvox", AsBytes("PLGVOX1")}};
    try {
      ValidatePlCadPrepZipImage(bytes, members, context);
    } catch (const PlCadPrepError& error) {
      const std::string code = RequireKnownFailure(error, "archive_validation_failed");
      return mesh.back() == '1' ? code : "ok";
    }
  }
  throw PlFuzzViolation("an image accepted for two different member lists");
}

// ---- The suite's replays and mutation sweeps. ----

// The files of `dir` by name (none when it is missing).
inline std::map<std::string, std::string> InputsIn(const std::filesystem::path& dir) {
  std::map<std::string, std::string> inputs;
  std::error_code missing;
  for (const auto& entry : std::filesystem::directory_iterator(dir, missing)) {
    std::ifstream in(entry.path(), std::ios::binary);
    inputs[entry.path().filename().string()] = {std::istreambuf_iterator<char>(in), {}};
  }
  return inputs;
}

// One to three random edits of a valid input: byte sets and flips, cuts, inserted
// tokens, and edge counts, floats and doubles put in members' header fields, a
// binary STL count or anywhere; mostly size-keeping ones for binary inputs.
inline std::string Mutate(std::string bytes, bool binary, std::mt19937_64& random) {
  static constexpr std::string_view kTokens[] = {"\n",      " ",       "-",        ".", "e",
                                                 "1e400",   "nan",     "/",        "#", "vertex",
                                                 "endloop", "f 1 2 3", "v 1 2 3 1"};
  static constexpr std::uint64_t kCounts[] = {0,       1,          2,          3,          4,
                                              5,       30,         50,         63,         64,
                                              65,      0x7FFFFFFF, 0xFFFFFFFF, 499'999,    500'000,
                                              500'001, 1'000'001,  64'000'000, 64'000'001, ~0ULL};
  static constexpr float kFloats[] = {HUGE_VALF, -HUGE_VALF, NAN, -0.0F, 3.4028235e38F};
  static constexpr double kDoubles[] = {0.0, -0.0, 1.0, HUGE_VAL, NAN, -1.0, 100001.0};
  const auto below = [&](std::size_t bound) { return bound == 0 ? 0 : random() % bound; };
  for (std::size_t step = 0, steps = 1 + below(3); step < steps; ++step) {
    const std::size_t kind = binary && below(4) != 0 ? 4 + below(3) : below(binary ? 7 : 5);
    const std::size_t at = below(bytes.size() + 1);
    const std::size_t field = kind == 6
                                  ? 24 + 4 * below(13)
                                  : std::array<std::size_t, 3>{at, 80, 8 + 4 * below(12)}[below(3)];
    const std::uint64_t edge = below(2) == 0 ? kCounts[below(std::size(kCounts))]
                               : kind == 6   ? std::bit_cast<std::uint64_t>(kDoubles[below(7)])
                                             : std::bit_cast<std::uint32_t>(kFloats[below(5)]);
    if (kind == 0 && at < bytes.size()) bytes[at] = static_cast<char>(below(256));
    if (kind == 1) bytes.resize(at);
    if (kind == 2) bytes.insert(at, kTokens[below(std::size(kTokens))]);
    if (kind == 3 && at < bytes.size()) bytes.erase(at, below(60));
    if (kind == 4 && at < bytes.size()) bytes[at] = static_cast<char>(bytes[at] ^ (1 << below(8)));
    for (std::size_t i = 0; kind >= 5 && i < 4 * (kind - 4) && field + i < bytes.size(); ++i) {
      bytes[field + i] = static_cast<char>((edge >> (8 * i)) & 0xFFU);  // 4 or 8 bytes
    }
  }
  return bytes;
}

using Check = std::function<std::string(std::span<const std::uint8_t>)>;

// Runs `check` on each input and on `rounds` mutants of it (whose first byte is now
// and then another), each from an allocation of exactly its size so that a sanitizer
// catches an overread. Seeds (not findings) must give "ok", but the one of an
// unsupported polygon. Counts the outcomes, acceptances by first byte modulo 4.
inline std::map<std::string, int> Sweep(const Check& check,
                                        const std::map<std::string, std::string>& inputs,
                                        int rounds, std::uint64_t seed = 0x5EED2024U,
                                        bool seeds = true) {
  std::mt19937_64 random(seed);
  std::map<std::string, int> outcomes;
  for (const auto& [name, input] : inputs) {
    const bool binary = input.find('\0', 1) != std::string::npos;
    for (int round = -1; round < rounds; ++round) {
      std::string bytes = input;
      if (round >= 0) bytes = input.substr(0, 1) + Mutate(input.substr(1), binary, random);
      if (round >= 0 && random() % 8 == 0) bytes[0] = static_cast<char>(random());
      const auto heap = std::make_unique<std::uint8_t[]>(bytes.size());
      std::copy(bytes.begin(), bytes.end(), heap.get());
      std::string outcome;
      try {
        outcome = check({heap.get(), bytes.size()});
      } catch (const std::exception& error) {
        throw PlFuzzViolation(name + " round " + std::to_string(round) + ": " + error.what());
      }
      const std::string expected = name == "quad.obj" ? "unsupported_obj_polygon" : "ok";
      Require(round >= 0 || !seeds || outcome == expected, name + " gives " + outcome);
      const int first = bytes.empty() ? 0 : static_cast<std::uint8_t>(bytes[0]) % 4;
      ++outcomes[outcome == "ok" ? "ok " + std::to_string(first) : outcome];
    }
  }
  return outcomes;
}

}  // namespace plfuzz
