#include "mesh/mesh_line_reader.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string>
#include <system_error>

#include "core/error.h"

namespace {

// The first growth of the line buffer; short lines never need more.
constexpr std::size_t kInitialLineBytes = 256;

std::size_t SkipDigits(std::string_view text, std::size_t pos) {
  while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') ++pos;
  return pos;
}

// Integer digits are required and a decimal point must be followed by digits,
// so ".5" and "5." are refused: neither is a digit run with a fraction, and
// exporters that write either are rare enough that guessing is not worth it.
// The exponent may carry a sign ("1.5e+001"); the number itself may not.
bool IsStrictDecimal(std::string_view word) {
  std::size_t pos = 0;
  if (pos < word.size() && word[pos] == '-') ++pos;
  std::size_t next = SkipDigits(word, pos);
  if (next == pos) return false;
  pos = next;
  if (pos < word.size() && word[pos] == '.') {
    next = SkipDigits(word, pos + 1);
    if (next == pos + 1) return false;
    pos = next;
  }
  if (pos < word.size() && (word[pos] == 'e' || word[pos] == 'E')) {
    ++pos;
    if (pos < word.size() && (word[pos] == '+' || word[pos] == '-')) ++pos;
    next = SkipDigits(word, pos);
    if (next == pos) return false;
    pos = next;
  }
  return pos == word.size();
}

constexpr bool IsDecimalDigit(char c) { return static_cast<unsigned char>(c - '0') <= 9; }

constexpr std::uint64_t DigitValue(char c) { return static_cast<std::uint64_t>(c - '0'); }

// Powers of ten that binary64 holds exactly.
constexpr std::array<double, 23> kExactPowersOfTen = {
    1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
    1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr std::uint64_t kMaxExactMantissa = std::uint64_t{1} << 53;
constexpr std::ptrdiff_t kMaxShortDigits = 19;
constexpr int kMaxExactPower = 22;

// The strict decimal forms whose digits fit in 2^53 and whose decimal exponent
// is within 22: their value is one exact integer times or divided by one exact
// power of ten, a single correctly rounded operation, so it equals what
// from_chars returns. False, with `value` untouched, for every other word,
// valid or not, which then takes the full path.
bool ParseShortDecimal(std::string_view word, double& value) {
  const char* p = word.data();
  const char* const end = p + word.size();
  const bool negative = p != end && *p == '-';
  if (negative) ++p;
  // Unsigned wrap-around past 19 digits is harmless: such words are sent on.
  std::uint64_t mantissa = 0;
  const char* const integer = p;
  for (; p != end && IsDecimalDigit(*p); ++p) mantissa = mantissa * 10 + DigitValue(*p);
  std::ptrdiff_t digits = p - integer;
  if (digits == 0) return false;
  int exponent = 0;
  if (p != end && *p == '.') {
    const char* const fraction = ++p;
    for (; p != end && IsDecimalDigit(*p); ++p) mantissa = mantissa * 10 + DigitValue(*p);
    if (p == fraction || p - fraction > kMaxShortDigits) return false;
    digits += p - fraction;
    exponent = -static_cast<int>(p - fraction);
  }
  if (digits > kMaxShortDigits) return false;
  if (p != end && (*p == 'e' || *p == 'E')) {
    ++p;
    const bool negativeExponent = p != end && *p == '-';
    if (p != end && (*p == '+' || *p == '-')) ++p;
    const char* const written = p;
    int magnitude = 0;
    for (; p != end && IsDecimalDigit(*p); ++p) {
      magnitude = magnitude * 10 + static_cast<int>(DigitValue(*p));
      if (magnitude > 2 * kMaxExactPower) return false;
    }
    if (p == written) return false;
    exponent += negativeExponent ? -magnitude : magnitude;
  }
  if (p != end || mantissa > kMaxExactMantissa || exponent < -kMaxExactPower ||
      exponent > kMaxExactPower) {
    return false;
  }
  const double exact = static_cast<double>(mantissa);
  const double scaled = exponent < 0
                            ? exact / kExactPowersOfTen[static_cast<std::size_t>(-exponent)]
                            : exact * kExactPowersOfTen[static_cast<std::size_t>(exponent)];
  value = negative ? -scaled : scaled;
  return true;
}

}  // namespace

void PlMeshSourceFile::Closer::operator()(std::FILE* stream) const noexcept {
  // Nothing was written, so a failed close loses nothing the reader relies on.
  (void)std::fclose(stream);
}

PlMeshSourceFile::PlMeshSourceFile(const std::filesystem::path& path)
    : file(std::fopen(path.c_str(), "rb")) {
  // The readers keep their own chunk; a second buffer in the stream only copies.
  if (file != nullptr) (void)std::setvbuf(file.get(), nullptr, _IONBF, 0);
}

void PlMeshSourceFile::RequireOpen(const char* unopenedMessage) const {
  if (!IsOpen()) throw PlCadPrepError("input_read_failed", unopenedMessage, "import");
}

std::size_t PlMeshSourceFile::Read(std::span<std::uint8_t> buffer, bool& failed) {
  // The C library keeps the end-of-file state; clearing it lets this read see
  // bytes appended since, which the size and trailing-data checks must notice.
  std::clearerr(file.get());
  const std::size_t count = std::fread(buffer.data(), 1, buffer.size(), file.get());
  failed = count < buffer.size() && std::ferror(file.get()) != 0;
  return count;
}

void CheckMeshImportCancelled(const PlCadPrepCancellation& cancellation) {
  if (cancellation.IsCancelled()) {
    throw PlCadPrepError("cancelled", "preparation was cancelled", "import");
  }
}

std::string_view TrimMeshBlanks(std::string_view text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && IsMeshBlank(text[begin])) ++begin;
  while (end > begin && IsMeshBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

std::string_view FirstMeshWord(std::string_view line) {
  std::size_t begin = 0;
  while (begin < line.size() && IsMeshBlank(line[begin])) ++begin;
  std::size_t end = begin;
  while (end < line.size() && !IsMeshBlank(line[end])) ++end;
  return line.substr(begin, end - begin);
}

PlMeshWords SplitMeshWords(std::string_view line, std::size_t maxWords, std::string_view code,
                           std::string_view message) {
  PlRequire(maxWords <= kMeshMaxWords, "a line is split into at most kMeshMaxWords words");
  PlMeshWords words;
  words.count = 0;
  std::size_t pos = 0;
  for (;;) {
    while (pos < line.size() && IsMeshBlank(line[pos])) ++pos;
    if (pos == line.size()) return words;
    const std::size_t begin = pos;
    while (pos < line.size() && !IsMeshBlank(line[pos])) ++pos;
    if (words.count == maxWords) {
      throw PlCadPrepError(std::string(code), std::string(message), "import");
    }
    words.word[words.count] = line.substr(begin, pos - begin);
    ++words.count;
  }
}

double ParseMeshNumber(std::string_view word) {
  double value = 0.0;
  if (ParseShortDecimal(word, value)) return value;
  if (IsStrictDecimal(word)) {
    const char* end = word.data() + word.size();
    // from_chars rounds correctly without a locale; it reports both overflow and
    // underflow to zero as out of range, and either refuses the word.
    const std::from_chars_result result =
        std::from_chars(word.data(), end, value, std::chars_format::general);
    if (result.ec == std::errc{} && result.ptr == end && std::isfinite(value)) return value;
  }
  throw PlCadPrepError("invalid_number", "mesh contains an invalid numeric value", "import");
}

PlMeshLineReader::PlMeshLineReader(PlMeshSourceFile& source, std::uint64_t maxMemoryBytes,
                                   const PlCadPrepCancellation& runCancellation)
    : file(source),
      cancellation(runCancellation),
      chunk(std::make_unique_for_overwrite<std::uint8_t[]>(kMeshReadChunkBytes)),
      lineLimit(static_cast<std::size_t>(std::min(maxMemoryBytes / 2, kMeshMaxLineBytes))) {}

bool PlMeshLineReader::Refill() {
  bool failed = false;
  chunkSize = file.Read(std::span<std::uint8_t>(chunk.get(), kMeshReadChunkBytes), failed);
  chunkPos = 0;
  if (chunkSize > 0) {
    hash.Update(std::span<const std::uint8_t>(chunk.get(), chunkSize));
    return true;
  }
  if (failed) throw PlCadPrepError("input_read_failed", "mesh could not be read", "import");
  atEnd = true;
  return false;
}

void PlMeshLineReader::Consume(std::size_t count) {
  const std::uint64_t before = bytesRead;
  bytesRead += count;
  if (bytesRead / kMeshCancellationCheckBytes != before / kMeshCancellationCheckBytes) {
    CheckMeshImportCancelled(cancellation);
  }
}

void PlMeshLineReader::GrowLine(std::size_t needed) {
  if (needed <= lineCapacity) return;
  // Doubling keeps reallocation rare; the cap keeps the buffer within the line
  // limit that the caller's memory accounting relies on.
  const std::size_t grown =
      std::min(lineLimit, std::max({needed, 2 * lineCapacity, kInitialLineBytes}));
  std::unique_ptr<char[]> larger = std::make_unique_for_overwrite<char[]>(grown);
  if (lineLength > 0) std::memcpy(larger.get(), line.get(), lineLength);
  line = std::move(larger);
  lineCapacity = grown;
}

void PlMeshLineReader::Append(const std::uint8_t* bytes, std::size_t count) {
  if (count == 0) return;
  const std::size_t needed = lineLength + count;
  GrowLine(needed);
  std::memcpy(line.get() + lineLength, bytes, count);
  lineLength = needed;
}

bool PlMeshLineReader::NextLine(std::string_view& out) {
  for (;;) {
    lineLength = 0;
    std::string_view text;
    bool fed = false;
    while (!fed) {
      if (chunkPos == chunkSize && (atEnd || !Refill())) break;
      const std::uint8_t* begin = chunk.get() + chunkPos;
      const std::size_t available = chunkSize - chunkPos;
      const void* feed = std::memchr(begin, '\n', available);
      const std::size_t content =
          feed == nullptr
              ? available
              : static_cast<std::size_t>(static_cast<const std::uint8_t*>(feed) - begin);
      if (content > lineLimit - lineLength) {
        // Bytes up to the first one past the limit count as read, so a
        // cancellation due within them wins as it would reading byte by byte.
        Consume(lineLimit - lineLength + 1);
        if (lineLimit == 0) {
          throw PlCadPrepError("memory_limit_exceeded", "text line exceeds maxMemoryBytes",
                               "import");
        }
        throw PlCadPrepError("memory_limit_exceeded", "text line exceeds the bounded parser limit",
                             "import");
      }
      fed = feed != nullptr;
      if (fed && lineLength == 0) {
        // A line whose feed lies in the same chunk is handed out in place; the
        // buffer still grows as a copy would have grown it, because its
        // capacity is memory the callers account for.
        if (content > 0) GrowLine(content);
        text = std::string_view(reinterpret_cast<const char*>(begin), content);
      } else {
        Append(begin, content);
        text = std::string_view(line.get(), lineLength);
      }
      const std::size_t used = fed ? content + 1 : content;
      chunkPos += used;
      Consume(used);
    }
    const std::string_view trimmed = TrimMeshBlanks(text);
    if (!trimmed.empty()) {
      out = trimmed;
      return true;
    }
    if (!fed) return false;
  }
}
