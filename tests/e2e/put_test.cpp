// Creating entries end to end: put through the real binary against the local
// test gate, from options and from JSON on stdin, checked at the vault that
// received the "entry.upsert" and read back with get.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "cli/schema.h"
#include "crypto/field_keys.h"
#include "tests/support/enrolled_cli.h"

namespace pellucor {
namespace {

using ::testing::HasSubstr;
using nlohmann::json;

constexpr const char* kCredentialOptions = "--notes-file, --password-file, --totp-file, --urls, --username";

class Put : public testing::EnrolledCli {
 protected:
  L2Key l2() const {
    auto bytes = decode_hex_16_bytes(agent_.l2);
    EXPECT_TRUE(bytes.has_value());
    return make_l2_key(bytes->span());
  }

  // The argument of every "entry.upsert" the vault received.
  std::vector<json> upserts() const {
    std::vector<json> out;
    for (const auto& c : vault_->calls()) {
      if (c.action == "entry.upsert") out.push_back(c.content);
    }
    return out;
  }

  // `body` with every tier-2 value replaced by its plaintext under the
  // agent's key and the field's label ("<undecryptable>" when it does not
  // open), so bodies can be compared with plaintext expectations.
  json opened(json body) const {
    const L2Key key = l2();
    for (json& f : body["data"]["fields"]) {
      if (f.value("tier", 0) != 2) continue;
      const std::string sealed = f["value"].get<std::string>();
      auto plain = decrypt_field(key, f["label"].get<std::string>(), sealed);
      f["value"] = plain ? std::string(plain->view()) : std::string("<undecryptable>");
    }
    return body;
  }

  static void expect_refused(const test::RunResult& r, const std::string& err) {
    EXPECT_TRUE(r.exited_with(1)) << err;
    EXPECT_EQ(r.err, err + "\n");
    EXPECT_EQ(r.out, "");
  }

