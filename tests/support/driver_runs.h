#pragma once
// Request files and event lines of the end-to-end runs of the executable.
#include <cstdint>
#include <filesystem>
#include <string>

inline constexpr const char* kQuarterTurns = "[0,90,180,270]";
// What every generated shape definition requires.
inline constexpr const char* kTwelveTurns = "[0,30,60,90,120,150,180,210,240,270,300,330]";

// A prepare request with the identity mount; `extra` is appended as further members.
inline std::string PrepareRequestText(const std::string& requestId,
                                      const std::filesystem::path& input,
                                      const std::filesystem::path& output,
                                      const std::string& format,
                                      const std::string& orientations = kQuarterTurns,
                                      const std::string& extra = "") {
  const bool mesh = format != "step" && format != "pelto.shape.definition.v1";
  return R"({"schema":"pelto.geometry.prepare.request.v1","geometrySchema":"pelto.geometry.asset.v3",)"
         R"("requestId":")" +
         requestId + R"(","inputPath":")" + input.string() + R"(","outputPath":")" +
         output.string() + R"(","sourceFormat":")" + format + R"(","sourceUnits":")" +
         (mesh ? "mm" : "source") + R"(","componentRole":")" +
         (format == "step" ? "component" : "mold_shell") +
         R"(","sourceToMount":[1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,1],"allowedOrientationsDeg":)" +
         orientations + extra + "}";
}

// A seat, review or select request with a linear deflection of 0.5 mm.
inline std::string SideRequestText(const std::string& command, const std::string& requestId,
                                   const std::filesystem::path& input,
                                   const std::filesystem::path& output,
                                   const std::string& extra = "") {
  return R"({"schema":"pelto.geometry.)" + command + R"(.request.v1","requestId":")" + requestId +
         R"(","inputPath":")" + input.string() + R"(","outputPath":")" + output.string() +
         R"(","targetLinearDeflectionMm":0.5)" + extra + "}";
}

// One event line; `rest` holds the members after the request id.
inline std::string EventLine(const std::string& requestId, const std::string& rest) {
  return R"({"schema":"pelto.geometry.prepare.event.v1","requestId":")" + requestId + "\"," + rest +
         "}";
}

inline std::string AcceptedLine(const std::string& requestId) {
  return EventLine(requestId, R"("event":"accepted","stage":"preflight")");
}

inline std::string CompleteLine(const std::string& requestId) {
  return EventLine(requestId, R"("event":"complete","stage":"publish")");
}

inline std::string ProgressLine(const std::string& requestId, const std::string& stage,
                                std::uint64_t completed, std::uint64_t total) {
  return EventLine(requestId, R"("event":"progress","stage":")" + stage + R"(","completed":)" +
                                  std::to_string(completed) + R"(,"total":)" +
                                  std::to_string(total));
}

inline std::string ErrorLine(const std::string& requestId, const std::string& stage,
                             const std::string& code, const std::string& message) {
  return EventLine(requestId, R"("event":"error","stage":")" + stage + R"(","code":")" + code +
                                  R"(","message":")" + message + "\"");
}
