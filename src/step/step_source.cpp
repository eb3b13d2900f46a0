#include "step/step_source.h"

#include <algorithm>
#include <fstream>
#include <new>
#include <stdexcept>
#include <string_view>

#include "core/sha256.h"
#include "platform/file_system.h"

PlCadPrepStepSourceSnapshot SnapshotPlCadPrepStepSource(const std::filesystem::path& path,
                                                        std::uint64_t maxInputBytes,
                                                        const PlCadPrepOperationContext& context,
                                                        const ProgressCallback& progress) {
  std::uint64_t size = 0;
  if (!QueryFileSize(path, size) || size == 0 || size > maxInputBytes) {
    throw PlCadPrepError("input_read_failed", "STEP source size changed after preflight", "import");
  }

  PlCadPrepStepSourceSnapshot snapshot;
  snapshot.reservation = ReserveMemory(context, size, "import");
  try {
    snapshot.bytes.assign(static_cast<std::size_t>(size), '\0');
  } catch (const std::bad_alloc&) {
    throw PlCadPrepError("memory_limit_exceeded", "STEP source snapshot allocation failed",
                         "import");
  } catch (const std::length_error&) {
    throw PlCadPrepError("memory_limit_exceeded", "STEP source snapshot allocation failed",
                         "import");
  }

  std::ifstream in(path, std::ios::binary);
  if (!in.is_open()) {
    throw PlCadPrepError("input_read_failed", "STEP source could not be opened", "import");
  }
  Sha256 hasher;
  std::uint64_t done = 0;
  while (done < size) {
    CheckpointStage(context, "import");
    const std::uint64_t want = std::min(kPlCadPrepStepSnapshotChunkBytes, size - done);
    char* target = snapshot.bytes.data() + done;
    in.read(target, static_cast<std::streamsize>(want));
    if (in.bad()) {
      throw PlCadPrepError("input_read_failed", "STEP source could not be read", "import");
    }
    if (static_cast<std::uint64_t>(in.gcount()) != want) {
      throw PlCadPrepError("source_changed", "STEP source changed while it was snapshotted",
                           "import");
    }
    hasher.Update(std::string_view(target, static_cast<std::size_t>(want)));
    done += want;
    if (progress) progress("import", done, size);
  }
  // The size was taken before reading, so a byte beyond it means the file grew.
  if (in.peek() != std::ifstream::traits_type::eof()) {
    throw PlCadPrepError("source_changed", "STEP source grew while it was snapshotted", "import");
  }
  if (in.bad()) {
    throw PlCadPrepError("input_read_failed", "STEP source could not be read", "import");
  }
  snapshot.sourceSha256 = Sha256IdentityText(hasher.Finish());
  snapshot.sourceBytes = size;
  return snapshot;
}

ReadOnlyMemoryBuffer::ReadOnlyMemoryBuffer(std::span<const char> bytes) {
  // The get area never writes: putback of a different character fails
  // (pbackfail is not overridden) and there is no put area.
  char* begin = const_cast<char*>(bytes.data());
  setg(begin, begin, begin + bytes.size());
}

ReadOnlyMemoryBuffer::pos_type ReadOnlyMemoryBuffer::seekoff(off_type offset,
                                                             std::ios_base::seekdir direction,
                                                             std::ios_base::openmode which) {
  const pos_type failed(off_type(-1));
  if ((which & std::ios_base::out) != 0 || (which & std::ios_base::in) == 0) return failed;
  const off_type size = egptr() - eback();
  off_type base = 0;
  if (direction == std::ios_base::cur) {
    base = gptr() - eback();
  } else if (direction == std::ios_base::end) {
    base = size;
  } else if (direction != std::ios_base::beg) {
    return failed;
  }
  // Both checks before adding, so the sum cannot overflow.
  if (offset < -base || offset > size - base) return failed;
  const off_type target = base + offset;
  setg(eback(), eback() + target, egptr());
  return pos_type(target);
}

ReadOnlyMemoryBuffer::pos_type ReadOnlyMemoryBuffer::seekpos(pos_type position,
                                                             std::ios_base::openmode which) {
  return seekoff(off_type(position), std::ios_base::beg, which);
}

std::streamsize ReadOnlyMemoryBuffer::showmanyc() {
  const std::streamsize left = egptr() - gptr();
  return left > 0 ? left : -1;
}
