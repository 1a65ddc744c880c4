#include "gate/json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "gate/json_reader.h"

namespace pellucor::json {
namespace {

std::string parse_error(std::string_view text) {
  auto v = parse(text);
  if (v) return "OK " + to_compact(*v);
  return v.error().text();
}

struct SyntaxCase {
  std::string input;
  std::string expected;  // "OK <compact>" or the refusal text
};

TEST(JsonParse, RefusalTextsAndPositions) {
  const std::vector<SyntaxCase> cases = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {"   ", "EOF while parsing a value at line 1 column 3"},
      {"1 2", "trailing characters at line 1 column 3"},
      {"{} x", "trailing characters at line 1 column 4"},
      {"abc", "expected value at line 1 column 1"},
      {"\n\n x", "expected value at line 3 column 2"},
      {"[1,]", "trailing comma at line 1 column 4"},
      {"{\"a\":1,}", "trailing comma at line 1 column 8"},
      {"[1 2]", "expected `,` or `]` at line 1 column 4"},
      {"{\"a\":1 \"b\":2}", "expected `,` or `}` at line 1 column 8"},
      {"{\"a\" 1}", "expected `:` at line 1 column 6"},
      {"{1:2}", "key must be a string at line 1 column 2"},
      {"[", "EOF while parsing a list at line 1 column 1"},
      {"{", "EOF while parsing an object at line 1 column 1"},
      {"{\"a\":", "EOF while parsing a value at line 1 column 5"},
      {"\"abc", "EOF while parsing a string at line 1 column 4"},
      {"01", "invalid number at line 1 column 2"},
      {"-", "EOF while parsing a value at line 1 column 1"},
      {"-x", "invalid number at line 1 column 2"},
      {"1.", "EOF while parsing a value at line 1 column 2"},
      {"1.a", "invalid number at line 1 column 3"},
      {"1e", "EOF while parsing a value at line 1 column 2"},
      {"1e+x", "invalid number at line 1 column 4"},
      {"1e400", "number out of range at line 1 column 5"},
      {"nul", "EOF while parsing a value at line 1 column 3"},
      {"nulx", "expected ident at line 1 column 4"},
      {"tru", "EOF while parsing a value at line 1 column 3"},
      {"\"\\x\"", "invalid escape at line 1 column 3"},
      {"\"\\u12g4\"", "invalid escape at line 1 column 7"},
      {"\"\\u12", "EOF while parsing a string at line 1 column 5"},
      {"\"\\ud800\"", "unexpected end of hex escape at line 1 column 8"},
      {"\"\\ud800\\n\"", "unexpected end of hex escape at line 1 column 9"},
      {"\"\\ud800\\u0041\"", "lone leading surrogate in hex escape at line 1 column 13"},
      {"\"\\udc00\"", "lone leading surrogate in hex escape at line 1 column 7"},
      {"\"a\x01\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
      {"\"\xff\"", "invalid unicode code point at line 1 column 3"},
      {"\"\xed\xa0\x80\"", "invalid unicode code point at line 1 column 5"},
      {"{\"a\":1,\"a\":2}", "OK {\"a\":2}"},
      {"\"\\ud83d\\ude00 \\u00e9\\/\"", "OK \"\xf0\x9f\x98\x80 \xc3\xa9/\""},
      {" [1, -2, 1.5, 1E2, -0, 18446744073709551615, 18446744073709551616, -9223372036854775809]\r\n\t",
       "OK [1,-2,1.5,100.0,-0.0,18446744073709551615,1.8446744073709552e19,-9.223372036854776e18]"},
      {"1e-400", "OK 0.0"},
      {"0e999999999999", "OK 0.0"},
      {"\"\x7f\"", "OK \"\x7f\""},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_error(c.input), c.expected) << "input: " << c.input;
}

TEST(JsonParse, NestingLimitIs127Levels) {
  std::string ok = std::string(127, '[') + std::string(127, ']');
  EXPECT_TRUE(parse(ok).has_value());
  std::string deep = std::string(128, '[') + std::string(128, ']');
  EXPECT_EQ(parse_error(deep), "recursion limit exceeded at line 1 column 128");
  std::string objs;
  for (int i = 0; i < 128; ++i) objs += "{\"a\":";
  EXPECT_EQ(parse_error(objs), "recursion limit exceeded at line 1 column 636");
}

TEST(JsonParse, NumberKinds) {
  auto v = parse("[7, -7, 7.0, 1e2]");
  ASSERT_TRUE(v);
  EXPECT_TRUE((*v)[0].is_number_unsigned());
  EXPECT_TRUE((*v)[1].is_number_integer() && !(*v)[1].is_number_unsigned());
  EXPECT_TRUE((*v)[2].is_number_float());
  EXPECT_TRUE((*v)[3].is_number_float());
}

TEST(JsonWrite, CompactSortsKeysAndEscapesOnlyWhatItMust) {
  Value v = Value::object();
  v["q"] = "a\"b\\c\n\t\r\b\f\x01\x1f/\xc3\xa9\x7f";
  v["exact"] = true;
  v["n"] = nullptr;
  v["list"] = Value::array({1, -2, 2.5});
  EXPECT_EQ(to_compact(v),
            "{\"exact\":true,\"list\":[1,-2,2.5],\"n\":null,"
            "\"q\":\"a\\\"b\\\\c\\n\\t\\r\\b\\f\\u0001\\u001f/\xc3\xa9\x7f\"}");
  EXPECT_EQ(to_compact(Value(std::nan(""))), "null");
}

TEST(JsonWrite, PrettyUsesTwoSpaces) {
  auto v = parse(R"({"b":{},"a":[1,{"x":[]}],"c":"z"})");
  ASSERT_TRUE(v);
  EXPECT_EQ(to_pretty(*v),
            "{\n  \"a\": [\n    1,\n    {\n      \"x\": []\n    }\n  ],\n  \"b\": {},\n  \"c\": \"z\"\n}");
  EXPECT_EQ(to_pretty(Value::array()), "[]");
}

// JSON printed to a terminal carries none of the characters the terminal
// filter removes: they are written as \u escapes, and read back unchanged.
TEST(JsonWrite, PrettyEscapesTerminalControlsThatReadBackUnchanged) {
  struct Case {
    const char* raw;      // the character, as UTF-8
    const char* printed;  // how to_pretty writes it
  } cases[] = {
      {"\x7e", "~"},
      {"\x7f", "\\u007f"},              // DEL
      {"\xc2\x80", "\\u0080"},          // first C1 control
      {"\xc2\x85", "\\u0085"},          // NEL
      {"\xc2\x9b", "\\u009b"},          // CSI
      {"\xc2\x9f", "\\u009f"},          // last C1 control
      {"\xc2\xa0", "\xc2\xa0"},         // no-break space
      {"\xe2\x80\x8b", "\xe2\x80\x8b"}, // zero-width space stays
      {"\xe2\x80\xa9", "\xe2\x80\xa9"}, // U+2029
      {"\xe2\x80\xaa", "\\u202a"},      // LRE
      {"\xe2\x80\xae", "\\u202e"},      // RLO
      {"\xe2\x80\xaf", "\xe2\x80\xaf"}, // U+202F
      {"\xe2\x81\xa5", "\xe2\x81\xa5"}, // U+2065
      {"\xe2\x81\xa6", "\\u2066"},      // LRI
      {"\xe2\x81\xa9", "\\u2069"},      // PDI
      {"\xe2\x81\xaa", "\xe2\x81\xaa"}, // U+206A
      {"\xe2\x82\xac", "\xe2\x82\xac"}, // euro sign
      {"\x1b", "\\u001b"},              // the C0 escapes are those of to_compact
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.printed);
    const std::string text = std::string("a") + c.raw + "b";
    Value v = Value::object();
    v[text] = text;
    const std::string quoted = std::string("\"a") + c.printed + "b\"";
    EXPECT_EQ(to_pretty(v), "{\n  " + quoted + ": " + quoted + "\n}");
    auto back = parse(to_pretty(v));
    ASSERT_TRUE(back) << back.error().text();
    EXPECT_EQ(*back, v);
    // The wire and the configuration file keep their bytes: only the C0
    // controls are escaped there.
    EXPECT_EQ(to_compact(Value(text)), c.raw[0] == '\x1b' ? "\"a\\u001bb\"" : "\"" + text + "\"");
  }
  // Sequences cut short or next to each other.
  EXPECT_EQ(to_pretty(Value("\xc2\x9b\xe2\x80\xae\x7f")), "\"\\u009b\\u202e\\u007f\"");
  EXPECT_EQ(to_pretty(Value("x\xc2")), "\"x\xc2\"");
  EXPECT_EQ(to_pretty(Value("x\xe2\x80")), "\"x\xe2\x80\"");
}

TEST(JsonWrite, FloatsInShortestForm) {
  const std::vector<std::pair<double, std::string>> cases = {
      {1.0, "1.0"},          {0.1, "0.1"},
      {-0.0, "-0.0"},        {0.0, "0.0"},
      {1e15, "1000000000000000.0"}, {1e16, "1e16"},
      {1e21, "1e21"},        {1.5e300, "1.5e300"},
      {0.00001, "0.00001"},  {1e-6, "1e-6"},
      {1.5e-7, "1.5e-7"},    {123456789.125, "123456789.125"},
      {-2.5, "-2.5"},        {5e-324, "5e-324"},
      {1.7976931348623157e308, "1.7976931348623157e308"},
  };
  for (const auto& [d, text] : cases) EXPECT_EQ(format_f64(d), text);
}

TEST(JsonWrite, StringsIntoEveryBuffer) {
  std::string plain = "x";
  append_string("a\"\x02", plain);
  EXPECT_EQ(plain, "x\"a\\\"\\u0002\"");
  SecureString secret;
  append_string("k", secret);
  secret.push_back(':');
  append_compact(Value::array({1, "v"}), secret);
  EXPECT_EQ(secret.view(), "\"k\":[1,\"v\"]");
}

TEST(JsonWrite, CompactRoundTripsParsedText) {
  const std::string text = R"({"a":[1,-1,0.5,"\u0000"],"b":{"c":null,"d":false}})";
  auto v = parse(text);
  ASSERT_TRUE(v);
  EXPECT_EQ(to_compact(*v), text);
}

// ---- reader core ----

struct Inner {
  std::string name;
  std::uint8_t level = 1;
};
struct Outer {
  std::string id;
  std::optional<std::string> note;
  std::optional<Inner> inner;
  std::vector<std::string> tags;
  std::uint32_t count = 0;
  bool flag = false;
};
struct Strict {
  std::string a;
  std::string b;
  std::string c;
};
struct Maps {
  std::map<std::string, Inner> items;
};
struct Envelope {
  bool ok = false;
  std::optional<Value> result;
};

}  // namespace

