#include "gate/wire_models.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace pellucor {
namespace {

std::string opt(const std::optional<std::string>& s) { return s ? "\"" + *s + "\"" : "-"; }

std::string summary(const Field& f) {
  return f.label + ":" + f.value + ":" + opt(f.kind) + ":" + std::to_string(f.tier);
}

std::string summary(const Entry& e) {
  std::string out = "entry " + e.entry_id + " type=" + opt(e.type) + " title=" + opt(e.title);
  if (!e.data) return out + " data=-";
  out += " data{title=" + opt(e.data->title) + " type=" + opt(e.data->type) + " fields=[";
  for (const auto& f : e.data->fields) out += summary(f) + ";";
  out += "] urls=[";
  for (const auto& u : e.data->urls) out += u + ";";
  return out + "] notes=" + opt(e.data->notes) + "}";
}

std::string summary(const std::optional<Quota>& q) {
  if (!q) return "-";
  return std::to_string(q->minute_used) + "/" + std::to_string(q->minute_limit) + "," +
         std::to_string(q->hour_used) + "/" + std::to_string(q->hour_limit);
}

std::string summary(const SearchResponse& r) {
  if (const auto* b = std::get_if<SearchResponse::Bare>(&r.shape)) {
    std::string out = "Bare";
    for (const auto& e : b->entries) out += " [" + summary(e) + "]";
    return out;
  }
  if (const auto* w = std::get_if<SearchResponse::Wrapped>(&r.shape)) {
    std::string out = "Wrapped quota=" + summary(w->quota);
    for (const auto& e : w->entries) out += " [" + summary(e) + "]";
    return out;
  }
  const auto& c = std::get<SearchResponse::Count>(r.shape);
  std::string out = "Count " + std::to_string(c.count) + " titles=[";
  for (const auto& t : c.titles) out += t + ";";
  out += "] matches=[";
  for (const auto& m : c.matches) out += m.title + "/" + m.type + ";";
  return out + "] message=" + opt(c.message) + " quota=" + summary(c.quota);
}

enum class Kind { EntryResult, Search, Totp };

std::string decode(Kind kind, std::string_view text) {
  auto v = json::parse(text);
  if (!v) return "not JSON: " + v.error().text();
  switch (kind) {
    case Kind::EntryResult: {
      auto r = decode_entry(*v);
      return r ? summary(*r) : r.error();
    }
    case Kind::Search: {
      auto r = decode_search_response(*v);
      return r ? summary(*r) : r.error();
    }
    case Kind::Totp: {
      auto r = decode_totp_response(*v);
      if (!r) return r.error();
      return "totp " + r->code + " expires=" + (r->expires_in ? std::to_string(*r->expires_in) : "-");
    }
  }
  return "";
}

struct Case {
  Kind kind;
  std::string input;
  std::string expected;
};

const std::string kNoVariant = "data did not match any variant of untagged enum SearchResponse";

TEST(WireModels, Decoding) {
  const std::vector<Case> cases = {
      // search.query shapes, in the order they are tried
      {Kind::Search, "[]", "Bare"},
      {Kind::Search, R"([{"entry_id":"e1","title":"GitHub"},["e2"]])",
       "Bare [entry e1 type=- title=\"GitHub\" data=-] [entry e2 type=- title=- data=-]"},
      {Kind::Search, R"([{"title":"no id"}])", kNoVariant},
      {Kind::Search, R"({"entries":[],"count":3})", "Wrapped quota=-"},
      {Kind::Search, R"({"entries":[{"entry_id":"a"}],"quota":{"minute_used":1,"minute_limit":10}})",
       "Wrapped quota=1/10,0/0 [entry a type=- title=- data=-]"},
      {Kind::Search, R"({"entries":null,"count":0})", "Count 0 titles=[] matches=[] message=- quota=-"},
      {Kind::Search,
       R"({"count":2,"titles":["a","b"],"matches":[{"title":"a","type":"note"},{"title":"b"}],"message":"m","quota":[1,2,3,4]})",
       "Count 2 titles=[a;b;] matches=[a/note;b/;] message=\"m\" quota=1/2,3/4"},
      {Kind::Search, R"({"count":-1})", kNoVariant},
      {Kind::Search, R"({"count":4294967296})", kNoVariant},
      {Kind::Search, R"({"count":1,"matches":[{"title":"a","type":null}]})", kNoVariant},
      {Kind::Search, R"({"count":1,"quota":{"hour_used":null}})", kNoVariant},
      {Kind::Search, R"({"entries":[],"quota":{"minute_used":1.5}})", kNoVariant},
      {Kind::Search, "{}", kNoVariant},
      {Kind::Search, "null", kNoVariant},
      {Kind::Search, R"({"entries":[["e"]]})", "Wrapped quota=- [entry e type=- title=- data=-]"},
      {Kind::Search, R"([[{"entry_id":"a"}]])", kNoVariant},  // shapes other than Bare have no array form

      // entry.get
      {Kind::EntryResult, "null", "invalid type: null, expected struct Entry"},
      {Kind::EntryResult, "7", "invalid type: integer `7`, expected struct Entry"},
      {Kind::EntryResult, R"("e")", "invalid type: string \"e\", expected struct Entry"},
      {Kind::EntryResult, "{}", "missing field `entry_id`"},
      {Kind::EntryResult, R"({"entry_id":5})", "invalid type: integer `5`, expected a string"},
      {Kind::EntryResult, R"({"entry_id":"e","data":null})", "entry e type=- title=- data=-"},
      {Kind::EntryResult, R"({"entry_id":"e","type":null,"title":null})", "entry e type=- title=- data=-"},
      {Kind::EntryResult, R"({"entry_id":"e","data":{},"vault_data":{}})", "duplicate field `data`"},
      {Kind::EntryResult, R"({"entry_id":"e","vault_data":{"title":"t","notes":"n"}})",
       "entry e type=- title=- data{title=\"t\" type=- fields=[] urls=[] notes=\"n\"}"},
      {Kind::EntryResult, R"({"entry_id":"e","data":{"fields":[{"label":"a"}]}})",
       "entry e type=- title=- data{title=- type=- fields=[a::-:1;] urls=[] notes=-}"},
      {Kind::EntryResult,
       R"({"entry_id":"e","extra":{"x":[1]},"data":{"more":true,"fields":[{"label":"p","value":"v","kind":"password","tier":2,"hint":null}],"urls":["u"]}})",
       "entry e type=- title=- data{title=- type=- fields=[p:v:\"password\":2;] urls=[u;] notes=-}"},
      {Kind::EntryResult, R"({"entry_id":"e","data":{"fields":[{"label":"a","tier":0}]}})",
       "entry e type=- title=- data{title=- type=- fields=[a::-:0;] urls=[] notes=-}"},
      {Kind::EntryResult, R"({"entry_id":"e","data":{"fields":[{"label":"a","tier":256}]}})",
       "invalid value: integer `256`, expected u8"},
      {Kind::EntryResult, R"({"entry_id":"e","data":{"fields":[{"label":"a","tier":-1}]}})",
       "invalid value: integer `-1`, expected u8"},
      {Kind::EntryResult, R"({"entry_id":"e","data":{"fields":[{"label":"a","tier":1.5}]}})",
       "invalid type: floating point `1.5`, expected u8"},
      {Kind::EntryResult, R"({"entry_id":"e","data":{"fields":[{"label":"a","tier":1e2}]}})",
       "invalid type: floating point `100.0`, expected u8"},
      {Kind::EntryResult, R"({"entry_id":"e","data":{"fields":[{"label":"a","tier":"2"}]}})",
       "invalid type: string \"2\", expected u8"},
      {Kind::EntryResult, R"({"entry_id":"e","data":{"fields":[{"label":"a","value":null}]}})",
       "invalid type: null, expected a string"},
      {Kind::EntryResult, R"({"entry_id":"e","data":{"fields":[{"value":"v"}]}})", "missing field `label`"},
      {Kind::EntryResult, R"({"entry_id":"e","data":{"fields":null}})", "invalid type: null, expected a sequence"},
      {Kind::EntryResult, R"({"entry_id":"e","data":{"urls":"u"}})", "invalid type: string \"u\", expected a sequence"},
      {Kind::EntryResult, R"({"entry_id":"e","data":{"fields":{}}})", "invalid type: map, expected a sequence"},
      {Kind::EntryResult, R"({"entry_id":"e","data":7})", "invalid type: integer `7`, expected struct EntryData"},
      {Kind::EntryResult, R"({"entry_id":"e","data":{"fields":[true]}})",
       "invalid type: boolean `true`, expected struct Field"},
      {Kind::EntryResult, "[]", "invalid length 0, expected struct Entry with 4 elements"},
      {Kind::EntryResult, R"(["e","login","T",["t","login",[["l","v",null,2]],["u"],"n"]])",
       "entry e type=\"login\" title=\"T\" data{title=\"t\" type=\"login\" fields=[l:v:-:2;] urls=[u;] notes=\"n\"}"},
      {Kind::EntryResult, R"(["e",null,null,null,1])", "invalid length 5, expected fewer elements in array"},
      {Kind::EntryResult, R"({"entry_id":"e","data":{"fields":[[]]}})",
       "invalid length 0, expected struct Field with 4 elements"},

      // ext.totp
      {Kind::Totp, R"({"expires_in":30})", "missing field `code`"},
      {Kind::Totp, R"({"code":"123456"})", "totp 123456 expires=-"},
      {Kind::Totp, R"({"code":"123456","expires_in":null})", "totp 123456 expires=-"},
      {Kind::Totp, R"({"code":"1","expires_in":4294967295})", "totp 1 expires=4294967295"},
      {Kind::Totp, R"({"code":"1","expires_in":4294967296})", "invalid value: integer `4294967296`, expected u32"},
      {Kind::Totp, R"({"code":123456})", "invalid type: integer `123456`, expected a string"},
      {Kind::Totp, "[]", "invalid length 0, expected struct TotpResponse with 2 elements"},
      {Kind::Totp, R"(["9",5])", "totp 9 expires=5"},
      {Kind::Totp, "null", "invalid type: null, expected struct TotpResponse"},
  };
  for (const auto& c : cases) EXPECT_EQ(decode(c.kind, c.input), c.expected) << "input: " << c.input;
}

TEST(WireModels, QuotaAccessor) {
  auto bare = decode_search_response(*json::parse("[]"));
  ASSERT_TRUE(bare);
  EXPECT_EQ(bare->quota(), nullptr);
  auto count = decode_search_response(*json::parse(R"({"count":0,"quota":{"hour_limit":5}})"));
  ASSERT_TRUE(count);
  ASSERT_NE(count->quota(), nullptr);
  EXPECT_EQ(count->quota()->hour_limit, 5u);
}

}  // namespace
}  // namespace pellucor
