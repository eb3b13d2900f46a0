#pragma once
// Bridges Open CASCADE's progress reports to the run: each change of the
// integer step becomes a progress call, and a cancelled or overdue run asks
// Open CASCADE to stop. The caller's next checkpoint then reports why.
#include <Message_ProgressIndicator.hxx>
#include <Message_ProgressScope.hxx>
#include <cstdint>
#include <optional>
#include <string>

#include "context/operation_context.h"
#include "core/error.h"

class PlCadPrepOcctProgress final : public Message_ProgressIndicator {
 public:
  // Reports start + floor(span * position) of `total` under `stage`. The
  // context must outlive the indicator; `progress` may be empty.
  PlCadPrepOcctProgress(const PlCadPrepOperationContext& context, ProgressCallback progress,
                        std::string stage, std::uint64_t start, std::uint64_t span,
                        std::uint64_t total);

  // The step last reported, if any.
  std::optional<std::uint64_t> LastReported() const { return lastReported; }

 protected:
  void Show(const Message_ProgressScope& scope, const Standard_Boolean isForce) override;
  Standard_Boolean UserBreak() override;

 private:
  const PlCadPrepOperationContext& context;
  ProgressCallback progress;
  std::string stage;
  std::uint64_t start;
  std::uint64_t span;
  std::uint64_t total;
  std::optional<std::uint64_t> lastReported;
};
