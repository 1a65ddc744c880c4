#include "gate/context.h"

#include <gtest/gtest.h>

#include <new>
#include <string>
#include <vector>

#include "crypto/encoding.h"
#include "tests/support/enrolment.h"
#include "tests/support/vector_files.h"

namespace pellucor {
namespace {

std::string line_of(const CliError& e) { return format_cli_error(e); }

KeySet keys_of(std::string_view vault_id, std::string_view agent_id, std::string_view l2) {
  KeySet k;
  k.vault_id = std::stoull(std::string(vault_id), nullptr, 16);
  const auto a = testing::unhex(std::string(agent_id));
  const auto l = testing::unhex(std::string(l2));
  std::copy(a.begin(), a.end(), k.agent_id.begin());
  std::copy(l.begin(), l.end(), k.l2.begin());
  std::copy(l.begin(), l.begin() + 8, k.l1.begin());
  return k;
}

Config valid_config() {
  Config c;
  c.vault_url = "https://vault.example.test";
  c.vault_gate_pub = testing::placeholder_channel_key_text();
  c.vault_id = "01a2b3c4d5e6f708";
  c.agent_id = "6a9845b7a4685192ece2de79ce531ce8";
  c.l2 = "a6f656d04e0889a3642a5c118b8d471d";
  c.device_id = "57cc714a70493c0f5b7488a6171d8295";
  return c;
}

TEST(Crc32, IsTheIeeeCheckValue) {
  EXPECT_EQ(crc32_ieee(as_bytes("123456789")), 0xCBF43926u);
  EXPECT_EQ(crc32_ieee({}), 0u);
}

TEST(WireCredential, MatchesTheInteropTranscript) {
  PELLUCOR_LOAD_VECTORS(doc, "interop/credential.json");
  const KeySet keys = keys_of(doc["vault_id"].get<std::string>(), doc["agent_id"].get<std::string>(),
                              doc["l2"].get<std::string>());
  ASSERT_FALSE(doc["cases"].empty());
  for (const auto& c : doc["cases"]) {
    const auto nonce = testing::unhex(c["nonce"].get<std::string>());
    ASSERT_EQ(nonce.size(), kAeadNonceLen);
    auto cred = mint_wire_credential_with_nonce(
        keys, std::span<const std::uint8_t, kAeadNonceLen>(nonce.data(), kAeadNonceLen));
    ASSERT_TRUE(cred.has_value());
    EXPECT_EQ(cred->view(), c["credential"].get<std::string>());
    auto envelope = base64url_decode(cred->view().substr(4, 82));
    ASSERT_TRUE(envelope.has_value());
    EXPECT_EQ(hex_encode(*envelope), c["envelope"].get<std::string>());
  }
}

TEST(WireCredential, HasItsFormAndAFreshNonceEachTime) {
  testing::EnrolledAgent agent = testing::make_agent("vault.example.test", "");
  const KeySet keys = keys_of(agent.vault_id, agent.agent_id, agent.l2);
  auto first = mint_wire_credential(keys);
  auto second = mint_wire_credential(keys);
  ASSERT_TRUE(first.has_value());
  ASSERT_TRUE(second.has_value());
  for (const auto* cred : {&*first, &*second}) {
    EXPECT_EQ(cred->size(), kWireCredentialLen);
    EXPECT_TRUE(cred->view().starts_with("plt_"));
    EXPECT_EQ((*cred)[86], '.');
    auto check = testing::check_wire_credential(cred->view(), agent);
    EXPECT_TRUE(check.has_value()) << check.error();
  }
  EXPECT_NE(first->view(), second->view());
  EXPECT_EQ(first->view().substr(0, 16), second->view().substr(0, 16));

  testing::EnrolledAgent other = agent;
  other.agent_id = testing::make_agent("", "").agent_id;
  EXPECT_FALSE(testing::check_wire_credential(first->view(), other).has_value());
}

TEST(WireCredential, CheckingVaultTurnsAwayOtherCredentials) {
  testing::EnrolledAgent agent = testing::make_agent("vault.example.test", "");
  auto cred = mint_wire_credential(keys_of(agent.vault_id, agent.agent_id, agent.l2));
  ASSERT_TRUE(cred.has_value());
  int reached = 0;
  auto vault = testing::checking_vault(agent, [&](const std::string&, const nlohmann::json&, const std::string&) {
    ++reached;
    return testing::VaultReply::success(nlohmann::json::object());
  });
  EXPECT_TRUE(vault("search.query", nullptr, std::string(cred->view())).ok);
  std::string tampered(cred->view());
  tampered[10] = tampered[10] == 'A' ? 'B' : 'A';
  const auto refused = vault("search.query", nullptr, tampered);
  EXPECT_FALSE(refused.ok);
  EXPECT_EQ(refused.code, "AUTH_FAILED");
  EXPECT_EQ(refused.message, "invalid credential: credential CRC mismatch");
  EXPECT_EQ(reached, 1);
}

TEST(GateContext, OpensWithBothEndpoints) {
  Config c = valid_config();
  c.replica_url = "https://replica.example.test";
  c.replica_gate_pub = testing::placeholder_channel_key_text();
  auto ctx = open_gate_context_from(c);
  ASSERT_TRUE(ctx.has_value()) << line_of(ctx.error());
  EXPECT_EQ(ctx->primary.gate_url, "https://vault.example.test/gate");
  ASSERT_TRUE(ctx->replica.has_value());
  EXPECT_EQ(ctx->replica->gate_url, "https://replica.example.test/gate");
  EXPECT_EQ(ctx->keys.vault_id, 0x01a2b3c4d5e6f708u);
  EXPECT_EQ(ctx->keys.l1[0], 0xa6);
  EXPECT_EQ(ctx->keys.l1[7], 0xa3);
  EXPECT_EQ(ctx->credential.size(), kWireCredentialLen);
  EXPECT_EQ(ctx->config, c);
}

TEST(GateContext, ReplicaNeedsBothItsUrlAndItsKey) {
  Config no_key = valid_config();
  no_key.replica_url = "https://replica.example.test";
  no_key.replica_gate_pub = "  \t";
  auto a = open_gate_context_from(no_key);
  ASSERT_TRUE(a.has_value()) << line_of(a.error());
  EXPECT_FALSE(a->replica.has_value());

  Config no_url = valid_config();
  no_url.replica_url = " ";
  no_url.replica_gate_pub = "not a key at all";
  auto b = open_gate_context_from(no_url);
  ASSERT_TRUE(b.has_value()) << line_of(b.error());
  EXPECT_FALSE(b->replica.has_value());
}

TEST(GateContext, RefusalsComeInTheirOrder) {
  const std::string retired(64, 'a');
  struct Case {
    const char* what;
    void (*edit)(Config&);
    std::string expected;
  };
  const std::string blob_again = ": make a new client blob in the vault and enrol again";
  const Case cases[] = {
      {"vault_id before l2", [](Config& c) { c.vault_id = "01A2b3c4d5e6f708"; c.l2 = "zz"; },
       "PL-2004: vault_id is not a 16-hex vault id (uppercase); a config from before the id change: enrol again"},
      {"hex prefix", [](Config& c) { c.vault_id = "0x01a2b3c4d5e6f7"; },
       "PL-2004: vault_id is not a 16-hex vault id (hex_prefix); a config from before the id change: enrol again"},
      {"l2 before agent_id", [](Config& c) { c.l2 = "xyz"; c.agent_id = ""; },
       "PL-2004: l2 is not valid hex"},
      {"agent_id", [](Config& c) { c.agent_id = "6a9845b7a4685192ece2de79ce531c"; },
       "PL-2004: agent_id expected 16 bytes, got 15"},
      {"device_id", [](Config& c) { c.device_id = "g7cc714a70493c0f5b7488a6171d8295"; },
       "PL-2004: device_id is not valid hex"},
      {"blank home key", [](Config& c) { c.vault_gate_pub = " \n"; c.vault_url = "nonsense"; },
       "PL-2004: this config was enrolled before the enrolment blob carried the POP key: make a new "
       "client blob in the vault and enrol again"},
      {"retired home key", [](Config& c) { c.vault_gate_pub = std::string(64, 'a'); },
       "PL-2004: vault_gate_pub: a retired X25519 key (64 hex); this build needs a P-256 + ML-KEM key" +
           blob_again},
      {"bad replica key", [](Config& c) { c.replica_url = "https://r.example.test"; c.replica_gate_pub = "ab"; },
       "PL-2004: replica_gate_pub: not a Pellucor channel key (lowercase hex of the right length)" +
           blob_again},
  };
  for (const auto& c : cases) {
    Config config = valid_config();
    c.edit(config);
    auto ctx = open_gate_context_from(config);
    ASSERT_FALSE(ctx.has_value()) << c.what;
    EXPECT_EQ(line_of(ctx.error()), c.expected) << c.what;
  }

  Config bad_url = valid_config();
  bad_url.vault_url = "http://vault.example.test";
  auto ctx = open_gate_context_from(bad_url);
  ASSERT_FALSE(ctx.has_value());
  EXPECT_EQ(ctx.error().error.code, "PL-2000");
}

bool all_zero(const std::uint8_t* p, std::size_t n) {
  return std::all_of(p, p + n, [](std::uint8_t b) { return b == 0; });
}

TEST(GateContext, KeyMemoryReadsAsZeroAfterWipe) {
  KeySet keys = keys_of("01a2b3c4d5e6f708", "6a9845b7a4685192ece2de79ce531ce8",
                        "a6f656d04e0889a3642a5c118b8d471d");
  keys.device_id[3] = 0x55;
  wipe_key_set(keys);
  EXPECT_TRUE(all_zero(keys.l2.data(), 16));
  EXPECT_TRUE(all_zero(keys.l1.data(), 8));
  EXPECT_TRUE(all_zero(keys.agent_id.data(), 16));
  EXPECT_TRUE(all_zero(keys.device_id.data(), 16));
  EXPECT_EQ(keys.vault_id, 0x01a2b3c4d5e6f708u);

  // The context wipes its own keys when it goes away.
  auto opened = open_gate_context_from(valid_config());
  ASSERT_TRUE(opened.has_value());
  alignas(GateContext) unsigned char storage[sizeof(GateContext)];
  auto* ctx = new (storage) GateContext(std::move(*opened));
  const std::uint8_t* l2 = ctx->keys.l2.data();
  const std::uint8_t* l1 = ctx->keys.l1.data();
  const std::uint8_t* agent = ctx->keys.agent_id.data();
  const std::uint8_t* device = ctx->keys.device_id.data();
  ASSERT_FALSE(all_zero(l2, 16));
  ctx->~GateContext();
  EXPECT_TRUE(all_zero(l2, 16));
  EXPECT_TRUE(all_zero(l1, 8));
  EXPECT_TRUE(all_zero(agent, 16));
  EXPECT_TRUE(all_zero(device, 16));
}

TEST(VaultUrls, FromHostAndBack) {
  EXPECT_EQ(vault_url_from_host("  vault.example.test// \n"), "https://vault.example.test");
  EXPECT_EQ(vault_url_from_host(""), "https://");
  EXPECT_EQ(url_host(" https://vault.example.test:8443/gate "), "vault.example.test");
  EXPECT_EQ(url_host("vault.example.test"), "vault.example.test");
  EXPECT_EQ(url_host("vault.example.test/path/x"), "vault.example.test");
  EXPECT_EQ(url_host("host:99"), "host");
  EXPECT_EQ(url_host(""), "");
}

}  // namespace
}  // namespace pellucor
