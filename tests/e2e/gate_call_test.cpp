// Whole gate calls against the local test gate with a real node behind it:
// every failure of the call produced by a gate fault, and the failover.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "crypto/errors.h"
#include "gate/transport.h"
#include "tests/support/gate_node.h"
#include "tests/support/test_gate.h"

namespace pellucor {
namespace {

using testing::GateFault;
using testing::TestGate;
using testing::TestGateOptions;
using testing::VaultReply;
using K = GateFault::Kind;
using ::testing::HasSubstr;
using ::testing::StartsWith;

const std::string kCred = "plt_test-credential";

// The vault echoes what it was asked.
VaultReply echo_vault(const std::string& action, const nlohmann::json& content, const std::string& cred) {
  return VaultReply::success({{"action", action}, {"content", content}, {"cred", cred}});
}

TestGateOptions node_gate(GateFault fault = {}, testing::VaultHandler vault = echo_vault) {
  return testing::node_gate_options(testing::shared_node_key_pair(), std::move(vault), std::move(fault));
}

TransportOptions quiet(std::chrono::milliseconds deadline = std::chrono::seconds(20)) {
  TransportOptions o;
  o.deadline = deadline;
  o.env = [](std::string_view) { return std::optional<std::string>(); };
  return o;
}

std::vector<std::uint8_t> node_key() { return testing::shared_node_key_pair()->channel_key(); }

std::expected<nlohmann::json, CliError> call(const TestGate& gate, const nlohmann::json& args = {{"q", "x"}},
                                             std::chrono::milliseconds deadline = std::chrono::seconds(20)) {
  return gate_call(kCred, gate.gate_url(), node_key(), "search.query", args, quiet(deadline));
}

std::string debug_of(const PellucorError& e) { return format_pellucor_error_debug(e); }

class GateCall : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { TestGate::trust_test_ca(); }
};

TEST_F(GateCall, RoundTripCarriesActionCredentialAndContent) {
  TestGate gate(node_gate());
  nlohmann::json args = {{"q", "mail"}, {"exact", true}};
  auto r = call(gate, args);
  ASSERT_TRUE(r) << format_cli_error(r.error());
  EXPECT_EQ((*r)["action"], "search.query");
  EXPECT_EQ((*r)["cred"], kCred);
  EXPECT_EQ((*r)["content"], args);
  ASSERT_EQ(gate.requests().size(), 1u);
  EXPECT_EQ(gate.requests()[0].action, "search.query");
}

TEST_F(GateCall, EncodingsTheClientMustTake) {
  for (GateFault fault : {GateFault::of(K::gzip), GateFault::of(K::trailing_newline)}) {
    TestGate gate(node_gate(fault));
    auto r = call(gate);
    ASSERT_TRUE(r) << format_cli_error(r.error());
    EXPECT_EQ((*r)["action"], "search.query");
  }
}

TEST_F(GateCall, NullResultAndNoContent) {
  TestGate gate(node_gate({}, [](const std::string&, const nlohmann::json& content, const std::string&) {
    EXPECT_TRUE(content.is_null());
    return VaultReply::success(nullptr);
  }));
  auto r = gate_call(kCred, gate.gate_url(), node_key(), "system.ping", nullptr, quiet());
  ASSERT_TRUE(r) << format_cli_error(r.error());
  EXPECT_TRUE(r->is_null());
}

// Failures found before anything is sent.
TEST_F(GateCall, LocalRefusalsSendNothing) {
  TestGate gate(node_gate());
  auto key = node_key();

  std::vector<std::uint8_t> short_key(key.begin(), key.end() - 1);
  auto r = gate_call(kCred, gate.gate_url(), short_key, "search.query", nullptr, quiet());
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().error.code, "PL-2047");
  EXPECT_EQ(r.error().message, "the responder key is 1248 bytes, a node public key is 1249");

