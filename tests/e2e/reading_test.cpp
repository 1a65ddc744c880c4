// Reading the vault end to end: get, find, delete and totp through the real
// binary against the local test gate, for an agent enrolled with init in a
// temporary HOME.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/enrolled_cli.h"

namespace pellucor {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using testing::ReplyShape;
using testing::SeedEntry;
using testing::SeedField;
using testing::TestGate;
using testing::TestVault;
using testing::VaultReply;
using testing::kQuotaLine;
using testing::quota_json;

// The reading tests' fixture: the enrolled agent, with a seeded GitHub entry
// at hand.
class Reading : public testing::EnrolledCli {
 protected:
  // A credential with a username, a tier-2 password, notes and two urls.
  std::string seed_github() {
    SeedEntry e;
    e.title = "GitHub";
    e.fields = {{"username", "octocat"}, {"password", "hunter2", "password", 2}};
    e.urls = {"https://github.com", "https://gist.github.com"};
    e.notes = "recovery codes in the safe";
    return vault_->add_entry(e);
  }
};

TEST_F(Reading, GetListsFieldsAndPseudoFields) {
  seed_github();
  auto r = run({"get", "github"});
  ASSERT_TRUE(r.exited_with(0)) << r.err;
  EXPECT_EQ(r.out,
            "username: octocat\n"
            "password: hunter2\n"
            "notes: recovery codes in the safe\n"
            "url: https://github.com, https://gist.github.com\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(actions(), (std::vector<std::string>{"search.query", "entry.get"}));
  // The exact search the vault was asked for.
  EXPECT_EQ(vault_->calls()[0].content, (nlohmann::json{{"q", "github"}, {"exact", true}}));
}

TEST_F(Reading, GetFieldPrintsTheRawValueWithoutNewline) {
  seed_github();
  struct Case {
    const char* label;
    const char* out;
  } cases[] = {
      {"PASSWORD", "hunter2"},
      {"password", "hunter2"},
      {"Username", "octocat"},
      {"notes", "recovery codes in the safe"},
      {"url", "https://github.com, https://gist.github.com"},
  };
  for (const Case& c : cases) {
    auto r = run({"get", "GitHub", "--field", c.label});
    EXPECT_TRUE(r.exited_with(0)) << c.label << ": " << r.err;
    EXPECT_EQ(r.out, c.out) << c.label;
  }
  auto missing = run({"get", "GitHub", "--field", "pin"});
  EXPECT_TRUE(missing.exited_with(1));
  EXPECT_EQ(missing.err, "PL-2050: entry has no field named 'pin'\n");
  EXPECT_EQ(missing.out, "");
}

TEST_F(Reading, GetFieldIsNotSanitisedButTheListingIs) {
  SeedEntry e;
  e.title = "Escapes";
  e.fields = {{"token", "a\x1b[2Jb\tc\u202Ed", "password", 2}};
  vault_->add_entry(e);
  auto raw = run({"get", "Escapes", "--field", "token"});
  ASSERT_TRUE(raw.exited_with(0)) << raw.err;
  EXPECT_EQ(raw.out, "a\x1b[2Jb\tc\u202Ed");
  auto listed = run({"get", "Escapes"});
  ASSERT_TRUE(listed.exited_with(0)) << listed.err;
  EXPECT_EQ(listed.out, "token: a[2Jb\tcd\n");
}

TEST_F(Reading, RealFieldsWinOverPseudoFields) {
  SeedEntry e;
  e.title = "Site";
  e.fields = {{"URL", "https://real.example"}, {"Notes", "plain notes field"}, {"pin", "1", "text", 1},
              {"PIN", "2", "text", 1}};
  e.urls = {"https://ignored.example"};
  e.notes = "hidden notes";
  vault_->add_entry(e);
  auto r = run({"get", "Site"});
  ASSERT_TRUE(r.exited_with(0)) << r.err;
  EXPECT_EQ(r.out, "URL: https://real.example\nNotes: plain notes field\npin: 1\nPIN: 2\n");
  auto url = run({"get", "Site", "--field", "url"});
  EXPECT_EQ(url.out, "https://real.example");
  auto pin = run({"get", "Site", "--field", "Pin"});
  EXPECT_EQ(pin.out, "1");  // the first in the vault's order
}

TEST_F(Reading, TierThreeIsShownAsPlaceholderAndRefused) {
  SeedEntry e;
  e.title = "Bank";
  e.fields = {{"login", "me"}, {"pin", "opaque-hsm-blob", "password", 3}, {"empty", "", "password", 2}};
  vault_->add_entry(e);
  auto list = run({"get", "Bank"});
  ASSERT_TRUE(list.exited_with(0)) << list.err;
  EXPECT_EQ(list.out, "login: me\npin: [L3 \u2014 requires hardware key]\nempty: \n");
  auto field = run({"get", "Bank", "--field", "PIN"});
  EXPECT_TRUE(field.exited_with(1));
  EXPECT_EQ(field.err,
            "PL-2048: field 'pin' is L3 \u2014 vault does not release L3 plaintext to agents (hardware key "
            "required)\n");
  EXPECT_EQ(field.out, "");
  auto empty = run({"get", "Bank", "--field", "empty"});
  EXPECT_TRUE(empty.exited_with(0)) << empty.err;
  EXPECT_EQ(empty.out, "");
}

TEST_F(Reading, UndecryptableFieldFailsBeforeAnythingIsPrinted) {
  SeedEntry e;
  e.title = "Broken";
  e.fields = {{"user", "me"},
              {"password", "good", "password", 2},
              {"api_token", vault_->encrypt("another_label", "x"), "password", 2, true},
              {"later", "!!", "password", 2, true}};
  vault_->add_entry(e);
  auto r = run({"get", "Broken"});
  EXPECT_TRUE(r.exited_with(1));
  EXPECT_EQ(r.out, "");
  EXPECT_THAT(r.err, StartsWith("PL-2049: decrypt field 'api_token' failed: PL-0003: "));
  EXPECT_THAT(r.err, ::testing::EndsWith("\n"));
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);

  auto f = run({"get", "Broken", "--field", "api_token"});
  EXPECT_TRUE(f.exited_with(1));
  EXPECT_EQ(f.out, "");
  EXPECT_THAT(f.err, StartsWith("PL-2049: decrypt field 'api_token' failed: PL-0003: "));
}

TEST_F(Reading, NoMatchAppendsTheQuotaLine) {
  vault_->set_reply_shape(ReplyShape::Wrapped);
  vault_->set_quota(quota_json());
  auto r = run({"get", "Nothing"});
  EXPECT_TRUE(r.exited_with(1));
  EXPECT_EQ(r.err, "PL-2046: no entry matched 'Nothing'\n  " + kQuotaLine + "\n");
  EXPECT_EQ(actions(), std::vector<std::string>{"search.query"});  // no entry.get
}

TEST_F(Reading, SeveralMatchesListCandidatesWithoutControlCharacters) {
  vault_->add_entry({"AWS \x1b[31mprod", "credential"});
  vault_->add_entry({"AWS\nstaging", "api_key"});
  auto r = run({"get", "aws", "--fuzzy"});
  EXPECT_TRUE(r.exited_with(1));
  EXPECT_EQ(r.err, "PL-2045: 2 matches for 'aws'; fetch one by its exact title:\n  AWS [31mprod\n  AWSstaging\n");
  EXPECT_EQ(actions(), std::vector<std::string>{"search.query"});

  // The type narrows it to one; the alias is resolved before it is sent.
  vault_->set_reply_shape(ReplyShape::Count);
  auto counted = run({"get", "aws", "--fuzzy"});
  EXPECT_EQ(counted.err,
            "PL-2045: 2 matches for 'aws'; fetch one by its exact title:\n  AWS [31mprod (credential)\n"
            "  AWSstaging (api_key)\n");
  vault_->set_reply_shape(ReplyShape::Bare);
  auto typed = run({"get", "aws", "--fuzzy", "--type", "api", "--json"});
  ASSERT_TRUE(typed.exited_with(0)) << typed.err;
  EXPECT_EQ(vault_->calls().back().content.dump(), "{\"id\":\"" + vault_->entries()[1]["entry_id"].get<std::string>() + "\"}");
}

TEST_F(Reading, JsonPrintsTheRawEntryPretty) {
  const std::string id = vault_->add_raw_entry(
      {{"title", "Raw"}, {"type", "note"}, {"zeta", {{"b", 1}, {"a", nullptr}}}, {"data", {{"fields", nlohmann::json::array()}}}});
  auto r = run({"get", "Raw", "--json", "--field", "ignored"});
  ASSERT_TRUE(r.exited_with(0)) << r.err;
  EXPECT_EQ(r.out,
            "{\n"
            "  \"data\": {\n"
            "    \"fields\": []\n"
            "  },\n"
            "  \"entry_id\": \"" + id + "\",\n"
            "  \"title\": \"Raw\",\n"
            "  \"type\": \"note\",\n"
            "  \"zeta\": {\n"
            "    \"a\": null,\n"
            "    \"b\": 1\n"
            "  }\n"
            "}\n");
}

TEST_F(Reading, EntryWithoutDataBlockIsRefused) {
  vault_->add_raw_entry({{"title", "Hollow"}});
  auto r = run({"get", "Hollow"});
  EXPECT_TRUE(r.exited_with(1));
  EXPECT_EQ(r.err, "PL-2021: entry response had no data block\n");
}

TEST_F(Reading, OptionErrorsComeBeforeTheConfiguration) {
  fs::remove_all(home_ / ".config");
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* out;
    const char* err;
  } cases[] = {
      {{"get", "--help", "--bogus"}, 0, nullptr, ""},
      {{"get"}, 1, "", "PL-2000: missing <query> (try: pellucor-cli get OpenAI)\n"},
      {{"get", "a", "b"}, 1, "", "PL-2000: unexpected: Value(\"b\")\n"},
      {{"get", "-h"}, 1, "", "PL-2000: unexpected: Short('h')\n"},
      {{"get", "a", "--json=yes"}, 1, "", "PL-2000: unexpected argument for option '--json': \"yes\"\n"},
      {{"get", "a", "--field"}, 1, "", "PL-2000: missing argument for option '--field'\n"},
      {{"get", "\xff"}, 1, "", "PL-2000: query: not valid UTF-8\n"},
      {{"find"}, 1, "", "PL-2000: missing <name> (try: pellucor-cli find openrouter)\n"},
      {{"find", "x", "--fuzzy"}, 1, "", "PL-2000: unexpected: Long(\"fuzzy\")\n"},
      {{"find", "\xfe"}, 1, "", "PL-2000: name: not valid UTF-8\n"},
      {{"find", "--help"}, 0, nullptr, ""},
      {{"delete"}, 1, "", "PL-2000: missing <query>\n"},
      {{"delete", "x", "--type", "api"}, 1, "", "PL-2000: unexpected: Long(\"type\")\n"},
      {{"delete", "--help", "-x"}, 0, nullptr, ""},
      {{"totp"}, 1, "", "PL-2000: missing <query> (try: pellucor-cli totp GitHub)\n"},
      {{"totp", "a", "b"}, 1, "", "PL-2000: unexpected: Value(\"b\")\n"},
      {{"totp", "--help"}, 0, nullptr, ""},
  };
  for (const Case& c : cases) {
    auto r = run(c.args);
    const std::string what = ::testing::PrintToString(c.args);
    EXPECT_TRUE(r.exited_with(c.status)) << what << ": " << r.err;
    if (c.out) {
      EXPECT_EQ(r.out, c.out) << what;
    }
    EXPECT_EQ(r.err, c.err) << what;
  }
  EXPECT_THAT(run({"get", "--help"}).out, StartsWith("Usage: pellucor-cli get <query> [--field <label>]"));
  EXPECT_EQ(run({"totp", "--help"}).out,
            "Usage: pellucor-cli totp <query> [--fuzzy]\n  Title match is exact by default. --fuzzy allows substring.\n");
  EXPECT_TRUE(vault_->calls().empty());
}