  // Not a single request reached the gate.
  void expect_nothing_sent() const {
    EXPECT_TRUE(vault_->calls().empty());
    EXPECT_TRUE(gate_->requests().empty());
  }

};

json field(const char* label, const char* value, const char* kind, int tier) {
  return {{"label", label}, {"value", value}, {"kind", kind}, {"tier", tier}};
}

json body(const char* title, const char* type, json fields, std::optional<json> urls = std::nullopt) {
  json data = {{"title", title}, {"type", type}, {"fields", std::move(fields)}};
  if (urls) data["urls"] = *urls;
  return {{"title", title}, {"type", type}, {"data", std::move(data)}};
}

TEST_F(Put, FlagPathBodies) {
  const std::string notes = file("notes.txt", "line one\nline two\r\n\n");
  const std::string user = file("user.txt", "octocat\n");
  struct Case {
    std::vector<std::string> args;
    std::string stdin_data;
    json expected;  // tier-2 values as plaintext
  } cases[] = {
      {{"put", "credential", "GitHub", "--username", "octocat", "--password-file", "-", "--urls",
        "https://github.com/login", "--notes-file", notes},
       "hunter2\n",
       body("GitHub", "credential",
            {field("Notes", "line one\nline two", "text", 2), field("Password", "hunter2", "password", 2),
             field("URLs", "https://github.com/login", "textarea", 1), field("Username", "octocat", "text", 1)},
            json{"https://github.com/login"})},
      // A non-secret field may come from a file too; it stays tier 1.
      {{"put", "credential", "Mail", "--username-file", user}, "", body("Mail", "credential",
                                                                        {field("Username", "octocat", "text", 1)})},
      // A later option replaces an earlier one; an attached value counts.
      {{"put", "credential", "Twice", "--username", "first", "--username=second"}, "",
       body("Twice", "credential", {field("Username", "second", "text", 1)})},
      // An empty value is left out.
      {{"put", "credential", "Empty", "--username", "", "--password-file", "-"}, "\n",
       body("Empty", "credential", json::array())},
      // The alias is resolved; the type keeps the user's capitals.
      {{"put", "api", "OpenAI", "--key-file", "-", "--endpoint", "https://api.openai.com"}, "sk-123",
       body("OpenAI", "api_key",
            {field("Endpoint", "https://api.openai.com", "url", 1), field("Key", "sk-123", "password", 2)})},
      {{"put", "Credential", "Caps", "--username", "u"}, "",
       body("Caps", "Credential", {field("Username", "u", "text", 1)})},
      // URLs are one text, not split; a note has no urls field.
      {{"put", "note", "Links", "--urls", "https://a.test, https://b.test c"}, "",
       body("Links", "note", json::array(), json{"https://a.test, https://b.test c"})},
      // Whatever follows the type is the title.
      {{"put", "note", "--username"}, "", body("--username", "note", json::array())},
      // Schema tier 3 goes out as tier 2.
      {{"put", "card", "Visa", "--number-file", "-", "--brand", "visa"}, "4111111111111111\n",
       body("Visa", "card", {field("Brand", "visa", "text", 1), field("Number", "4111111111111111", "password", 2)})},
      {{"put", "ssh", "Deploy", "--public_key", "ssh-ed25519 AAAA", "--private_key-file", "-"}, "-----BEGIN-----\n",
       body("Deploy", "ssh_key",
            {field("Private Key", "-----BEGIN-----", "password", 2),
             field("Public Key", "ssh-ed25519 AAAA", "textarea", 1)})},
  };
  for (const Case& c : cases) {
    const std::size_t before = upserts().size();
    auto r = run(c.args, c.stdin_data);
    ASSERT_TRUE(r.exited_with(0)) << c.args[2] << ": " << r.err;
    EXPECT_EQ(r.out, "OK: Created: " + c.args[2] + "\n");
    EXPECT_EQ(r.err, "");
    const auto sent = upserts();
    ASSERT_EQ(sent.size(), before + 1) << c.args[2];
    EXPECT_EQ(opened(sent.back()), c.expected) << c.args[2];
  }
}

TEST_F(Put, PasswordFromStdinLeavesOnlyAsCiphertext) {
  auto r = run({"put", "credential", "GitHub", "--password-file", "-"}, "correct horse\r\n");
  ASSERT_TRUE(r.exited_with(0)) << r.err;
  const auto sent = upserts();
  ASSERT_EQ(sent.size(), 1u);
  const json& f = sent[0]["data"]["fields"][0];
  EXPECT_EQ(f["label"], "Password");
  EXPECT_EQ(f["tier"], 2);
  const std::string sealed = f["value"].get<std::string>();
  EXPECT_EQ(sent[0].dump().find("correct horse"), std::string::npos);
  // base64 of nonce 12 + 13 bytes + tag 16.
  EXPECT_EQ(sealed.size(), 56u);
  auto plain = decrypt_field(l2(), "Password", sealed);
  ASSERT_TRUE(plain.has_value());
  EXPECT_EQ(plain->view(), "correct horse");
  // Under any other label it does not open.
  EXPECT_FALSE(decrypt_field(l2(), "password", sealed).has_value());
}

TEST_F(Put, FlagPathRefusalsSendNothing) {
  struct Case {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"put"},
       "PL-2000: missing <type> (available: api_key, card, credential, crypto_wallet, custom, database, identity, "
       "note, server, software_license, ssh_key, totp, wifi)"},
      {{"put", "-x", "credential"}, "PL-2000: unexpected: Short('x')"},
      {{"put", "--password-file", "-", "credential"}, "PL-2000: unexpected: Long(\"password-file\")"},
      {{"put", "ssh_keys", "T"},
       "PL-2080: unknown type 'ssh_keys' (available: api_key, card, credential, crypto_wallet, custom, database, "
       "identity, note, server, software_license, ssh_key, totp, wifi)"},
      {{"put", "credential"}, "PL-2000: missing argument"},
      {{"put", "credential", "T", "extra"}, "PL-2000: unexpected: Value(\"extra\")"},
      {{"put", "credential", "T", "-u", "me"}, "PL-2000: unexpected: Short('u')"},
      {{"put", "credential", "T", "--username"}, "PL-2000: missing argument for option '--username'"},
      {{"put", "credential", "T", "--password", "hunter2"},
       "PL-2000: --password is a secret field and must not appear on the command line; use --password-file PATH "
       "(or - for stdin), or put --json on stdin"},
      {{"put", "credential", "T", "--password=hunter2"},
       "PL-2000: --password is a secret field and must not appear on the command line; use --password-file PATH "
       "(or - for stdin), or put --json on stdin"},
      {{"put", "credential", "T", "--notes", "n"},
       "PL-2000: --notes is a secret field and must not appear on the command line; use --notes-file PATH "
       "(or - for stdin), or put --json on stdin"},
      {{"put", "card", "T", "--cvv", "123"},
       "PL-2000: --cvv is a secret field and must not appear on the command line; use --cvv-file PATH "
       "(or - for stdin), or put --json on stdin"},
      // The refusal comes before anything else of the line is read.
      {{"put", "credential", "T", "--password", "hunter2", "--password-file", "/nonexistent"},
       "PL-2000: --password is a secret field and must not appear on the command line; use --password-file PATH "
       "(or - for stdin), or put --json on stdin"},
      {{"put", "credential", "T", "--json"},
       std::string("PL-2000: --json is not valid for type 'credential'. Use: ") + kCredentialOptions},
      {{"put", "credential", "T", "--title", "x"},
       std::string("PL-2000: --title is not valid for type 'credential'. Use: ") + kCredentialOptions},
      {{"put", "credential", "T", "--Password", "x"},
       std::string("PL-2000: --Password is not valid for type 'credential'. Use: ") + kCredentialOptions},
      {{"put", "api", "T", "--secret", "x"},
       "PL-2000: --secret is not valid for type 'api_key'. Use: --endpoint, --key-file, --notes-file, --usage"},
      {{"put", "note", "T", "--urls-file", "-"},
       "PL-2000: --urls-file is not valid for type 'note'. Secret fields use --<field>-file (e.g. --password-file)"},
      {{"put", "credential", "T", "--password-file"}, "PL-2000: missing argument for option '--password-file'"},
      {{"put", "credential", "T", "--password-file", "/nonexistent/pw"},
       "PL-2111: opening /nonexistent/pw: No such file or directory (os error 2)"},
  };
  for (const Case& c : cases) expect_refused(run(c.args, "stdin-secret\n"), c.err);
  expect_nothing_sent();
}

