#include "step/step_source.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
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

namespace {

// Below 10^290 and with fewer than 290 digits a real cannot pass the largest
// double; only the others are parsed. strtod in the C locale then reads the
// digits exactly as the kernel's parser does.
bool MayOverflow(const std::string& token) {
  constexpr std::size_t kSafeDigits = 290;
  const std::size_t mark = token.find_first_of("Ee");
  if (mark == std::string::npos) return token.size() >= kSafeDigits;
  if (mark >= kSafeDigits) return true;
  std::size_t exponent = 0;
  for (std::size_t i = mark + 1; i < token.size(); ++i) {
    if (token[i] < '0' || token[i] > '9') continue;
    exponent = exponent * 10 + static_cast<std::size_t>(token[i] - '0');
    if (exponent >= kSafeDigits) return true;
  }
  return false;
}

}  // namespace

bool PlCadPrepStepHasOverflowingReal(std::span<const char> text) {
  const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
  const auto isWordChar = [&](char c) {
    return isDigit(c) || c == '_' || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
  };
  const std::size_t size = text.size();
  std::string token;
  std::size_t at = 0;
  while (at < size) {
    const char c = text[at];
    if (c == '\'') {
      // A string; a doubled quote inside it is an escaped quote.
      ++at;
      while (at < size) {
        if (text[at] == '\'' && (at + 1 >= size || text[at + 1] != '\'')) break;
        at += text[at] == '\'' ? 2 : 1;
      }
      ++at;
    } else if (c == '/' && at + 1 < size && text[at + 1] == '*') {
      const std::string_view rest(text.data() + at + 2, size - at - 2);
      const std::size_t end = rest.find("*/");
      at = end == std::string_view::npos ? size : at + 2 + end + 2;
    } else if (isWordChar(c) || c == '#' || c == '.') {
      // Keywords, entity names, enumerations and the digits of a reference
      // are never numbers, and neither are the letters that follow them.
      if (isDigit(c) && (at == 0 || !isWordChar(text[at - 1])) &&
          (at == 0 || (text[at - 1] != '#' && text[at - 1] != '.'))) {
        token.clear();
        while (at < size && (isDigit(text[at]) || text[at] == '.' || text[at] == 'E' ||
                             text[at] == 'e' || text[at] == '+' || text[at] == '-')) {
          token += text[at++];
        }
        if (MayOverflow(token) && std::isinf(std::strtod(token.c_str(), nullptr))) return true;
        continue;
      }
      ++at;
    } else {
      ++at;
    }
  }
  return false;
}