TEST_F(Reading, FindListsTitlesInEveryReplyShape) {
  vault_->add_entry({"Mail work", "credential"});
  vault_->add_entry({"Mail home", ""});
  vault_->add_entry({std::string(300, 'M') + "ail\tlong", "note"});
  const std::string long_line = std::string(200, 'M');
  const std::string lines = "Mail work (credential)\nMail home\n" + long_line + "\n";

  auto bare = run({"find", "mail"});
  ASSERT_TRUE(bare.exited_with(0)) << bare.err;
  EXPECT_EQ(bare.out, lines);
  EXPECT_EQ(bare.err, "");
  EXPECT_EQ(vault_->calls().back().content, (nlohmann::json{{"q", "mail"}, {"exact", false}}));

  vault_->set_reply_shape(ReplyShape::Wrapped);
  vault_->set_quota(quota_json());
  auto wrapped = run({"find", "mail"});
  ASSERT_TRUE(wrapped.exited_with(0)) << wrapped.err;
  EXPECT_EQ(wrapped.out, lines);
  EXPECT_EQ(wrapped.err, kQuotaLine + "\n");

  vault_->set_reply_shape(ReplyShape::Count);
  vault_->set_quota(nlohmann::json{{"minute_used", 1}, {"minute_limit", 0}, {"hour_limit", 0}});
  auto count = run({"find", "mail"});
  ASSERT_TRUE(count.exited_with(0)) << count.err;
  EXPECT_EQ(count.out, lines);
  EXPECT_EQ(count.err, "");  // no window has a limit

  auto typed = run({"find", "mail", "--type", "api"});
  EXPECT_EQ(vault_->calls().back().content, (nlohmann::json{{"q", "mail"}, {"exact", false}, {"type", "api_key"}}));
  EXPECT_TRUE(typed.exited_with(1));
  EXPECT_EQ(typed.err, "PL-2046: no entry matched 'mail'\n");
}

