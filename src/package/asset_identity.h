#pragma once
// The asset identity: one SHA-256 over the identity manifest and every runtime
// member, each bound to its name, in a fixed order.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

inline constexpr std::string_view kAssetIdentityManifestName = "manifest.identity.json";

// One identity input; the bytes are borrowed from their owner.
struct PlCadPrepIdentityRecord {
  std::string name;
  std::span<const std::uint8_t> bytes;
};

// The canonical identity text, or the empty text when a name is empty,
// contains a backslash or "../", begins with "/", or repeats. Consumes the list.
std::string ComputePlCadPrepAssetIdentity(std::vector<PlCadPrepIdentityRecord>&& records);
