#include "request/prepare_request.h"

#include <algorithm>
#include <cmath>
#include <system_error>

#include "core/error.h"
#include "platform/file_system.h"
#include "request/json_reader.h"

namespace {

constexpr std::string_view kPrepareRequestSchema = "pelto.geometry.prepare.request.v1";
constexpr std::string_view kGeometrySchema = "pelto.geometry.asset.v3";

constexpr std::array<std::string_view, 12> kRequestMembers = {
    "schema",
    "geometrySchema",
    "requestId",
    "inputPath",
    "outputPath",
    "sourceFormat",
    "sourceUnits",
    "componentRole",
    "componentSelectionPath",
    "sourceToMount",
    "allowedOrientationsDeg",
    "limits",
};

// Each member of the limits object: where it is kept, its hard maximum, and the
// message a value of zero or above that maximum fails with.
struct RequestLimit {
  std::string_view name;
  std::uint64_t PlCadPrepRequest::*value;
  std::uint64_t hardMax;
  const char* message;
};
constexpr std::array<RequestLimit, 5> kRequestLimits = {{
    {"maxInputBytes", &PlCadPrepRequest::maxInputBytes, kHardMaxInputBytes,
     "maxInputBytes exceeds the hard preparation limit"},
    {"maxTriangles", &PlCadPrepRequest::maxTriangles, kHardMaxTriangles,
     "maxTriangles exceeds the runtime asset contract"},
    {"maxElapsedMs", &PlCadPrepRequest::maxElapsedMs, kHardMaxElapsedMs,
     "maxElapsedMs exceeds the hard preparation limit"},
    {"maxMemoryBytes", &PlCadPrepRequest::maxMemoryBytes, kHardMaxMemoryBytes,
     "maxMemoryBytes exceeds the hard preparation limit"},
    {"maxOutputBytes", &PlCadPrepRequest::maxOutputBytes, kHardMaxOutputBytes,
     "maxOutputBytes exceeds the hard preparation limit"},
}};

constexpr std::array<std::string_view, kRequestLimits.size()> kLimitMembers = [] {
  std::array<std::string_view, kRequestLimits.size()> names{};
  for (std::size_t i = 0; i < names.size(); ++i) names[i] = kRequestLimits[i].name;
  return names;
}();

// The request object and its limits object share every failure text but the unknown name's.
constexpr JsonMemberRules RequestRules(std::string_view unknownPrefix) {
  return {
      .code = "invalid_request",
      .stage = "preflight",
      .duplicatePrefix = "duplicate request member: ",
      .object = {.unknownPrefix = unknownPrefix, .missingPrefix = "missing request member: "},
  };
}
constexpr JsonMemberRules kRequestRules = RequestRules("unknown request member: ");
constexpr JsonMemberRules kLimitRules = RequestRules("unknown limits member: ");

constexpr std::size_t kMaxRequestIdBytes = 64;
constexpr std::size_t kMaxOrientations = 24;
constexpr std::uint32_t kFullTurnDeg = 360;
constexpr std::uint32_t kQuarterTurnDeg = 90;
constexpr std::size_t kMaxBaseAngles = 6;
constexpr double kMountTolerance = 1e-7;
constexpr std::uint64_t kMaxShapeDefinitionBytes = 1'048'576;

constexpr std::array<std::uint32_t, 12> kGeneratedOrientationsDeg = {
    0, 30, 60, 90, 120, 150, 180, 210, 240, 270, 300, 330,
};
constexpr std::array<double, 16> kIdentityTransform = {1, 0, 0, 0, 0, 1, 0, 0,
                                                       0, 0, 1, 0, 0, 0, 0, 1};

// The request text of each source format, indexed by its enumerator's value.
constexpr std::array<std::string_view, 6> kSourceFormatTexts = {
    "step", "pelto.shape.definition.v1", "iges", "3mf", "stl", "obj",
};

bool SourceFormatFromText(std::string_view text, PlCadPrepSourceFormat& format) {
  for (std::size_t index = 0; index < kSourceFormatTexts.size(); ++index) {
    if (kSourceFormatTexts[index] == text) {
      format = static_cast<PlCadPrepSourceFormat>(index);
      return true;
    }
  }
  return false;
}

void ReadOptionalLimit(const JsonMemberReader& limits, std::string_view name,
                       std::uint64_t& limit) {
  if (const JsonValueSpan* value = limits.Find(name)) {
    limit = ReadJsonUnsignedValue(limits.Text(), *value, name);
  }
}

PlCadPrepRequest ReadRequestMembers(std::string_view text) {
  const JsonMemberReader reader(text, ReadJsonFrame(text), kRequestRules);
  reader.RejectUnknownMembers(kRequestMembers);

  PlCadPrepRequest request;
  request.schema = reader.RequireString("schema");
  if (reader.RequireString("geometrySchema") != kGeometrySchema) {
    throw PlCadPrepError("invalid_geometry_schema",
                         "geometrySchema must be pelto.geometry.asset.v3", "preflight");
  }
  request.requestId = reader.RequireString("requestId");
  request.inputPath = PathFromUtf8(reader.RequireString("inputPath"));
  request.outputPath = PathFromUtf8(reader.RequireString("outputPath"));
  if (!SourceFormatFromText(reader.RequireString("sourceFormat"), request.sourceFormat)) {
    throw PlCadPrepError(
        "unsupported_format",
        "sourceFormat must be step, pelto.shape.definition.v1, iges, 3mf, stl, or obj",
        "preflight");
  }
  request.sourceUnits = reader.RequireString("sourceUnits");
  request.componentRole = reader.RequireString("componentRole");
  if (const JsonValueSpan* selection = reader.Find("componentSelectionPath")) {
    request.componentSelectionPath =
        PathFromUtf8(ReadJsonStringValue(text, *selection, "componentSelectionPath"));
  }
  ReadRequestMountTransform(reader, request);
  ReadRequestOrientations(reader, request);
  ReadRequestLimits(reader, request);
  return request;
}

bool IsValidRequestId(std::string_view requestId) {
  if (requestId.empty() || requestId.size() > kMaxRequestIdBytes) return false;
  return std::all_of(requestId.begin(), requestId.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-';
  });
}