TEST_F(Reading, FindFailuresCarryTheQuotaLine) {
  vault_->set_quota(quota_json());
  vault_->set_reply_shape(ReplyShape::Count);
  auto none = run({"find", "absent"});
  EXPECT_TRUE(none.exited_with(1));
  EXPECT_EQ(none.out, "");
  EXPECT_EQ(none.err, "PL-2046: no entry matched 'absent'\n  " + kQuotaLine + "\n");

  vault_->on("search.query", [](const nlohmann::json&) {
    return testing::VaultReply::success(
        {{"count", 12}, {"message", "too many"}, {"quota", quota_json()}});
  });
  auto many = run({"find", "a"});
  EXPECT_TRUE(many.exited_with(1));
  EXPECT_EQ(many.out, "");
  EXPECT_EQ(many.err,
            "PL-2045: 12 matches for 'a'; narrow your query (a longer name, or --type <entry type>)\n  " +
                kQuotaLine + "\n");

  vault_->on("search.query", [](const nlohmann::json&) { return testing::VaultReply::success({{"count", "x"}}); });
  auto shape = run({"find", "a"});
  EXPECT_EQ(shape.err, "PL-2021: search.query response shape: data did not match any variant of untagged enum "
                       "SearchResponse\n");
}

TEST_F(Reading, DeleteRemovesTheOneMatchAndEchoesTheQuery) {
  vault_->add_entry({"foo", "note"});
  vault_->add_entry({"food", "note"});
  vault_->add_entry({"foot", "note"});
  auto several = run({"delete", "fo", "--fuzzy"});
  EXPECT_TRUE(several.exited_with(1));
  EXPECT_THAT(several.err, StartsWith("PL-2045: 3 matches for 'fo'"));
  EXPECT_EQ(vault_->entries().size(), 3u);

  auto r = run({"delete", "Foo"});
  ASSERT_TRUE(r.exited_with(0)) << r.err;
  EXPECT_EQ(r.out, "OK: Deleted: Foo\n");
  EXPECT_EQ(actions().back(), "entry.delete");
  ASSERT_EQ(vault_->entries().size(), 2u);
  EXPECT_EQ(vault_->entries()[0]["title"], "food");

  auto again = run({"delete", "Foo"});
  EXPECT_TRUE(again.exited_with(1));
  EXPECT_EQ(again.err, "PL-2046: no entry matched 'Foo'\n");
}

