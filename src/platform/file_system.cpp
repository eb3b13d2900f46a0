#include "platform/file_system.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "platform/interrupt_cleanup.h"

namespace {

// Null in production; a test installs faults through ScopedPlFileSystemFaults.
const PlFileSystemFaults* gFaults = nullptr;

// Reports an injected failure the way the real call would: through errno.
bool Injected(int faultErrno) {
  if (faultErrno == 0) return false;
  errno = faultErrno;
  return true;
}

int InjectedErrno(int PlFileSystemFaults::*field) {
  return gFaults == nullptr ? 0 : gFaults->*field;
}

// One read or write call: the injected errno fails it, the injected zero makes
// it move no bytes, and an interrupted call is repeated.
template <typename Transfer>
std::int64_t TransferOnce(int PlFileSystemFaults::*errnoField, bool PlFileSystemFaults::*zeroField,
                          Transfer transfer) {
  if (Injected(InjectedErrno(errnoField))) return -1;
  if (gFaults != nullptr && gFaults->*zeroField) return 0;
  ssize_t count = 0;
  do {
    count = transfer();
  } while (count < 0 && errno == EINTR);
  return count;
}

std::error_code LastSystemError() { return std::error_code(errno, std::system_category()); }

// A path that cannot name anything (a missing element, a file used as a
// directory, an over-long name) is free for our purposes, not a failed query.
bool IsNotFound(const std::error_code& error) {
  return error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory ||
         error == std::errc::filename_too_long;
}

PlPathStatus ToPathStatus(const std::filesystem::file_status& status,
                          const std::error_code& error) {
  PlPathStatus result;
  if (IsNotFound(error)) {
    result.type = std::filesystem::file_type::not_found;
    return result;
  }
  result.type = status.type();
  result.error = error;
  return result;
}

}  // namespace

std::filesystem::path PathFromUtf8(std::string_view utf8) {
  return std::filesystem::path(std::string(utf8));
}

std::string PathToUtf8(const std::filesystem::path& path) { return path.native(); }

PlPathStatus QueryPathStatus(const std::filesystem::path& path) {
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(path, error);
  return ToPathStatus(status, error);
}

PlPathStatus QueryPathStatusNoFollow(const std::filesystem::path& path) {
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::symlink_status(path, error);
  return ToPathStatus(status, error);
}

bool QueryFileSize(const std::filesystem::path& path, std::uint64_t& size) {
  if (Injected(InjectedErrno(&PlFileSystemFaults::sizeErrno))) return false;
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  size = static_cast<std::uint64_t>(info.st_size);
  return true;
}

std::filesystem::path CanonicalPath(const std::filesystem::path& path, std::error_code& error) {
  const std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                             &std::free);
  if (resolved == nullptr) {
    error = LastSystemError();
    return {};
  }
  error.clear();
  return std::filesystem::path(resolved.get());
}

bool CreateHardLink(const std::filesystem::path& existing, const std::filesystem::path& linkName,
                    std::error_code& error) {
  if (Injected(InjectedErrno(&PlFileSystemFaults::linkErrno)) ||
      ::link(existing.c_str(), linkName.c_str()) != 0) {
    error = LastSystemError();
    return false;
  }
  error.clear();
  return true;
}

bool RemovePath(const std::filesystem::path& path, std::error_code& error) {
  if (Injected(InjectedErrno(&PlFileSystemFaults::removeErrno))) {
    error = LastSystemError();
    return false;
  }
  // remove() unlinks a file or removes an empty directory, like std::filesystem::remove.
  if (std::remove(path.c_str()) != 0 && errno != ENOENT) {
    error = LastSystemError();
    return false;
  }
  ForgetCreatedFile(path);
  error.clear();
  return true;
}

PlFile::PlFile(PlFile&& other) noexcept : fd(other.fd) { other.fd = -1; }

PlFile& PlFile::operator=(PlFile&& other) noexcept {
  if (this != &other) {
    if (fd >= 0) ::close(fd);
    fd = other.fd;
    other.fd = -1;
  }
  return *this;
}

PlFile::~PlFile() {
  if (fd >= 0) ::close(fd);
}

PlFile PlFile::CreateExclusive(const std::filesystem::path& path, PlCreateOutcome& outcome) {
  int descriptor = -1;
  int openErrno = 0;
  if (Injected(InjectedErrno(&PlFileSystemFaults::createErrno))) {
    openErrno = errno;
  } else {
    // An interrupted run removes the file it created, so the name is
    // registered in the same step as the creation.
    (void)CreateRegisteredFile(path, [&] {
      // O_EXCL refuses any existing name, a dangling symbolic link included.
      do {
        descriptor = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
      } while (descriptor < 0 && errno == EINTR);
      openErrno = errno;
      return descriptor >= 0;
    });
  }
  if (descriptor < 0) {
    outcome = openErrno == EEXIST ? PlCreateOutcome::exists : PlCreateOutcome::failed;
    return PlFile();
  }
  outcome = PlCreateOutcome::created;
  return PlFile(descriptor);
}

std::int64_t PlFile::Write(std::span<const std::uint8_t> bytes) {
  return TransferOnce(&PlFileSystemFaults::writeErrno, &PlFileSystemFaults::writeZero,
                      [&] { return ::write(fd, bytes.data(), bytes.size()); });
}

