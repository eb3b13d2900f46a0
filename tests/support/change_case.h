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

// The same for a failure that must also name its stage.
template <typename Target>
struct StagedChangeCase {
  const char* name;
  std::function<void(Target&)> change;
  const char* code;
  const char* stage;
  const char* message;
};
