// note and memory end to end: the real binary, an enrolled agent and the
// local test gate. What the vault receives is checked as well as what the
// user sees: summary and content must arrive encrypted under the agent's key.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "crypto/errors.h"
#include "crypto/field_keys.h"
#include "tests/support/enrolled_cli.h"
#include "tests/support/similar_search.h"

namespace pellucor {
namespace {

using nlohmann::json;
using testing::SeedEntry;
using testing::SeedField;
using testing::VaultReply;
using testing::embedding_text;

class TextEntries : public testing::EnrolledCli {
 protected:
  L2Key l2() const {
    auto bytes = decode_hex_16_bytes(agent_.l2);
    EXPECT_TRUE(bytes.has_value());
    return L2Key(bytes->span());
  }

  std::string decrypt(const json& field) const {
    auto plaintext = decrypt_field(l2(), field.at("label").get<std::string>(), field.at("value").get<std::string>());
    EXPECT_TRUE(plaintext.has_value()) << field.dump();
    return plaintext ? std::string(plaintext->view()) : std::string();
  }

  // The argument of the last "entry.upsert" the vault received.
  json last_upsert() const {
    const auto calls = vault_->calls();
    for (auto it = calls.rbegin(); it != calls.rend(); ++it) {
      if (it->action == "entry.upsert") return it->content;
    }
    ADD_FAILURE() << "no entry.upsert";
    return json();
  }

  // A text entry as create stores it.
  std::string seed_text_entry(const std::string& kind, const std::string& summary, const std::string& content,
                              std::vector<SeedField> extra = {}) {
    SeedEntry e(summary, kind);
    e.fields = {{"summary", summary, "text", 2}, {"content", content, "text", 2}, {"status", "draft"}};
    for (SeedField& f : extra) e.fields.push_back(std::move(f));
    return vault_->add_entry(e);
  }

