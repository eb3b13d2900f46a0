#include "package/zip_image.h"

#include <zip.h>

#include <algorithm>
#include <memory>
#include <string_view>

#include "core/byte_io.h"
#include "core/error.h"

namespace {

constexpr std::uint32_t kCentralHeaderSignature = 0x02014b50;
constexpr std::uint32_t kLocalHeaderSignature = 0x04034b50;
constexpr std::uint32_t kEndOfCentralSignature = 0x06054b50;
constexpr std::size_t kEndOfCentralBytes = 22;
constexpr std::size_t kCentralHeaderBytes = 46;
constexpr std::size_t kLocalHeaderTimeOffset = 10;
constexpr std::size_t kLocalHeaderTimeFieldsEnd = 14;
constexpr std::size_t kCentralHeaderTimeOffset = 12;
// A regular file readable by all and writable by its owner (0644) when extracted;
// the writer's default would make extracted members writable by everyone.
constexpr zip_uint32_t kMemberExternalAttributes = zip_uint32_t{0100644} << 16;

[[noreturn]] void WriteFailed(const char* message) {
  throw PlCadPrepError("archive_write_failed", message, "package");
}

[[noreturn]] void ValidationFailed(const char* message) {
  throw PlCadPrepError("archive_validation_failed", message, "package");
}

struct ZipSourceRelease {
  void operator()(zip_source_t* source) const { zip_source_free(source); }
};
using ZipSourcePtr = std::unique_ptr<zip_source_t, ZipSourceRelease>;

// An archive opened over a source; discarding never writes anything back.
struct ZipArchiveRelease {
  void operator()(zip_t* archive) const { zip_discard(archive); }
};
using ZipArchivePtr = std::unique_ptr<zip_t, ZipArchiveRelease>;

struct ZipFileRelease {
  void operator()(zip_file_t* file) const { zip_fclose(file); }
};
using ZipFilePtr = std::unique_ptr<zip_file_t, ZipFileRelease>;

// A buffer source over `size` bytes at `data` and an archive opened on it with
// `openFlags`. The archive takes one reference when it opens the source; the
// source keeps ours, so the image can still be read after the archive is closed.
struct ZipOverBuffer {
  ZipSourcePtr source;
  ZipArchivePtr archive;
};

// Calls `fail` (which throws) with `message` when either cannot be created.
ZipOverBuffer OpenZipOverBuffer(const void* data, zip_uint64_t size, int openFlags,
                                void (*fail)(const char*), const char* message) {
  ZipOverBuffer zip;
  zip_error_t error;
  zip_error_init(&error);
  zip.source.reset(zip_source_buffer_create(data, size, 0, &error));
  zip_error_fini(&error);
  if (!zip.source) fail(message);
  zip_source_keep(zip.source.get());
  zip_error_init(&error);
  zip.archive.reset(zip_open_from_source(zip.source.get(), openFlags, &error));
  zip_error_fini(&error);
  if (!zip.archive) {
    zip_source_free(zip.source.get());  // drop the reference the failed open did not take
    fail(message);
  }
  return zip;
}

// Reads the fresh image out of the in-memory source that the writer filled.
std::vector<std::uint8_t> ReadSourceBytes(zip_source_t* source) {
  zip_stat_t stat;
  zip_stat_init(&stat);
  if (zip_source_stat(source, &stat) != 0 || (stat.valid & ZIP_STAT_SIZE) == 0) {
    WriteFailed("geometry ZIP could not be finalized");
  }
  std::vector<std::uint8_t> image(static_cast<std::size_t>(stat.size));
  if (zip_source_open(source) != 0) WriteFailed("geometry ZIP could not be finalized");
  const zip_int64_t read = zip_source_read(source, image.data(), image.size());
  zip_source_close(source);
  if (read < 0 || static_cast<zip_uint64_t>(read) != stat.size) {
    WriteFailed("geometry ZIP could not be finalized");
  }
  return image;
}

// Where one entry's headers lie in the image.
struct EntryHeaders {
  std::size_t central = 0;
  std::uint64_t local = 0;
  std::uint32_t externalAttributes = 0;
};

// The headers of every central-directory entry, in directory order, read from
// the image itself so that the writer's output is checked independently of the
// library that wrote it. Empty when the directory is malformed.
std::vector<EntryHeaders> ReadEntryHeaders(std::span<const std::uint8_t> image) {
  if (image.size() < kEndOfCentralBytes) return {};
  ByteReader end(image.subspan(image.size() - kEndOfCentralBytes));
  if (end.U32() != kEndOfCentralSignature) return {};
  (void)end.U16();  // disk number
  (void)end.U16();  // disk with the directory
  (void)end.U16();  // entries on this disk
  const std::uint16_t entries = end.U16();
  const std::uint32_t directoryBytes = end.U32();
  const std::uint32_t directoryOffset = end.U32();
  if (directoryOffset > image.size() || directoryBytes > image.size() - directoryOffset) return {};
  ByteReader directory(image.subspan(directoryOffset, directoryBytes));
  std::vector<EntryHeaders> headers;
  headers.reserve(entries);
  for (std::uint16_t i = 0; i < entries; ++i) {
    if (!directory.Has(kCentralHeaderBytes)) return {};
    const std::size_t central = directoryOffset + directory.Position();
    if (directory.U32() != kCentralHeaderSignature) return {};
    (void)directory.Take(24);  // versions, flags, method, time, date, crc, sizes
    const std::uint16_t nameBytes = directory.U16();
    const std::uint16_t extraBytes = directory.U16();
    const std::uint16_t commentBytes = directory.U16();
    (void)directory.Take(4);  // disk, internal attributes
    const std::uint32_t externalAttributes = directory.U32();
    headers.push_back({central, directory.U32(), externalAttributes});
    const std::uint64_t variableBytes = std::uint64_t{nameBytes} + extraBytes + commentBytes;
    if (!directory.Has(variableBytes)) return {};
    (void)directory.Take(static_cast<std::size_t>(variableBytes));
  }
  return headers;
}

bool HasLocalHeaderAt(std::span<const std::uint8_t> image, std::uint64_t offset) {
  if (offset > image.size() || image.size() - offset < kLocalHeaderTimeFieldsEnd) return false;
  ByteReader local(image.subspan(static_cast<std::size_t>(offset), 4));
  return local.U32() == kLocalHeaderSignature;
}

// The library stamps every entry with a clock time (a zero DOS date is not a
// valid date to it), so the writer clears the time and date fields itself. No
// checksum covers them.
void ClearEntryTimes(std::vector<std::uint8_t>& image) {
  const std::vector<EntryHeaders> headers = ReadEntryHeaders(image);
  if (headers.empty()) WriteFailed("geometry ZIP could not be finalized");
  for (const EntryHeaders& entry : headers) {
    if (!HasLocalHeaderAt(image, entry.local)) WriteFailed("geometry ZIP could not be finalized");
    const auto local = static_cast<std::size_t>(entry.local);
    std::fill_n(image.begin() + static_cast<std::ptrdiff_t>(local + kLocalHeaderTimeOffset), 4, 0);
    std::fill_n(
        image.begin() + static_cast<std::ptrdiff_t>(entry.central + kCentralHeaderTimeOffset), 4,
        0);
  }
}

bool LocalHeaderHasZeroTime(std::span<const std::uint8_t> image, std::uint64_t offset) {
  if (!HasLocalHeaderAt(image, offset)) return false;
  ByteReader timeAndDate(
      image.subspan(static_cast<std::size_t>(offset) + kLocalHeaderTimeOffset, 4));
  return timeAndDate.U32() == 0;
}

}  // namespace

