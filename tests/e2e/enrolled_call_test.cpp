// Enrol through the real binary, then make gate calls with the context opened
// from the written configuration: the test gate checks the credential the way
// the vault does.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

#include "gate/config_file.h"
#include "gate/context.h"
#include "gate/transport.h"
#include "tests/support/enrolment.h"
#include "tests/support/noise_responder.h"
#include "tests/support/process.h"
#include "tests/support/test_gate.h"

namespace pellucor {
namespace {

namespace fs = std::filesystem;

class EnrolledCall : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/pellucor-enrolled-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    home_ = tmpl;
    auto node = testing::generate_node_key_pair();
    ASSERT_TRUE(node.has_value());
    node_ = std::make_shared<const testing::NodeKeyPair>(std::move(*node));
    agent_ = testing::make_agent("", node_->channel_key_hex());

    testing::TestGateOptions options;
    options.responder = testing::noise_responder(node_);
    options.vault = testing::checking_vault(
        agent_, [this](const std::string& action, const nlohmann::json& content, const std::string&) {
          ++answered_;
          return testing::VaultReply::success({{"action", action}, {"content", content}});
        });
    gate_ = std::make_unique<testing::TestGate>(std::move(options));
    agent_.pop = "127.0.0.1:" + std::to_string(gate_->port());
  }
  void TearDown() override {
    gate_.reset();
    fs::remove_all(home_);
  }

  std::string enrol() {
    const testing::Enrolment e = testing::mint_enrolment(agent_);
    test::RunOptions o = test::cli_options({"init"});
    o.stdin_data = e.blob + "\n" + e.key + "\n";
    o.env["HOME"] = home_.string();
    o.env["XDG_CONFIG_HOME"] = std::nullopt;
    o.env["NO_COLOR"] = "1";
    auto r = test::run_process(o);
    EXPECT_TRUE(r.exited_with(0)) << r.err;
    return (home_ / ".config" / "pellucor" / "config").string();
  }

  fs::path home_;
  std::shared_ptr<const testing::NodeKeyPair> node_;
  testing::EnrolledAgent agent_;
  std::unique_ptr<testing::TestGate> gate_;
  int answered_ = 0;
};

TEST_F(EnrolledCall, TheGateAcceptsTheEnrolledAgentsCredential) {
  auto config = load_config_at(enrol());
  ASSERT_TRUE(config.has_value()) << format_cli_error(config.error());
  EXPECT_EQ(config->vault_url, gate_->vault_url());
  auto ctx = open_gate_context_from(std::move(*config));
  ASSERT_TRUE(ctx.has_value()) << format_cli_error(ctx.error());

  const nlohmann::json args = {{"q", "x"}, {"exact", true}};
  for (int i = 0; i < 2; ++i) {  // the same credential serves every call of a command
    auto result = gate_call_with_failover(ctx->credential.view(), ctx->primary, ctx->replica,
                                          "search.query", args);
    ASSERT_TRUE(result.has_value()) << format_cli_error(result.error());
    EXPECT_EQ((*result)["action"], "search.query");
    EXPECT_EQ((*result)["content"], args);
  }
  EXPECT_EQ(answered_, 2);
}

TEST_F(EnrolledCall, TheGateTurnsAwayAnotherAgent) {
  auto config = load_config_at(enrol());
  ASSERT_TRUE(config.has_value());
  config->agent_id.assign(testing::make_agent("", "").agent_id);
  auto ctx = open_gate_context_from(std::move(*config));
  ASSERT_TRUE(ctx.has_value());
  auto result = gate_call_with_failover(ctx->credential.view(), ctx->primary, ctx->replica,
                                        "search.query", nlohmann::json::object());
  ASSERT_FALSE(result.has_value());
  EXPECT_NE(format_cli_error(result.error()).find("invalid credential: envelope carries another agent id"),
            std::string::npos)
      << format_cli_error(result.error());
  EXPECT_EQ(answered_, 0);
}

}  // namespace
}  // namespace pellucor
