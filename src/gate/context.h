// The gate context: everything a command hands to its gate calls, built once
// from the sealed configuration: the agent's decoded keys, the home gate and
// the optional replica, and the wire credential sent as "cred" in every
// request.
//
// The context owns its key material and wipes it when it is destroyed, on
// every way out of the command that opened it.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "crypto/channel_key.h"
#include "crypto/errors.h"
#include "crypto/primitives.h"
#include "crypto/secure_buffer.h"
#include "gate/config_file.h"

namespace pellucor {

// One gate to call: its URL (ending in "/gate") and the node's channel key.
struct GateEndpoint {
  std::string gate_url;
  ChannelKey channel_key;
};

// The agent's decoded keys.
struct KeySet {
  SecureArray<16> l2;         // the L2 key
  SecureArray<16> agent_id;
  SecureArray<16> device_id;
  std::uint64_t vault_id = 0;  // not secret
  SecureArray<8> l1;          // the first 8 bytes of l2
};

// wipe_key_set overwrites l2, l1, agent_id and device_id with zeros, in that
// order, through writes the optimiser cannot drop; vault_id stays.
void wipe_key_set(KeySet& keys) noexcept;

// The length of every wire credential: "plt_" + 82 + "." + 6.
inline constexpr std::size_t kWireCredentialLen = 93;

// mint_wire_credential seals l1 || agent_id under the envelope key derived
// from the vault id (HKDF-SHA256, info "plt-envelope") with a fresh nonce and
// returns "plt_" + base64url(2 || vault_id BE || nonce || ct || tag) + "." +
// base64url(CRC-32 BE of the first 86 characters). PL-0018 when no nonce can
// be drawn, PL-0005 when sealing fails.
std::expected<SecureString, PellucorError> mint_wire_credential(const KeySet& keys);

// mint_wire_credential_with_nonce is mint_wire_credential under a given
// nonce. The program never calls it; tests reproduce fixed credentials.
std::expected<SecureString, PellucorError> mint_wire_credential_with_nonce(
    const KeySet& keys, std::span<const std::uint8_t, kAeadNonceLen> nonce);

// crc32_ieee is the CRC-32 of ISO 3309 / IEEE 802.3 (reflected 0xEDB88320,
// initial value and final complement all ones).
std::uint32_t crc32_ieee(std::span<const std::uint8_t> bytes) noexcept;

// What a command hands to every gate call. Owned by the command; never
// copied; its keys are wiped when it is destroyed.
struct GateContext {
  Config config;
  KeySet keys;
  GateEndpoint primary;
  SecureString credential;
  std::optional<GateEndpoint> replica;

  GateContext(Config config, KeySet keys, GateEndpoint primary, SecureString credential,
              std::optional<GateEndpoint> replica);
  GateContext(GateContext&&) = default;
  GateContext& operator=(GateContext&&) = delete;
  GateContext(const GateContext&) = delete;
  GateContext& operator=(const GateContext&) = delete;
  ~GateContext();
};

// open_gate_context loads the configuration (load_config) and builds the
// context from it (open_gate_context_from); the first failure is returned.
std::expected<GateContext, CliError> open_gate_context();

// open_gate_context_from checks, in order: vault_id (PL-2004), l2, agent_id,
// device_id (PL-2004), the credential (PL-2047 "mint wire token: ..."),
// vault_gate_pub (PL-2004), the vault URL (PL-2000), then the replica, which
// is left out when its URL or its key is blank.
std::expected<GateContext, CliError> open_gate_context_from(Config config);

// vault_url_from_host trims white space and every trailing "/" from `host`
// and returns "https://" followed by the rest.
std::string vault_url_from_host(std::string_view host);

// url_host returns the host of `url`: trimmed, after the first "://" when
// there is one, up to the first "/" or ":". Never fails.
std::string url_host(std::string_view url);

}  // namespace pellucor
