#pragma once
// The operating-system layer: paths, status queries, the exclusive file used
// for staging, hard links and removal. The only unit that talks to POSIX.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

// Paths are UTF-8 byte strings on this platform; these convert without change.
std::filesystem::path PathFromUtf8(std::string_view utf8);
std::string PathToUtf8(const std::filesystem::path& path);

// Result of a status query. `error` is set when the query itself failed; a
// missing path (or a missing parent, or an invalid name) gives notFound with no error.
struct PlPathStatus {
  std::filesystem::file_type type = std::filesystem::file_type::none;
  std::error_code error;
  bool NotFound() const { return !error && type == std::filesystem::file_type::not_found; }
  bool RegularFile() const { return !error && type == std::filesystem::file_type::regular; }
  bool Directory() const { return !error && type == std::filesystem::file_type::directory; }
};

// Status following symbolic links.
PlPathStatus QueryPathStatus(const std::filesystem::path& path);
// Status of the name itself: a symbolic link reports as a symbolic link.
PlPathStatus QueryPathStatusNoFollow(const std::filesystem::path& path);

// False when the size cannot be queried.
[[nodiscard]] bool QueryFileSize(const std::filesystem::path& path, std::uint64_t& size);

// The absolute final form of an existing path (links followed, "." and ".."
// resolved); empty with `error` set when it cannot be resolved.
std::filesystem::path CanonicalPath(const std::filesystem::path& path, std::error_code& error);

// Creates a hard link `linkName` to `existing`; the system refuses an existing
// name, so this never overwrites. False with `error` set on failure.
[[nodiscard]] bool CreateHardLink(const std::filesystem::path& existing,
                                  const std::filesystem::path& linkName, std::error_code& error);

// Removes a file or an empty directory; a missing path is not an error.
// False with `error` set on failure.
[[nodiscard]] bool RemovePath(const std::filesystem::path& path, std::error_code& error);

enum class PlCreateOutcome { created, exists, failed };

// One open file of the platform, move-only. The destructor closes silently;
// Close() reports whether closing succeeded.
class PlFile {
 public:
  PlFile() = default;
  PlFile(const PlFile&) = delete;
  PlFile& operator=(const PlFile&) = delete;
  PlFile(PlFile&& other) noexcept;
  PlFile& operator=(PlFile&& other) noexcept;
  ~PlFile();

  // Creates `path` for reading and writing only when the name is free, without
  // following a final symbolic link. `outcome` tells a taken name from other failures.
  static PlFile CreateExclusive(const std::filesystem::path& path, PlCreateOutcome& outcome);

  bool IsOpen() const { return fd >= 0; }
  // Bytes written by one call (at most bytes.size()), or -1 on failure.
  std::int64_t Write(std::span<const std::uint8_t> bytes);
  // Flushes data and metadata to the device.
  [[nodiscard]] bool Sync();
  [[nodiscard]] bool Size(std::uint64_t& size);
  [[nodiscard]] bool SeekToStart();
  // Bytes read by one call (0 at end of file), or -1 on failure.
  std::int64_t Read(std::span<std::uint8_t> buffer);
  [[nodiscard]] bool Close();

 private:
  explicit PlFile(int descriptor) : fd(descriptor) {}
  int fd = -1;
};

// Owns a file this run created until disarmed: destroyed while armed, it
// removes the path (a file or an empty directory) and ignores the outcome.
class PlCreatedFileGuard {
 public:
  explicit PlCreatedFileGuard(std::filesystem::path createdPath) : path(std::move(createdPath)) {}
  PlCreatedFileGuard(const PlCreatedFileGuard&) = delete;
  PlCreatedFileGuard& operator=(const PlCreatedFileGuard&) = delete;
  ~PlCreatedFileGuard();
  void Arm() { armed = true; }
  void Disarm() { armed = false; }
  bool IsArmed() const { return armed; }

 private:
  std::filesystem::path path;
  bool armed = false;
};

// How one exclusive write ended. Every outcome but `written` and `exists` has
// removed the file the write created; `exists` created nothing and removed nothing.
enum class PlExclusiveWriteOutcome {
  written,        // complete, synced, compared when asked, and closed; the file stays
  exists,         // the name was taken
  createFailed,   // any other creation failure
  writeFailed,    // a write failed or wrote nothing
  syncFailed,     // the data could not be flushed to the device
  lengthChanged,  // read back: the size differs or the file cannot be rewound
  readFailed,     // read back: a read failed or ended early
  bytesChanged,   // read back: the bytes differ from what was written
  closeFailed,
};

struct PlExclusiveWriteOptions {
  // Bytes per write and per read-back call.
  std::size_t chunkBytes = 65'536;
  // Read the file back after the sync and compare it with what was written,
  // holding one chunk at a time.
  bool readBack = false;
  // Called before every chunk written or read back; it may throw to stop the
  // write, and the created file is removed then.
  std::function<void()> beforeChunk;
  // Called with (written, total) once before the first chunk and after every chunk.
  std::function<void(std::uint64_t, std::uint64_t)> afterChunk;
};

// Creates `path` only when the name is free (never following a final symbolic
// link), writes all of `bytes`, flushes, optionally reads back, and closes. On
// failure the created file is closed and then removed; the caller maps the
// outcome to its own failure.
[[nodiscard]] PlExclusiveWriteOutcome WriteFileExclusive(
    const std::filesystem::path& path, std::span<const std::uint8_t> bytes,
    const PlExclusiveWriteOptions& options = {});

// Faults a test can inject into the platform layer, one per operation. An
// operation whose field is non-zero fails with that errno value instead of
// running; production code never installs any.
struct PlFileSystemFaults {
  int createErrno = 0;
  int writeErrno = 0;
  bool writeZero = false;  // a write that reports 0 bytes
  int syncErrno = 0;
  int sizeErrno = 0;
  std::int64_t sizeDelta = 0;  // added to a successfully queried open-file size
  int seekErrno = 0;
  int readErrno = 0;
  bool readZero = false;      // a read that reports end of file early
  bool flipReadByte = false;  // the first byte of every read comes back changed
  int closeErrno = 0;
  int linkErrno = 0;
  int removeErrno = 0;
};

// Installs `faults` for the lifetime of this object (tests only).
class ScopedPlFileSystemFaults {
 public:
  explicit ScopedPlFileSystemFaults(const PlFileSystemFaults& faults);
  ScopedPlFileSystemFaults(const ScopedPlFileSystemFaults&) = delete;
  ScopedPlFileSystemFaults& operator=(const ScopedPlFileSystemFaults&) = delete;
  ~ScopedPlFileSystemFaults();

 private:
  const PlFileSystemFaults* previous;
  PlFileSystemFaults installed;  // a copy, so a temporary argument cannot dangle
};
