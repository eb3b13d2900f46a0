#include "request/step_side_requests.h"

#include <algorithm>
#include <cmath>
#include <span>

#include "core/error.h"
#include "platform/file_system.h"
#include "request/json_reader.h"

namespace {

constexpr std::string_view kGeometrySchema = "pelto.geometry.asset.v3";

constexpr std::array<std::string_view, 6> kSeatMembers = {
    "schema", "requestId", "inputPath", "outputPath", "targetLinearDeflectionMm", "limits",
};
constexpr std::array<std::string_view, 11> kRecordMembers = {
    "schema",
    "requestId",
    "inputPath",
    "outputPath",
    "targetLinearDeflectionMm",
    "freeShellDecision",
    "excludedSolidOrdinals",
    "sourceToMount",
    "allowedOrientationsDeg",
    "geometrySchema",
    "limits",
};

constexpr std::size_t kMaxRequestIdCharacters = 64;
constexpr double kMaxLinearDeflectionMm = 15.0;
constexpr std::size_t kMaxOrientations = 24;
constexpr std::int32_t kFullTurnDeg = 360;
constexpr std::int32_t kQuarterTurnDeg = 90;
constexpr std::size_t kMaxBaseAngles = 6;
constexpr std::size_t kMaxExcludedSolids = 4096;

// What differs between the three commands in the shared rules.
struct SideCommandTexts {
  std::string_view schema;
  std::string_view schemaMessage;
  std::string_view inputExtensionMessage;
  std::string_view outputExtension;
  std::string_view outputExtensionMessage;
};

constexpr SideCommandTexts kSeatTexts = {
    kPlCadPrepStepSeatRequestSchema,
    "unsupported seat-measurement request schema",
    "seat records are measured from STEP sources only",
    ".json",
    "outputPath must end in .json",
};
constexpr SideCommandTexts kReviewTexts = {
    kPlCadPrepStepReviewRequestSchema,
    "unsupported review-model request schema",
    "review models are produced from STEP sources only",
    ".glb",
    "outputPath must end in .glb",
};
constexpr SideCommandTexts kRecordTexts = {
    kPlCadPrepStepRecordRequestSchema,
    "unsupported selection-record request schema",
    "selection records are produced from STEP sources only",
    ".json",
    "outputPath must end in .json",
};

[[noreturn]] void Fail(const char* code, std::string_view message) {
  throw PlCadPrepError(code, std::string(message), "preflight");
}

// Reads the members all three documents share. The limits go through the
// prepare request's own reader, so every document reads them alike.
void ReadCommonMembers(const JsonMemberReader& reader, PlCadPrepStepSideRequest& request) {
  request.schema = reader.RequireString("schema");
  request.requestId = reader.RequireString("requestId");
  request.inputPath = PathFromUtf8(reader.RequireString("inputPath"));
  request.outputPath = PathFromUtf8(reader.RequireString("outputPath"));
  request.targetLinearDeflectionMm = reader.RequireNumber("targetLinearDeflectionMm");
  PlCadPrepRequest scratch;
  ReadRequestLimits(reader, scratch);
  request.maxInputBytes = scratch.maxInputBytes;
  request.maxTriangles = scratch.maxTriangles;
  request.maxElapsedMs = scratch.maxElapsedMs;
  request.maxMemoryBytes = scratch.maxMemoryBytes;
  request.maxOutputBytes = scratch.maxOutputBytes;
}

// Reads one side document strictly: its allowed names, then its members through `read`.
template <typename Request, std::size_t N, typename Read>
Request ReadSideRequest(std::string_view text, const std::array<std::string_view, N>& allowed,
                        Read read) {
  try {
    const JsonMemberReader reader(text, ReadJsonFrame(text), "duplicate request member: ");
    reader.RejectUnknownMembers(allowed,
                                JsonObjectTexts{.unknownPrefix = "unknown request member: "});
    Request request;
    read(reader, request);
    return request;
  } catch (const PlServeJsonParseError& error) {
    throw MakeJsonParseFailure(error);
  }
}

void ReadRecordMembers(const JsonMemberReader& reader, PlCadPrepStepRecordRequest& request) {
  ReadCommonMembers(reader, request);
  request.freeShellDecision = reader.RequireString("freeShellDecision");
  if (const JsonValueSpan* value = reader.Find("excludedSolidOrdinals")) {
    if (value->kind != JsonValueKind::array) {
      Fail("invalid_request", "excludedSolidOrdinals must be an array");
    }
    const std::vector<JsonValueSpan> elements = ReadJsonArrayElements(reader.Text(), *value);
    request.excludedSolidOrdinals.reserve(elements.size());
    for (const JsonValueSpan& element : elements) {
      request.excludedSolidOrdinals.push_back(
          ReadJsonUnsignedValue(reader.Text(), element, "excludedSolidOrdinals"));
    }
  }
  PlCadPrepRequest scratch;
  ReadRequestMountTransform(reader, scratch);
  request.sourceToMount = scratch.sourceToMount;
  ReadRequestOrientations(reader, scratch);
  // Every value is below 360 by now, so the narrowing keeps it.
  for (const std::uint32_t degrees : scratch.allowedOrientationsDeg) {
    request.allowedOrientationsDeg.push_back(static_cast<std::int32_t>(degrees));
  }
  if (reader.RequireString("geometrySchema") != kGeometrySchema) {
    Fail("invalid_geometry_schema", "geometrySchema must be pelto.geometry.asset.v3");
  }
}

// Counts characters, not bytes: every decoded string is well-formed UTF-8.
std::size_t Utf8CharacterCount(std::string_view text) {
  return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0U) != 0x80U;
  }));
}