template <>
struct Record<Inner> {
  static constexpr MemberSpec members[] = {
      member<&Inner::name>("name"),
      member<&Inner::level>("level", Presence::Default),
  };
  static constexpr RecordSpec spec{"struct Inner", members, true, false};
};
template <>
struct Record<Outer> {
  static constexpr MemberSpec members[] = {
      member<&Outer::id>("id"),
      member<&Outer::note>("note", Presence::Default),
      member<&Outer::inner>("inner", Presence::Default, "inner_alias"),
      member<&Outer::tags>("tags", Presence::Default),
      member<&Outer::count>("count", Presence::Default),
      member<&Outer::flag>("flag", Presence::Default),
  };
  static constexpr RecordSpec spec{"struct Outer", members, true, false};
};
template <>
struct Record<Strict> {
  static constexpr MemberSpec members[] = {
      member<&Strict::a>("a"),
      member<&Strict::b>("b", Presence::Default),
      member<&Strict::c>("c", Presence::Default),
  };
  static constexpr RecordSpec spec{"struct Strict", members, true, true};
};
template <>
struct Record<Maps> {
  static constexpr MemberSpec members[] = {member<&Maps::items>("items")};
  static constexpr RecordSpec spec{"struct Maps", members, true, false};
};
template <>
struct Record<Envelope> {
  static constexpr MemberSpec members[] = {
      member<&Envelope::ok>("ok"),
      member<&Envelope::result>("result", Presence::Default),
  };
  static constexpr RecordSpec spec{"struct Envelope", members, false, true};
};

