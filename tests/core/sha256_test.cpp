#include "core/sha256.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

TEST(Sha256, MatchesStandardVectors) {
  struct Case {
    const char* input;
    const char* identity;
  };
  const Case cases[] = {
      {"", "sha256:e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "sha256:ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "sha256:248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(Sha256Identity(std::string_view(c.input)), c.identity);
    const std::string text(c.input);
    const std::vector<std::uint8_t> bytes(text.begin(), text.end());
    EXPECT_EQ(Sha256Identity(bytes), c.identity);
  }
}

TEST(Sha256, StreamsOneMillionBytesInOddChunks) {
  const std::vector<std::uint8_t> million(1'000'000, 'a');
  const std::size_t chunkSizes[] = {1, 7, 63, 64, 65, 4099, 65537};
  Sha256 hasher;
  std::size_t offset = 0;
  for (std::size_t i = 0; offset < million.size(); ++i) {
    const std::size_t size =
        std::min(chunkSizes[i % std::size(chunkSizes)], million.size() - offset);
    hasher.Update(std::span<const std::uint8_t>(million).subspan(offset, size));
    offset += size;
  }
  EXPECT_EQ(Sha256IdentityText(hasher.Finish()),
            "sha256:cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha256, MixesTextAndByteUpdatesInOneStream) {
  Sha256 hasher;
  hasher.Update(std::string_view("a"));
  const std::vector<std::uint8_t> b = {'b'};
  hasher.Update(b);
  hasher.Update(std::string_view(""));
  hasher.Update(std::string_view("c"));
  Sha256 moved = std::move(hasher);
  EXPECT_EQ(Sha256IdentityText(moved.Finish()),
            "sha256:ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(Sha256, IdentityTextSpellsEveryByteInLowerCaseHex) {
  Sha256Digest digest{};
  for (std::size_t i = 0; i < digest.size(); ++i) digest[i] = static_cast<std::uint8_t>(i * 8 + 7);
  EXPECT_EQ(Sha256IdentityText(digest),
            "sha256:070f171f272f373f474f575f676f777f878f979fa7afb7bfc7cfd7dfe7eff7ff");
}

TEST(Sha256, RecognisesOnlyCanonicalIdentities) {
  const std::string valid =
      "sha256:e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
  struct Case {
    const char* name;
    std::string text;
    bool canonical;
  };
  const Case cases[] = {
      {"valid", valid, true},
      {"all zero digits", "sha256:" + std::string(64, '0'), true},
      {"upper-case digit",
       "sha256:E3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", false},
      {"upper-case prefix", "SHA256:" + valid.substr(7), false},
      {"63 digits", valid.substr(0, valid.size() - 1), false},
      {"65 digits", valid + "5", false},
      {"non-hex digit", valid.substr(0, valid.size() - 1) + "g", false},
      {"no prefix", valid.substr(7), false},
      {"other algorithm", "sha512:" + valid.substr(7), false},
      {"trailing blank", valid + " ", false},
      {"leading blank", " " + valid.substr(0, valid.size() - 1), false},
      {"empty", "", false},
      {"prefix only", "sha256:", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(IsCanonicalSha256Identity(c.text), c.canonical);
  }
}
