#include "gate/context.h"

#include <utility>
#include <vector>

#include "crypto/encoding.h"
#include "crypto/hex16.h"
#include "gate/transport.h"

namespace pellucor {
namespace {

constexpr std::string_view kWirePrefix = "plt_";
constexpr std::uint8_t kEnvelopeVersion = 2;
constexpr std::string_view kEnvelopeInfo = "plt-envelope";
constexpr std::size_t kEnvelopeLen = 1 + 8 + kAeadNonceLen + 24 + kAeadTagLen;  // 61

constexpr std::array<std::uint32_t, 256> make_crc_table() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t n = 0; n < 256; ++n) {
    std::uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}
constexpr std::array<std::uint32_t, 256> kCrcTable = make_crc_table();

std::array<std::uint8_t, 8> big_endian(std::uint64_t v) {
  std::array<std::uint8_t, 8> out{};
  for (int i = 7; i >= 0; --i) {
    out[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v & 0xff);
    v >>= 8;
  }
  return out;
}

// The sealing of l1 || agent_id shared by the random and the fixed-nonce form.
template <class Seal>
std::expected<SecureString, PellucorError> mint_with(const KeySet& keys, Seal&& seal) {
  SecureArray<24> plaintext;
  std::copy(keys.l1.begin(), keys.l1.end(), plaintext.begin());
  std::copy(keys.agent_id.begin(), keys.agent_id.end(), plaintext.begin() + 8);

  const auto vault_id = big_endian(keys.vault_id);
  const SecureBytes key =
      hkdf_sha256(vault_id, std::nullopt, as_bytes(kEnvelopeInfo), 16);
  auto sealed = seal(std::span<const std::uint8_t>(key), plaintext.span());
  if (!sealed) return std::unexpected(sealed.error());

  std::vector<std::uint8_t> envelope;
  envelope.reserve(kEnvelopeLen);
  envelope.push_back(kEnvelopeVersion);
  envelope.insert(envelope.end(), vault_id.begin(), vault_id.end());
  envelope.insert(envelope.end(), sealed->begin(), sealed->end());

  SecureString text(kWirePrefix);
  text += base64url_encode(envelope);
  const std::uint32_t crc = crc32_ieee(as_bytes(text.view()));
  const std::array<std::uint8_t, 4> check = {
      static_cast<std::uint8_t>(crc >> 24), static_cast<std::uint8_t>(crc >> 16),
      static_cast<std::uint8_t>(crc >> 8), static_cast<std::uint8_t>(crc)};
  text += '.';
  text += base64url_encode(check);
  return text;
}

}  // namespace

void wipe_key_set(KeySet& keys) noexcept {
  keys.l2.wipe();
  keys.l1.wipe();
  keys.agent_id.wipe();
  keys.device_id.wipe();
}

std::uint32_t crc32_ieee(std::span<const std::uint8_t> bytes) noexcept {
  std::uint32_t c = 0xFFFFFFFFu;
  for (const std::uint8_t b : bytes) c = kCrcTable[(c ^ b) & 0xff] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

std::expected<SecureString, PellucorError> mint_wire_credential(const KeySet& keys) {
  return mint_with(keys, [](std::span<const std::uint8_t> key, std::span<const std::uint8_t> pt) {
    return seal_random_nonce(key, pt);
  });
}

std::expected<SecureString, PellucorError> mint_wire_credential_with_nonce(
    const KeySet& keys, std::span<const std::uint8_t, kAeadNonceLen> nonce) {
  return mint_with(keys, [&](std::span<const std::uint8_t> key, std::span<const std::uint8_t> pt) {
    return seal_with_nonce(key, nonce, pt);
  });
}

GateContext::GateContext(Config c, KeySet k, GateEndpoint p, SecureString cred,
                         std::optional<GateEndpoint> r)
    : config(std::move(c)),
      keys(std::move(k)),
      primary(std::move(p)),
      credential(std::move(cred)),
      replica(std::move(r)) {}

GateContext::~GateContext() { wipe_key_set(keys); }

std::expected<GateContext, CliError> open_gate_context() {
  auto config = load_config();
  if (!config) return std::unexpected(std::move(config.error()));
  return open_gate_context_from(std::move(*config));
}

std::expected<GateContext, CliError> open_gate_context_from(Config config) {
  const auto vault_id = parse_hex16_id(config.vault_id);
  if (!vault_id) {
    return std::unexpected(make_error(
        err::PL_2004, "vault_id is not a 16-hex vault id (" +
                          std::string(hex16_error_name(vault_id.error())) +
                          "); a config from before the id change: enrol again"));
  }
  auto l2 = parse_hex_key16(config.l2, "l2");
  if (!l2) return std::unexpected(std::move(l2.error()));
  auto agent_id = parse_hex_key16(config.agent_id, "agent_id");
  if (!agent_id) return std::unexpected(std::move(agent_id.error()));
  auto device_id = parse_hex_key16(config.device_id, "device_id");
  if (!device_id) return std::unexpected(std::move(device_id.error()));

  // From here on the keys live in `keys`, which wipes itself on every way out.
  struct OwnedKeys {
    KeySet keys;
    ~OwnedKeys() { wipe_key_set(keys); }
  } owned;
  KeySet& keys = owned.keys;
  keys.l2 = *l2;
  keys.agent_id = *agent_id;
  keys.device_id = *device_id;
  keys.vault_id = static_cast<std::uint64_t>(*vault_id);
  std::copy(l2->begin(), l2->begin() + 8, keys.l1.begin());
  l2->wipe();
  agent_id->wipe();
  device_id->wipe();

  auto credential = mint_wire_credential(keys);
  if (!credential) {
    return std::unexpected(make_error(
        err::PL_2047, "mint wire token: " + format_pellucor_error_debug(credential.error())));
  }

  if (trim_white_space(config.vault_gate_pub).empty()) {
    return std::unexpected(make_error(
        err::PL_2004,
        "this config was enrolled before the enrolment blob carried the POP key: make a new "
        "client blob in the vault and enrol again"));
  }
  auto primary_key = parse_channel_key_field(config.vault_gate_pub, "vault_gate_pub");
  if (!primary_key) return std::unexpected(std::move(primary_key.error()));
  auto primary_url = gate_url_from_vault_url(config.vault_url);
  if (!primary_url) return std::unexpected(std::move(primary_url.error()));

  std::optional<GateEndpoint> replica;
  if (!trim_white_space(config.replica_url).empty() &&
      !trim_white_space(config.replica_gate_pub).empty()) {
    auto replica_key = parse_channel_key_field(config.replica_gate_pub, "replica_gate_pub");
    if (!replica_key) return std::unexpected(std::move(replica_key.error()));
    auto replica_url = gate_url_from_vault_url(config.replica_url);
    if (!replica_url) return std::unexpected(std::move(replica_url.error()));
    replica = GateEndpoint{std::move(*replica_url), *replica_key};
  }

  return GateContext(std::move(config), keys, GateEndpoint{std::move(*primary_url), *primary_key},
                     std::move(*credential), std::move(replica));
}

std::string vault_url_from_host(std::string_view host) {
  std::string_view h = trim_white_space(host);
  while (!h.empty() && h.back() == '/') h.remove_suffix(1);
  return "https://" + std::string(h);
}

std::string url_host(std::string_view url) {
  std::string_view rest = trim_white_space(url);
  if (const auto scheme = rest.find("://"); scheme != std::string_view::npos) {
    rest.remove_prefix(scheme + 3);
  }
  return std::string(rest.substr(0, rest.find_first_of("/:")));
}

}  // namespace pellucor
