// The transport's pure rules: gate URLs and the failover decision.
#include "gate/transport.h"

#include <gtest/gtest.h>

namespace pellucor {
namespace {

TEST(GateUrl, CleanOriginsGainTheGatePath) {
  struct Case {
    std::string in, out;
  };
  for (const Case& c : std::initializer_list<Case>{
           {"https://vault.example.com", "https://vault.example.com/gate"},
           {"  https://vault.example.com///  ", "https://vault.example.com/gate"},
           {"\u00a0\u3000https://vault.example.com/\u2028", "https://vault.example.com/gate"},
           {"HTTPS://VAULT.EXAMPLE.COM", "HTTPS://VAULT.EXAMPLE.COM/gate"},
           {"https://vault.example.com:8443/tenant/", "https://vault.example.com:8443/tenant/gate"},
           {"https://127.0.0.1:9", "https://127.0.0.1:9/gate"},
       }) {
    auto r = gate_url_from_vault_url(c.in);
    ASSERT_TRUE(r) << c.in << ": " << format_cli_error(r.error());
    EXPECT_EQ(*r, c.out);
  }
}

TEST(GateUrl, RefusalsQuoteTheUrlAsGiven) {
  for (std::string url : {"Https://vault.example.com", "http://vault.example.com", "vault.example.com", "",
                          " hTTPS://x", "ftp://x"}) {
    auto r = gate_url_from_vault_url(url);
    ASSERT_FALSE(r) << url;
    EXPECT_EQ(r.error().error.code, "PL-2000");
    EXPECT_EQ(r.error().message, "vault_url must be https:// (got " + url + ")");
  }
  for (std::string url : {"https://", "  https://  ", "https://user@vault", "https://vault?x=1", "https://vault#top", "https:///path",
                          "https://va ult", "https://vault\\x", "https:///", "https://vault:99999",
                          "https://[::1"}) {
    auto r = gate_url_from_vault_url(url);
    ASSERT_FALSE(r) << url;
    EXPECT_EQ(r.error().error.code, "PL-2000");
    EXPECT_EQ(r.error().message, "vault_url is not a clean https origin (got " + url + ")");
  }
  // The URL comes from the enrolment blob: quoted on the one error line,
  // without its line breaks or controls.
  struct Flattened {
    std::string url, shown, message;
  };
  for (const Flattened& c : std::initializer_list<Flattened>{
           {"http://x\nPL-0000: forged\x1b[2J", "http://x PL-0000: forged[2J", "vault_url must be https://"},
           {"https://v@x\r\n\tPL-0000: forged\xc2\x9b", "https://v@x   PL-0000: forged",
            "vault_url is not a clean https origin"}}) {
    auto r = gate_url_from_vault_url(c.url);
    ASSERT_FALSE(r) << c.url;
    EXPECT_EQ(r.error().message, c.message + " (got " + c.shown + ")");
  }
}

TEST(Failover, DecidedByCodeOrDisplayedText) {
  struct Case {
    CliError error;
    bool fail_over;
  };
  for (const Case& c : std::initializer_list<Case>{
           {make_error(err::PL_2020, "POST /gate: Connection refused"), true},
           {make_error(err::PL_2020), true},
           {make_error(err::PL_2047, "gate refused the handshake (HTTP 301) — wrong pubkey or dark gate"), true},
           {make_error(err::PL_2047, "gate error E: node is a dark gate now"), true},
           {make_error(err::PL_2047, "gate error E: upstream said HTTP 503"), true},
           {make_error(err::PL_2047, "gate error E: HTTP 502"), true},
           {make_error(err::PL_2047, "gate error E: HTTP 504"), true},
           {make_error(err::PL_2047, "gate error E: HTTP 500"), false},
           {make_error(err::PL_2047, "gate error E: Dark Gate"), false},
           {make_error(err::PL_2047, "msg2 not base64: Invalid padding."), false},
           {make_error(err::PL_2021, "read msg2: invalid utf-8 sequence of 1 bytes from index 0"), false},
           {make_error(err::PL_2110, "request is 6290207 bytes, the gate takes at most 6290206"), false},
       }) {
    EXPECT_EQ(should_fail_over(c.error), c.fail_over) << format_cli_error(c.error);
  }
}

TEST(Failover, OneReplicaAttemptAtMost) {
  struct Case {
    CliError primary;
    bool has_replica;
    int expected_attempts;
  };
  for (const Case& c : std::initializer_list<Case>{
           {make_error(err::PL_2020, "POST /gate: timeout"), true, 2},
           {make_error(err::PL_2020, "POST /gate: timeout"), false, 1},
           {make_error(err::PL_2047, "gate error X: no such entry"), true, 1},
       }) {
    std::vector<bool> attempts;
    ::testing::internal::CaptureStderr();
    auto r = call_with_failover(
        [&](bool replica) -> std::expected<nlohmann::json, CliError> {
          attempts.push_back(replica);
          return std::unexpected(replica ? make_error(err::PL_2020, "replica down") : c.primary);
        },
        c.has_replica);
    std::string err = ::testing::internal::GetCapturedStderr();
    ASSERT_FALSE(r);
    EXPECT_EQ(static_cast<int>(attempts.size()), c.expected_attempts);
    if (c.expected_attempts == 2) {
      EXPECT_EQ(attempts, (std::vector<bool>{false, true}));
      EXPECT_EQ(r.error().message, "replica down");
      EXPECT_EQ(err, "gate: primary unreachable, trying replica\n");
    } else {
      EXPECT_EQ(r.error().message, c.primary.message);
      EXPECT_EQ(err, "");
    }
  }
}

TEST(Failover, PrimarySuccessIsFinal) {
  int calls = 0;
  auto r = call_with_failover([&](bool) -> std::expected<nlohmann::json, CliError> { return ++calls; }, true);
  ASSERT_TRUE(r);
  EXPECT_EQ(*r, 1);
  EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace pellucor
