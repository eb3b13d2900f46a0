#pragma once
// The text layer shared by the STL and OBJ readers: one pass over the source in
// fixed chunks that hashes and counts every byte and hands out its non-blank
// lines from one reused, bounded buffer; plus the word and number rules both
// formats follow.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <span>
#include <string_view>

#include "context/operation_context.h"
#include "core/sha256.h"

inline constexpr std::size_t kMeshReadChunkBytes = 65'536;
inline constexpr std::uint64_t kMeshCancellationCheckBytes = 65'536;
// The longest line ever buffered, whatever maxMemoryBytes allows.
inline constexpr std::uint64_t kMeshMaxLineBytes = 1'048'576;
// The most words any record has: a facet header, or an OBJ vertex with its weight.
inline constexpr std::size_t kMeshMaxWords = 5;

// A source file opened for binary reading; other readers are not locked out.
// Closed when destroyed. Move-only.
class PlMeshSourceFile {
 public:
  // Not open (IsOpen() false) when the path cannot be opened.
  explicit PlMeshSourceFile(const std::filesystem::path& path);

  bool IsOpen() const { return file != nullptr; }

  // Throws "input_read_failed" (stage "import") with `unopenedMessage` when not open.
  void RequireOpen(const char* unopenedMessage) const;

  // Reads until `buffer` is full or the file ends; returns the bytes read. `failed`
  // tells a hard read error from the end of the file. Bytes appended to the file
  // since an earlier read that reached its end are seen.
  std::size_t Read(std::span<std::uint8_t> buffer, bool& failed);

 private:
  struct Closer {
    void operator()(std::FILE* stream) const noexcept;
  };
  std::unique_ptr<std::FILE, Closer> file;
};

// Throws "cancelled" (stage "import") when the run has been cancelled.
void CheckMeshImportCancelled(const PlCadPrepCancellation& cancellation);

// Space, tab, carriage return and line feed.
constexpr bool IsMeshBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view TrimMeshBlanks(std::string_view text);

// The first word of `line`; empty when the line holds only blanks.
std::string_view FirstMeshWord(std::string_view line);

// Filled by SplitMeshWords. No member initializers: with them GCC clears the
// struct with a slow string store on every line.
struct PlMeshWords {
  std::array<std::string_view, kMeshMaxWords> word;
  std::size_t count;
};

// Splits `line` at runs of blanks. A line of more than `maxWords` words (at most
// kMeshMaxWords) fails with `code` and `message` under stage "import".
PlMeshWords SplitMeshWords(std::string_view line, std::size_t maxWords, std::string_view code,
                           std::string_view message);

// A whole word in the strict decimal form ("-"? digits ("." digits)? ([eE] [+-]? digits)?),
// rounded to the nearest f64. Anything else, and a value that overflows to infinity
// or underflows to zero, throws "invalid_number" (stage "import").
double ParseMeshNumber(std::string_view word);

// Hands out the non-blank lines of one source file, hashing and counting every
// byte on the way and polling cancellation every kMeshCancellationCheckBytes.
// Lines are at most min(maxMemoryBytes / 2, kMeshMaxLineBytes) bytes.
class PlMeshLineReader {
 public:
  PlMeshLineReader(PlMeshSourceFile& source, std::uint64_t maxMemoryBytes,
                   const PlCadPrepCancellation& cancellation);
  PlMeshLineReader(const PlMeshLineReader&) = delete;
  PlMeshLineReader& operator=(const PlMeshLineReader&) = delete;

  // The next line that holds a non-blank character, without its leading and
  // trailing blanks; valid until the next call. False at the end of the file.
  // Throws "input_read_failed", "memory_limit_exceeded" or "cancelled" (stage "import").
  [[nodiscard]] bool NextLine(std::string_view& line);

  // Bytes the line buffer holds now; it grows with the longest line seen.
  std::uint64_t LineCapacityBytes() const { return lineCapacity; }
  // Bytes consumed by the lines handed out so far (line feeds and skipped lines included).
  std::uint64_t BytesRead() const { return bytesRead; }
  std::uint64_t LineLimitBytes() const { return lineLimit; }

  // The SHA-256 of every byte read; call once, after the end of the file.
  Sha256Digest FinishDigest() { return hash.Finish(); }

 private:
  bool Refill();
  void Consume(std::size_t count);
  void GrowLine(std::size_t needed);
  void Append(const std::uint8_t* bytes, std::size_t count);

  PlMeshSourceFile& file;
  const PlCadPrepCancellation& cancellation;
  Sha256 hash;
  std::unique_ptr<std::uint8_t[]> chunk;
  std::size_t chunkSize = 0;
  std::size_t chunkPos = 0;
  bool atEnd = false;
  std::unique_ptr<char[]> line;
  std::size_t lineLength = 0;
  std::size_t lineCapacity = 0;
  std::size_t lineLimit = 0;
  std::uint64_t bytesRead = 0;
};