std::vector<std::uint8_t> WritePlCadPrepZipImage(const std::vector<PlCadPrepArchiveMember>& members,
                                                 const PlCadPrepOperationContext& context) {
  auto [target, archive] = OpenZipOverBuffer(nullptr, 0, ZIP_TRUNCATE, WriteFailed,
                                             "geometry ZIP writer could not initialize");

  for (const PlCadPrepArchiveMember& member : members) {
    CheckpointStage(context, "package");
    // The member source borrows the bytes; they outlive the archive.
    zip_source_t* data =
        zip_source_buffer(archive.get(), member.bytes.data(), member.bytes.size(), 0);
    if (data == nullptr) WriteFailed("geometry ZIP member could not be written");
    const zip_int64_t index =
        zip_file_add(archive.get(), member.name.c_str(), data, ZIP_FL_ENC_UTF_8);
    if (index < 0) {
      zip_source_free(data);
      WriteFailed("geometry ZIP member could not be written");
    }
    const auto entry = static_cast<zip_uint64_t>(index);
    if (zip_set_file_compression(archive.get(), entry, ZIP_CM_STORE, 0) != 0 ||
        zip_file_set_dostime(archive.get(), entry, 0, 0, 0) != 0 ||
        zip_file_set_external_attributes(archive.get(), entry, 0, ZIP_OPSYS_UNIX,
                                         kMemberExternalAttributes) != 0) {
      WriteFailed("geometry ZIP member could not be written");
    }
  }
  if (zip_close(archive.get()) != 0) WriteFailed("geometry ZIP could not be finalized");
  (void)archive.release();  // closed: the handle is gone
  std::vector<std::uint8_t> image = ReadSourceBytes(target.get());
  if (members.empty()) return image;
  ClearEntryTimes(image);
  return image;
}

