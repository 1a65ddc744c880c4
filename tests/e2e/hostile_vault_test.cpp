// A hostile vault end to end: whatever text it sends, nothing that reaches
// the terminal can steer it (escape sequences, C1 controls, bidirectional
// overrides), every failure is exactly one error line, and a search never
// makes more calls than its limit allows.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "gate/config_file.h"
#include "tests/support/enrolled_cli.h"
#include "tests/support/process.h"

namespace pellucor {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using ::testing::StartsWith;
using testing::SeedEntry;
using testing::VaultReply;

// Text a vault should never get onto the screen: an OSC 52 clipboard write,
// a C1 CSI, a right-to-left override, a left-to-right isolate, DEL and a
// carriage return.
const std::string kSteering = "\x1b]52;c;cHduZWQ=\x07\xc2\x9b" "31m\xe2\x80\xae\xe2\x81\xa6\x7f\r";
// What is left of it once filtered; inside an error line, where the carriage
// return became a blank.
const std::string kSteeringFiltered = "]52;c;cHduZWQ=31m";
const std::string kSteeringOneLine = kSteeringFiltered + " ";

// terminal_control: a description of the first byte sequence in `text` that
// can steer a terminal (a C0 control other than tab and line feed, DEL, a C1
// control or a bidirectional control), or empty when there is none.
std::string terminal_control(std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto b = static_cast<unsigned char>(text[i]);
    const auto next = [&](std::size_t k) { return i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0; };
    const std::string at = " at byte " + std::to_string(i);
    if ((b < 0x20 && b != '\t' && b != '\n') || b == 0x7F) return "control " + std::to_string(b) + at;
    if (b == 0xC2 && next(1) >= 0x80 && next(1) <= 0x9F) return "C1 control" + at;
    if (b == 0xE2 && next(1) == 0x80 && next(2) >= 0xAA && next(2) <= 0xAE) return "bidi embedding" + at;
    if (b == 0xE2 && next(1) == 0x81 && next(2) >= 0xA6 && next(2) <= 0xA9) return "bidi isolate" + at;
  }
  return {};
}

void expect_no_terminal_control(const test::RunResult& r) {
  EXPECT_EQ(terminal_control(r.out), "") << "stdout: " << r.out;
  EXPECT_EQ(terminal_control(r.err), "") << "stderr: " << r.err;
}

class HostileVault : public testing::EnrolledCli {
 protected:
  // The vault answers every title search with the entry `id`.
  void every_search_finds(const std::string& id) {
    vault_->on("search.query", [id](const json&) {
      return VaultReply::success(json::array({{{"entry_id", id}, {"title", "x"}}}));
    });
  }
};

TEST_F(HostileVault, TotpCodeIsFiltered) {
  SeedEntry e("Bank 2FA", "totp");
  vault_->add_entry(e);
  vault_->on("ext.totp", [](const json&) {
    return VaultReply::success({{"code", "123456" + kSteering}, {"expires_in", 30}});
  });
  auto r = run({"totp", "Bank 2FA"});
  ASSERT_TRUE(r.exited_with(0)) << r.err;
  EXPECT_EQ(r.out, "123456" + kSteeringOneLine + "\n");
  EXPECT_EQ(r.err, "");
  expect_no_terminal_control(r);
}

