#pragma once
// The package's ZIP image in memory: every member stored, zero modification
// time and date, written in one pass and proven by reading the fresh image back.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "context/operation_context.h"

// One archive member; the bytes are borrowed from their owner.
struct PlCadPrepArchiveMember {
  std::string name;
  std::span<const std::uint8_t> bytes;
};

// Writes the members in list order into one stored ZIP image; throws
// "archive_write_failed" (stage "package") or the context's checkpoint failures.
std::vector<std::uint8_t> WritePlCadPrepZipImage(const std::vector<PlCadPrepArchiveMember>& members,
                                                 const PlCadPrepOperationContext& context);

// Reopens `image` and proves that it holds exactly `members`, in order, stored,
// with zero time and date and identical bytes; throws "archive_validation_failed".
void ValidatePlCadPrepZipImage(std::span<const std::uint8_t> image,
                               const std::vector<PlCadPrepArchiveMember>& members,
                               const PlCadPrepOperationContext& context);
