// An agent enrolled with the real binary in a temporary HOME, its in-memory
// vault and a local test gate serving it: the fixture of every end-to-end test
// of a command that talks to the vault.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/enrolment.h"
#include "tests/support/noise_responder.h"
#include "tests/support/process.h"
#include "tests/support/test_gate.h"
#include "tests/support/test_vault.h"

namespace pellucor::testing {

// shared_node_keys: one node key pair for the whole test program (drawing
// ML-KEM keys is not free).
std::shared_ptr<const NodeKeyPair> shared_node_keys();

// quota_json: a quota of 3/10 this minute and 40/200 this hour.
nlohmann::json quota_json();
// The read-quota line the client prints for quota_json().
extern const std::string kQuotaLine;

// github_entry: the credential "GitHub" with a username, the tier-2 password
// "correct horse battery staple", notes and one url: an entry whose fetch
// runs every step of `get`.
SeedEntry github_entry();

class EnrolledCli : public ::testing::Test {
 protected:
  void SetUp() override { start(false); }
  void TearDown() override;

  // start enrols a fresh agent against a fresh vault and gate. With
  // `replica`, the primary is a dead port and the gate is the replica.
  void start(bool replica);

  // run runs pellucor-cli with `args` in the agent's HOME (no colour, the
  // test CA trusted, no proxy), feeding `stdin_data`.
  test::RunResult run(std::vector<std::string> args, std::string stdin_data = {});
  // options: the RunOptions run() uses, for a test that changes them.
  test::RunOptions options(std::vector<std::string> args, std::string stdin_data = {});

  // file writes `content` to a file in the agent's HOME and returns its path.
  std::string file(const std::string& name, const std::string& content) const;

  // The actions the vault received, in order.
  std::vector<std::string> actions() const { return vault_->actions(); }
  // The configuration file of the enrolled agent.
  std::filesystem::path config_path() const { return home_ / ".config" / "pellucor" / "config"; }

  std::filesystem::path home_;
  std::string ca_file_;
  EnrolledAgent agent_;
  std::unique_ptr<TestVault> vault_;
  std::unique_ptr<TestGate> gate_;
};

}  // namespace pellucor::testing
