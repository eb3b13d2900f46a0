#pragma once
// The prepare request: reading and type-checking its JSON document, and the
// preflight validation that runs before any source byte is imported.
#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

enum class PlCadPrepSourceFormat : std::uint32_t {
  step = 0,
  shapeDefinition = 1,
  iges = 2,
  threeMf = 3,
  stl = 4,
  obj = 5,
};

inline constexpr std::uint64_t kDefaultMaxInputBytes = 536'870'912;
inline constexpr std::uint64_t kDefaultMaxTriangles = 1'000'000;
inline constexpr std::uint64_t kDefaultMaxElapsedMs = 900'000;
inline constexpr std::uint64_t kDefaultMaxMemoryBytes = 4'294'967'296;
inline constexpr std::uint64_t kDefaultMaxOutputBytes = 268'435'456;

inline constexpr std::uint64_t kHardMaxInputBytes = 1'073'741'824;
inline constexpr std::uint64_t kHardMaxTriangles = 1'000'000;
inline constexpr std::uint64_t kHardMaxElapsedMs = 1'800'000;
inline constexpr std::uint64_t kHardMaxMemoryBytes = 8'589'934'592;
inline constexpr std::uint64_t kHardMaxOutputBytes = 1'073'741'824;

struct PlCadPrepRequest {
  std::string schema;
  std::string requestId;
  std::filesystem::path inputPath;
  std::filesystem::path outputPath;
  PlCadPrepSourceFormat sourceFormat = PlCadPrepSourceFormat::step;
  std::string sourceUnits;
  std::string componentRole;
  // Row-major 4x4: rotation rows at 0-2, 4-6, 8-10; translation at 3, 7, 11.
  std::array<double, 16> sourceToMount = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
  std::vector<std::uint32_t> allowedOrientationsDeg;
  std::filesystem::path componentSelectionPath;
  std::uint64_t maxInputBytes = kDefaultMaxInputBytes;
  std::uint64_t maxTriangles = kDefaultMaxTriangles;
  std::uint64_t maxElapsedMs = kDefaultMaxElapsedMs;
  std::uint64_t maxMemoryBytes = kDefaultMaxMemoryBytes;
  std::uint64_t maxOutputBytes = kDefaultMaxOutputBytes;
};

// The protocol text of a format ("step", "pelto.shape.definition.v1", "iges",
// "3mf", "stl", "obj"); "unknown" for a value outside the enumeration.
std::string_view SourceFormatText(PlCadPrepSourceFormat format);

// On this platform a path is absolute exactly when its text is rooted.
bool IsAbsolutePathText(const std::filesystem::path& path);

// The file name's extension with ASCII letters lower-cased and every other byte untouched.
std::string LowerExtension(const std::filesystem::path& path);

class JsonMemberReader;

// Member readers shared by every request document; all fail "invalid_request"
// (orientations of 360 and above "invalid_orientation"), stage "preflight".
// "sourceToMount": an array of exactly 16 numbers.
void ReadRequestMountTransform(const JsonMemberReader& reader, PlCadPrepRequest& request);
// "allowedOrientationsDeg": an array of unsigned integers below 360, in document order.
void ReadRequestOrientations(const JsonMemberReader& reader, PlCadPrepRequest& request);
// The optional "limits" object; absent members keep their values.
void ReadRequestLimits(const JsonMemberReader& reader, PlCadPrepRequest& request);

// Reads and type-checks a request document; throws PlCadPrepError (stage "preflight").
PlCadPrepRequest ReadPlCadPrepRequest(std::string_view text);

// The preflight rules in their fixed order; throws at the first broken rule.
// Touches the file system only to query status, size and canonical paths.
void ValidatePlCadPrepRequest(const PlCadPrepRequest& request);

// The limit rules alone ("invalid_limits").
void ValidatePlCadPrepLimits(const PlCadPrepRequest& request);

// The rigid-transform rules alone ("invalid_mount_transform").
void ValidatePlCadPrepMountTransform(const PlCadPrepRequest& request);
