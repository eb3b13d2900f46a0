#include "kernel/tessellation.h"

#include <gtest/gtest.h>

namespace {

using Names = std::vector<std::string>;

TEST(MeshStatus, NamesBitsInOrderAndFlagsUnknownOnes) {
  EXPECT_TRUE(PlCadPrepMeshStatusNames(0).empty());
  EXPECT_EQ(PlCadPrepMeshStatusNames(0x1FF),
            (Names{"open_wire", "self_intersecting_wire", "failure", "remesh", "unoriented_wire",
                   "too_few_points", "outdated", "reused", "user_break"}));
  EXPECT_EQ(PlCadPrepMeshStatusNames(0x288), (Names{"remesh", "reused", "unknown"}));
  EXPECT_EQ(PlCadPrepMeshStatusNames(0x80000000u), (Names{"unknown"}));
}

}  // namespace
