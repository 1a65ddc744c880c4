// The template scanner of the render command: references, their offsets and
// lines, the bytes that end a body, and the scan failures in text order.
#include "cli/commands/render.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace pellucor {
namespace {

using Ref = TemplateReference;

struct ScanCase {
  const char* name;
  std::string text;
  std::vector<Ref> refs;
};

TEST(RenderScan, FindsReferences) {
  const ScanCase cases[] = {
      {"no reference", "plain text, pellucor:/ and pellucor:x/y\n", {}},
      {"empty text", "", {}},
      {"whole text", "pellucor://db/password", {{"db", "password", 1, 0, 22}}},
      {"tab", "pellucor://db/pw\tx", {{"db", "pw", 1, 0, 16}}},
      {"line feed", "pellucor://db/pw\nx", {{"db", "pw", 1, 0, 16}}},
      {"carriage return", "pellucor://db/pw\r\n", {{"db", "pw", 1, 0, 16}}},
      {"space", "pellucor://db/pw x", {{"db", "pw", 1, 0, 16}}},
      {"double quote", "{\"p\": \"pellucor://db/pw\"}", {{"db", "pw", 1, 7, 23}}},
      {"single quote", "p='pellucor://db/pw'", {{"db", "pw", 1, 3, 19}}},
      {"comma", "pellucor://db/pw,x", {{"db", "pw", 1, 0, 16}}},
      {"closing brace", "{pellucor://db/pw}", {{"db", "pw", 1, 1, 17}}},
      // Nothing else ends a body: not ')', ';', ']', '{', '\0' or non-ASCII bytes.
      {"parenthesis", "(pellucor://db/pw)", {{"db", "pw)", 1, 1, 18}}},
      {"other punctuation", "pellucor://db/a;b]c{d", {{"db", "a;b]c{d", 1, 0, 21}}},
      {"nul byte", std::string("pellucor://db/a\0b c", 19), {{"db", std::string("a\0b", 3), 1, 0, 17}}},
      {"non-ASCII", "pellucor://Caf\u00e9/m\u00f6t\u00f6r x", {{"Caf\u00e9", "m\u00f6t\u00f6r", 1, 0, 24}}},
      {"label keeps later slashes", "pellucor://a/b/c", {{"a", "b/c", 1, 0, 16}}},
      {"a scheme inside a body is part of it", "pellucor://pellucor://x/y",
       {{"pellucor:", "/x/y", 1, 0, 25}}},
      {"lines counted by line feeds",
       "pellucor://a/x\n\npellucor://b/y pellucor://c/z\r\nx\npellucor://a/x",
       {{"a", "x", 1, 0, 14}, {"b", "y", 3, 16, 30}, {"c", "z", 3, 31, 45}, {"a", "x", 5, 49, 63}}},
      {"carriage returns alone are no line end", "\r\r\rpellucor://a/x", {{"a", "x", 1, 3, 17}}},
  };
  for (const ScanCase& c : cases) {
    auto refs = scan_template_references(c.text);
    ASSERT_TRUE(refs.has_value()) << c.name << ": " << refs.error().message;
    EXPECT_EQ(*refs, c.refs) << c.name;
  }
}

struct FailCase {
  const char* name;
  std::string text;
  const char* code;
  std::string message;
};

TEST(RenderScan, RefusesMalformedReferencesInTextOrder) {
  const FailCase cases[] = {
      {"scheme then space", "pellucor:// x", "PL-2062", "line 1: empty `pellucor://` reference"},
      {"scheme at the end", "x\npellucor://", "PL-2062", "line 2: empty `pellucor://` reference"},
      {"no field", "pellucor://db", "PL-2062", "line 1: pellucor://db \u2014 missing /field"},
      {"bare slash", "pellucor://db/ x", "PL-2062", "line 1: pellucor://db/ \u2014 empty entry or field"},
      {"no entry", "pellucor:///password", "PL-2062",
       "line 1: pellucor:///password \u2014 empty entry or field"},
      {"slash alone", "pellucor:///", "PL-2062", "line 1: pellucor:/// \u2014 empty entry or field"},
      {"third line", "a: pellucor://db/pw\nb\nc: pellucor://db,", "PL-2062",
       "line 3: pellucor://db \u2014 missing /field"},
      {"first fault wins", "pellucor://x\npellucor://", "PL-2062", "line 1: pellucor://x \u2014 missing /field"},
  };
  for (const FailCase& c : cases) {
    auto refs = scan_template_references(c.text);
    ASSERT_FALSE(refs.has_value()) << c.name;
    EXPECT_EQ(refs.error().error.code, c.code) << c.name;
    EXPECT_EQ(refs.error().message, c.message) << c.name;
  }
}

std::string repeated(std::string_view piece, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out += piece;
  return out;
}

TEST(RenderScan, CapsReferencesAt128) {
  auto at_cap = scan_template_references(repeated("pellucor://db/pw\n", MAX_TEMPLATE_REFERENCES));
  ASSERT_TRUE(at_cap.has_value());
  EXPECT_EQ(at_cap->size(), 128u);
  EXPECT_EQ(at_cap->back().line, 128u);

  auto over = scan_template_references(repeated("pellucor://db/pw\n", MAX_TEMPLATE_REFERENCES + 1));
  ASSERT_FALSE(over.has_value());
  EXPECT_EQ(over.error().error.code, "PL-2061");
  EXPECT_EQ(over.error().message, "more than 128 references in template");

  // Faults are reported in text order: a malformed 129th reference is a
  // malformed reference, and one after the 129th is never reached.
  auto bad_129th = scan_template_references(repeated("pellucor://db/pw\n", 128) + "pellucor://db\n");
  ASSERT_FALSE(bad_129th.has_value());
  EXPECT_EQ(bad_129th.error().message, "line 129: pellucor://db \u2014 missing /field");
  auto bad_130th = scan_template_references(repeated("pellucor://db/pw\n", 129) + "pellucor://db\n");
  ASSERT_FALSE(bad_130th.has_value());
  EXPECT_EQ(bad_130th.error().error.code, "PL-2061");
}

}  // namespace
}  // namespace pellucor
