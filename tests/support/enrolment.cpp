#include "tests/support/enrolment.h"

#include <stdexcept>

#include "crypto/encoding.h"
#include "crypto/primitives.h"
#include "gate/context.h"

namespace pellucor::testing {
namespace {

std::vector<std::uint8_t> random_vector(std::size_t n) {
  std::vector<std::uint8_t> out(n);
  if (!random_bytes(out)) throw std::runtime_error("no randomness");
  return out;
}

std::vector<std::uint8_t> unhex(std::string_view text) {
  auto bytes = hex_decode(text);
  if (!bytes) return {};
  return {bytes->begin(), bytes->end()};
}

}  // namespace

EnrolledAgent make_agent(std::string pop, std::string pop_pub) {
  EnrolledAgent a;
  a.pop = std::move(pop);
  a.pop_pub = std::move(pop_pub);
  a.agent_id = hex_encode(random_vector(16));
  a.l2 = hex_encode(random_vector(16));
  return a;
}

std::string placeholder_channel_key_text() {
  std::string out = "04";
  while (out.size() < 2498) out += "5a";
  return out;
}

nlohmann::ordered_json blob_json(const EnrolledAgent& a) {
  nlohmann::ordered_json j;
  j["agent_id"] = a.agent_id;
  j["l2"] = a.l2;
  j["vault_id"] = a.vault_id;
  j["pop"] = a.pop;
  j["pop_pub"] = a.pop_pub;
  j["replica_host"] = a.replica_host;
  j["replica_pub"] = a.replica_pub;
  return j;
}

Enrolment seal_enrolment(std::string_view plaintext, std::span<const std::uint8_t> key) {
  std::vector<std::uint8_t> k(key.begin(), key.end());
  if (k.empty()) k = random_vector(32);
  std::vector<std::uint8_t> sealing_key = k;
  if (sealing_key.size() != 16 && sealing_key.size() != 32) sealing_key.resize(32);
  auto sealed = seal_random_nonce(sealing_key, as_bytes(plaintext));
  if (!sealed) throw std::runtime_error("sealing the enrolment blob failed");
  return {base64url_encode(*sealed), base64url_encode(k)};
}

Enrolment mint_enrolment(const EnrolledAgent& agent) {
  return seal_enrolment(blob_json(agent).dump());
}

std::string random_key_text(std::size_t bytes) { return base64url_encode(random_vector(bytes)); }

std::expected<void, std::string> check_wire_credential(std::string_view cred,
                                                       const EnrolledAgent& agent) {
  if (cred.size() != kWireCredentialLen) return std::unexpected("credential is not 93 characters");
  if (!cred.starts_with("plt_")) return std::unexpected("credential does not start with plt_");
  if (cred[86] != '.') return std::unexpected("credential has no check separator");
  auto check = base64url_decode(cred.substr(87));
  if (!check || check->size() != 4) return std::unexpected("credential check is not base64url");
  const std::uint32_t crc = crc32_ieee(as_bytes(cred.substr(0, 86)));
  const std::uint32_t got = std::uint32_t{(*check)[0]} << 24 | std::uint32_t{(*check)[1]} << 16 |
                            std::uint32_t{(*check)[2]} << 8 | (*check)[3];
  if (crc != got) return std::unexpected("credential CRC mismatch");
  auto envelope = base64url_decode(cred.substr(4, 82));
  if (!envelope || envelope->size() != 61) return std::unexpected("envelope is not 61 bytes");
  if ((*envelope)[0] != 2) return std::unexpected("envelope version is not 2");
  const auto vault_id = unhex(agent.vault_id);
  if (!std::equal(vault_id.begin(), vault_id.end(), envelope->begin() + 1) || vault_id.size() != 8) {
    return std::unexpected("envelope names another vault");
  }
  const std::string_view info = "plt-envelope";
  const SecureBytes key = hkdf_sha256(vault_id, std::nullopt, as_bytes(info), 16);
  auto opened = decrypt_nonce_prefixed(key, std::span(*envelope).subspan(9));
  if (!opened || opened->size() != 24) return std::unexpected("envelope does not open");
  const auto l2 = unhex(agent.l2);
  const auto agent_id = unhex(agent.agent_id);
  if (!std::equal(l2.begin(), l2.begin() + 8, opened->begin())) {
    return std::unexpected("envelope carries another l1");
  }
  if (!std::equal(agent_id.begin(), agent_id.end(), opened->begin() + 8)) {
    return std::unexpected("envelope carries another agent id");
  }
  return {};
}

VaultHandler checking_vault(EnrolledAgent agent, VaultHandler vault) {
  return [agent = std::move(agent), vault = std::move(vault)](
             const std::string& action, const nlohmann::json& content, const std::string& cred) {
    if (auto ok = check_wire_credential(cred, agent); !ok) {
      return VaultReply::failure("AUTH_FAILED", "invalid credential: " + ok.error());
    }
    return vault(action, content, cred);
  };
}

}  // namespace pellucor::testing