  r = gate_call(kCred, gate.gate_url(), key, "Search.query", nullptr, quiet());
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().error.code, "PL-2047");
  EXPECT_EQ(r.error().message, "encode request: " + debug_of(err::PL_0004));

  std::vector<std::uint8_t> bad_point = key;
  std::fill(bad_point.begin(), bad_point.begin() + 65, 0);
  r = gate_call(kCred, gate.gate_url(), bad_point, "search.query", nullptr, quiet());
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().error.code, "PL-2047");
  EXPECT_EQ(r.error().message, "handshake msg1: " + debug_of(err::PL_0027));

  // A request one byte over the cap: marker + {"action":"entry.upsert","cred":"…","content":"…"}.
  const std::size_t overhead = 1 + std::string(R"({"action":"entry.upsert","cred":"","content":""})").size() + kCred.size();
  r = gate_call(kCred, gate.gate_url(), key, "entry.upsert", std::string(6290207 - overhead, 'x'), quiet());
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().error.code, "PL-2110");
  EXPECT_EQ(r.error().message, "request is 6290207 bytes, the gate takes at most 6290206");

  EXPECT_TRUE(gate.requests().empty());
}

TEST_F(GateCall, EveryFailureOfTheExchange) {
  struct Case {
    const char* name;
    GateFault fault;
    std::string code;
    std::string message;  // exact, or a prefix when `prefix`
    bool prefix = false;
    std::chrono::milliseconds deadline = std::chrono::seconds(20);
  };
  const std::string unreadable = "gate response over 11184920+ bytes or unreadable — refuse to buffer: ";
  const std::vector<Case> cases = {
      {"no answer", GateFault::of(K::close_connection), "PL-2020", "POST /gate: ", true},
      {"no answer in time", GateFault::wait(K::delay, std::chrono::seconds(30)), "PL-2020", "POST /gate: ", true,
       std::chrono::milliseconds(400)},
      {"status", GateFault::http(503), "PL-2047",
       "gate refused the handshake (HTTP 503) — wrong pubkey or dark gate"},
      {"oversized", GateFault::body_of(MAX_GATE_REPLY_TEXT_BYTES + 1), "PL-2021", unreadable, true},
      {"truncated", GateFault::of(K::truncated_body), "PL-2021", unreadable, true},
      {"not utf-8", GateFault::of(K::not_utf8), "PL-2021",
       "read msg2: invalid utf-8 sequence of 1 bytes from index 4"},
      {"not base64", GateFault::of(K::not_base64), "PL-2047", "msg2 not base64: Invalid symbol 32, offset 4."},
      {"exact cap is read", GateFault::body_of(MAX_GATE_REPLY_TEXT_BYTES), "PL-2047", "open msg2: ", true},
      {"wrong handshake", GateFault::of(K::wrong_handshake), "PL-2047", "open msg2: " + debug_of(err::PL_0003)},
      {"wrong marker", GateFault::of(K::wrong_marker), "PL-2047", "decode reply: " + debug_of(err::PL_0004)},
      {"gate error", GateFault::error_reply("no such entry", "NOT_FOUND"), "PL-2047",
       "gate error NOT_FOUND: no such entry"},
  };
  for (const Case& c : cases) {
    TestGate gate(node_gate(c.fault));
    auto r = call(gate, {{"q", "x"}}, c.deadline);
    ASSERT_FALSE(r) << c.name;
    EXPECT_EQ(r.error().error.code, c.code) << c.name;
    if (c.prefix) {
      EXPECT_THAT(r.error().message, StartsWith(c.message)) << c.name;
      EXPECT_GT(r.error().message.size(), c.message.size()) << c.name << ": the cause must follow";
    } else {
      EXPECT_EQ(r.error().message, c.message) << c.name;
    }
  }
}

TEST_F(GateCall, MissingFinalPaddingIsNotBase64) {
  // Pick a reply whose message 2 length is not a multiple of 3, so its base64 ends in '='.
  for (std::size_t extra = 0; extra < 3; ++extra) {
    std::string filler(extra, 'f');
    TestGate gate(node_gate(GateFault::of(K::unpadded),
                            [&](const std::string&, const nlohmann::json&, const std::string&) {
                              return VaultReply::success(filler);
                            }));
    auto r = call(gate);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().error.code, "PL-2047");
    EXPECT_THAT(r.error().message, StartsWith("msg2 not base64: "));
  }
}

// ---- failover ---------------------------------------------------------------

struct CallRun {
  std::expected<nlohmann::json, CliError> result;
  std::string err;
};

