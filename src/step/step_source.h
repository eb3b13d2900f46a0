#pragma once
// The STEP source held in memory: read once, hashed while it is read, and
// proven unchanged in size while it was read; the parser then reads from it
// through a read-only stream buffer, so no temporary file is ever written.
#include <cstdint>
#include <filesystem>
#include <ios>
#include <span>
#include <streambuf>
#include <string>
#include <vector>

#include "context/operation_context.h"
#include "core/error.h"

// Largest piece read from the file at once.
inline constexpr std::uint64_t kPlCadPrepStepSnapshotChunkBytes = 1'048'576;

// Every byte of the source, its identity and the memory reservation covering it.
struct PlCadPrepStepSourceSnapshot {
  std::vector<char> bytes;
  std::string sourceSha256;  // "sha256:" + 64 lower-case hex digits
  std::uint64_t sourceBytes = 0;
  PlCadPrepMemoryReservation reservation;
};

// Reads `path` (non-empty, at most `maxInputBytes`) under stage "import",
// reporting ("import", bytes read, size) after each chunk. Throws
// PlCadPrepError: "input_read_failed", "memory_limit_exceeded",
// "source_changed", and the context's own failures.
PlCadPrepStepSourceSnapshot SnapshotPlCadPrepStepSource(const std::filesystem::path& path,
                                                        std::uint64_t maxInputBytes,
                                                        const PlCadPrepOperationContext& context,
                                                        const ProgressCallback& progress);

// True when a real number outside strings and comments of the STEP text is
// too large for a double: the parser reads it as an infinity, on which the
// kernel's shape healing can loop forever or fault.
[[nodiscard]] bool PlCadPrepStepHasOverflowingReal(std::span<const char> text);

// A get-only stream buffer over bytes it does not own; seeking stays inside
// them. Nothing is ever written through it.
class ReadOnlyMemoryBuffer final : public std::streambuf {
 public:
  explicit ReadOnlyMemoryBuffer(std::span<const char> bytes);

 protected:
  pos_type seekoff(off_type offset, std::ios_base::seekdir direction,
                   std::ios_base::openmode which) override;
  pos_type seekpos(pos_type position, std::ios_base::openmode which) override;
  std::streamsize showmanyc() override;
};
