// The audit command end to end: the real binary against the local test gate,
// whose vault keeps an audit trail of the calls it served.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/enrolled_cli.h"

namespace pellucor {
namespace {

namespace fs = std::filesystem;
using ::testing::StartsWith;
using nlohmann::json;
using testing::SeedEntry;
using testing::VaultReply;

constexpr std::int64_t kJan1 = 1704067200000;  // 2024-01-01 00:00:00 UTC
constexpr std::int64_t kDay = 86400000;

constexpr const char* kHeader = "TIME                 ACTION       ENTRY                          ACTOR\n";

class Audit : public testing::EnrolledCli {
 protected:
  void SetUp() override {
    EnrolledCli::SetUp();
    if (HasFatalFailure()) return;
    // Events one minute apart from 2024-01-01 23:58:00, the third one on the
    // next day.
    vault_->audit_log().set_clock([this] { return kJan1 + kDay - 2 * 60000 + 60000 * ticks_++; });
    vault_->audit_log().set_actor("agent:" + agent_.agent_id.substr(0, 8));
    SeedEntry e("GitHub", "credential");
    e.fields = {{"username", "octocat"}, {"password", "hunter2", "password", 2}};
    e.totp_seed = std::vector<std::uint8_t>(20, 7);
    vault_->add_entry(e);
  }

  // The argument object of the vault's last "audit.list" call.
  json last_audit_arguments() const {
    for (auto calls = vault_->calls(); !calls.empty(); calls.pop_back()) {
      if (calls.back().action == "audit.list") return calls.back().content;
    }
    ADD_FAILURE() << "the vault received no audit.list";
    return nullptr;
  }

  std::string actor() const { return "agent:" + agent_.agent_id.substr(0, 8); }

