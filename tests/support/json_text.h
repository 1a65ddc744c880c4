// Small text helpers of the test vault's action handlers.
#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace pellucor::testing {

// ascii_lower: `s` with A-Z lowered; other bytes unchanged.
inline std::string ascii_lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// text_member: the string member `key` of `object`; empty when `object` is
// not an object or the member is missing or not a string.
inline std::string text_member(const nlohmann::json& object, std::string_view key) {
  if (!object.is_object()) return {};
  auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

}  // namespace pellucor::testing