// The dot product of the rotation rows starting at elements `a` and `b`.
double RowDot(const std::array<double, 16>& m, std::size_t a, std::size_t b) {
  return ((m[a] * m[b]) + (m[a + 1] * m[b + 1])) + (m[a + 2] * m[b + 2]);
}

bool WithinMountTolerance(double deviation) { return std::abs(deviation) <= kMountTolerance; }

void ValidateRoleAndSelection(const PlCadPrepRequest& request) {
  const std::string& role = request.componentRole;
  const bool hasSelection = !request.componentSelectionPath.empty();
  if (request.sourceFormat == PlCadPrepSourceFormat::step) {
    if (role != "mold_shell" && role != "fixture" && role != "component") {
      throw PlCadPrepError("invalid_component_role",
                           "componentRole must be mold_shell, fixture, or component", "preflight");
    }
    return;
  }
  if (request.sourceFormat == PlCadPrepSourceFormat::shapeDefinition) {
    if (role != "mold_shell") {
      throw PlCadPrepError("invalid_component_role",
                           "generated definitions require the mold_shell component role",
                           "preflight");
    }
    if (hasSelection) {
      throw PlCadPrepError("invalid_component_selection_path",
                           "generated definitions do not use STEP component selection",
                           "preflight");
    }
    return;
  }
  if (role != "mold_shell" && role != "fixture") {
    throw PlCadPrepError("invalid_component_role", "componentRole must be mold_shell or fixture",
                         "preflight");
  }
  if (hasSelection) {
    throw PlCadPrepError("invalid_component_selection_path",
                         "componentSelectionPath is valid only for STEP sources", "preflight");
  }
}

void ValidateSelectionPath(const PlCadPrepRequest& request) {
  if (request.componentSelectionPath.empty()) return;
  if (!IsAbsolutePathText(request.componentSelectionPath)) {
    throw PlCadPrepError("path_not_absolute", "componentSelectionPath must be absolute",
                         "preflight");
  }
  if (!QueryPathStatus(request.componentSelectionPath).RegularFile()) {
    throw PlCadPrepError("input_not_regular",
                         "componentSelectionPath must name one readable regular file", "preflight");
  }
}