void ValidateHead(const PlCadPrepStepSideRequest& request, const SideCommandTexts& texts) {
  if (request.schema != texts.schema) Fail("invalid_schema", texts.schemaMessage);
  const std::size_t characters = Utf8CharacterCount(request.requestId);
  if (characters == 0 || characters > kMaxRequestIdCharacters) {
    Fail("invalid_request_id", "requestId must contain 1-64 characters");
  }
  const double deflection = request.targetLinearDeflectionMm;
  if (!std::isfinite(deflection) || !(deflection > 0.0) || deflection > kMaxLinearDeflectionMm) {
    Fail("invalid_tessellation_options", "targetLinearDeflectionMm must be within (0, 15]");
  }
}

void ValidateOrientations(const std::vector<std::int32_t>& orientationsDeg) {
  if (orientationsDeg.empty() || orientationsDeg.size() > kMaxOrientations) {
    Fail("invalid_orientation", "version 3 requires one to twenty-four mounting orientations");
  }
  std::vector<std::int32_t> sorted(orientationsDeg);
  std::sort(sorted.begin(), sorted.end());
  if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end() || sorted.front() < 0 ||
      sorted.back() >= kFullTurnDeg) {
    Fail("invalid_orientation", "version 3 permits unique angles in [0, 360) only");
  }
  std::array<bool, kQuarterTurnDeg> isBaseAngle{};
  std::size_t baseAngleCount = 0;
  for (const std::int32_t degrees : sorted) {
    bool& seen = isBaseAngle[static_cast<std::size_t>(degrees % kQuarterTurnDeg)];
    if (!seen) ++baseAngleCount;
    seen = true;
  }
  if (baseAngleCount > kMaxBaseAngles) {
    Fail("invalid_orientation", "version 3 permits at most six baked base angles");
  }
  if (!isBaseAngle[0]) {
    Fail("invalid_orientation", "version 3 requires the protected zero-degree base angle");
  }
  for (std::int32_t base = 0; base < kQuarterTurnDeg; ++base) {
    if (!isBaseAngle[static_cast<std::size_t>(base)]) continue;
    for (std::int32_t alias = base; alias < kFullTurnDeg; alias += kQuarterTurnDeg) {
      if (!std::binary_search(sorted.begin(), sorted.end(), alias)) {
        Fail("invalid_orientation",
             "version 3 requires all quarter-turn aliases for each base angle");
      }
    }
  }
}

