#include "gate/entry_ops.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

namespace pellucor {
namespace {

SearchResponse search(std::string_view text) {
  auto v = json::parse(text);
  EXPECT_TRUE(v) << text;
  auto r = decode_search_response(*v);
  EXPECT_TRUE(r) << text << ": " << r.error();
  return std::move(*r);
}

L2Key test_key(std::uint8_t fill) {
  std::array<std::uint8_t, 16> bytes{};
  bytes.fill(fill);
  return make_l2_key(bytes);
}

std::string encrypt(const L2Key& key, std::string_view label, std::string_view plaintext) {
  auto ct = encrypt_field(key, label, plaintext);
  EXPECT_TRUE(ct);
  return *ct;
}

TEST(SearchArgument, SortedKeysAndTypeOnlyWhenGiven) {
  EXPECT_EQ(json::to_compact(search_argument("GitHub", true, "api_key")),
            R"({"exact":true,"q":"GitHub","type":"api_key"})");
  EXPECT_EQ(json::to_compact(search_argument("GitHub", false, std::nullopt)), R"({"exact":false,"q":"GitHub"})");
  EXPECT_EQ(json::to_compact(entry_id_argument("e1")), R"({"id":"e1"})");
}

TEST(SelectSingleEntry, FollowsTheSelectionRule) {
  struct Case {
    const char* reply;
    const char* expected;  // the id, or the displayed error
  } cases[] = {
      {R"([{"entry_id":"only"}])", "only"},
      {R"({"entries":[{"entry_id":"w","title":"W"}],"quota":{"minute_used":1,"minute_limit":9}})", "w"},
      {R"([])", "PL-2046: no entry matched 'Git Hub'"},
      {R"({"entries":[],"quota":{"minute_used":3,"minute_limit":10}})",
       "PL-2046: no entry matched 'Git Hub'\n  read quota: 3/10 this minute"},
      {R"({"count":1,"titles":["GitHub"]})",
       "PL-2045: 1 matches for 'Git Hub'; fetch one by its exact title:\n  GitHub"},
      {R"({"count":0,"quota":{"minute_limit":0,"hour_limit":0}})", "PL-2046: no entry matched 'Git Hub'"},
      {R"([{"entry_id":"a","title":"A"},{"entry_id":"b","title":"B"}])",
       "PL-2045: 2 matches for 'Git Hub'; fetch one by its exact title:\n  A\n  B"},
      {R"({"count":3,"quota":{"hour_used":7,"hour_limit":8}})",
       "PL-2045: 3 matches for 'Git Hub'; narrow your query (a longer name, or --type <entry type>)\n  "
       "read quota: 7/8 this hour \u2014 every search and read counts; reaching the hourly limit twice locks "
       "this agent"},
  };
  for (const Case& c : cases) {
    auto r = select_single_entry("Git Hub", search(c.reply));
    EXPECT_EQ(r ? *r : format_cli_error(r.error()), c.expected) << c.reply;
  }
}

TEST(UpsertCreated, OnlyTheLiteralFalseMeansUpdated) {
  struct Case {
    const char* result;
    bool created;
  } cases[] = {
      {R"({})", true},          {R"({"created":true})", true}, {R"({"created":"no"})", true},
      {R"({"created":0})", true}, {R"(null)", true},           {R"([false])", true},
      {R"(false)", true},       {R"({"created":false})", false},
  };
  for (const Case& c : cases) EXPECT_EQ(upsert_created(*json::parse(c.result)), c.created) << c.result;
}

TEST(DeleteRefused, OnlyTheLiteralFalseMeansKept) {
  struct Case {
    const char* result;
    bool refused;
  } cases[] = {
      {R"({})", false},           {R"({"deleted":true})", false}, {R"({"deleted":"false"})", false},
      {R"({"deleted":0})", false}, {R"({"deleted":null})", false}, {R"(null)", false},
      {R"([false])", false},       {R"(false)", false},           {R"({"deleted":false})", true},
      {R"({"deleted":false,"reason":"locked"})", true},
  };
  for (const Case& c : cases) EXPECT_EQ(delete_refused(*json::parse(c.result)), c.refused) << c.result;
}

TEST(UpsertArgument, WritesTheBodyWithSortedKeys) {
  EntryUpsertBody body;
  body.title = "GitHub";
  body.type = "credential";
  body.fields = {{"username", "octo", "text", 1}, {"password", "Y2lwaGVy", "password", 2}};
  EXPECT_EQ(json::to_compact(upsert_argument(body)),
            R"({"data":{"fields":[{"kind":"text","label":"username","tier":1,"value":"octo"},)"
            R"({"kind":"password","label":"password","tier":2,"value":"Y2lwaGVy"}],"title":"GitHub",)"
            R"("type":"credential"},"title":"GitHub","type":"credential"})");

  body.fields.clear();
  body.urls = json::Value::array({"https://github.com"});
  body.id = "0123456789abcdef";
  EXPECT_EQ(json::to_compact(upsert_argument(body)),
            R"({"data":{"fields":[],"title":"GitHub","type":"credential","urls":["https://github.com"]},)"
            R"("id":"0123456789abcdef","title":"GitHub","type":"credential"})");
}

TEST(DecryptFields, DecryptsTierTwoAndPassesTheRestThrough) {
  const L2Key key = test_key(7);
  std::vector<Field> fields = {
      {"username", "octo", "text", 1},
      {"password", encrypt(key, "password", "hunter2"), "password", 2},
      {"empty", "", "password", 2},          // nothing to decrypt
      {"hsm", "not-ciphertext", "password", 3},  // never decrypted
      {"plain0", "zero", std::nullopt, 0},
  };
  auto items = decrypt_fields(fields, key);
  ASSERT_TRUE(items) << format_cli_error(items.error());
  ASSERT_EQ(items->size(), fields.size());
  EXPECT_FALSE((*items)[0].plaintext);
  ASSERT_TRUE((*items)[1].plaintext);
  EXPECT_EQ((*items)[1].plaintext->view(), "hunter2");
  EXPECT_FALSE((*items)[2].plaintext);
  EXPECT_FALSE((*items)[3].plaintext);
  EXPECT_FALSE((*items)[4].plaintext);
}

TEST(DecryptFields, StopsAtTheFirstFieldThatDoesNotDecrypt) {
  const L2Key key = test_key(7);
  std::vector<Field> fields = {
      {"password", encrypt(key, "password", "first"), "password", 2},
      {"token", encrypt(test_key(8), "token", "wrong key"), "password", 2},
      {"later", "!!not base64", "password", 2},
  };
  FieldDecryptWalk walk(fields, key);
  auto first = next_decrypted_field(walk);
  ASSERT_TRUE(first && first->plaintext);
  EXPECT_EQ(first->plaintext->view(), "first");
  EXPECT_FALSE(next_decrypted_field(walk));
  ASSERT_TRUE(walk.error);
  EXPECT_EQ(format_cli_error(*walk.error),
            "PL-2049: decrypt field 'token' failed: PL-0003: " + std::string(err::PL_0003.user_msg));
  EXPECT_FALSE(next_decrypted_field(walk));  // ended for good

  auto all = decrypt_fields(fields, key);
  ASSERT_FALSE(all);
  EXPECT_EQ(all.error().error.code, "PL-2049");
}

TEST(DecryptFields, NamesTheFieldForEachKindOfCorruptValue) {
  const L2Key key = test_key(1);
  struct Case {
    const char* value;
    const char* code;
  } cases[] = {{"not base64!", "PL-0002"}, {"AAAA", "PL-0010"}};
  for (const Case& c : cases) {
    std::vector<Field> fields = {{"Secret", c.value, std::nullopt, 2}};
    auto r = decrypt_fields(fields, key);
    ASSERT_FALSE(r);
    EXPECT_TRUE(r.error().message.starts_with(std::string("decrypt field 'Secret' failed: ") + c.code))
        << r.error().message;
  }
}

TEST(ResponseShapeError, NamesTheAction) {
  EXPECT_EQ(format_cli_error(response_shape_error("ext.totp", "missing field `code`")),
            "PL-2021: ext.totp response shape: missing field `code`");
}

}  // namespace
}  // namespace pellucor
