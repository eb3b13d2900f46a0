#include "core/sha256.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

// Known answers in one piece and in chunks of any size; only canonical identities are recognised.
TEST(Sha256, MatchesKnownAnswersAndRecognisesOnlyCanonicalIdentities) {
  const std::string abc = Sha256Identity(std::string_view("abc")), digits = abc.substr(7);
  EXPECT_EQ(abc, "sha256:ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  const std::vector<std::uint8_t> million(1'000'000, 'a');
  const std::size_t chunkSizes[] = {1, 7, 63, 64, 65, 4099, 65537};
  Sha256 hasher;
  for (std::size_t i = 0, offset = 0; offset < million.size(); ++i) {
    const std::size_t size = std::min(chunkSizes[i % 7], million.size() - offset);
    hasher.Update(std::span<const std::uint8_t>(million).subspan(offset, size));
    offset += size;
  }
  EXPECT_EQ(Sha256IdentityText(hasher.Finish()),
            "sha256:cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  for (const auto& [text, canonical] : {std::pair{abc, true},
                                        {"sha256:B" + digits.substr(1), false},
                                        {"sha512:" + digits, false},
                                        {abc.substr(0, 70), false},
                                        {abc + "5", false},
                                        {abc.substr(0, 70) + "g", false}}) {
    EXPECT_EQ(IsCanonicalSha256Identity(text), canonical) << text;
  }
}