// A vault that answers a delete with "deleted": false kept the entry: no
// "Deleted" line, one error line. Any other answer counts as done.
TEST_F(Reading, DeleteTheVaultRefusedIsAFailure) {
  struct Case {
    std::vector<std::string> args;
    std::string type;
    std::string deleted;  // the success line
  };
  const Case commands[] = {
      {{"delete", "Foo"}, "credential", "OK: Deleted: Foo\n"},
      {{"note", "delete", "Foo"}, "note", "OK: Deleted.\n"},
      {{"memory", "delete", "Foo", "--fuzzy"}, "memory", "OK: Deleted.\n"},
  };
  for (const Case& c : commands) {
    SeedEntry e("Foo", c.type);
    e.fields = {{"summary", "s", "text", 2}, {"status", "draft"}};
    // The handlers below only answer, so the entries stay; the type filter of
    // note and memory keeps them apart.
    vault_->add_entry(e);
    const std::string shown = ::testing::PrintToString(c.args);

    vault_->on("entry.delete", [](const nlohmann::json&) { return VaultReply::success({{"deleted", false}}); });
    auto kept = run(c.args);
    EXPECT_TRUE(kept.exited_with(1)) << shown;
    EXPECT_EQ(kept.out, "") << shown;
    EXPECT_EQ(kept.err, "PL-2047: the vault did not delete 'Foo'\n") << shown;

    for (const nlohmann::json& reply :
         {nlohmann::json{{"deleted", true}}, nlohmann::json::object(), nlohmann::json(nullptr),
          nlohmann::json{{"deleted", "no"}}, nlohmann::json::array({false})}) {
      vault_->on("entry.delete", [reply](const nlohmann::json&) { return VaultReply::success(reply); });
      auto done = run(c.args);
      EXPECT_TRUE(done.exited_with(0)) << shown << " " << reply.dump() << " " << done.err;
      EXPECT_EQ(done.out, c.deleted) << shown << " " << reply.dump();
    }
  }
}

