#pragma once
// One row of a table-driven refusal test: a named change to a valid value and
// the failure code and message the change must give.
#include <functional>

template <typename Target, typename Code>
struct ChangeCase {
  const char* name;
  std::function<void(Target&)> change;
  Code code;
  const char* message;
};