void ValidateOrientations(const std::vector<std::uint32_t>& orientationsDeg) {
  if (orientationsDeg.empty() || orientationsDeg.size() > kMaxOrientations) {
    throw PlCadPrepError("invalid_orientation",
                         "version 3 requires one to twenty-four mounting orientations",
                         "preflight");
  }
  std::vector<std::uint32_t> sorted(orientationsDeg);
  std::sort(sorted.begin(), sorted.end());
  if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end()) {
    throw PlCadPrepError("invalid_orientation", "mounting orientations must be unique",
                         "preflight");
  }
  for (const std::uint32_t degrees : sorted) {
    if (degrees >= kFullTurnDeg) {
      throw PlCadPrepError("invalid_orientation",
                           "version 3 orientations must be in [0, 360) degrees", "preflight");
    }
  }
  std::array<bool, kQuarterTurnDeg> isBaseAngle{};
  std::size_t baseAngleCount = 0;
  for (const std::uint32_t degrees : sorted) {
    bool& seen = isBaseAngle[degrees % kQuarterTurnDeg];
    if (!seen) ++baseAngleCount;
    seen = true;
  }
  if (baseAngleCount > kMaxBaseAngles) {
    throw PlCadPrepError("invalid_orientation",
                         "version 3 permits at most six baked first-quarter base angles",
                         "preflight");
  }
  if (!isBaseAngle[0]) {
    throw PlCadPrepError("invalid_orientation",
                         "version 3 requires the protected zero-degree base angle", "preflight");
  }
  for (std::uint32_t base = 0; base < kQuarterTurnDeg; ++base) {
    if (!isBaseAngle[base]) continue;
    for (std::uint32_t alias = base; alias < kFullTurnDeg; alias += kQuarterTurnDeg) {
      if (!std::binary_search(sorted.begin(), sorted.end(), alias)) {
        throw PlCadPrepError("invalid_orientation",
                             "version 3 requires all four quarter-turn aliases for each base angle",
                             "preflight");
      }
    }
  }
}

void ValidateUnits(const PlCadPrepRequest& request) {
  const std::string& units = request.sourceUnits;
  if (units != "source" && units != "mm" && units != "cm" && units != "m" && units != "in") {
    throw PlCadPrepError("invalid_units", "sourceUnits must be source, mm, cm, m, or in",
                         "preflight");
  }
  const bool isMesh = request.sourceFormat == PlCadPrepSourceFormat::stl ||
                      request.sourceFormat == PlCadPrepSourceFormat::obj;
  if (isMesh && units == "source") {
    throw PlCadPrepError("units_confirmation_required",
                         "STL and OBJ require an explicit source unit", "preflight");
  }
  if (request.sourceFormat != PlCadPrepSourceFormat::shapeDefinition) return;
  if (units != "source") {
    throw PlCadPrepError("invalid_units",
                         "generated definition units must come from the canonical source",
                         "preflight");
  }
  if (!std::equal(request.allowedOrientationsDeg.begin(), request.allowedOrientationsDeg.end(),
                  kGeneratedOrientationsDeg.begin(), kGeneratedOrientationsDeg.end())) {
    throw PlCadPrepError(
        "invalid_orientation",
        "generated definitions require the twelve 30-degree orientations in canonical order",
        "preflight");
  }
  // Exact comparison: a generated shape is seated by construction, so no tolerance applies.
  if (request.sourceToMount != kIdentityTransform) {
    throw PlCadPrepError(
        "invalid_mount_transform",
        "generated definitions are already seated and require identity sourceToMount", "preflight");
  }
}

bool ExtensionMatchesFormat(PlCadPrepSourceFormat format, std::string_view extension) {
  switch (format) {
    case PlCadPrepSourceFormat::step:
      return extension == ".step" || extension == ".stp";
    case PlCadPrepSourceFormat::shapeDefinition:
      return extension == ".json";
    case PlCadPrepSourceFormat::iges:
      return extension == ".iges" || extension == ".igs";
    case PlCadPrepSourceFormat::threeMf:
      return extension == ".3mf";
    case PlCadPrepSourceFormat::stl:
      return extension == ".stl";
    case PlCadPrepSourceFormat::obj:
      return extension == ".obj";
  }
  return false;
}