bool PlFile::Sync() {
  if (Injected(InjectedErrno(&PlFileSystemFaults::syncErrno))) return false;
  return ::fsync(fd) == 0;
}

bool PlFile::Size(std::uint64_t& size) {
  if (Injected(InjectedErrno(&PlFileSystemFaults::sizeErrno))) return false;
  struct stat info {};
  if (::fstat(fd, &info) != 0) return false;
  size = static_cast<std::uint64_t>(info.st_size);
  if (gFaults != nullptr) size += static_cast<std::uint64_t>(gFaults->sizeDelta);
  return true;
}

bool PlFile::SeekToStart() {
  if (Injected(InjectedErrno(&PlFileSystemFaults::seekErrno))) return false;
  return ::lseek(fd, 0, SEEK_SET) == 0;
}

std::int64_t PlFile::Read(std::span<std::uint8_t> buffer) {
  const std::int64_t count =
      TransferOnce(&PlFileSystemFaults::readErrno, &PlFileSystemFaults::readZero,
                   [&] { return ::read(fd, buffer.data(), buffer.size()); });
  if (count > 0 && gFaults != nullptr && gFaults->flipReadByte) {
    buffer[0] = static_cast<std::uint8_t>(buffer[0] ^ 0xFFu);
  }
  return count;
}

bool PlFile::Close() {
  // An injected failure leaves the descriptor open, so the destructor still releases it.
  if (Injected(InjectedErrno(&PlFileSystemFaults::closeErrno))) return false;
  // The descriptor is gone after close() whatever it returns; retrying could close another file.
  const int result = ::close(fd);
  fd = -1;
  return result == 0;
}

PlCreatedFileGuard::~PlCreatedFileGuard() {
  if (!armed) return;
  // Cleanup on the failure path must not mask the failure being reported; whatever
  // survives blocks the next run instead of being overwritten.
  std::error_code ignored;
  (void)RemovePath(path, ignored);
}

namespace {

PlExclusiveWriteOutcome ReadBack(PlFile& file, std::span<const std::uint8_t> bytes,
                                 const PlExclusiveWriteOptions& options) {
  const std::uint64_t size = bytes.size();
  std::uint64_t fileSize = 0;
  if (!file.Size(fileSize) || fileSize != size || !file.SeekToStart()) {
    return PlExclusiveWriteOutcome::lengthChanged;
  }
  // One chunk-sized buffer, however large the file: verification never holds a second copy.
  std::vector<std::uint8_t> buffer(options.chunkBytes);
  std::uint64_t verified = 0;
  while (verified < size) {
    if (options.beforeChunk) options.beforeChunk();
    const std::size_t chunk = std::min<std::uint64_t>(size - verified, options.chunkBytes);
    const std::int64_t count = file.Read(std::span<std::uint8_t>(buffer.data(), chunk));
    if (count <= 0) return PlExclusiveWriteOutcome::readFailed;
    const std::span<const std::uint8_t> expected =
        bytes.subspan(verified, static_cast<std::size_t>(count));
    if (!std::equal(expected.begin(), expected.end(), buffer.begin())) {
      return PlExclusiveWriteOutcome::bytesChanged;
    }
    verified += static_cast<std::uint64_t>(count);
  }
  return PlExclusiveWriteOutcome::written;
}

}  // namespace

PlExclusiveWriteOutcome WriteFileExclusive(const std::filesystem::path& path,
                                           std::span<const std::uint8_t> bytes,
                                           const PlExclusiveWriteOptions& options) {
  PlCreateOutcome created = PlCreateOutcome::failed;
  PlFile file = PlFile::CreateExclusive(path, created);
  if (created == PlCreateOutcome::exists) return PlExclusiveWriteOutcome::exists;
  if (created != PlCreateOutcome::created) return PlExclusiveWriteOutcome::createFailed;
  // The handle moves under the guard, so that it is closed before the guard removes the name.
  PlCreatedFileGuard guard(path);
  guard.Arm();
  PlFile owned = std::move(file);

  const std::uint64_t size = bytes.size();
  if (options.afterChunk) options.afterChunk(0, size);
  std::uint64_t written = 0;
  while (written < size) {
    if (options.beforeChunk) options.beforeChunk();
    const std::size_t chunk = std::min<std::uint64_t>(size - written, options.chunkBytes);
    const std::int64_t count = owned.Write(bytes.subspan(written, chunk));
    if (count <= 0) return PlExclusiveWriteOutcome::writeFailed;
    written += static_cast<std::uint64_t>(count);
    if (options.afterChunk) options.afterChunk(written, size);
  }
  if (!owned.Sync()) return PlExclusiveWriteOutcome::syncFailed;
  if (options.readBack) {
    const PlExclusiveWriteOutcome verified = ReadBack(owned, bytes, options);
    if (verified != PlExclusiveWriteOutcome::written) return verified;
  }
  if (!owned.Close()) return PlExclusiveWriteOutcome::closeFailed;
  guard.Disarm();
  return PlExclusiveWriteOutcome::written;
}

ScopedPlFileSystemFaults::ScopedPlFileSystemFaults(const PlFileSystemFaults& faults)
    : previous(gFaults), installed(faults) {
  gFaults = &installed;
}

ScopedPlFileSystemFaults::~ScopedPlFileSystemFaults() { gFaults = previous; }