// Vault text shown inside one line (a code, a row, a label, a header line)
// cannot add lines of its own: its line feeds and carriage returns become
// blanks. Values shown as values keep theirs.
TEST_F(HostileVault, TextInsideOneLineStaysOnIt) {
  const std::string forged = "\r\nPL-0000: forged";
  const std::string blanked = "  PL-0000: forged";
  const std::string vec = file("vec", "AAAAAA==");
  const std::vector<std::string> search = {"memory", "search", "--vector-file", vec, "--limit", "1"};
  const auto hits = [this](json hit) {
    vault_->on("search.similar", [hit](const json&) { return VaultReply::success(json::array({hit})); });
  };
  SeedEntry memory("Hit", "memory");
  const std::string hit_id = vault_->add_entry(memory);
  const std::string shown_id = vault_->add_raw_entry({{"title", "Shown" + forged}, {"type", "memory"}});

  struct Case {
    const char* name;
    std::function<void()> arrange;
    std::vector<std::string> args;
    std::string out;
    std::size_t lines;
  };
  const Case cases[] = {
      {"totp code",
       [&] {
         every_search_finds(vault_->add_entry(SeedEntry("Bank 2FA", "totp")));
         vault_->on("ext.totp", [&](const json&) { return VaultReply::success({{"code", "123456" + forged}}); });
       },
       {"totp", "Bank 2FA"},
       "123456" + blanked + "\n",
       1},
      {"embedding model of a search hit",
       [&] { hits({{"entry_id", hit_id}, {"distance", 0}, {"embedding_model", "m" + forged}}); },
       search,
       hit_id + "\t0.0000\t[m" + blanked + "]\tHit\n",
       1},
      {"entry id of a search hit",
       [&] { hits({{"entry_id", "e" + forged}, {"distance", 0}, {"embedding_model", "m"}}); },
       search,
       "e" + blanked + "\t0.0000\t[m]\te" + blanked + "\n",
       1},
      {"display text of a search hit",
       [&] { hits({{"entry_id", shown_id}, {"distance", 0}, {"embedding_model", "m"}}); },
       search,
       shown_id + "\t0.0000\t[m]\tShown" + blanked + "\n",
       1},
      {"field label in a listing, beside a value of two lines",
       [&] {
         SeedEntry e("Listing", "credential");
         e.fields = {{"a" + forged, "v"}, {"b", "one\ntwo"}};
         every_search_finds(vault_->add_entry(e));
       },
       {"get", "Listing"},
       "a" + blanked + ": v\nb: one\ntwo\n",
       3},
      {"summary and status of a note",
       [&] {
         const json fields = json::array({{{"label", "summary"}, {"value", "s" + forged}, {"tier", 1}},
                                          {{"label", "status"}, {"value", "active" + forged}, {"tier", 1}}});
         every_search_finds(vault_->add_raw_entry({{"title", "Memo"}, {"type", "note"}, {"data", {{"fields", fields}}}}));
       },
       {"note", "get", "Memo"},
       "Summary: s" + blanked + "\nStatus: active" + blanked + "\n",
       2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.arrange();
    auto r = run(c.args);
    ASSERT_TRUE(r.exited_with(0)) << r.err;
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(static_cast<std::size_t>(std::count(r.out.begin(), r.out.end(), '\n')), c.lines) << r.out;
    EXPECT_THAT(r.out, ::testing::Not(::testing::HasSubstr("\nPL-0000")));
    expect_no_terminal_control(r);
  }
}

// Raw values (a field asked for alone, a rendered template) reach a pipe byte
// for byte; on a terminal they pass the same filter as the listing, keeping
// their tabs and line feeds.
TEST_F(HostileVault, RawValuesAreFilteredOnlyOnATerminal) {
  const std::string value = kSteering + "a\tb\x1b[2J\nc";
  const std::string shown = kSteeringFiltered + "a\tb[2J\nc";
  SeedEntry e("Steer", "credential");
  e.fields = {{"token", value, "password", 2}, {"plain", value}};
  vault_->add_entry(e);
  const std::string with_refs = file("app.conf", "t=pellucor://Steer/token\np=pellucor://Steer/plain\n");
  const std::string without_refs = file("plain.txt", "x=" + value + "\n");

  struct Case {
    std::vector<std::string> args;
    std::string raw;
    std::string on_terminal;
  } cases[] = {
      {{"get", "Steer", "--field", "token"}, value, shown},
      {{"get", "Steer", "--field", "plain"}, value, shown},
      {{"render", with_refs}, "t=" + value + "\np=" + value + "\n", "t=" + shown + "\np=" + shown + "\n"},
      {{"render", without_refs}, "x=" + value + "\n", "x=" + shown + "\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    test::RunOptions o = options(c.args);
    const test::RunResult piped = test::run_process(o);
    ASSERT_TRUE(piped.exited_with(0)) << piped.err;
    EXPECT_EQ(piped.out, c.raw);
    o.stdout_mode = test::StdoutMode::Terminal;
    const test::RunResult shown_on_terminal = test::run_process(o);
    ASSERT_TRUE(shown_on_terminal.exited_with(0)) << shown_on_terminal.err;
    EXPECT_EQ(shown_on_terminal.out, c.on_terminal);
    expect_no_terminal_control(shown_on_terminal);
  }
}

TEST_F(HostileVault, JsonOutputEscapesWhatTheTerminalFilterRemoves) {
  const json raw = {{"title", "Evil"},
                    {"type", "note"},
                    {"odd " + kSteering, "value " + kSteering},
                    {"data", {{"fields", json::array({{{"label", "summary"}, {"value", kSteering}, {"tier", 1}}})}}}};
  const std::string id = vault_->add_raw_entry(raw);
  const json events = {{"events", json::array({{{"created_at", 1}, {"action", "read"}, {"title", kSteering}}})}};
  vault_->on("audit.list", [events](const json&) { return VaultReply::success(events); });

  struct Case {
    std::vector<std::string> args;
    json printed;  // the value the output must read back as
  } cases[] = {
      {{"get", "Evil", "--json"}, *vault_->entry(id)},
      {{"note", "get", "Evil", "--json"}, *vault_->entry(id)},
      {{"audit", "--json"}, events},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0]);
    auto r = run(c.args);
    ASSERT_TRUE(r.exited_with(0)) << r.err;
    expect_no_terminal_control(r);
    EXPECT_THAT(r.out, ::testing::HasSubstr("\\u001b]52;c;cHduZWQ=\\u0007\\u009b31m\\u202e\\u2066\\u007f\\r"));
    EXPECT_EQ(json::parse(r.out), c.printed);
  }
}

