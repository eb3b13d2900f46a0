#include "package/zip_image.h"

#include <zip.h>

#include <algorithm>
#include <exception>
#include <memory>
#include <new>
#include <stdexcept>
#include <string_view>

#include "core/byte_io.h"
#include "core/checked.h"
#include "core/error.h"

namespace {

constexpr std::uint32_t kCentralHeaderSignature = 0x02014b50;
constexpr std::uint32_t kLocalHeaderSignature = 0x04034b50;
constexpr std::uint32_t kEndOfCentralSignature = 0x06054b50;
constexpr std::size_t kEndOfCentralBytes = 22;
constexpr std::size_t kCentralHeaderBytes = 46;
constexpr std::size_t kLocalHeaderBytes = 30;
constexpr std::size_t kLocalHeaderTimeOffset = 10;
constexpr std::size_t kLocalHeaderTimeFieldsEnd = 14;
constexpr std::size_t kCentralHeaderTimeOffset = 12;
constexpr std::size_t kValidationChunkBytes = 65'536;
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

// An archive opened with `openFlags` over a source. The archive takes one
// reference when it opens the source; the source keeps ours, so what it holds
// can still be read after the archive is closed.
struct ZipOverSource {
  ZipSourcePtr source;
  ZipArchivePtr archive;
};

// Takes ownership of `source` and calls `fail` (which throws) with `message`
// when the source is null or the archive cannot be opened.
ZipOverSource OpenZipOverSource(zip_source_t* source, int openFlags, void (*fail)(const char*),
                                const char* message) {
  ZipOverSource zip;
  zip.source.reset(source);
  if (!zip.source) fail(message);
  zip_source_keep(zip.source.get());
  zip_error_t error;
  zip_error_init(&error);
  zip.archive.reset(zip_open_from_source(zip.source.get(), openFlags, &error));
  zip_error_fini(&error);
  if (!zip.archive) {
    zip_source_free(zip.source.get());  // drop the reference the failed open did not take
    fail(message);
  }
  return zip;
}

// A buffer source over `size` bytes at `data`, opened as above.
ZipOverSource OpenZipOverBuffer(const void* data, zip_uint64_t size, int openFlags,
                                void (*fail)(const char*), const char* message) {
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* source = zip_source_buffer_create(data, size, 0, &error);
  zip_error_fini(&error);
  return OpenZipOverSource(source, openFlags, fail, message);
}

// The writer's target: the library writes the image straight into `image`
// (seeking back only to complete each local header), so the image is neither
// gathered in the library's own buffers nor copied out of them afterwards.
struct ImageSink {
  ImageSink() { zip_error_init(&error); }
  ImageSink(const ImageSink&) = delete;
  ImageSink& operator=(const ImageSink&) = delete;
  ~ImageSink() { zip_error_fini(&error); }

