// Enrolment material for tests: what a vault knows about an agent, the sealed
// enrolment blob and key it hands out, and the check a vault makes of the
// wire credential the agent then sends.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/test_gate.h"

namespace pellucor::testing {

// One enrolled agent of a test vault.
struct EnrolledAgent {
  std::string pop = "vault.example.test";  // host of the home gate
  std::string pop_pub;                     // channel key text of the home gate
  std::string replica_host;                // empty: no replica
  std::string replica_pub;
  std::string vault_id = "01a2b3c4d5e6f708";
  std::string agent_id;  // 32 lowercase hex digits
  std::string l2;        // 32 lowercase hex digits
};

// make_agent returns an agent of the vault at `pop` with gate key `pop_pub`
// and fresh random agent id and L2 key.
EnrolledAgent make_agent(std::string pop, std::string pop_pub);

// placeholder_channel_key_text returns 2498 lowercase hex digits of the right
// form (not a usable key): for enrolments that never reach a gate.
std::string placeholder_channel_key_text();

// blob_json returns the enrolment plaintext of `agent`, keys in the vault's
// order; tests edit it to make broken blobs.
nlohmann::ordered_json blob_json(const EnrolledAgent& agent);

struct Enrolment {
  std::string blob;  // base64url, no padding
  std::string key;   // base64url of the key, no padding
};

// seal_enrolment seals `plaintext` under `key` (any length, so tests can make
// wrong ones; a 32-byte random key when empty).
Enrolment seal_enrolment(std::string_view plaintext, std::span<const std::uint8_t> key = {});

// mint_enrolment is seal_enrolment of blob_json(agent) under a random key.
Enrolment mint_enrolment(const EnrolledAgent& agent);

// random_key_text returns base64url of `bytes` random bytes.
std::string random_key_text(std::size_t bytes);

// check_wire_credential is the vault's check of a "cred": 93 characters,
// "plt_", a matching CRC, an envelope of version 2 for this vault that opens
// under the vault's envelope key, and l1 and agent id of `agent`. The error
// names the first check that failed.
std::expected<void, std::string> check_wire_credential(std::string_view credential,
                                                       const EnrolledAgent& agent);

// checking_vault wraps `vault` the way a vault guards its gate: a request
// whose credential fails check_wire_credential for `agent` is answered with
// the gate error {"AUTH_FAILED", "invalid credential: <reason>"} and never
// reaches `vault`.
VaultHandler checking_vault(EnrolledAgent agent, VaultHandler vault);

}  // namespace pellucor::testing
