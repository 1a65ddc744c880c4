#include "cli/commands/get.h"

#include <gtest/gtest.h>

namespace pellucor {
namespace {

TEST(LabelEqualsIgnoreCase, FoldsAsciiOnly) {
  struct Case {
    const char* a;
    const char* b;
    bool equal;
  } cases[] = {
      {"password", "PASSWORD", true},
      {"Api_Key-2", "api_key-2", true},
      {"pass", "password", false},
      {"", "", true},
      {"\xc3\x89t\xc3\xa9", "\xc3\xa9t\xc3\xa9", false},  // Été / été: no Unicode folding
      {"\xc3\xa9t\xc3\xa9", "\xc3\xa9T\xc3\xa9", true},
      {"[", "{", false},  // '[' and '{' differ by the case bit but are not letters
      {"@", "`", false},
  };
  for (const Case& c : cases) EXPECT_EQ(label_equals_ignore_case(c.a, c.b), c.equal) << c.a << " / " << c.b;
}

TEST(ToPrettyJson, IndentsByTwoWithSortedKeys) {
  json::Value v = json::Value::object();
  v["zeta"] = json::Value::array({1, "two"});
  v["alpha"] = json::Value::object();
  v["mid"] = nullptr;
  EXPECT_EQ(to_pretty_json(v), "{\n  \"alpha\": {},\n  \"mid\": null,\n  \"zeta\": [\n    1,\n    \"two\"\n  ]\n}");
  EXPECT_EQ(to_pretty_json(json::Value::binary({1, 2})), "");
}

}  // namespace
}  // namespace pellucor