  void expect_refused(const test::RunResult& r, const std::string& err) {
    EXPECT_TRUE(r.exited_with(1)) << r.err;
    EXPECT_EQ(r.err, err);
    EXPECT_EQ(r.out, "");
  }
};

TEST_F(TextEntries, CreateGetUpdateDeleteForBothKinds) {
  for (const std::string kind : {"note", "memory"}) {
    SCOPED_TRACE(kind);
    const std::string summary = "Deploy steps for " + kind;
    const std::string s = file("summary", summary + "\n");
    const std::string c = file("content", "line one\nline two\n");
    auto created = run({kind, "create", "--summary-file", s, "--content-file", c, "--status", "active"});
    ASSERT_TRUE(created.exited_with(0)) << created.err;
    EXPECT_EQ(created.out, "OK: Created: " + summary + "\n");

    // The body: title = summary, the kind as type, three fields, no urls, no id.
    const json body = last_upsert();
    EXPECT_EQ(body.size(), 3u) << body.dump();
    EXPECT_EQ(body["title"], summary);
    EXPECT_EQ(body["type"], kind);
    const json& data = body["data"];
    EXPECT_EQ(data, (json{{"title", summary}, {"type", kind}, {"fields", data["fields"]}}));
    const json& fields = data["fields"];
    ASSERT_EQ(fields.size(), 3u);
    EXPECT_EQ(fields[0]["label"], "summary");
    EXPECT_EQ(fields[0]["tier"], 2);
    EXPECT_EQ(fields[0]["kind"], "text");
    EXPECT_NE(fields[0]["value"], summary);
    EXPECT_EQ(decrypt(fields[0]), summary);
    EXPECT_EQ(fields[1]["label"], "content");
    EXPECT_EQ(fields[1]["tier"], 2);
    EXPECT_EQ(decrypt(fields[1]), "line one\nline two");
    EXPECT_EQ(fields[2], (json{{"label", "status"}, {"value", "active"}, {"kind", "text"}, {"tier", 1}}));

    auto shown = run({kind, "get", summary});
    ASSERT_TRUE(shown.exited_with(0)) << shown.err;
    EXPECT_EQ(shown.out, "Summary: " + summary + "\nStatus: active\n");
    // The title search names the kind.
    EXPECT_EQ(vault_->calls().at(vault_->calls().size() - 2).content,
              (json{{"q", summary}, {"exact", true}, {"type", kind}}));

    const std::string c2 = file("content2", "rewritten");
    auto updated = run({kind, "update", summary, "--content-file", c2});
    ASSERT_TRUE(updated.exited_with(0)) << updated.err;
    EXPECT_EQ(updated.out, "OK: Updated: " + summary + "\n");
    const json rewrite = last_upsert();
    EXPECT_TRUE(rewrite.contains("id"));
    EXPECT_EQ(decrypt(rewrite["data"]["fields"][1]), "rewritten");
    EXPECT_EQ(rewrite["data"]["fields"][2]["value"], "active");

    auto full = run({kind, "get", summary, "--full"});
    ASSERT_TRUE(full.exited_with(0)) << full.err;
    EXPECT_EQ(full.out, "Summary: " + summary + "\nStatus: active\n\nrewritten\n");

    auto deleted = run({kind, "delete", summary});
    ASSERT_TRUE(deleted.exited_with(0)) << deleted.err;
    EXPECT_EQ(deleted.out, "OK: Deleted.\n");
    EXPECT_EQ(vault_->entries().size(), 0u);
    auto gone = run({kind, "get", summary});
    expect_refused(gone, "PL-2046: no entry matched '" + summary + "'\n");
  }
}

TEST_F(TextEntries, CreateTakesContentFromStdinOrJson) {
  const std::string s = file("summary", "Piped");
  // Piped content is kept exactly; "--content-file -" cuts trailing CR and LF.
  auto piped = run({"note", "create", "--summary-file", s}, "body\n");
  ASSERT_TRUE(piped.exited_with(0)) << piped.err;
  EXPECT_EQ(decrypt(last_upsert()["data"]["fields"][1]), "body\n");
  auto dash = run({"note", "create", "--summary-file", s, "--content-file", "-"}, "body\r\n");
  ASSERT_TRUE(dash.exited_with(0)) << dash.err;
  EXPECT_EQ(decrypt(last_upsert()["data"]["fields"][1]), "body");

  // --json: every value from stdin; options are still read but not used; a
  // status that is not a text falls back to draft.
  auto json_in = run({"memory", "create", "--json", "--status", "archived"},
                     R"({"summary": "From JSON", "content": "c\n", "status": 7,
                         "embeddings": "AAAAAA==", "embedding_model": "mini-v1"})");
  ASSERT_TRUE(json_in.exited_with(0)) << json_in.err;
  EXPECT_EQ(json_in.out, "OK: Created: From JSON\n");
  const json fields = last_upsert()["data"]["fields"];
  ASSERT_EQ(fields.size(), 5u);
  EXPECT_EQ(decrypt(fields[0]), "From JSON");
  EXPECT_EQ(decrypt(fields[1]), "c\n");
  EXPECT_EQ(fields[2]["value"], "draft");
  EXPECT_EQ(fields[3], (json{{"label", "embeddings"}, {"value", "AAAAAA=="}, {"kind", "binary"}, {"tier", 1}}));
  EXPECT_EQ(fields[4], (json{{"label", "embedding_model"}, {"value", "mini-v1"}, {"kind", "text"}, {"tier", 1}}));

