#pragma once
// The request documents of the three STEP review commands (seat, review,
// select): reading and the preflight rules.
#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "request/prepare_request.h"

inline constexpr std::string_view kPlCadPrepStepSeatRequestSchema =
    "pelto.geometry.seat.request.v1";
inline constexpr std::string_view kPlCadPrepStepReviewRequestSchema =
    "pelto.geometry.review.request.v1";
inline constexpr std::string_view kPlCadPrepStepRecordRequestSchema =
    "pelto.geometry.select.request.v1";

// The members every side request has; the limits keep the prepare defaults when absent.
struct PlCadPrepStepSideRequest {
  std::string schema;
  std::string requestId;
  std::filesystem::path inputPath;
  std::filesystem::path outputPath;
  double targetLinearDeflectionMm = 0.0;
  std::uint64_t maxInputBytes = kDefaultMaxInputBytes;
  std::uint64_t maxTriangles = kDefaultMaxTriangles;
  std::uint64_t maxElapsedMs = kDefaultMaxElapsedMs;
  std::uint64_t maxMemoryBytes = kDefaultMaxMemoryBytes;
  std::uint64_t maxOutputBytes = kDefaultMaxOutputBytes;
};

struct PlCadPrepStepSeatRequest : PlCadPrepStepSideRequest {};

struct PlCadPrepStepReviewRequest : PlCadPrepStepSideRequest {};

// The select request: the review decisions and the publication policy they are bound to.
struct PlCadPrepStepRecordRequest : PlCadPrepStepSideRequest {
  std::string freeShellDecision;  // "none", "physical" or "residue" once validated
  std::vector<std::uint64_t> excludedSolidOrdinals;  // document order
  std::array<double, 16> sourceToMount = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
  std::vector<std::int32_t> allowedOrientationsDeg;  // document order
};

// Read and type-check one document; throw PlCadPrepError (stage "preflight").
PlCadPrepStepSeatRequest ReadPlCadPrepStepSeatRequest(std::string_view text);
PlCadPrepStepReviewRequest ReadPlCadPrepStepReviewRequest(std::string_view text);
PlCadPrepStepRecordRequest ReadPlCadPrepStepRecordRequest(std::string_view text);

// The preflight rules in their fixed order; throw at the first broken rule
// (stage "preflight"). They only query the file system.
void ValidatePlCadPrepStepSeatRequest(const PlCadPrepStepSeatRequest& request);
void ValidatePlCadPrepStepReviewRequest(const PlCadPrepStepReviewRequest& request);
void ValidatePlCadPrepStepRecordRequest(const PlCadPrepStepRecordRequest& request);
