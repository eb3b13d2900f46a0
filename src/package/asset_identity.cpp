#include "package/asset_identity.h"

#include <algorithm>

#include "core/byte_io.h"
#include "core/sha256.h"

namespace {

constexpr std::string_view kAssetIdentityDomain = "pelto.geometry.asset.v3";

void UpdateU64(Sha256& hasher, std::uint64_t value) {
  ByteWriter writer(8);
  writer.U64(value);
  hasher.Update(writer.bytes);
}

// std::string compares through char_traits<char>, whose order is that of
// unsigned char, so this is ascending byte order with a prefix first.
bool NameBefore(const PlCadPrepIdentityRecord& a, const PlCadPrepIdentityRecord& b) {
  return a.name < b.name;
}

}  // namespace

std::string ComputePlCadPrepAssetIdentity(std::vector<PlCadPrepIdentityRecord>&& records) {
  std::vector<PlCadPrepIdentityRecord> sorted = std::move(records);
  std::stable_sort(sorted.begin(), sorted.end(), NameBefore);
  for (std::size_t i = 0; i < sorted.size(); ++i) {
    const std::string& name = sorted[i].name;
    if (name.empty() || name.find('\\') != std::string::npos || name.front() == '/' ||
        name.find("../") != std::string::npos || (i > 0 && name == sorted[i - 1].name)) {
      return {};
    }
  }
  Sha256 hasher;
  hasher.Update(kAssetIdentityDomain);
  const std::uint8_t zero = 0;
  hasher.Update(std::span<const std::uint8_t>(&zero, 1));
  UpdateU64(hasher, sorted.size());
  for (const PlCadPrepIdentityRecord& record : sorted) {
    UpdateU64(hasher, record.name.size());
    hasher.Update(record.name);
    UpdateU64(hasher, record.bytes.size());
    hasher.Update(record.bytes);
  }
  return Sha256IdentityText(hasher.Finish());
}