  // A model alone is kept; the vault's "created": false is reported as such.
  vault_->on("entry.upsert", [](const json&) { return VaultReply::success(json{{"created", false}}); });
  auto model_only = run({"note", "create", "--summary-file", s, "--embedding-model", "m"}, "x");
  ASSERT_TRUE(model_only.exited_with(0)) << model_only.err;
  EXPECT_EQ(model_only.out, "OK: Updated: Piped\n");
  EXPECT_EQ(last_upsert()["data"]["fields"].size(), 4u);
}

TEST_F(TextEntries, UpdateOfStatusAloneReencryptsAndKeepsEmbeddings) {
  const std::string id = seed_text_entry("memory", "Build cache", "use ccache",
                                         {{"embeddings", "AAAAAA==", "binary"}, {"embedding_model", "mini-v1"}});
  const json before = vault_->entry(id)->at("data").at("fields");

  auto r = run({"memory", "update", "Build cache", "--status", "archived"});
  ASSERT_TRUE(r.exited_with(0)) << r.err;
  EXPECT_EQ(r.out, "OK: Updated: Build cache\n");
  EXPECT_EQ(actions(), (std::vector<std::string>{"search.query", "entry.get", "entry.upsert"}));

  const json body = last_upsert();
  EXPECT_EQ(body["id"], id);
  EXPECT_EQ(body["title"], "Build cache");
  const json& fields = body["data"]["fields"];
  ASSERT_EQ(fields.size(), 5u);
  // Same plaintexts under fresh nonces.
  EXPECT_NE(fields[0]["value"], before[0]["value"]);
  EXPECT_NE(fields[1]["value"], before[1]["value"]);
  EXPECT_EQ(decrypt(fields[0]), "Build cache");
  EXPECT_EQ(decrypt(fields[1]), "use ccache");
  EXPECT_EQ(fields[2]["value"], "archived");
  EXPECT_EQ(fields[3]["value"], "AAAAAA==");
  EXPECT_EQ(fields[4]["value"], "mini-v1");

  // A new summary renames the entry; an odd stored status is kept as it is.
  SeedEntry odd("Odd", "note");
  odd.fields = {{"summary", "Odd", "text", 2}, {"content", "x", "text", 2}, {"status", "pinned"}};
  vault_->add_entry(odd);
  auto renamed = run({"note", "update", "Odd", "--summary-file", file("s", "Even")});
  ASSERT_TRUE(renamed.exited_with(0)) << renamed.err;
  EXPECT_EQ(renamed.out, "OK: Updated: Even\n");
  EXPECT_EQ(last_upsert()["title"], "Even");
  EXPECT_EQ(last_upsert()["data"]["fields"][2]["value"], "pinned");
}

TEST_F(TextEntries, LocalRefusalsReachNoVault) {
  const std::string sum = file("sum", "S");
  const std::string content = file("content", "C");
  const std::string empty = file("empty", "");
  const std::string big = file("big", std::string(262145, 'a'));
  const std::string max = file("max", std::string(262144, 'a'));
  const std::string emb = file("emb", "AAAAAA==");
  const std::string vec = file("vec", "AAAAAA==");
  const std::string secret = " is a secret field and must not appear on the command line; use ";
  struct Case {
    std::vector<std::string> args;
    std::string stdin_data;
    std::string err;
  } cases[] = {
      {{"note", "create", "--summary", "x"}, "", "PL-2000: --summary" + secret + "--summary-file PATH or --json\n"},
      {{"memory", "create", "--content=x"}, "", "PL-2000: --content" + secret + "--content-file PATH or --json\n"},
      {{"note", "create", "--embeddings", "x"}, "",
       "PL-2000: --embeddings" + secret + "--embeddings-file PATH or --json\n"},
      {{"note", "update", "T", "--summary", "x"}, "", "PL-2000: --summary" + secret + "--summary-file PATH\n"},
      {{"memory", "update", "T", "--embeddings"}, "", "PL-2000: --embeddings" + secret + "--embeddings-file PATH\n"},
      {{"memory", "search", "--vector", "x"}, "",
       "PL-2000: --vector" + secret + "--vector-file PATH or stdin via --vector-file -\n"},
      {{"note", "create", "--content-file", content}, "",
       "PL-2000: --summary-file is required (L2 secret \u2014 not on argv; or use --json)\n"},
      {{"note", "create", "--summary-file", sum, "--content-file", empty}, "", "PL-2000: content must not be empty\n"},
      {{"note", "create", "--summary-file", sum}, "", "PL-2000: content must not be empty\n"},
      {{"note", "create", "--summary-file", sum, "--content-file", big}, "",
       "PL-2110: " + big + " exceeds 262144 bytes (refuse to buffer unbounded input)\n"},
      {{"note", "create", "--summary-file", sum}, std::string(262145, 'a'),
       "PL-2110: stdin exceeds 262144 bytes (refuse to buffer unbounded input)\n"},
      // 262144 bytes pass the size check: the status is what fails.
      {{"note", "create", "--summary-file", sum, "--content-file", max, "--status", "Active"}, "",
       "PL-2000: invalid status 'Active' (use: draft, active, archived)\n"},
      {{"note", "create", "--summary-file", sum, "--content-file", content, "--embeddings-file", emb}, "",
       "PL-2000: --embedding-model is required when --embeddings is set\n"},
      {{"note", "update", "T", "--status", "done"}, "", "PL-2000: invalid status 'done' (use: draft, active, archived)\n"},
      {{"note", "update"}, "", "PL-2000: missing <query>\n"},
      {{"note", "update", "T", "U"}, "", "PL-2000: unexpected: Value(\"U\")\n"},
      {{"note", "create", "--json"}, R"({"content": "b", "summary": "a", "x": 1, "zz": 2})",
       "PL-2000: unknown key 'x' \u2014 a typo would silently lose the value (allowed: summary, content, status, "
       "embeddings, embedding_model)\n"},
      {{"note", "create", "--json"}, "[1]", "PL-2000: JSON missing \"summary\" field\n"},
      {{"note", "create", "--json"}, R"({"summary": "a", "content": 5})", "PL-2000: JSON missing \"content\" field\n"},
      {{"note", "create", "--json"}, R"({"summary": "a", "content": ""})", "PL-2000: content must not be empty\n"},
      {{"note", "create", "--json"}, "", "PL-2000: invalid JSON on stdin: EOF while parsing a value at line 1 column 0\n"},
      {{"note"}, "", "PL-2000: missing argument\n"},
      {{"note", "Create"}, "", "PL-2000: unknown note subcommand 'Create' (try: create, list, get, update, delete, search)\n"},
      {{"memory", "list"}, "", "PL-2000: unknown memory subcommand 'list' (try: create, list, get, update, delete, search)\n"},
      {{"note", "--json", "create"}, "",
       "PL-2000: unknown note subcommand '--json' (try: create, list, get, update, delete, search)\n"},
      {{"note", "create", "extra"}, "", "PL-2000: unexpected: Value(\"extra\")\n"},
      {{"note", "create", "-s"}, "", "PL-2000: unexpected: Short('s')\n"},
      {{"note", "create", "--json=yes"}, "", "PL-2000: unexpected argument for option '--json': \"yes\"\n"},
      {{"note", "get"}, "", "PL-2000: missing <query> (try: pellucor-cli note get \"title\")\n"},
      {{"memory", "delete", "--fuzzy"}, "", "PL-2000: missing <query> (try: pellucor-cli memory delete \"title\")\n"},
      {{"note", "get", "a", "--field", "x"}, "", "PL-2000: unexpected: Long(\"field\")\n"},
      {{"memory", "search", "--limit", "5"}, "",
       "PL-2000: --vector-file is required (base64-encoded embedding; not on argv)\n"},
      {{"memory", "search", "--vector-file", vec, "--limit", "0"}, "", "PL-2000: --limit must be between 1 and 50\n"},
      {{"memory", "search", "--vector-file", vec, "--limit", "51"}, "", "PL-2000: --limit must be between 1 and 50\n"},
      {{"memory", "search", "--limit", "-1", "--vector-file", vec}, "", "PL-2000: --limit: not a number: -1\n"},
      {{"memory", "search", "--limit", "7x"}, "", "PL-2000: --limit: not a number: 7x\n"},
      {{"memory", "search", "--limit", "4294967296"}, "", "PL-2000: --limit: not a number: 4294967296\n"},
      {{"memory", "search", "--limit", "+"}, "", "PL-2000: --limit: not a number: +\n"},
      {{"memory", "search", "--vector-file", vec, "q"}, "", "PL-2000: unexpected: Value(\"q\")\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    expect_refused(run(c.args, c.stdin_data), c.err);
  }
  EXPECT_EQ(actions(), std::vector<std::string>{});
}

TEST_F(TextEntries, UpdateRefusesWhatItCannotRewrite) {
  // A tier-1 content cannot be kept as a secret: refused even with a new one.
  SeedEntry plain("Plain", "note");
  plain.fields = {{"summary", "Plain", "text", 2}, {"content", "clear text", "text", 1}};
  vault_->add_entry(plain);
  expect_refused(run({"note", "update", "Plain", "--content-file", file("c", "new")}),
                 "PL-2050: cannot update: existing entry has no L2 field 'content'\n");

  // A stored secret this key cannot open is not overwritten.
  SeedEntry corrupt("Corrupt", "note");
  corrupt.fields = {{"summary", "AAAA", "text", 2, true}, {"content", "x", "text", 2}};
  vault_->add_entry(corrupt);
  expect_refused(run({"note", "update", "Corrupt", "--summary-file", file("s", "new")}),
                 "PL-2049: cannot update: existing 'summary' is unreadable (" + format_context_error(err::PL_0010) +
                     ")\n");

  // An entry without a data block.
  vault_->add_raw_entry(json{{"title", "Bare"}, {"type", "note"}});
  expect_refused(run({"note", "update", "Bare", "--status", "active"}),
                 "PL-2021: entry response had no data block\n");
  EXPECT_THAT(actions(), ::testing::Not(::testing::Contains("entry.upsert")));
}

TEST_F(TextEntries, OtherKindIsRefusedWhenTheVaultIgnoresTheTypeFilter) {
  const std::string id = seed_text_entry("NOTE", "Shared", "body");
  // A vault that answers every title search with this entry, whatever the type.
  vault_->on("search.query", [id](const json&) {
    return VaultReply::success(json::array({{{"entry_id", id}, {"title", "Shared"}, {"type", "NOTE"}}}));
  });
  const std::string refusal =
      "PL-2000: entry is type 'NOTE', not 'memory' \u2014 refuse cross-type memory on this entry\n";
  expect_refused(run({"memory", "update", "Shared", "--status", "active"}), refusal);
  expect_refused(run({"memory", "get", "Shared"}), refusal);
  expect_refused(run({"memory", "delete", "Shared"}), refusal);
  EXPECT_THAT(actions(), ::testing::Not(::testing::Contains("entry.upsert")));
  EXPECT_THAT(actions(), ::testing::Not(::testing::Contains("entry.delete")));
  EXPECT_TRUE(vault_->entry(id).has_value());

  // --json shows the entry as it is, whatever its type.
  auto raw = run({"memory", "get", "Shared", "--json"});
  ASSERT_TRUE(raw.exited_with(0)) << raw.err;
  EXPECT_THAT(raw.out, ::testing::HasSubstr("\"type\": \"NOTE\""));

  // The kind matches in any case; an entry without any type is accepted.
  auto same_kind = run({"note", "update", "Shared", "--status", "active"});
  EXPECT_TRUE(same_kind.exited_with(0)) << same_kind.err;
  json untyped = vault_->entry(id)->at("data");
  untyped.erase("type");
  const std::string untyped_id = vault_->add_raw_entry(json{{"title", "Shared"}, {"data", untyped}});
  vault_->on("search.query", [untyped_id](const json&) {
    return VaultReply::success(json::array({{{"entry_id", untyped_id}, {"title", "Shared"}}}));
  });
  auto no_type = run({"memory", "update", "Shared", "--status", "archived"});
  EXPECT_TRUE(no_type.exited_with(0)) << no_type.err;
  EXPECT_EQ(last_upsert()["type"], "memory");
}

TEST_F(TextEntries, GetShowsPlaceholdersAndSanitisesContent) {
  SeedEntry broken("Broken", "note");
  broken.fields = {{"summary", "AAAA", "text", 2, true},
                   {"status", "active"},
                   {"content", "not base64!", "text", 2, true}};
  vault_->add_entry(broken);
  auto r = run({"note", "get", "Broken", "--full"});
  ASSERT_TRUE(r.exited_with(0)) << r.err;
  EXPECT_EQ(r.out, "Summary: [decrypt failed]\nStatus: active\n\n[content: decrypt failed]\n");

  // Without --full the content is never looked at.
  auto brief = run({"note", "get", "Broken"});
  ASSERT_TRUE(brief.exited_with(0)) << brief.err;
  EXPECT_EQ(brief.out, "Summary: [decrypt failed]\nStatus: active\n");

  // A tier-1 summary is shown as stored; no status field, no status line;
  // control characters of the content are filtered, line breaks kept.
  SeedEntry plain("Plain", "memory");
  plain.fields = {{"summary", "plain summary"}, {"content", "a\x1b[2Jb\nc\u202Ed", "text", 2}};
  vault_->add_entry(plain);
  auto p = run({"memory", "get", "Plain", "--full"});
  ASSERT_TRUE(p.exited_with(0)) << p.err;
  EXPECT_EQ(p.out, "Summary: plain summary\n\na[2Jb\ncd\n");
}

TEST_F(TextEntries, SearchRanksTheKindsEmbeddings) {
  auto seed = [&](const std::string& kind, const std::string& summary, std::initializer_list<float> v) {
    return seed_text_entry(kind, summary, "c", {{"embeddings", embedding_text(v), "binary"}, {"embedding_model", "mini"}});
  };
  const std::string near = seed("memory", "Nearest", {1, 0});
  const std::string mid = seed("memory", "Middle", {1, 1});
  seed("memory", "Far", {3, 0});
  seed("note", "A note, same place", {1, 0});

  const std::string query = embedding_text({1, 0});
  auto r = run({"memory", "search", "--vector-file", "-", "--limit", "+2"}, query + "\n");
  ASSERT_TRUE(r.exited_with(0)) << r.err;
  EXPECT_EQ(r.out, near + "\t0.0000\t[mini]\tNearest\n" + mid + "\t1.0000\t[mini]\tMiddle\n");
  const auto calls = vault_->calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].action, "search.similar");
  EXPECT_EQ(calls[0].content, (json{{"vector", query}, {"limit", 2}, {"category", "memory"}}));
  EXPECT_EQ(calls[1].content, (json{{"id", near}}));
  EXPECT_EQ(calls[2].content, (json{{"id", mid}}));