CallRun with_failover(const std::string& primary_url, const TestGate* replica) {
  GateEndpoint primary{primary_url, {}};
  std::copy_n(node_key().begin(), kChannelKeyLen, primary.channel_key.bytes.begin());
  std::optional<GateEndpoint> rep;
  if (replica != nullptr) rep = GateEndpoint{replica->gate_url(), primary.channel_key};
  ::testing::internal::CaptureStderr();
  auto r = gate_call_with_failover(kCred, primary, rep, "entry.get", {{"id", "0011223344556677"}}, quiet());
  return {std::move(r), ::testing::internal::GetCapturedStderr()};
}

TEST_F(GateCall, FailoverOnRefusalDarkGateOrNoAnswer) {
  TestGate replica(node_gate({}, [](const std::string&, const nlohmann::json&, const std::string& cred) {
    return VaultReply::success({{"from", "replica"}, {"cred", cred}});
  }));
  int closed_port;
  {
    TestGate g(node_gate());
    closed_port = g.port();
  }
  struct Case {
    const char* name;
    std::optional<GateFault> fault;  // nullopt: nobody listens
  };
  for (const Case& c : {Case{"503", GateFault::http(503)}, Case{"301", GateFault::http(301)},
                        Case{"dark gate", GateFault::error_reply("this node is a dark gate")},
                        Case{"upstream 502", GateFault::error_reply("proxy said HTTP 502")},
                        Case{"unreachable", std::nullopt}}) {
    std::optional<TestGate> primary;
    std::string url = "https://127.0.0.1:" + std::to_string(closed_port) + "/gate";
    if (c.fault) {
      primary.emplace(node_gate(*c.fault));
      url = primary->gate_url();
    }
    CallRun run = with_failover(url, &replica);
    ASSERT_TRUE(run.result) << c.name << ": " << format_cli_error(run.result.error());
    EXPECT_EQ((*run.result)["from"], "replica") << c.name;
    EXPECT_EQ((*run.result)["cred"], kCred) << c.name << ": the same credential goes to the replica";
    EXPECT_EQ(run.err, "gate: primary unreachable, trying replica\n") << c.name;
  }
  EXPECT_EQ(replica.requests().size(), 5u);
}

TEST_F(GateCall, NoFailoverAfterAnAnswer) {
  TestGate replica(node_gate());
  for (GateFault fault : {GateFault::of(K::not_base64), GateFault::body_of(MAX_GATE_REPLY_TEXT_BYTES + 1),
                          GateFault::of(K::wrong_handshake), GateFault::error_reply("no such entry")}) {
    TestGate primary(node_gate(fault));
    CallRun run = with_failover(primary.gate_url(), &replica);
    ASSERT_FALSE(run.result);
    EXPECT_FALSE(run.result.error().error.code == "PL-2020");
    EXPECT_EQ(run.err, "");
  }
  EXPECT_TRUE(replica.requests().empty());
}

TEST_F(GateCall, ReplicaOutcomeIsFinal) {
  TestGate primary(node_gate(GateFault::http(504)));
  TestGate replica(node_gate(GateFault::error_reply("replica is a dark gate too")));
  CallRun run = with_failover(primary.gate_url(), &replica);
  ASSERT_FALSE(run.result);
  EXPECT_EQ(run.result.error().message, "gate error GATE_FAULT: replica is a dark gate too");
  EXPECT_EQ(run.err, "gate: primary unreachable, trying replica\n");
  EXPECT_EQ(primary.requests().size(), 1u);
  EXPECT_EQ(replica.requests().size(), 1u) << "no third attempt";

  CallRun alone = with_failover(primary.gate_url(), nullptr);
  ASSERT_FALSE(alone.result);
  EXPECT_EQ(alone.result.error().message, "gate refused the handshake (HTTP 504) — wrong pubkey or dark gate");
  EXPECT_EQ(alone.err, "");
}

TEST_F(GateCall, TwoCallsBuildTheTrustStoreOnce) {
  TestGate gate(node_gate());
  ASSERT_TRUE(call(gate));
  X509_STORE* store = client_trust_store();
  const TrustedRoots* roots = &trusted_roots();
  ASSERT_TRUE(call(gate));
  EXPECT_EQ(client_trust_store(), store);
  EXPECT_EQ(&trusted_roots(), roots);
}

}  // namespace
}  // namespace pellucor
