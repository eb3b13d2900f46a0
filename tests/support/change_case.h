#pragma once
// Rows of table-driven refusal tests: a named change to a valid value and the
// failure the change must give.
#include <functional>

template <typename Target, typename Code>
struct ChangeCase {
  const char* name;
  std::function<void(Target&)> change;
  Code code;
  const char* message;
};