TEST_F(Put, JsonPathBodies) {
  struct Case {
    std::vector<std::string> args;
    json input;
    json expected;
  } cases[] = {
      {{"put", "--json"},
       {{"type", "credential"},
        {"title", "GitHub"},
        {"username", "octocat"},
        {"password", "hunter2"},
        {"totp", nullptr},
        {"notes", ""},
        {"urls", "https://github.com, https://gist.github.com"}},
       body("GitHub", "credential",
            {field("Password", "hunter2", "password", 2),
             field("URLs", "https://github.com, https://gist.github.com", "textarea", 1),
             field("Username", "octocat", "text", 1)},
            json{"https://github.com, https://gist.github.com"})},
      // A positional after --json is not looked at; an array of URLs goes
      // out as given.
      {{"put", "--json", "ignored", "--whatever"},
       {{"type", "note"}, {"title", "Links"}, {"notes", "n"}, {"urls", {"https://a.test", 7}}},
       body("Links", "note", {field("Notes", "n", "text", 2)}, json{"https://a.test", 7})},
      // "type" is the entry type, never also the value of the database's
      // field of that name.
      {{"put", "--json"},
       {{"type", "database"}, {"title", "Orders DB"}, {"host", "db.internal"}},
       body("Orders DB", "database", {field("Host", "db.internal", "text", 1)})},
      // Other url values are dropped; the type keeps its capitals.
      {{"put", "--json"},
       {{"type", "API_KEY"}, {"title", "OpenAI"}, {"key", "sk-1"}, {"urls", 3}},
       body("OpenAI", "API_KEY", {field("Key", "sk-1", "password", 2)})},
  };
  for (const Case& c : cases) {
    const std::size_t before = upserts().size();
    auto r = run(c.args, c.input.dump());
    ASSERT_TRUE(r.exited_with(0)) << c.input.dump() << ": " << r.err;
    EXPECT_EQ(r.out, "OK: Created: " + c.input["title"].get<std::string>() + "\n");
    const auto sent = upserts();
    ASSERT_EQ(sent.size(), before + 1);
    EXPECT_EQ(opened(sent.back()), c.expected) << c.input.dump();
  }
}