  // Nothing of the asked length: no hits, the kind word then "s".
  const std::string other = file("v3", embedding_text({1, 0, 0}));
  auto none = run({"memory", "search", "--vector-file", other});
  ASSERT_TRUE(none.exited_with(0)) << none.err;
  EXPECT_EQ(none.out, "No similar memorys found.\n");
}

// A search row is four tab-separated columns whatever the vault sends: a tab
// inside a cell (the id, the model, the shown summary or title) is a blank.
TEST_F(TextEntries, SearchRowKeepsItsFourColumns) {
  const std::string summary_id = seed_text_entry("memory", "sum\tmary", "c");
  const std::string title_id = vault_->add_raw_entry({{"title", "ti\ttle"}, {"type", "memory"}});
  const json hits = json::array({
      {{"entry_id", summary_id}, {"distance", 0}, {"embedding_model", "m]\t0.0000\t[forged"}},
      {{"entry_id", title_id}, {"distance", 1}, {"embedding_model", "m"}},
      {{"entry_id", "e\tf"}, {"distance", 2}, {"embedding_model", "m"}},
  });
  vault_->on("search.similar", [hits](const json&) { return VaultReply::success(hits); });

  auto r = run({"memory", "search", "--vector-file", file("vec", "AAAAAA==")});
  ASSERT_TRUE(r.exited_with(0)) << r.err;
  EXPECT_EQ(r.out, summary_id + "\t0.0000\t[m] 0.0000 [forged]\tsum mary\n" +  //
                       title_id + "\t1.0000\t[m]\tti tle\n" +                   //
                       "e f\t2.0000\t[m]\te f\n");
  for (std::size_t start = 0; start < r.out.size();) {
    const std::size_t end = r.out.find('\n', start);
    const std::string row = r.out.substr(start, end - start);
    EXPECT_EQ(std::count(row.begin(), row.end(), '\t'), 3) << row;
    start = end + 1;
  }
}