TEST_F(HostileVault, EveryFailureIsOneErrorLine) {
  const std::string forged = "\nPL-0000: all clear\n";
  struct Case {
    const char* name;
    std::function<void()> arrange;
    std::vector<std::string> args;
    std::string err;  // the whole error output, or its start when `prefix`
    bool prefix = false;
  };
  const Case cases[] = {
      {"gate error reply",
       [&] {
         vault_->on("search.query",
                    [&](const json&) { return VaultReply::failure("E\n42", "denied" + forged + kSteering); });
       },
       {"get", "x"},
       "PL-2047: gate error E 42: denied PL-0000: all clear " + kSteeringOneLine + "\n"},
      {"gate error of a search",
       [&] { vault_->on("search.similar", [&](const json&) { return VaultReply::failure("E", forged); }); },
       {"memory", "search", "--vector-file", file("vec", "AAAAAA==")},
       "PL-2047: gate error E:  PL-0000: all clear \n"},
      {"gate error of audit",
       [&] { vault_->on("audit.list", [&](const json&) { return VaultReply::failure("E", "\r\t" + forged); }); },
       {"audit"},
       "PL-2047: gate error E:    PL-0000: all clear \n"},
      {"label of a field never released",
       [&] {
         SeedEntry e("Vault", "credential");
         e.fields = {{"pin" + forged, "hsm-blob", "password", 3}};
         every_search_finds(vault_->add_entry(e));
       },
       {"get", "Vault", "--field", "pin" + forged},
       "PL-2048: field 'pin PL-0000: all clear ' is L3 \u2014 vault does not release L3 plaintext to agents "
       "(hardware key required)\n"},
      {"label of a field that does not decrypt",
       [&] {
         SeedEntry e("Broken", "credential");
         e.fields = {{"token" + forged, "!!", "password", 2, true}};
         every_search_finds(vault_->add_entry(e));
       },
       {"get", "Broken"},
       "PL-2049: decrypt field 'token PL-0000: all clear ' failed: ",
       true},
      {"entry type of a cross-type refusal",
       [&] { every_search_finds(vault_->add_raw_entry({{"title", "Other"}, {"type", "memory" + forged}})); },
       {"note", "get", "Other"},
       "PL-2000: entry is type 'memory PL-0000: all clear ', not 'note' \u2014 refuse cross-type note on this entry\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.arrange();
    auto r = run(c.args);
    EXPECT_TRUE(r.exited_with(1)) << r.err;
    EXPECT_EQ(r.out, "");
    if (c.prefix) {
      EXPECT_THAT(r.err, StartsWith(c.err));
    } else {
      EXPECT_EQ(r.err, c.err);
    }
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_THAT(r.err, ::testing::EndsWith("\n"));
    expect_no_terminal_control(r);
  }
}

TEST_F(HostileVault, SearchShowsNoMoreHitsThanItsLimit) {
  SeedEntry e("Hit", "memory");
  const std::string id = vault_->add_entry(e);
  // 500 hits, whatever limit was asked for.
  json hits = json::array();
  for (int i = 0; i < 500; ++i) hits.push_back({{"entry_id", id}, {"distance", i}, {"embedding_model", "m"}});
  vault_->on("search.similar", [hits](const json&) { return VaultReply::success(hits); });
  const std::string vec = file("vec", "AAAAAA==");

  struct Case {
    std::vector<std::string> limit;
    std::size_t lines;
  } cases[] = {{{"--limit", "1"}, 1}, {{}, 10}, {{"--limit", "50"}, 50}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lines);
    std::vector<std::string> args = {"memory", "search", "--vector-file", vec};
    args.insert(args.end(), c.limit.begin(), c.limit.end());
    const std::size_t before = gate_->requests().size();
    auto r = run(args);
    ASSERT_TRUE(r.exited_with(0)) << r.err;
    EXPECT_EQ(static_cast<std::size_t>(std::count(r.out.begin(), r.out.end(), '\n')), c.lines);
    EXPECT_THAT(r.out, StartsWith(id + "\t0.0000\t[m]\tHit\n"));
    // The search, then one fetch per hit shown: counted where the gate sees them.
    EXPECT_EQ(gate_->requests().size() - before, c.lines + 1);
  }
}