void ValidateRecordPolicy(const PlCadPrepStepRecordRequest& request) {
  const std::string& decision = request.freeShellDecision;
  if (decision != "none" && decision != "physical" && decision != "residue") {
    Fail("invalid_free_shell_decision", "freeShellDecision must be none, physical, or residue");
  }
  ValidateOrientations(request.allowedOrientationsDeg);
  if (request.excludedSolidOrdinals.size() > kMaxExcludedSolids) {
    Fail("invalid_excluded_solid", "more solids were excluded than a source may contain");
  }
  std::vector<std::uint64_t> sorted(request.excludedSolidOrdinals);
  std::sort(sorted.begin(), sorted.end());
  if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end()) {
    Fail("invalid_excluded_solid", "a solid was excluded twice");
  }
  if (!sorted.empty() && sorted.front() == 0) {
    Fail("invalid_excluded_solid", "an excluded solid ordinal must be 1 or greater");
  }
  const std::array<double, 16>& m = request.sourceToMount;
  if (!std::all_of(m.begin(), m.end(), [](double v) { return std::isfinite(v); })) {
    Fail("invalid_mount_transform", "sourceToMount must contain 16 finite numbers");
  }
}

void ValidatePaths(const PlCadPrepStepSideRequest& request, const SideCommandTexts& texts) {
  if (!IsAbsolutePathText(request.inputPath) || !IsAbsolutePathText(request.outputPath)) {
    Fail("path_not_absolute", "inputPath and outputPath must be absolute");
  }
  if (!QueryPathStatus(request.inputPath).RegularFile()) {
    Fail("input_not_regular", "inputPath must name one readable regular file");
  }
  const std::string inputExtension = LowerExtension(request.inputPath);
  if (inputExtension != ".stp" && inputExtension != ".step") {
    Fail("format_extension_mismatch", texts.inputExtensionMessage);
  }
  if (LowerExtension(request.outputPath) != texts.outputExtension) {
    Fail("invalid_output_extension", texts.outputExtensionMessage);
  }
  // The name itself must be free: a dangling link is a name someone else owns.
  if (!QueryPathStatusNoFollow(request.outputPath).NotFound()) {
    Fail("output_exists", "outputPath already exists and will not be overwritten");
  }
  if (!QueryPathStatus(request.outputPath.parent_path()).Directory()) {
    Fail("output_parent_missing", "outputPath parent must be an existing directory");
  }
}

}  // namespace

PlCadPrepStepSeatRequest ReadPlCadPrepStepSeatRequest(std::string_view text) {
  return ReadSideRequest<PlCadPrepStepSeatRequest>(text, kSeatMembers, ReadCommonMembers);
}

PlCadPrepStepReviewRequest ReadPlCadPrepStepReviewRequest(std::string_view text) {
  return ReadSideRequest<PlCadPrepStepReviewRequest>(text, kSeatMembers, ReadCommonMembers);
}

PlCadPrepStepRecordRequest ReadPlCadPrepStepRecordRequest(std::string_view text) {
  return ReadSideRequest<PlCadPrepStepRecordRequest>(text, kRecordMembers, ReadRecordMembers);
}

void ValidatePlCadPrepStepSeatRequest(const PlCadPrepStepSeatRequest& request) {
  ValidateHead(request, kSeatTexts);
  ValidatePaths(request, kSeatTexts);
}

void ValidatePlCadPrepStepReviewRequest(const PlCadPrepStepReviewRequest& request) {
  ValidateHead(request, kReviewTexts);
  ValidatePaths(request, kReviewTexts);
}

void ValidatePlCadPrepStepRecordRequest(const PlCadPrepStepRecordRequest& request) {
  ValidateHead(request, kRecordTexts);
  ValidateRecordPolicy(request);
  ValidatePaths(request, kRecordTexts);
}
