#pragma once
// A test-only reader of stored packages, independent of the ZIP library that
// writes them: it walks the central directory, checks each local header
// against it, and proves every member's CRC-32 over its stored bytes.
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/byte_io.h"

struct PackageEntry {
  std::string name;
  std::vector<std::uint8_t> bytes;
  std::uint16_t localTime = 0;
  std::uint16_t localDate = 0;
};

struct PackageContents {
  std::vector<PackageEntry> entries;
  // Empty when the image read cleanly; otherwise what was wrong with it.
  std::string problem;
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const PackageEntry& entry : entries) names.push_back(entry.name);
    return names;
  }
};

inline std::span<const std::uint8_t> PackageTextBytes(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// The reflected CRC-32 of ZIP (polynomial 0xEDB88320), bit by bit.
inline std::uint32_t PackageCrc32(std::span<const std::uint8_t> bytes) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (const std::uint8_t byte : bytes) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

// Reads an image without an archive comment or ZIP64 records, as the writer makes them.
inline PackageContents ReadPackage(std::span<const std::uint8_t> image) {
  constexpr std::size_t kEndBytes = 22;
  PackageContents contents;
  const auto fail = [&contents](const std::string& problem) {
    contents.entries.clear();
    contents.problem = problem;
    return contents;
  };
  if (image.size() < kEndBytes) return fail("image is shorter than its end record");
  ByteReader end(image.subspan(image.size() - kEndBytes));
  if (end.U32() != 0x06054b50u) return fail("end record signature");
  (void)end.Take(6);  // disk numbers, entries on this disk
  const std::uint16_t count = end.U16();
  const std::uint32_t directoryBytes = end.U32();
  const std::uint32_t directoryOffset = end.U32();
  if (end.U16() != 0) return fail("archive comment");
  if (directoryOffset > image.size() || directoryBytes > image.size() - directoryOffset) {
    return fail("central directory outside the image");
  }
  ByteReader directory(image.subspan(directoryOffset, directoryBytes));
  for (std::uint16_t i = 0; i < count; ++i) {
    if (!directory.Has(46)) return fail("central header truncated");
    if (directory.U32() != 0x02014b50u) return fail("central header signature");
    (void)directory.Take(6);  // versions, flags
    PackageEntry entry;
    const std::uint16_t method = directory.U16();
    (void)directory.Take(4);  // time, date
    const std::uint32_t crc = directory.U32();
    const std::uint32_t compressed = directory.U32();
    const std::uint32_t size = directory.U32();
    const std::uint16_t nameBytes = directory.U16();
    const std::uint16_t extraBytes = directory.U16();
    const std::uint16_t commentBytes = directory.U16();
    (void)directory.Take(8);  // disk, attributes
    const std::uint32_t localOffset = directory.U32();
    if (!directory.Has(std::uint64_t{nameBytes} + extraBytes + commentBytes)) {
      return fail("central header names truncated");
    }
    const std::span<const std::uint8_t> name = directory.Take(nameBytes);
    entry.name.assign(name.begin(), name.end());
    (void)directory.Take(std::size_t{extraBytes} + commentBytes);
    if (method != 0 || compressed != size) return fail(entry.name + " is not stored");

    if (localOffset > image.size()) return fail(entry.name + " local header outside the image");
    ByteReader local(image.subspan(localOffset));
    if (!local.Has(30)) return fail(entry.name + " local header truncated");
    if (local.U32() != 0x04034b50u) return fail(entry.name + " local header signature");
    (void)local.Take(4);  // version needed, flags
    if (local.U16() != method) return fail(entry.name + " local method differs");
    entry.localTime = local.U16();
    entry.localDate = local.U16();
    (void)local.Take(12);  // crc and sizes, possibly deferred to a data descriptor
    const std::uint16_t localNameBytes = local.U16();
    const std::uint16_t localExtraBytes = local.U16();
    if (!local.Has(std::uint64_t{localNameBytes} + localExtraBytes + size)) {
      return fail(entry.name + " local data truncated");
    }
    const std::span<const std::uint8_t> localName = local.Take(localNameBytes);
    if (std::string(localName.begin(), localName.end()) != entry.name) {
      return fail(entry.name + " local name differs");
    }
    (void)local.Take(localExtraBytes);
    const std::span<const std::uint8_t> data = local.Take(size);
    entry.bytes.assign(data.begin(), data.end());
    if (PackageCrc32(entry.bytes) != crc) return fail(entry.name + " CRC-32 differs");
    contents.entries.push_back(std::move(entry));
  }
  if (!directory.AtEnd()) return fail("central directory has trailing bytes");
  return contents;
}
