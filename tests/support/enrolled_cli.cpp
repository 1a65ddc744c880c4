#include "tests/support/enrolled_cli.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>

namespace pellucor::testing {

namespace fs = std::filesystem;

const std::string kQuotaLine =
    "read quota: 3/10 this minute, 40/200 this hour \u2014 every search and read counts; reaching the hourly "
    "limit twice locks this agent";

nlohmann::json quota_json() {
  return {{"minute_used", 3}, {"minute_limit", 10}, {"hour_used", 40}, {"hour_limit", 200}};
}

SeedEntry github_entry() {
  SeedEntry e;
  e.title = "GitHub";
  e.fields = {{"username", "octocat"}, {"password", "correct horse battery staple", "password", 2}};
  e.urls = {"https://github.com"};
  e.notes = "recovery codes in the safe";
  return e;
}

std::shared_ptr<const NodeKeyPair> shared_node_keys() {
  static const std::shared_ptr<const NodeKeyPair> node = [] {
    auto pair = generate_node_key_pair();
    if (!pair) std::abort();
    return std::make_shared<const NodeKeyPair>(std::move(*pair));
  }();
  return node;
}

std::string EnrolledCli::file(const std::string& name, const std::string& content) const {
  const fs::path path = home_ / name;
  std::ofstream(path, std::ios::binary) << content;
  return path.string();
}

void EnrolledCli::TearDown() {
  gate_.reset();
  if (!home_.empty()) fs::remove_all(home_);
}

void EnrolledCli::start(bool replica) {
  gate_.reset();
  if (!home_.empty()) fs::remove_all(home_);
  char tmpl[] = "/tmp/pellucor-cli-test-XXXXXX";
  ASSERT_NE(::mkdtemp(tmpl), nullptr);
  home_ = tmpl;
  ca_file_ = TestGate::write_ca_file(home_).string();

  auto node = shared_node_keys();
  // The vault needs the agent's L2 key, the agent the gate's port: the vault
  // is built first from a fresh agent, whose hosts are set after.
  agent_ = make_agent("127.0.0.1", node->channel_key_hex());
  vault_ = std::make_unique<TestVault>(agent_.l2);
  TestGateOptions options;
  options.responder = noise_responder(node);
  options.vault = vault_->handler();
  options.trust_in_process = false;
  gate_ = std::make_unique<TestGate>(std::move(options));
  const std::string host = "127.0.0.1:" + std::to_string(gate_->port());
  if (replica) {
    agent_.pop = "127.0.0.1:1";  // nothing listens there
    agent_.replica_host = host;
    agent_.replica_pub = agent_.pop_pub;
  } else {
    agent_.pop = host;
  }
  vault_->set_credential_check([agent = agent_](const std::string& cred) -> std::optional<std::string> {
    auto checked = check_wire_credential(cred, agent);
    if (checked) return std::nullopt;
    return checked.error();
  });
  const auto enrolment = mint_enrolment(agent_);
  auto r = run({"init"}, enrolment.blob + "\n" + enrolment.key + "\n");
  ASSERT_TRUE(r.exited_with(0)) << r.err;
}

test::RunResult EnrolledCli::run(std::vector<std::string> args, std::string stdin_data) {
  return test::run_process(options(std::move(args), std::move(stdin_data)));
}

test::RunOptions EnrolledCli::options(std::vector<std::string> args, std::string stdin_data) {
  test::RunOptions o = test::cli_options(std::move(args));
  o.stdin_data = std::move(stdin_data);
  o.env["HOME"] = home_.string();
  o.env["XDG_CONFIG_HOME"] = std::nullopt;
  o.env["NO_COLOR"] = "1";
  o.env["SSL_CERT_FILE"] = ca_file_;
  o.env["SSL_CERT_DIR"] = std::nullopt;
  for (const char* proxy : {"ALL_PROXY", "all_proxy", "HTTPS_PROXY", "https_proxy", "HTTP_PROXY", "http_proxy"})
    o.env[proxy] = std::nullopt;
  o.timeout = std::chrono::seconds(60);
  return o;
}

}  // namespace pellucor::testing