void ValidatePaths(const PlCadPrepRequest& request) {
  if (!IsAbsolutePathText(request.inputPath) || !IsAbsolutePathText(request.outputPath)) {
    throw PlCadPrepError("path_not_absolute", "inputPath and outputPath must be absolute",
                         "preflight");
  }
  if (!QueryPathStatus(request.inputPath).RegularFile()) {
    throw PlCadPrepError("input_not_regular", "inputPath must name one readable regular file",
                         "preflight");
  }
  std::uint64_t inputBytes = 0;
  if (!QueryFileSize(request.inputPath, inputBytes) || inputBytes == 0) {
    throw PlCadPrepError("input_empty", "inputPath must name one non-empty readable file",
                         "preflight");
  }
  if (inputBytes > request.maxInputBytes) {
    throw PlCadPrepError("input_too_large", "input file exceeds maxInputBytes", "preflight");
  }
  if (request.sourceFormat == PlCadPrepSourceFormat::shapeDefinition) {
    if (inputBytes > kMaxShapeDefinitionBytes) {
      throw PlCadPrepError("input_too_large", "shape definition exceeds the 1 MiB contract",
                           "preflight");
    }
    if (PathToUtf8(request.inputPath.filename()) != "shape-definition.json") {
      throw PlCadPrepError(
          "invalid_generated_source_name",
          "generated definitions must use the stable shape-definition.json basename", "preflight");
    }
  }
  if (!ExtensionMatchesFormat(request.sourceFormat, LowerExtension(request.inputPath))) {
    throw PlCadPrepError("format_extension_mismatch",
                         "sourceFormat does not match the input filename extension", "preflight");
  }
  if (LowerExtension(request.outputPath) != ".peltogeom") {
    throw PlCadPrepError("invalid_output_extension", "outputPath must end in .peltogeom",
                         "preflight");
  }
  // The name itself must be free: a dangling link still blocks publication, and a
  // failed query cannot prove the name free.
  if (!QueryPathStatusNoFollow(request.outputPath).NotFound()) {
    throw PlCadPrepError("output_exists", "outputPath already exists and will not be overwritten",
                         "preflight");
  }
  const std::filesystem::path outputParent = request.outputPath.parent_path();
  if (!QueryPathStatus(outputParent).Directory()) {
    throw PlCadPrepError("output_parent_missing", "outputPath parent must be an existing directory",
                         "preflight");
  }
  std::error_code error;
  const std::filesystem::path canonicalInput = CanonicalPath(request.inputPath, error);
  if (error || canonicalInput.empty()) {
    throw PlCadPrepError("input_path_error", "inputPath could not be resolved", "preflight");
  }
  const std::filesystem::path canonicalParent = CanonicalPath(outputParent, error);
  if (error || canonicalParent.empty()) {
    throw PlCadPrepError("output_path_error", "outputPath parent could not be resolved",
                         "preflight");
  }
  if (canonicalInput == canonicalParent / request.outputPath.filename()) {
    throw PlCadPrepError("input_output_alias", "inputPath and outputPath must be different files",
                         "preflight");
  }
}

}  // namespace

void ReadRequestMountTransform(const JsonMemberReader& reader, PlCadPrepRequest& request) {
  const JsonValueSpan& value = reader.Require("sourceToMount");
  if (value.kind != JsonValueKind::array) {
    throw PlCadPrepError("invalid_request", "sourceToMount must be an array", "preflight");
  }
  const std::vector<JsonValueSpan> elements = ReadJsonArrayElements(reader.Text(), value);
  if (elements.size() != request.sourceToMount.size()) {
    throw PlCadPrepError("invalid_request", "sourceToMount must contain 16 numbers", "preflight");
  }
  for (std::size_t i = 0; i < elements.size(); ++i) {
    request.sourceToMount[i] = ReadJsonNumberValue(reader.Text(), elements[i], "sourceToMount");
  }
}

void ReadRequestOrientations(const JsonMemberReader& reader, PlCadPrepRequest& request) {
  const JsonValueSpan& value = reader.Require("allowedOrientationsDeg");
  if (value.kind != JsonValueKind::array) {
    throw PlCadPrepError("invalid_request", "allowedOrientationsDeg must be an array", "preflight");
  }
  const std::vector<JsonValueSpan> elements = ReadJsonArrayElements(reader.Text(), value);
  request.allowedOrientationsDeg.reserve(elements.size());
  for (const JsonValueSpan& element : elements) {
    const std::uint64_t degrees =
        ReadJsonUnsignedValue(reader.Text(), element, "allowedOrientationsDeg");
    // Refused here, not only in validation, so the narrowing below cannot wrap.
    if (degrees >= kFullTurnDeg) {
      throw PlCadPrepError("invalid_orientation",
                           "version 3 orientations must be in [0, 360) degrees", "preflight");
    }
    request.allowedOrientationsDeg.push_back(static_cast<std::uint32_t>(degrees));
  }
}

void ReadRequestLimits(const JsonMemberReader& reader, PlCadPrepRequest& request) {
  const JsonValueSpan* value = reader.Find("limits");
  if (value == nullptr) return;
  if (value->kind != JsonValueKind::object) {
    throw PlCadPrepError("invalid_request", "limits must be an object", "preflight");
  }
  const JsonMemberReader limits(reader.Text(), ReadJsonObjectMembers(reader.Text(), *value),
                                kLimitRules);
  limits.RejectUnknownMembers(kLimitMembers);
  for (const RequestLimit& limit : kRequestLimits) {
    ReadOptionalLimit(limits, limit.name, request.*limit.value);
  }
}

