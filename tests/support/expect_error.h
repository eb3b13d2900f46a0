#pragma once
// Pins code, stage and message of an expected PlCadPrepError.
#include <gtest/gtest.h>

#include <string_view>

#include "core/error.h"

template <typename Fn>
void ExpectPlCadPrepError(Fn&& fn, std::string_view code, std::string_view stage,
                          std::string_view message) {
  try {
    fn();
  } catch (const PlCadPrepError& e) {
    EXPECT_EQ(e.code, code);
    EXPECT_EQ(e.stage, stage);
    EXPECT_EQ(std::string_view(e.what()), message);
    return;
  }
  ADD_FAILURE() << "expected PlCadPrepError " << code;
}
