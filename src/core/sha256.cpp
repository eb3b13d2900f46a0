#include "core/sha256.h"

#include <openssl/evp.h>

#include <new>
#include <stdexcept>

#include "core/error.h"

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";
constexpr std::size_t kDigestHexChars = 64;

struct EvpContextDeleter {
  void operator()(EVP_MD_CTX* context) const noexcept { EVP_MD_CTX_free(context); }
};

bool IsLowerHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

void Absorb(EVP_MD_CTX* context, const void* data, std::size_t size) {
  if (size == 0) return;
  if (EVP_DigestUpdate(context, data, size) != 1) {
    throw std::runtime_error("SHA-256 could not absorb its input");
  }
}

}  // namespace

struct Sha256::State {
  std::unique_ptr<EVP_MD_CTX, EvpContextDeleter> context;
  bool finished = false;
};

Sha256::Sha256() : state(std::make_unique<State>()) {
  state->context.reset(EVP_MD_CTX_new());
  if (!state->context) throw std::bad_alloc();
  if (EVP_DigestInit_ex(state->context.get(), EVP_sha256(), nullptr) != 1) {
    throw std::runtime_error("SHA-256 could not be started");
  }
}

Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;
Sha256::~Sha256() = default;

// Using a moved-from or finished hasher is a caller bug, not a data problem.
void Sha256::Update(std::span<const std::uint8_t> bytes) {
  PlRequire(state && !state->finished, "a hasher is used only while it is open");
  Absorb(state->context.get(), bytes.data(), bytes.size());
}

void Sha256::Update(std::string_view bytes) {
  PlRequire(state && !state->finished, "a hasher is used only while it is open");
  Absorb(state->context.get(), bytes.data(), bytes.size());
}

Sha256Digest Sha256::Finish() {
  PlRequire(state && !state->finished, "a hasher is used only while it is open");
  state->finished = true;
  Sha256Digest digest{};
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(state->context.get(), digest.data(), &length) != 1 ||
      length != digest.size()) {
    throw std::runtime_error("SHA-256 could not be finished");
  }
  return digest;
}

std::string Sha256IdentityText(const Sha256Digest& digest) {
  std::string text;
  text.reserve(kSha256IdentityPrefix.size() + kDigestHexChars);
  text.append(kSha256IdentityPrefix);
  for (const std::uint8_t byte : digest) {
    text.push_back(kHexDigits[byte >> 4]);
    text.push_back(kHexDigits[byte & 0x0F]);
  }
  return text;
}

std::string Sha256Identity(std::span<const std::uint8_t> bytes) {
  Sha256 hasher;
  hasher.Update(bytes);
  return Sha256IdentityText(hasher.Finish());
}

std::string Sha256Identity(std::string_view bytes) {
  Sha256 hasher;
  hasher.Update(bytes);
  return Sha256IdentityText(hasher.Finish());
}

bool IsCanonicalSha256Identity(std::string_view text) {
  if (text.size() != kSha256IdentityPrefix.size() + kDigestHexChars) return false;
  if (!text.starts_with(kSha256IdentityPrefix)) return false;
  for (const char c : text.substr(kSha256IdentityPrefix.size())) {
    if (!IsLowerHexDigit(c)) return false;
  }
  return true;
}