bool IsAbsolutePathText(const std::filesystem::path& path) {
  const std::string text = PathToUtf8(path);
  return !text.empty() && text.front() == '/';
}

std::string LowerExtension(const std::filesystem::path& path) {
  std::string extension = PathToUtf8(path.filename().extension());
  for (char& c : extension) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return extension;
}

std::string_view SourceFormatText(PlCadPrepSourceFormat format) {
  const auto index = static_cast<std::size_t>(format);
  return index < kSourceFormatTexts.size() ? kSourceFormatTexts[index] : "unknown";
}

PlCadPrepRequest ReadPlCadPrepRequest(std::string_view text) {
  try {
    return ReadRequestMembers(text);
  } catch (const PlServeJsonParseError& error) {
    throw MakeJsonParseFailure(error);
  }
}

void ValidatePlCadPrepRequest(const PlCadPrepRequest& request) {
  if (request.schema != kPrepareRequestSchema) {
    throw PlCadPrepError("invalid_schema", "unsupported preparation request schema", "preflight");
  }
  if (!IsValidRequestId(request.requestId)) {
    throw PlCadPrepError(
        "invalid_request_id",
        "requestId must contain 1-64 ASCII letters, digits, underscores, or hyphens", "preflight");
  }
  ValidatePlCadPrepLimits(request);
  ValidatePlCadPrepMountTransform(request);
  ValidateRoleAndSelection(request);
  ValidateSelectionPath(request);
  ValidateOrientations(request.allowedOrientationsDeg);
  ValidateUnits(request);
  ValidatePaths(request);
}

// Zero fails like a value above the maximum: every limit must allow some work.
void ValidatePlCadPrepLimits(const PlCadPrepRequest& request) {
  for (const RequestLimit& limit : kRequestLimits) {
    const std::uint64_t value = request.*limit.value;
    if (value == 0 || value > limit.hardMax) {
      throw PlCadPrepError("invalid_limits", limit.message, "preflight");
    }
  }
}

void ValidatePlCadPrepMountTransform(const PlCadPrepRequest& request) {
  const std::array<double, 16>& m = request.sourceToMount;
  if (!std::all_of(m.begin(), m.end(), [](double v) { return std::isfinite(v); })) {
    throw PlCadPrepError("invalid_mount_transform", "sourceToMount must contain finite numbers",
                         "preflight");
  }
  if (!WithinMountTolerance(RowDot(m, 0, 0) - 1.0)) {
    throw PlCadPrepError("invalid_mount_transform",
                         "sourceToMount rotation rows must have unit length", "preflight");
  }
  if (!WithinMountTolerance(RowDot(m, 0, 4)) || !WithinMountTolerance(RowDot(m, 0, 8))) {
    throw PlCadPrepError("invalid_mount_transform",
                         "sourceToMount rotation rows must be orthogonal", "preflight");
  }
  if (!WithinMountTolerance(RowDot(m, 4, 4) - 1.0)) {
    throw PlCadPrepError("invalid_mount_transform",
                         "sourceToMount rotation rows must have unit length", "preflight");
  }
  if (!WithinMountTolerance(RowDot(m, 4, 8))) {
    throw PlCadPrepError("invalid_mount_transform",
                         "sourceToMount rotation rows must be orthogonal", "preflight");
  }
  if (!WithinMountTolerance(RowDot(m, 8, 8) - 1.0)) {
    throw PlCadPrepError("invalid_mount_transform",
                         "sourceToMount rotation rows must have unit length", "preflight");
  }
  // det(r0, r1, r2) = r0 . (r1 x r2)
  const double determinant =
      ((m[0] * ((m[5] * m[10]) - (m[6] * m[9]))) - (m[1] * ((m[4] * m[10]) - (m[6] * m[8])))) +
      (m[2] * ((m[4] * m[9]) - (m[5] * m[8])));
  if (!WithinMountTolerance(determinant - 1.0)) {
    throw PlCadPrepError("invalid_mount_transform",
                         "sourceToMount must be a right-handed rigid transform", "preflight");
  }
  if (!WithinMountTolerance(m[12]) || !WithinMountTolerance(m[13]) ||
      !WithinMountTolerance(m[14]) || !WithinMountTolerance(m[15] - 1.0)) {
    throw PlCadPrepError("invalid_mount_transform",
                         "sourceToMount must have the affine last row [0,0,0,1]", "preflight");
  }
}
