#pragma once
// The reader contracts the fuzz targets hold every input to, shared with the
// replay and mutation tests: a reader accepts (and its result reads or encodes
// back to the input) or refuses with one of its own codes. A broken contract
// throws std::logic_error; each check returns "ok" or the refusal it saw.
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <stdexcept>

#include "context/operation_context.h"
#include "core/error.h"
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

// The libFuzzer entry point of a target that holds its inputs to `check`.
#define PL_FUZZ_TARGET(check)                                                         \
  extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) { \
    check({data, size});                                                              \
    return 0;                                                                         \
  }

namespace plfuzz {

inline void Require(bool holds, const std::string& what) {
  if (!holds) throw std::logic_error(what);
}

// A refusal with a stage, a message and a lower-case snake_case code.
inline std::string RequireKnownFailure(const PlCadPrepError& e) {
  Require(!e.code.empty() &&
              e.code.find_first_not_of("abcdefghijklmnopqrstuvwxyz_") == std::string::npos &&
              !e.stage.empty() && *e.what() != '\0',
          "unexpected failure " + e.code + " in stage " + e.stage + ": " + e.what());
  return e.code;
}

inline std::string_view AsText(std::span<const std::uint8_t> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// A limits ledger small enough that a fuzz run never reaches the machine's memory.
inline PlCadPrepOperationContext FuzzContext() {
  static const NeverCancelled never;
  PlCadPrepRequest request;
  request.maxMemoryBytes = 268'435'456;
  return MakePlCadPrepOperationContext(request, never);
}

// The first byte picks the JSON frame reader or one of the four request readers.
inline std::string CheckRequestInput(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return "ok";
  const std::string_view text = AsText(bytes.subspan(1));
  const int pick = bytes[0] % 5;
  try {
    if (pick == 0) ReadJsonFrame(text);
    if (pick == 1) ReadPlCadPrepRequest(text);
    if (pick == 2) ReadPlCadPrepStepSeatRequest(text);
    if (pick == 3) ReadPlCadPrepStepReviewRequest(text);
    if (pick == 4) ReadPlCadPrepStepRecordRequest(text);
  } catch (const PlServeJsonParseError& error) {
    Require(pick == 0 && error.offset <= text.size(), "JSON syntax error escaped or past the text");
    return RequireKnownFailure(MakeJsonParseFailure(error));
  } catch (const PlCadPrepError& error) {
    return RequireKnownFailure(error);
  }
  return "ok";
}

// The first byte picks the format (bit 0), the units (bits 1-2), a triangle limit
// (bits 3-5, less one) and a memory limit (bits 6-7); the rest goes to this process's
// own temporary file, the readers' only way in.
inline std::string CheckMeshInput(std::span<const std::uint8_t> bytes) {
  static const std::filesystem::path path = std::filesystem::temp_directory_path() /
                                            ("pl_fuzz_mesh_" + std::to_string(::getpid()) + ".src");
  if (bytes.empty()) return "ok";
  const std::string_view source = AsText(bytes.subspan(1));
  std::ofstream(path, std::ios::binary) << source;
  const bool obj = bytes[0] % 2 != 0;
  const unsigned triangles = (bytes[0] >> 3) & 7U;
  PlCadPrepRequest request;
  request.inputPath = path;
  request.sourceFormat = obj ? PlCadPrepSourceFormat::obj : PlCadPrepSourceFormat::stl;
  request.sourceUnits = std::array{"mm", "in", "m", "mm "}[(bytes[0] >> 1) & 3U];
  if (triangles != 0) request.maxTriangles = triangles - 1;
  request.maxMemoryBytes = std::array<std::uint64_t, 4>{1ULL << 28, 256, 1024, 4096}[bytes[0] >> 6];
  const NeverCancelled never;
  std::string outcome = "ok";
  try {
    const PlCadPrepTriangleImport import =
        obj ? ReadPlCadPrepObj(request, {}, never) : ReadPlCadPrepStl(request, {}, never);
    const PlMemberDiagnostic contract =
        CheckPlRuntimeMeshContract(import.mesh, kPlRuntimeMeshLimits);
    Require(contract.Passed() && import.mesh.triangles.size() <= request.maxTriangles &&
                import.sourceHash == Sha256Identity(source),
            "an accepted mesh breaks the runtime contract (" + contract.message +
                "), the triangle limit or the source hash");
  } catch (const PlCadPrepError& error) {
    outcome = RequireKnownFailure(error);
  }
  std::filesystem::remove(path);
  return outcome;
}

// Accepted bytes are their own canonical form.
inline std::string CheckShapeDefinitionInput(std::span<const std::uint8_t> bytes) {
  try {
    Require(PlShapeDefinitionCanonicalBytes(ParsePlShapeDefinition(AsText(bytes))) == AsText(bytes),
            "an accepted shape definition is not its own canonical form");
  } catch (const PlShapeDefinitionError& error) {
    Require(static_cast<std::uint32_t>(error.category) <= 7 && *error.what(),
            "shape definition failure of no known category or message");
    return std::string(PlShapeDefinitionEventCode(error.category));
  }
  return "ok";
}

// An accepted record carries the identity of its bytes; its memory is given back after.
inline std::string CheckSelectionRecordInput(std::span<const std::uint8_t> bytes) {
  const PlCadPrepOperationContext context = FuzzContext();
  std::string outcome = "ok";
  try {
    Require(ParsePlCadPrepStepSelectionRecord(AsText(bytes), context).recordSha256 ==
                PlCadPrepStepSelectionRecordSha256(AsText(bytes), context),
            "a record accepted under another identity");
  } catch (const PlCadPrepError& error) {
    outcome = RequireKnownFailure(error);
  }
  Require(context.ledger->memoryReserved == 0, "record memory was not given back");
  return outcome;
}

// The first byte picks the decoder (and the voxel level). An acceptance encodes back
// to its bytes, but for the collision mesh's declared bounds (bytes 32 to 80).
inline std::string CheckMemberInput(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return "ok";
  const std::span<const std::uint8_t> member = bytes.subspan(1);
  const int pick = bytes[0] % 4;
  std::uint32_t code = 0;
  std::string message;
  std::vector<std::uint8_t> again;
  const auto take = [&](const auto& decoded, const auto& encode) {
    code = static_cast<std::uint32_t>(decoded.code), message = decoded.message;
    if (code == 0) again = encode();
  };
  PlAnalyticShape shape;
  PlVoxelGrid grid;
  PlGeometryMesh mesh;
  if (pick == 3)
    take(DecodePlAnalyticShape(member, shape), [&] { return EncodePlAnalyticShape(shape); });
  if (pick == 0)
    take(DecodeCollisionMesh(member, kPlRuntimeMeshLimits, mesh),
         [&] { return EncodeCollisionMesh(mesh); });
  if (pick == 1 || pick == 2)
    take(DecodePlVoxelGrid(member, pick == 1 ? 50 : 30, kPlRuntimeMeshLimits, grid),
         [&] { return EncodePlVoxelGrid(grid); });
  Require(code <= (pick == 3 ? 11U : 14U) && (code == 0) == message.empty(),
          "refused without a known code: " + message);
  if (code != 0) return message;
  const std::size_t from = pick == 0 ? 32 : 0, to = pick == 0 ? 80 : 0;
  Require(again.size() == member.size() &&
              std::equal(again.begin(), again.begin() + from, member.begin()) &&
              std::equal(again.begin() + to, again.end(), member.begin() + to),
          "an accepted member does not encode back to its bytes");
  return "ok";
}

// The image must hold exactly the fixed member list its seed was written from.
inline std::string CheckPackageImageInput(std::span<const std::uint8_t> bytes) {
  const PlCadPrepOperationContext context = FuzzContext();
  try {
    const auto text = [](std::string_view s) {
      return std::span(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
    };
    ValidatePlCadPrepZipImage(bytes,
                              {{"manifest.json", text(R"({"schema":"pelto.geometry.asset.v3"})")},
                               {"preview.glb", text("glTF")},
                               {"collision.pmesh", text("PLGMSH1")},
                               {"search_50mm_0.pvox", text("PLGVOX1")}},
                              context);
  } catch (const PlCadPrepError& error) {
    return RequireKnownFailure(error);
  }
  return "ok";
}

// The files of `dir` by name.
inline std::map<std::string, std::string> InputsIn(const std::filesystem::path& dir) {
  std::map<std::string, std::string> inputs;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    std::ifstream in(entry.path(), std::ios::binary);
    inputs[entry.path().filename().string()] = {std::istreambuf_iterator<char>(in), {}};
  }
  return inputs;
}

// One to three byte edits: a set, a cut, an erased run or an inserted
// token; binary inputs mostly keep their size.
inline std::string Mutate(std::string bytes, bool binary, std::mt19937_64& random) {
  static constexpr std::string_view kTokens[] = {"\n",  " ", "-", ".",      "e",       "1e400",
                                                 "nan", "/", "#", "vertex", "endloop", "f 1 2 3"};
  const auto below = [&](std::size_t bound) { return bound == 0 ? 0 : random() % bound; };
  for (std::size_t step = 0, steps = 1 + below(3); step < steps; ++step) {
    const std::size_t kind = binary && below(4) != 0 ? 0 : below(4);
    const std::size_t at = below(bytes.size() + 1);
    if (kind == 0 && at < bytes.size()) bytes[at] = static_cast<char>(below(256));
    if (kind == 1) bytes.resize(at);
    if (kind == 2) bytes.erase(at, below(60));
    if (kind == 3) bytes.insert(at, kTokens[below(std::size(kTokens))]);
  }
  return bytes;
}

using Check = std::function<std::string(std::span<const std::uint8_t>)>;

// Runs `check` on each input, which must give "ok" (the quad OBJ its refusal), and on
// `rounds` mutants of it (whose first byte is now and then another), each from an
// allocation of exactly its size so that a sanitizer catches an overread. Counts the
// outcomes, acceptances by first byte modulo 4.
inline std::map<std::string, int> Sweep(const Check& check,
                                        const std::map<std::string, std::string>& inputs,
                                        int rounds, std::uint64_t seed = 0x5EED2024U) {
  std::mt19937_64 random(seed);
  std::map<std::string, int> outcomes;
  for (const auto& [name, input] : inputs) {
    const bool binary = input.find('\0', 1) != std::string::npos;
    for (int round = -1; round < rounds; ++round) {
      std::string bytes = input;
      if (round >= 0) bytes = input.substr(0, 1) + Mutate(input.substr(1), binary, random);
      if (round >= 0 && random() % 8 == 0) bytes[0] = static_cast<char>(random());
      const std::string outcome = check(std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
      Require(round >= 0 || outcome == (name == "quad.obj" ? "unsupported_obj_polygon" : "ok"),
              name + " gives " + outcome);
      const int first = bytes.empty() ? 0 : static_cast<std::uint8_t>(bytes[0]) % 4;
      ++outcomes[outcome == "ok" ? "ok " + std::to_string(first) : outcome];
    }
  }
  return outcomes;
}

}  // namespace plfuzz
