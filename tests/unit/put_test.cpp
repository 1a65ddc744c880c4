#include "cli/commands/put.h"

#include <gtest/gtest.h>

#include <array>

namespace pellucor {
namespace {

L2Key test_key(std::uint8_t fill) {
  std::array<std::uint8_t, 16> bytes;
  bytes.fill(fill);
  return make_l2_key(bytes);
}

PutValues values(std::initializer_list<std::pair<const char*, const char*>> items) {
  PutValues out;
  for (const auto& [k, v] : items) out.emplace(k, SecureString(v));
  return out;
}

TEST(BuildPutBody, SortedFieldsLabelsKindsAndTiers) {
  force_entry_schema();
  const EntryType* wallet = find_entry_type("crypto_wallet");
  ASSERT_NE(wallet, nullptr);
  const L2Key key = test_key(7);
  // "title" and names the type does not have are never sent; empty values
  // are left out.
  auto body = build_put_body("Cold", "crypto_wallet", *wallet,
                             values({{"wallet_address", "bc1q"},
                                     {"seed_phrase", "abandon abandon"},
                                     {"pin", ""},
                                     {"title", "ignored"},
                                     {"bogus", "x"},
                                     {"notes", "n"}}),
                             std::nullopt, key);
  ASSERT_TRUE(body.has_value());
  EXPECT_EQ(body->title, "Cold");
  EXPECT_EQ(body->type, "crypto_wallet");
  EXPECT_FALSE(body->urls.has_value());
  EXPECT_FALSE(body->id.has_value());
  ASSERT_EQ(body->fields.size(), 3u);

  struct Want {
    const char* label;
    const char* kind;
    std::uint8_t tier;
    const char* plaintext;
  } want[] = {
      {"Notes", "text", 2, "n"},
      {"Seed Phrase", "password", 2, "abandon abandon"},  // schema tier 3, sent as 2
      {"Wallet Address", "text", 1, "bc1q"},
  };
  for (std::size_t i = 0; i < 3; ++i) {
    const UpsertField& f = body->fields[i];
    EXPECT_EQ(f.label, want[i].label);
    EXPECT_EQ(f.kind, want[i].kind);
    EXPECT_EQ(f.tier, want[i].tier) << f.label;
    if (f.tier == 1) {
      EXPECT_EQ(f.value, want[i].plaintext);
      continue;
    }
    EXPECT_NE(f.value, want[i].plaintext);
    auto plain = decrypt_field(key, f.label, f.value);
    ASSERT_TRUE(plain.has_value()) << f.label;
    EXPECT_EQ(plain->view(), want[i].plaintext);
    EXPECT_FALSE(decrypt_field(test_key(8), f.label, f.value).has_value());
  }
}

TEST(BuildPutBody, UrlsGoIntoTheArgumentAsGiven) {
  force_entry_schema();
  const EntryType* note = find_entry_type("note");
  ASSERT_NE(note, nullptr);
  auto body = build_put_body("Links", "note", *note, values({{"urls", "a, b"}}),
                             json::Value::array({"a, b", 3}), test_key(1));
  ASSERT_TRUE(body.has_value());
  EXPECT_TRUE(body->fields.empty());
  const json::Value arg = upsert_argument(*body);
  EXPECT_EQ(json::to_compact(arg),
            R"({"data":{"fields":[],"title":"Links","type":"note","urls":["a, b",3]},"title":"Links","type":"note"})");
}

}  // namespace
}  // namespace pellucor