TEST_F(Put, JsonPathRefusals) {
  struct Case {
    std::string input;
    std::string err;
  } cases[] = {
      {"", "PL-2000: invalid JSON: EOF while parsing a value at line 1 column 0"},
      {"{\"type\": \"note\",}", "PL-2000: invalid JSON: trailing comma at line 1 column 17"},
      {"[\"note\", \"T\"]", "PL-2000: JSON missing \"type\" field"},
      {"{\"title\": \"T\"}", "PL-2000: JSON missing \"type\" field"},
      {"{\"type\": 1, \"title\": \"T\"}", "PL-2000: JSON missing \"type\" field"},
      {"{\"type\": \"note\"}", "PL-2000: JSON missing \"title\" field"},
      {"{\"type\": \"note\", \"title\": null}", "PL-2000: JSON missing \"title\" field"},
      // No aliases on this path.
      {"{\"type\": \"api\", \"title\": \"T\"}",
       "PL-2080: unknown type 'api' (available: api_key, card, credential, crypto_wallet, custom, database, "
       "identity, note, server, software_license, ssh_key, totp, wifi)"},
      {"{\"type\": \"credential\", \"title\": \"T\", \"pasword\": \"x\", \"zz\": 1}",
       "PL-2000: unknown key 'pasword' for type 'credential' \u2014 a typo would silently lose the value"},
      {"{\"type\": \"credential\", \"title\": \"T\", \"Password\": \"x\"}",
       "PL-2000: unknown key 'Password' for type 'credential' \u2014 a typo would silently lose the value"},
      {"{\"type\": \"credential\", \"title\": \"T\", \"password\": 1234}",
       "PL-2000: field 'password' must be a JSON string (got number) \u2014 quote the value"},
      {"{\"type\": \"credential\", \"title\": \"T\", \"username\": \"u\", \"password\": \"p\", \"urls\": [\"a\"]}",
       "PL-2000: field 'urls' must be a JSON string (got array) \u2014 quote the value"},
      {"{\"type\": \"wifi\", \"title\": \"T\", \"security\": true}",
       "PL-2000: field 'security' must be a JSON string (got bool) \u2014 quote the value"},
      {"{\"type\": \"wifi\", \"title\": \"T\", \"ssid\": {}}",
       "PL-2000: field 'ssid' must be a JSON string (got object) \u2014 quote the value"},
      {std::string(262145, ' '), "PL-2110: stdin exceeds 262144 bytes (refuse to buffer unbounded input)"},
  };
  for (const Case& c : cases) expect_refused(run({"put", "--json"}, c.input), c.err);
  expect_nothing_sent();
}

TEST_F(Put, CreatedFalseMeansUpdated) {
  json reply;
  vault_->on("entry.upsert", [&reply](const json&) { return testing::VaultReply::success(reply); });
  const std::pair<json, std::string> cases[] = {
      {{{"created", false}}, "OK: Updated: T\n"},
      {{{"created", true}}, "OK: Created: T\n"},
      {{{"created", "no"}}, "OK: Created: T\n"},
      {json::object(), "OK: Created: T\n"},
      {json::array(), "OK: Created: T\n"},
  };
  for (const auto& [answer, out] : cases) {
    reply = answer;
    auto r = run({"put", "note", "T"});
    EXPECT_TRUE(r.exited_with(0)) << r.err;
    EXPECT_EQ(r.out, out) << answer.dump();
  }
  auto json_path = run({"put", "--json"}, R"({"type": "note", "title": "T"})");
  EXPECT_EQ(json_path.out, "OK: Created: T\n");
}

TEST_F(Put, GateRefusalIsReported) {
  vault_->on("entry.upsert", [](const json&) { return testing::VaultReply::failure("QUOTA", "write quota reached"); });
  auto r = run({"put", "note", "T"});
  EXPECT_TRUE(r.exited_with(1));
  EXPECT_THAT(r.err, HasSubstr("write quota reached"));
  EXPECT_EQ(r.out, "");
}