namespace {

template <class T>
std::string text_error(std::string_view text) {
  auto r = decode_text<T>(text);
  return r ? std::string("OK") : r.error().text();
}

template <class T>
std::string value_error(std::string_view text) {
  auto v = parse(text);
  if (!v) return "not JSON: " + v.error().text();
  auto r = decode_value<T>(*v);
  return r ? std::string("OK") : r.error().text();
}

struct ReaderCase {
  std::string input;
  std::string from_text;   // refusal when read straight from text
  std::string from_value;  // refusal when read from a parsed value
};

TEST(JsonReader, RefusalsFromTextAndFromValue) {
  const std::vector<ReaderCase> cases = {
      {R"({"id":"x"})", "OK", "OK"},
      {R"({})", "missing field `id` at line 1 column 2", "missing field `id`"},
      {R"(null)", "invalid type: null, expected struct Outer at line 1 column 4",
       "invalid type: null, expected struct Outer"},
      {R"(7)", "invalid type: integer `7`, expected struct Outer at line 1 column 1",
       "invalid type: integer `7`, expected struct Outer"},
      {R"("s")", "invalid type: string \"s\", expected struct Outer at line 1 column 3",
       "invalid type: string \"s\", expected struct Outer"},
      {R"({"id":5})", "invalid type: integer `5`, expected a string at line 1 column 7",
       "invalid type: integer `5`, expected a string"},
      {R"({"id":[1]})", "invalid type: sequence, expected a string at line 1 column 6",
       "invalid type: sequence, expected a string"},
      {R"({"id":{}})", "invalid type: map, expected a string at line 1 column 6",
       "invalid type: map, expected a string"},
      {R"({"id":true})", "invalid type: boolean `true`, expected a string at line 1 column 10",
       "invalid type: boolean `true`, expected a string"},
      {R"({"id":1.5})", "invalid type: floating point `1.5`, expected a string at line 1 column 9",
       "invalid type: floating point `1.5`, expected a string"},
      {R"({"id":"x","id":"y"})", "duplicate field `id` at line 1 column 14", "OK"},
      {R"({"id":"x","inner":{"name":"n"},"inner_alias":{"name":"m"}})",
       "duplicate field `inner` at line 1 column 44", "duplicate field `inner`"},
      {R"({"id":"x","inner":null})", "OK", "OK"},
      {R"({"id":"x","note":null})", "OK", "OK"},
      {R"({"id":"x","tags":null})", "invalid type: null, expected a sequence at line 1 column 21",
       "invalid type: null, expected a sequence"},
      {R"({"id":"x","tags":"a"})", "invalid type: string \"a\", expected a sequence at line 1 column 20",
       "invalid type: string \"a\", expected a sequence"},
      {R"({"id":"x","tags":["a",1]})", "invalid type: integer `1`, expected a string at line 1 column 23",
       "invalid type: integer `1`, expected a string"},
      {R"({"id":"x","count":4294967295})", "OK", "OK"},
      {R"({"id":"x","count":4294967296})", "invalid value: integer `4294967296`, expected u32 at line 1 column 28",
       "invalid value: integer `4294967296`, expected u32"},
      {R"({"id":"x","count":-1})", "invalid value: integer `-1`, expected u32 at line 1 column 20",
       "invalid value: integer `-1`, expected u32"},
      {R"({"id":"x","count":1e2})", "invalid type: floating point `100.0`, expected u32 at line 1 column 21",
       "invalid type: floating point `100.0`, expected u32"},
      {R"({"id":"x","count":"1"})", "invalid type: string \"1\", expected u32 at line 1 column 21",
       "invalid type: string \"1\", expected u32"},
      {R"({"id":"x","count":null})", "invalid type: null, expected u32 at line 1 column 22",
       "invalid type: null, expected u32"},
      {R"({"id":"x","inner":{"name":"n","level":256}})",
       "invalid value: integer `256`, expected u8 at line 1 column 41", "invalid value: integer `256`, expected u8"},
      {R"({"id":"x","inner":{"level":0}})", "missing field `name` at line 1 column 29", "missing field `name`"},
      {R"({"id":"x","flag":1})", "invalid type: integer `1`, expected a boolean at line 1 column 18",
       "invalid type: integer `1`, expected a boolean"},
      {R"({"id":"x","other":{"deep":[1,{"z":null}]}})", "OK", "OK"},
      {R"({"id":"x","other":[1,]})", "expected value at line 1 column 22", "not JSON: trailing comma at line 1 column 22"},
      {R"(["x"])", "OK", "OK"},
      {R"(["x",null,["n",3],["t"],7,true])", "OK", "OK"},
      {R"([])", "invalid length 0, expected struct Outer with 6 elements at line 1 column 2",
       "invalid length 0, expected struct Outer with 6 elements"},
      {R"(["x",null,["n"],[],0,false,"extra"])", "trailing characters at line 1 column 28",
       "invalid length 7, expected fewer elements in array"},
      {R"({"id":"x"} 1)", "trailing characters at line 1 column 12", "not JSON: trailing characters at line 1 column 12"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(text_error<Outer>(c.input), c.from_text) << "input: " << c.input;
    EXPECT_EQ(value_error<Outer>(c.input), c.from_value) << "input: " << c.input;
  }
}

TEST(JsonReader, DefaultsAndValues) {
  auto r = decode_text<Outer>(R"({"id":"x","inner":["n"],"tags":["a","b"],"unknown":1})");
  ASSERT_TRUE(r) << r.error().text();
  EXPECT_EQ(r->id, "x");
  EXPECT_FALSE(r->note);
  ASSERT_TRUE(r->inner);
  EXPECT_EQ(r->inner->name, "n");
  EXPECT_EQ(r->inner->level, 1);
  EXPECT_EQ(r->tags, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(r->count, 0u);
  auto alias = decode_value<Outer>(*parse(R"({"id":"x","inner_alias":{"name":"m","level":0}})"));
  ASSERT_TRUE(alias);
  ASSERT_TRUE(alias->inner);
  EXPECT_EQ(alias->inner->name, "m");
  EXPECT_EQ(alias->inner->level, 0);
}

TEST(JsonReader, UnknownKeysRefusedWhenTheRecordSaysSo) {
  EXPECT_EQ(text_error<Strict>(R"({"a":"1","x":2})"),
            "unknown field `x`, expected one of `a`, `b`, `c` at line 1 column 12");
  EXPECT_EQ(value_error<Strict>(R"({"a":"1","x":2})"), "unknown field `x`, expected one of `a`, `b`, `c`");
  EXPECT_EQ(unknown_field_text("x", {}), "unknown field `x`, there are no fields");
  std::string_view two[] = {"ok", "result"};
  EXPECT_EQ(unknown_field_text("x", two), "unknown field `x`, expected `ok` or `result`");
  EXPECT_EQ(text_error<Strict>(R"(["1","2"])"), "OK");
}

TEST(JsonReader, MapsKeepLastValueAndAnyValueKeepsDepth) {
  auto m = decode_text<Maps>(R"({"items":{"b":{"name":"1"},"a":["2"],"b":{"name":"3"}}})");
  ASSERT_TRUE(m) << m.error().text();
  ASSERT_EQ(m->items.size(), 2u);
  EXPECT_EQ(m->items["b"].name, "3");
  EXPECT_EQ(text_error<Maps>(R"({"items":[]})"), "invalid type: sequence, expected a map at line 1 column 9");

  auto e = decode_text<Envelope>(R"({"ok":true,"result":{"a":[1,2]}})");
  ASSERT_TRUE(e);
  ASSERT_TRUE(e->result);
  EXPECT_EQ(to_compact(*e->result), R"({"a":[1,2]})");
  auto n = decode_text<Envelope>(R"({"ok":true,"result":null})");
  ASSERT_TRUE(n);
  EXPECT_FALSE(n->result);
  EXPECT_EQ(text_error<Envelope>("[true]"), "invalid type: sequence, expected struct Envelope at line 1 column 1");
  // The envelope itself is one level: 126 more levels fit inside it, 127 do not.
  std::string ok = R"({"ok":true,"result":)" + std::string(126, '[') + std::string(126, ']') + "}";
  EXPECT_EQ(text_error<Envelope>(ok), "OK");
  std::string deep = R"({"ok":true,"result":)" + std::string(127, '[') + std::string(127, ']') + "}";
  EXPECT_EQ(text_error<Envelope>(deep), "recursion limit exceeded at line 1 column 147");
}

}  // namespace
}  // namespace pellucor::json

namespace pellucor::json {
namespace {

bool holds_float(const Value& v) {
  if (v.is_number_float()) return true;
  if (v.is_array() || v.is_object()) {
    for (const auto& e : v) {
      if (holds_float(e)) return true;
    }
  }
  return false;
}

// Mutated documents never crash the reader, and whatever it accepts writes
// out as text that reads back to the same bytes. (Floats are left out of the
// comparison: the reader scales decimal digits by powers of ten, which is not
// correctly rounded for every 17-digit text, so a float may move by one unit
// in the last place when written and read again.)
TEST(JsonParse, MutatedInputsReadOrRefuseCleanly) {
  const std::vector<std::string> seeds = {
      R"({"ok":true,"result":{"entries":[{"entry_id":"e","data":{"fields":[{"label":"a","tier":2}]}}]}})",
      R"([1,-2,3.25e-3,"\u00e9\ud83d\ude00",null,false,{"":[]}])",
      "{\"a\":\"line\\nbreak\",\"b\":18446744073709551615,\"c\":-9223372036854775808}",
  };
  std::uint64_t state = 0x9E3779B97F4A7C15ULL;
  auto rnd = [&] {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  };
  const std::string alphabet = "{}[]\",:\\u0123456789.eE+-ntfalsr \x01\x7f\xc3\xa9\xff";
  for (int iter = 0; iter < 3000; ++iter) {
    std::string doc = seeds[rnd() % seeds.size()];
    const int edits = 1 + static_cast<int>(rnd() % 4);
    for (int e = 0; e < edits && !doc.empty(); ++e) {
      std::size_t at = rnd() % doc.size();
      switch (rnd() % 3) {
        case 0: doc[at] = alphabet[rnd() % alphabet.size()]; break;
        case 1: doc.erase(at, 1); break;
        default: doc.insert(at, 1, alphabet[rnd() % alphabet.size()]); break;
      }
    }
    auto v = parse(doc);
    if (!v) {
      EXPECT_NE(v.error().line, 0u) << doc;
      continue;
    }
    const std::string once = to_compact(*v);
    auto again = parse(once);
    ASSERT_TRUE(again) << once;
    if (!holds_float(*v)) {
      EXPECT_EQ(to_compact(*again), once) << doc;
    }
  }
}

}  // namespace
}  // namespace pellucor::json

namespace pellucor::json {
namespace {

TEST(JsonWipeStrings, ZeroesEveryStringValueAtAnyDepthKeepingKeysAndShape) {
  auto v = parse(R"({"a": "secret", "b": [1, "xy", {"c": "deep"}], "d": null, "e": true})");
  ASSERT_TRUE(v.has_value());
  wipe_strings(*v);
  EXPECT_EQ(to_compact(*v), to_compact(Value{{"a", std::string(6, '\0')},
                                             {"b", {1, std::string(2, '\0'), {{"c", std::string(4, '\0')}}}},
                                             {"d", nullptr},
                                             {"e", true}}));
}

}  // namespace
}  // namespace pellucor::json