  std::atomic<int> ticks_ = 0;
};

TEST_F(Audit, TableShowsTheCallsTheVaultServed) {
  ASSERT_TRUE(run({"get", "GitHub", "--field", "password"}).exited_with(0));
  ASSERT_TRUE(run({"totp", "github"}).exited_with(0));

  auto r = run({"audit"});
  ASSERT_TRUE(r.exited_with(0)) << r.err;
  EXPECT_EQ(r.err, "");
  const std::string a = actor();
  EXPECT_EQ(r.out, std::string(kHeader) +
                       "2024-01-02 00:01:00  totp         GitHub                         " + a + "\n" +
                       "2024-01-02 00:00:00  search       github                         " + a + "\n" +
                       "2024-01-01 23:59:00  read         GitHub                         " + a + "\n" +
                       "2024-01-01 23:58:00  search       GitHub                         " + a + "\n");
  // No filter given: an empty object, the vault's own default limit.
  EXPECT_EQ(last_audit_arguments(), json::object());

  // The vault applies the filters: the day of 2024-01-01 holds the get only.
  auto day = run({"audit", "--since", "2024-01-01", "--until", "2024-1-1", "--action", "read"});
  ASSERT_TRUE(day.exited_with(0)) << day.err;
  EXPECT_EQ(day.out, std::string(kHeader) + "2024-01-01 23:59:00  read         GitHub                         " + a +
                         "\n");
  auto none = run({"audit", "--actor", "someone-else"});
  ASSERT_TRUE(none.exited_with(0)) << none.err;
  EXPECT_EQ(none.out, "No audit events found.\n");
}

TEST_F(Audit, EachFilterReachesTheVaultUnderItsKey) {
  struct Case {
    std::vector<std::string> args;
    json sent;
  } cases[] = {
      {{"--limit", "1"}, {{"limit", 1}}},
      {{"--limit", "1000"}, {{"limit", 1000}}},
      {{"--limit=+7"}, {{"limit", 7}}},
      {{"--limit", "5", "--limit", "7"}, {{"limit", 7}}},  // the last one given counts
      {{"--actor", "ci-runner"}, {{"actor", "ci-runner"}}},
      {{"--action", "totp"}, {{"action", "totp"}}},
      {{"--entry", "Git Hub"}, {{"entry", "Git Hub"}}},
      {{"--since", "2024-01-01"}, {{"since", kJan1}}},
      {{"--until", "2024-01-01"}, {{"until", kJan1 + kDay - 1}}},
      {{"--until", "2024-02-29"}, {{"until", 1709164800000 + kDay - 1}}},
      {{"--json", "--entry=hub", "--since", "1970-01-01", "--actor", "x", "--until", "1969-12-31", "--action", "read",
        "--limit", "50"},
       {{"action", "read"}, {"actor", "x"}, {"entry", "hub"}, {"limit", 50}, {"since", 0}, {"until", -1}}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"audit"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    auto r = run(args);
    ASSERT_TRUE(r.exited_with(0)) << ::testing::PrintToString(c.args) << ": " << r.err;
    EXPECT_EQ(last_audit_arguments(), c.sent) << ::testing::PrintToString(c.args);
  }
}

TEST_F(Audit, OptionErrorsStopBeforeTheVault) {
  struct Case {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"--limit", "0"}, "PL-2000: --limit must be between 1 and 1000\n"},
      {{"--limit", "1001"}, "PL-2000: --limit must be between 1 and 1000\n"},
      {{"--limit", "-5"}, "PL-2000: --limit must be between 1 and 1000\n"},
      {{"--limit", "ten"}, "PL-2000: --limit: not a number: ten\n"},
      {{"--limit", "1e3"}, "PL-2000: --limit: not a number: 1e3\n"},
      {{"--limit", " 5"}, "PL-2000: --limit: not a number:  5\n"},
      {{"--limit", "99999999999999999999"}, "PL-2000: --limit: not a number: 99999999999999999999\n"},
      {{"--limit"}, "PL-2000: missing argument for option '--limit'\n"},
      {{"--since"}, "PL-2000: missing argument for option '--since'\n"},
      {{"GitHub"}, "PL-2000: unexpected: Value(\"GitHub\")\n"},
      {{"-n", "5"}, "PL-2000: unexpected: Short('n')\n"},
      {{"--type", "note"}, "PL-2000: unexpected: Long(\"type\")\n"},
      {{"--json=yes"}, "PL-2000: unexpected argument for option '--json': \"yes\"\n"},
      {{"--since", "2024-02-30"}, "PL-2000: invalid date: 2024-02-30 (use YYYY-MM-DD)\n"},
      {{"--until", "2024-01-05-x", "--json"}, "PL-2000: invalid date: 2024-01-05-x (use YYYY-MM-DD)\n"},
  };
  const std::size_t before = vault_->calls().size();
  for (const Case& c : cases) {
    std::vector<std::string> args = {"audit"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    auto r = run(args);
    EXPECT_TRUE(r.exited_with(1)) << ::testing::PrintToString(c.args);
    EXPECT_EQ(r.err, c.err) << ::testing::PrintToString(c.args);
    EXPECT_EQ(r.out, "");
  }
  EXPECT_EQ(vault_->calls().size(), before);
}

TEST_F(Audit, OptionsAreCheckedBeforeTheConfigurationAndDatesAfter) {
  fs::remove(config_path());
  auto limit = run({"audit", "--limit", "0"});
  EXPECT_TRUE(limit.exited_with(1));
  EXPECT_EQ(limit.err, "PL-2000: --limit must be between 1 and 1000\n");

  auto date = run({"audit", "--since", "2024-13-01"});
  EXPECT_TRUE(date.exited_with(1));
  EXPECT_THAT(date.err, StartsWith("PL-2003: Not initialized. Config file not found at "));

  auto help = run({"audit", "--limit", "5", "--help", "stray"});
  ASSERT_TRUE(help.exited_with(0)) << help.err;
  EXPECT_EQ(help.out,
            "Usage: pellucor-cli audit [options]\n"
            "\n"
            "Options:\n"
            "  --limit N       Max events (default 50)\n"
            "  --actor <id>    Filter by actor\n"
            "  --action <act>  Filter by action (read, totp, create, etc.)\n"
            "  --entry <name>  Filter by entry name (substring)\n"
            "  --since <date>  Events after date (YYYY-MM-DD)\n"
            "  --until <date>  Events before date (YYYY-MM-DD)\n"
            "  --json          Machine-readable JSON output\n");
  EXPECT_EQ(help.err, "");
}

TEST_F(Audit, JsonPrintsTheRawResult) {
  ASSERT_TRUE(run({"get", "GitHub", "--field", "username"}).exited_with(0));
  const auto events = vault_->audit_log().events();
  ASSERT_EQ(events.size(), 2u);

  auto r = run({"audit", "--json", "--action", "read"});
  ASSERT_TRUE(r.exited_with(0)) << r.err;
  EXPECT_EQ(r.out,
            "{\n"
            "  \"events\": [\n"
            "    {\n"
            "      \"action\": \"read\",\n"
            "      \"actor\": \"" + actor() + "\",\n"
            "      \"created_at\": " + std::to_string(kJan1 + kDay - 60000) + ",\n"
            "      \"entry_id\": \"" + events[1]["entry_id"].get<std::string>() + "\",\n"
            "      \"id\": 2,\n"
            "      \"title\": \"GitHub\"\n"
            "    }\n"
            "  ]\n"
            "}\n");

  // Whatever the vault answers is printed as it came, also when the table
  // would find no events in it.
  const json odd[] = {json{{"events", nullptr}, {"next", "c2"}}, json::object(), json{{"events", json::array()}}};
  for (const json& result : odd) {
    vault_->on("audit.list", [result](const json&) { return VaultReply::success(result); });
    auto raw = run({"audit", "--json"});
    ASSERT_TRUE(raw.exited_with(0)) << raw.err;
    EXPECT_EQ(raw.out, json::parse(raw.out).dump(2) + "\n");
    EXPECT_EQ(json::parse(raw.out), result);
    auto table = run({"audit"});
    ASSERT_TRUE(table.exited_with(0)) << table.err;
    EXPECT_EQ(table.out, "No audit events found.\n");
  }
}

TEST_F(Audit, VaultTextIsSanitisedAndCutInTheTable) {
  const json event = {{"created_at", kJan1},
                      {"action", "credential.read"},
                      {"title", "\x1b]0;owned\x07 \xe6\xbc\xa2\xe5\xad\x97 entry"},
                      {"actor", std::string(45, 'a')}};
  vault_->on("audit.list", [event](const json&) { return VaultReply::success(json{{"events", {event}}}); });
  auto r = run({"audit"});
  ASSERT_TRUE(r.exited_with(0)) << r.err;
  EXPECT_EQ(r.out, std::string(kHeader) + "2024-01-01 00:00:00  credential.r ]0;owned \xe6\xbc\xa2\xe5\xad\x97 entry" +
                       std::string(30 - 17, ' ') + " " + std::string(40, 'a') + "\n");
}

TEST_F(Audit, GateFailuresAreReturnedUnchanged) {
  vault_->on("audit.list", [](const json&) { return VaultReply::failure("FORBIDDEN", "audit not allowed"); });
  auto r = run({"audit"});
  EXPECT_TRUE(r.exited_with(1));
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("audit not allowed"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace pellucor