void ValidatePlCadPrepZipImage(std::span<const std::uint8_t> image,
                               const std::vector<PlCadPrepArchiveMember>& members,
                               const PlCadPrepOperationContext& context) {
  if (image.empty()) ValidationFailed("fresh geometry ZIP could not be reopened");
  const ZipOverBuffer zip =
      OpenZipOverBuffer(image.data(), image.size(), ZIP_RDONLY, ValidationFailed,
                        "fresh geometry ZIP could not be reopened");
  zip_t* const archive = zip.archive.get();
  const zip_int64_t count = zip_get_num_entries(archive, 0);
  if (count < 0 || static_cast<std::uint64_t>(count) != members.size()) {
    ValidationFailed("fresh geometry ZIP member count changed");
  }
  const std::vector<EntryHeaders> headers = ReadEntryHeaders(image);

  std::vector<std::uint8_t> buffer;
  for (std::size_t place = 0; place < members.size(); ++place) {
    CheckpointStage(context, "package");
    const PlCadPrepArchiveMember& member = members[place];
    zip_stat_t stat;
    zip_stat_init(&stat);
    constexpr zip_uint64_t kNeeded = ZIP_STAT_NAME | ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE |
                                     ZIP_STAT_COMP_METHOD | ZIP_STAT_ENCRYPTION_METHOD;
    const bool metadataOk =
        zip_stat_index(archive, place, ZIP_FL_ENC_RAW, &stat) == 0 &&
        (stat.valid & kNeeded) == kNeeded && stat.comp_method == ZIP_CM_STORE &&
        stat.encryption_method == ZIP_EM_NONE && stat.comp_size == member.bytes.size() &&
        stat.size == member.bytes.size() && std::string_view(stat.name) == member.name &&
        !member.name.empty() && member.name.back() != '/' && place < headers.size() &&
        headers[place].externalAttributes == kMemberExternalAttributes &&
        LocalHeaderHasZeroTime(image, headers[place].local);
    if (!metadataOk) ValidationFailed("fresh geometry ZIP member metadata changed");

    buffer.assign(member.bytes.size(), 0);
    ZipFilePtr file(zip_fopen_index(archive, place, 0));
    if (!file) ValidationFailed("fresh geometry ZIP member bytes changed");
    const zip_int64_t read = zip_fread(file.get(), buffer.data(), buffer.size());
    if (read < 0 || static_cast<std::size_t>(read) != buffer.size() ||
        !std::equal(buffer.begin(), buffer.end(), member.bytes.begin())) {
      ValidationFailed("fresh geometry ZIP member bytes changed");
    }
  }
}
