#pragma once
// SHA-256 over streamed bytes, and the canonical identity text
// "sha256:" + 64 lower-case hex digits that every identity of the program uses.
#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

using Sha256Digest = std::array<std::uint8_t, 32>;

inline constexpr std::string_view kSha256IdentityPrefix = "sha256:";

// One streaming hasher; move-only. Every call costs a fixed overhead, so feed it
// whole chunks rather than single bytes. Finish() may be called once, and
// nothing may be added after it. Failures of the crypto library throw
// std::runtime_error (an environment fault, never an input problem).
class Sha256 {
 public:
  Sha256();
  Sha256(Sha256&&) noexcept;
  Sha256& operator=(Sha256&&) noexcept;
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  ~Sha256();

  void Update(std::span<const std::uint8_t> bytes);
  void Update(std::string_view bytes);
  Sha256Digest Finish();

 private:
  struct State;
  std::unique_ptr<State> state;
};

// "sha256:" followed by the 64 lower-case hexadecimal digits of `digest`.
std::string Sha256IdentityText(const Sha256Digest& digest);

// The identity text of the digest of `bytes`.
std::string Sha256Identity(std::span<const std::uint8_t> bytes);
std::string Sha256Identity(std::string_view bytes);

// True for exactly "sha256:" followed by 64 lower-case hexadecimal digits.
bool IsCanonicalSha256Identity(std::string_view text);
