// The mesher's status bits as the program names them.
#include "kernel/tessellation.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(MeshStatus, NamesBitsInOrderAndFlagsUnknownOnes) {
  EXPECT_TRUE(PlCadPrepMeshStatusNames(0).empty());
  EXPECT_EQ(PlCadPrepMeshStatusNames(0x55),
            (std::vector<std::string>{"open_wire", "failure", "unoriented_wire", "outdated"}));
  EXPECT_EQ(PlCadPrepMeshStatusNames(0x1FF),
            (std::vector<std::string>{"open_wire", "self_intersecting_wire", "failure", "remesh",
                                      "unoriented_wire", "too_few_points", "outdated", "reused",
                                      "user_break"}));
  EXPECT_EQ(PlCadPrepMeshStatusNames(0x288),
            (std::vector<std::string>{"remesh", "reused", "unknown"}));
  EXPECT_EQ(PlCadPrepMeshStatusNames(0x80000000u), (std::vector<std::string>{"unknown"}));
}

}  // namespace
