#pragma once
// A STEP review-command request over a test source that it writes first.
#include <TopoDS_Shape.hxx>
#include <filesystem>
#include <string>
#include <string_view>

#include "request/step_side_requests.h"
#include "support/step_files.h"

// A request of type `Request` with `schema` and `requestId`, a linear
// deflection of 0.5 mm, and `source` written to `inputPath` as STEP.
template <typename Request>
Request MakeTestStepSideRequest(std::string_view schema, std::string requestId,
                                const TopoDS_Shape& source, std::filesystem::path inputPath,
                                std::filesystem::path outputPath) {
  Request request;
  request.schema = std::string(schema);
  request.requestId = std::move(requestId);
  request.inputPath = std::move(inputPath);
  request.outputPath = std::move(outputPath);
  request.targetLinearDeflectionMm = 0.5;
  WriteTestStep(source, request.inputPath);
  return request;
}
