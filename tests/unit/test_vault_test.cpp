// The in-memory vault of the test gate: what other tests rely on it to do.
#include "tests/support/test_vault.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crypto/field_keys.h"

namespace pellucor::testing {
namespace {

using nlohmann::json;

const std::string kL2 = "00112233445566778899aabbccddeeff";

TEST(TotpCode, MatchesTheReferenceVectors) {
  const std::vector<std::uint8_t> seed{'1', '2', '3', '4', '5', '6', '7', '8', '9', '0',
                                       '1', '2', '3', '4', '5', '6', '7', '8', '9', '0'};
  struct Case {
    std::int64_t t;
    const char* code;
  } cases[] = {{59, "287082"},         {1111111109, "081804"}, {1111111111, "050471"},
               {1234567890, "005924"}, {2000000000, "279037"}, {20000000000, "353130"}};
  for (const Case& c : cases) EXPECT_EQ(totp_code(seed, c.t), c.code) << c.t;
}

TEST(TestVault, SearchesExactlyOrBySubstringWithATypeFilter) {
  TestVault vault(kL2);
  const std::string mail = vault.add_entry({"Mail", "credential"});
  const std::string mail_key = vault.add_entry({"mail", "api_key"});
  vault.add_entry({"Gmail work", "credential"});
  auto handler = vault.handler();
  auto ids = [&](json args) {
    std::vector<std::string> out;
    for (const json& e : handler("search.query", args, "").result) out.push_back(e["entry_id"]);
    return out;
  };
  EXPECT_EQ(ids({{"q", "MAIL"}, {"exact", true}}), (std::vector<std::string>{mail, mail_key}));
  EXPECT_EQ(ids({{"q", "mail"}, {"exact", true}, {"type", "api_key"}}), std::vector<std::string>{mail_key});
  EXPECT_EQ(ids({{"q", "AIL"}, {"exact", false}}).size(), 3u);

  vault.set_reply_shape(ReplyShape::Count);
  vault.set_quota(json{{"minute_limit", 5}});
  EXPECT_EQ(handler("search.query", {{"q", "gmail"}, {"exact", false}}, "").result,
            (json{{"count", 1},
                  {"titles", {"Gmail work"}},
                  {"matches", {{{"title", "Gmail work"}, {"type", "credential"}}}},
                  {"quota", {{"minute_limit", 5}}}}));
}

TEST(TestVault, KeepsTierTwoValuesAsCiphertextUnderTheAgentsKey) {
  TestVault vault(kL2);
  SeedEntry e;
  e.title = "Box";
  e.fields = {{"password", "s3cret", "password", 2}, {"user", "root"}};
  e.notes = "n";
  const std::string id = vault.add_entry(e);
  const json entry = *vault.entry(id);
  const std::string ct = entry["data"]["fields"][0]["value"];
  EXPECT_NE(ct, "s3cret");
  auto key = decode_hex_16_bytes(kL2);
  ASSERT_TRUE(key);
  auto pt = decrypt_field(L2Key(key->span()), "password", ct);
  ASSERT_TRUE(pt);
  EXPECT_EQ(pt->view(), "s3cret");
  EXPECT_EQ(entry["data"]["fields"][1]["value"], "root");
  EXPECT_TRUE(decrypt_field(L2Key(key->span()), "notes", entry["data"]["notes"].get<std::string>()));
}

TEST(TestVault, UpsertCreatesThenUpdatesAndDeleteRemoves) {
  TestVault vault(kL2);
  auto handler = vault.handler();
  json body = {{"title", "T"}, {"type", "note"}, {"data", {{"title", "T"}, {"type", "note"}, {"fields", json::array()}}}};
  VaultReply created = handler("entry.upsert", body, "");
  ASSERT_TRUE(created.ok);
  EXPECT_EQ(created.result["created"], true);
  body["id"] = created.result["entry_id"];
  body["data"]["title"] = "T2";
  EXPECT_EQ(handler("entry.upsert", body, "").result["created"], false);
  EXPECT_EQ(vault.entries().size(), 1u);
  EXPECT_EQ(vault.entries()[0]["data"]["title"], "T2");
  EXPECT_TRUE(handler("entry.delete", {{"id", body["id"]}}, "").ok);
  EXPECT_FALSE(handler("entry.get", {{"id", body["id"]}}, "").ok);
  EXPECT_EQ(vault.actions(), (std::vector<std::string>{"entry.upsert", "entry.upsert", "entry.delete", "entry.get"}));
}

}  // namespace
}  // namespace pellucor::testing