TEST_F(TextEntries, SearchPrintsEveryHitItGets) {
  const std::string alpha = seed_text_entry("memory", "Alpha", "c");
  SeedEntry titled("Only a title", "memory");
  titled.fields = {{"status", "draft"}};
  const std::string title_only = vault_->add_entry(titled);
  const json hits = json::array({
      {{"entry_id", alpha}, {"distance", 2}, {"embedding_model", "m\x1b[31m"}},  // integer distance
      {{"distance", 0.123456}},                                                 // no id, no model
      {{"entry_id", "ffffffffffffffff"}, {"distance", 1.5}, {"embedding_model", "m"}},  // fetch fails
      {{"entry_id", title_only}, {"distance", -0.00004}, {"embedding_model", "m"}},
  });
  vault_->on("search.similar", [hits](const json&) { return VaultReply::success(hits); });
  const std::string vec = file("vec", "AAAAAA==");

  auto r = run({"memory", "search", "--vector-file", vec});
  ASSERT_TRUE(r.exited_with(0)) << r.err;
  EXPECT_EQ(r.out, alpha + "\t2.0000\t[m[31m]\tAlpha\n" +
                       "?\t0.1235\t[?]\t?\n"
                       "ffffffffffffffff\t1.5000\t[m]\tffffffffffffffff\n" +
                       title_only + "\t-0.0000\t[m]\tOnly a title\n");
  EXPECT_EQ(actions(), (std::vector<std::string>{"search.similar", "entry.get", "entry.get", "entry.get", "entry.get"}));
  EXPECT_EQ(vault_->calls()[2].content, (json{{"id", "?"}}));
  EXPECT_EQ(vault_->calls()[0].content["limit"], 10);

  // A result that is not a list has no hits.
  vault_->on("search.similar", [](const json&) { return VaultReply::success(json{{"hits", json::array()}}); });
  auto odd = run({"note", "search", "--vector-file", vec});
  ASSERT_TRUE(odd.exited_with(0)) << odd.err;
  EXPECT_EQ(odd.out, "No similar notes found.\n");
}

}  // namespace
}  // namespace pellucor
