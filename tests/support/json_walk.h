#pragma once
// Test-side navigation over a JSON text with the program's own scanner:
// members by name, array elements, and scalar values.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "request/json_reader.h"

class JsonWalk {
 public:
  // The root object of `text`, which must outlive every walk made from it.
  explicit JsonWalk(std::string_view text)
      : source(text), value{JsonValueKind::object, 0, text.size()} {}
  JsonWalk(std::string_view text, JsonValueSpan span) : source(text), value(span) {}

  // The member `name`; a null walk when this is not an object or has no such member.
  JsonWalk operator[](std::string_view name) const {
    if (value.kind != JsonValueKind::object) return JsonWalk(source, JsonValueSpan{});
    const std::vector<JsonMemberSpan> members = value.begin == 0 && value.end == source.size()
                                                    ? ReadJsonFrame(source)
                                                    : ReadJsonObjectMembers(source, value);
    for (const JsonMemberSpan& member : members) {
      if (DecodeJsonString(source, member.keyOffset) == name) return JsonWalk(source, member.value);
    }
    return JsonWalk(source, JsonValueSpan{});
  }
  std::vector<JsonWalk> Elements() const {
    std::vector<JsonWalk> elements;
    if (value.kind != JsonValueKind::array) return elements;
    for (const JsonValueSpan& element : ReadJsonArrayElements(source, value)) {
      elements.emplace_back(source, element);
    }
    return elements;
  }
  std::string String() const {
    return value.kind == JsonValueKind::string ? DecodeJsonString(source, value.begin) : "";
  }
  std::uint64_t Unsigned() const { return std::strtoull(std::string(Text()).c_str(), nullptr, 10); }
  // The value's own text, exactly as written.
  std::string_view Text() const { return source.substr(value.begin, value.end - value.begin); }

 private:
  std::string_view source;
  JsonValueSpan value;
};