  std::vector<std::uint8_t> image;
  std::size_t writePosition = 0;
  std::size_t readPosition = 0;
  // What growing the image threw; rethrown once the library has returned.
  std::exception_ptr growthFailure;
  zip_error_t error;
};

// Writes at the write position: over the bytes already there, then appended.
void PutAt(ImageSink& sink, const std::uint8_t* data, std::size_t length) {
  std::vector<std::uint8_t>& image = sink.image;
  if (sink.writePosition > image.size()) image.resize(sink.writePosition);
  const std::size_t overwritten = std::min(length, image.size() - sink.writePosition);
  std::copy_n(data, overwritten, image.begin() + static_cast<std::ptrdiff_t>(sink.writePosition));
  image.insert(image.end(), data + overwritten, data + length);
  sink.writePosition += length;
}

// Nothing may unwind through the library: the failure waits in the sink.
zip_int64_t GrowthFailed(ImageSink& sink) {
  sink.growthFailure = std::current_exception();
  zip_error_set(&sink.error, ZIP_ER_MEMORY, 0);
  return -1;
}

// Moves one of the sink's positions as the seek arguments in `data` ask.
zip_int64_t SeekTo(ImageSink& sink, std::size_t& position, void* data, zip_uint64_t length) {
  const zip_int64_t at =
      zip_source_seek_compute_offset(position, sink.image.size(), data, length, &sink.error);
  if (at < 0) return -1;
  position = static_cast<std::size_t>(at);
  return 0;
}

zip_int64_t ImageSinkCommand(void* userdata, void* data, zip_uint64_t length,
                             zip_source_cmd_t command) {
  ImageSink& sink = *static_cast<ImageSink*>(userdata);
  switch (command) {
    case ZIP_SOURCE_OPEN:
      sink.readPosition = 0;
      return 0;
    case ZIP_SOURCE_READ: {
      const std::size_t n =
          std::min(static_cast<std::size_t>(length),
                   sink.image.size() - std::min(sink.readPosition, sink.image.size()));
      std::copy_n(sink.image.begin() + static_cast<std::ptrdiff_t>(sink.readPosition), n,
                  static_cast<std::uint8_t*>(data));
      sink.readPosition += n;
      return static_cast<zip_int64_t>(n);
    }
    case ZIP_SOURCE_CLOSE:
    case ZIP_SOURCE_FREE:
    case ZIP_SOURCE_COMMIT_WRITE:
      return 0;
    case ZIP_SOURCE_STAT: {
      auto* stat = ZIP_SOURCE_GET_ARGS(zip_stat_t, data, length, &sink.error);
      if (stat == nullptr) return -1;
      zip_stat_init(stat);
      stat->size = sink.image.size();
      stat->valid |= ZIP_STAT_SIZE;
      return sizeof(zip_stat_t);
    }
    case ZIP_SOURCE_ERROR:
      return zip_error_to_data(&sink.error, data, length);
    case ZIP_SOURCE_SEEK:
      return SeekTo(sink, sink.readPosition, data, length);
    case ZIP_SOURCE_TELL:
      return static_cast<zip_int64_t>(sink.readPosition);
    case ZIP_SOURCE_BEGIN_WRITE:
    case ZIP_SOURCE_ROLLBACK_WRITE:
    case ZIP_SOURCE_REMOVE:
      sink.image.clear();
      sink.writePosition = 0;
      return 0;
    case ZIP_SOURCE_WRITE:
      try {
        PutAt(sink, static_cast<const std::uint8_t*>(data), static_cast<std::size_t>(length));
      } catch (const std::bad_alloc&) {
        return GrowthFailed(sink);
      } catch (const std::length_error&) {
        return GrowthFailed(sink);
      }
      return static_cast<zip_int64_t>(length);
    case ZIP_SOURCE_SEEK_WRITE:
      return SeekTo(sink, sink.writePosition, data, length);
    case ZIP_SOURCE_TELL_WRITE:
      return static_cast<zip_int64_t>(sink.writePosition);
    case ZIP_SOURCE_SUPPORTS:
      return ZIP_SOURCE_SUPPORTS_WRITABLE;
    default:
      zip_error_set(&sink.error, ZIP_ER_OPNOTSUPP, 0);
      return -1;
  }
}

// The image size when every member is stored with no extra fields: a local
// header and a directory entry per member, each with its name, and the end
// record. Only a capacity hint; zero when the sum does not fit.
std::uint64_t ExpectedImageBytes(const std::vector<PlCadPrepArchiveMember>& members) {
  std::uint64_t total = kEndOfCentralBytes;
  for (const PlCadPrepArchiveMember& member : members) {
    if (!CheckedAdd(total, kLocalHeaderBytes + kCentralHeaderBytes, total) ||
        !CheckedAdd(total, std::uint64_t{2} * member.name.size(), total) ||
        !CheckedAdd(total, member.bytes.size(), total)) {
      return 0;
    }
  }
  return total;
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
  // Declared first: the source calls into the sink until the source is freed.
  ImageSink sink;
  const std::uint64_t expectedBytes = ExpectedImageBytes(members);
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* source = zip_source_function_create(ImageSinkCommand, &sink, &error);
  zip_error_fini(&error);
  auto [target, archive] = OpenZipOverSource(source, ZIP_TRUNCATE, WriteFailed,
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
  // Reserved after the last checkpoint, so a cancelled run never holds it; the
  // sink keeps the capacity when the library clears it to begin writing.
  if (expectedBytes <= sink.image.max_size()) {
    sink.image.reserve(static_cast<std::size_t>(expectedBytes));
  }
  if (zip_close(archive.get()) != 0) {
    if (sink.growthFailure) std::rethrow_exception(sink.growthFailure);
    WriteFailed("geometry ZIP could not be finalized");
  }
  (void)archive.release();  // closed: the handle is gone
  std::vector<std::uint8_t> image = std::move(sink.image);
  // The archive's reservation counts the image's capacity, which is its size
  // exactly, as for an image allocated once it was complete.
  if (image.capacity() != image.size()) image.shrink_to_fit();
  if (members.empty()) return image;
  ClearEntryTimes(image);
  return image;
}

void ValidatePlCadPrepZipImage(std::span<const std::uint8_t> image,
                               const std::vector<PlCadPrepArchiveMember>& members,
                               const PlCadPrepOperationContext& context) {
  if (image.empty()) ValidationFailed("fresh geometry ZIP could not be reopened");
  const ZipOverSource zip =
      OpenZipOverBuffer(image.data(), image.size(), ZIP_RDONLY, ValidationFailed,
                        "fresh geometry ZIP could not be reopened");
  zip_t* const archive = zip.archive.get();
  const zip_int64_t count = zip_get_num_entries(archive, 0);
  if (count < 0 || static_cast<std::uint64_t>(count) != members.size()) {
    ValidationFailed("fresh geometry ZIP member count changed");
  }
  const std::vector<EntryHeaders> headers = ReadEntryHeaders(image);

  std::vector<std::uint8_t> buffer(kValidationChunkBytes);
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

    ZipFilePtr file(zip_fopen_index(archive, place, 0));
    if (!file) ValidationFailed("fresh geometry ZIP member bytes changed");
    // Read in chunks that stay in cache; each asks for no more than the member
    // holds, so the reads add up to the one read of the member's whole length.
    for (std::size_t done = 0; done < member.bytes.size();) {
      const std::size_t want = std::min(buffer.size(), member.bytes.size() - done);
      const zip_int64_t read = zip_fread(file.get(), buffer.data(), want);
      if (read < 0 || static_cast<std::size_t>(read) != want ||
          !std::equal(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(want),
                      member.bytes.begin() + static_cast<std::ptrdiff_t>(done))) {
        ValidationFailed("fresh geometry ZIP member bytes changed");
      }
      done += want;
    }
  }
}