// repin prints the hosts of the enrolment, which the vault wrote into the
// enrolment blob.
class HostileEnrolment : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/pellucor-hostile-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }

  void enrol(const std::string& vault_url, const std::string& replica_url) {
    Config c;
    c.vault_url = vault_url;
    c.vault_gate_pub = key();
    c.replica_url = replica_url;
    c.replica_gate_pub = key();
    c.vault_id = "0123456789abcdef";
    c.agent_id = "00112233445566778899aabbccddeeff";
    c.l2 = "ffeeddccbbaa99887766554433221100";
    c.device_id = "0f0e0d0c0b0a09080706050403020100";
    ASSERT_TRUE(create_config_folder((dir_ / "pellucor").string()).has_value());
    ASSERT_TRUE(write_config((dir_ / "pellucor" / "config").string(), c).has_value());
  }
  test::RunResult repin(std::vector<std::string> args) {
    args.insert(args.begin(), "repin");
    test::RunOptions o = test::cli_options(std::move(args));
    o.env["XDG_CONFIG_HOME"] = dir_.string();
    o.env["NO_COLOR"] = "1";
    return test::run_process(o);
  }
  // init with an enrolment blob for `agent`, piped with its key.
  test::RunResult init(const testing::EnrolledAgent& agent) {
    const testing::Enrolment e = testing::mint_enrolment(agent);
    test::RunOptions o = test::cli_options({"init"});
    o.stdin_data = e.blob + "\n" + e.key + "\n";
    o.env["XDG_CONFIG_HOME"] = dir_.string();
    o.env["NO_COLOR"] = "1";
    return test::run_process(o);
  }
  static std::string key() { return testing::shared_node_keys()->channel_key_hex(); }

  fs::path dir_;
};

TEST_F(HostileEnrolment, RepinFiltersTheHostsItPrints) {
  enrol("https://home" + kSteering + ".example/x", "https://replica\n" + kSteering + ".example");
  auto r = repin({"--pop-pub", key(), "--replica-pub", key()});
  ASSERT_TRUE(r.exited_with(0)) << r.err;
  EXPECT_EQ(r.out, "repinned: home home" + kSteeringOneLine + ".example, replica replica " + kSteeringOneLine +
                       ".example\n");
  expect_no_terminal_control(r);

  // Its refusals that name the enrolment stay one line too.
  auto refused = repin({"--pop-pub", key()});
  EXPECT_TRUE(refused.exited_with(1));
  EXPECT_EQ(refused.err, "PL-2000: this enrolment has a replica (https://replica " + kSteeringOneLine +
                             ".example): give --replica-pub too, or use --keys\n");
  expect_no_terminal_control(refused);

  const fs::path keys = dir_ / "keys.txt";
  std::ofstream(keys) << "elsewhere.example " << key() << "\n";
  auto unmatched = repin({"--keys", keys.string()});
  EXPECT_TRUE(unmatched.exited_with(1));
  EXPECT_EQ(unmatched.err, "PL-2000: --keys has no key for this enrolment's home POP home]52;c;chduzwq=31m .example\n");
  expect_no_terminal_control(unmatched);
}

// A replica host with line breaks in it is no origin: init refuses it, and
// its refusal shows the host on the one error line.
TEST_F(HostileEnrolment, InitKeepsTheReplicaHostOnItsLine) {
  testing::EnrolledAgent agent = testing::make_agent("vault.example.test", testing::placeholder_channel_key_text());
  agent.replica_host = "replica.example\r\n  Forged: line";
  auto r = init(agent);
  EXPECT_TRUE(r.exited_with(1)) << r.out;
  EXPECT_EQ(r.err, "PL-2001: vault_url is not a clean https origin (got https://replica.example    Forged: line)\n");
  EXPECT_EQ(r.out, "");
  expect_no_terminal_control(r);
}

}  // namespace
}  // namespace pellucor