TEST_F(Put, PutThenGetShowsThePlaintext) {
  ASSERT_TRUE(run({"put", "credential", "GitHub", "--username", "octocat", "--password-file", "-", "--urls",
                   "https://github.com"},
                  "hunter2\n")
                  .exited_with(0));
  ASSERT_TRUE(run({"put", "--json"}, R"({"type": "ssh_key", "title": "Deploy", "private_key": "PRIVATE",
                  "passphrase": "open sesame", "public_key": "ssh-ed25519 AAAA"})")
                  .exited_with(0));
  ASSERT_TRUE(run({"put", "card", "Visa", "--number-file", "-"}, "4111111111111111").exited_with(0));

  auto cred = run({"get", "GitHub"});
  ASSERT_TRUE(cred.exited_with(0)) << cred.err;
  EXPECT_EQ(cred.out,
            "Password: hunter2\n"
            "URLs: https://github.com\n"
            "Username: octocat\n"
            "url: https://github.com\n");
  auto pw = run({"get", "github", "--field", "password"});
  EXPECT_EQ(pw.out, "hunter2");

  auto ssh = run({"get", "Deploy"});
  ASSERT_TRUE(ssh.exited_with(0)) << ssh.err;
  EXPECT_EQ(ssh.out,
            "Passphrase: open sesame\n"
            "Private Key: PRIVATE\n"
            "Public Key: ssh-ed25519 AAAA\n");
  auto card = run({"get", "Visa", "--field", "number"});
  EXPECT_EQ(card.out, "4111111111111111");
}

// Every type of the schema, every field of it set: once from options (secret
// fields through files) and once from JSON; both arrive with the same fields,
// and get shows every value back.
TEST_F(Put, EveryTypeFromOptionsAndFromJson) {
  force_entry_schema();
  for (std::string_view type_name : sorted_type_names()) {
    const std::string type(type_name);
    const EntryType* def = find_entry_type(type);
    ASSERT_NE(def, nullptr);
    std::vector<std::string> args = {"put", type, "Flags " + type};
    json input = {{"type", type}, {"title", "Json " + type}};
    json fields = json::array();
    std::string listing;
    for (const NamedField& f : sorted_field_names(*def)) {
      const std::string name(f.name);
      const std::string value = "v-" + name + "-" + type;
      if (f.def->tier > 1) {
        args.push_back("--" + name + "-file");
        args.push_back(file(type + "." + name, value + "\n"));
      } else {
        args.push_back("--" + name);
        args.push_back(value);
      }
      // In JSON "type" is the entry type; a field of that name is set from
      // options only.
      if (name != "type") input[name] = value;
      fields.push_back({{"label", f.def->label}, {"value", value}, {"kind", f.def->kind},
                        {"tier", f.def->tier > 1 ? 2 : 1}});
      listing += f.def->label + ": " + value + "\n";
    }
    const std::string url = "https://example.test/" + type;
    if (!def->fields.contains("urls")) {
      args.insert(args.end(), {"--urls", url});
      input["urls"] = url;
    }
    listing += "url: " + (def->fields.contains("urls") ? "v-urls-" + type : url) + "\n";

    auto flags = run(args);
    ASSERT_TRUE(flags.exited_with(0)) << type << ": " << flags.err;
    auto from_json = run({"put", "--json"}, input.dump());
    ASSERT_TRUE(from_json.exited_with(0)) << type << ": " << from_json.err;

    const auto sent = upserts();
    ASSERT_GE(sent.size(), 2u);
    const json by_options = opened(sent[sent.size() - 2]);
    const json by_json = opened(sent.back());
    EXPECT_EQ(by_options["data"]["fields"], fields) << type;
    json json_fields = json::array();
    for (const json& f : fields) {
      if (f["label"] != "Type") json_fields.push_back(f);
    }
    EXPECT_EQ(by_json["data"]["fields"], json_fields) << type;
    for (const json& b : {by_options, by_json}) {
      EXPECT_EQ(b["type"], type);
      EXPECT_EQ(b["data"]["urls"].size(), 1u) << type;
    }

    auto shown = run({"get", "Flags " + type});
    ASSERT_TRUE(shown.exited_with(0)) << type << ": " << shown.err;
    EXPECT_EQ(shown.out, listing) << type;
  }
}

}  // namespace
}  // namespace pellucor