TEST_F(Reading, TotpPrintsTheVaultsCode) {
  SeedEntry e;
  e.title = "GitHub 2FA";
  e.type = "totp";
  e.totp_seed = std::vector<std::uint8_t>{'1', '2', '3', '4', '5', '6', '7', '8', '9', '0',
                                          '1', '2', '3', '4', '5', '6', '7', '8', '9', '0'};
  vault_->add_entry(e);
  vault_->set_time(59);
  auto r = run({"totp", "github 2fa"});
  ASSERT_TRUE(r.exited_with(0)) << r.err;
  EXPECT_EQ(r.out, "287082\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(actions(), (std::vector<std::string>{"search.query", "ext.totp"}));

  vault_->on("ext.totp", [](const nlohmann::json&) { return testing::VaultReply::success({{"expires_in", 3}}); });
  auto shape = run({"totp", "GitHub 2FA"});
  EXPECT_TRUE(shape.exited_with(1));
  EXPECT_EQ(shape.err, "PL-2021: ext.totp response shape: missing field `code`\n");

  vault_->add_entry({"GitHub 2FA backup", "totp"});
  auto several = run({"totp", "github", "--fuzzy"});
  EXPECT_TRUE(several.exited_with(1));
  EXPECT_THAT(several.err, StartsWith("PL-2045: 2 matches for 'github'"));
  EXPECT_EQ(actions().back(), "search.query");
}

TEST_F(Reading, TotpFailsOverToTheReplica) {
  start(true);
  SeedEntry e;
  e.title = "Cloud";
  e.type = "totp";
  e.totp_seed = std::vector<std::uint8_t>(20, 0x42);
  vault_->add_entry(e);
  vault_->set_time(1'700'000'000);
  auto r = run({"totp", "Cloud"});
  ASSERT_TRUE(r.exited_with(0)) << r.err;
  EXPECT_EQ(r.out, testing::totp_code(std::vector<std::uint8_t>(20, 0x42), 1'700'000'000) + "\n");
  // Every call tries the primary first: the search, then the code.
  EXPECT_EQ(r.err,
            "gate: primary unreachable, trying replica\ngate: primary unreachable, trying replica\n");
  EXPECT_EQ(actions(), (std::vector<std::string>{"search.query", "ext.totp"}));
}

}  // namespace
}  // namespace pellucor
