// The node's side of the gate handshake, for the test gate and the tests.
// Never part of the shipped program.
//
// The responder mirrors every step of the client: it reads message 1 with the
// node's P-256 scalar and ML-KEM-768 decapsulation key (implicit rejection, so
// a forged KEM ciphertext just yields a wrong key and a failed tag), and writes
// message 2 with a fresh or injected ephemeral key.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "crypto/errors.h"
#include "crypto/noise_state.h"
#include "crypto/secure_buffer.h"
#include "tests/support/test_gate.h"

namespace pellucor::testing {

// NodeKeyPair: a gate node's static keys.
struct NodeKeyPair {
  SecureArray<32> p256_private;
  std::array<std::uint8_t, 65> p256_public{};
  std::array<std::uint8_t, 1184> mlkem_ek{};
  SecureArray<2400> mlkem_dk;

  // channel_key returns the 1249-byte public key clients pin.
  std::vector<std::uint8_t> channel_key() const;
  // channel_key_hex returns its 2498-digit lowercase text form.
  std::string channel_key_hex() const;
};

// generate_node_key_pair draws a fresh node key pair from the system source.
std::expected<NodeKeyPair, PellucorError> generate_node_key_pair();

// node_key_pair_from_seeds rebuilds a node key pair from its P-256 scalar and
// its 64-byte ML-KEM-768 seed (d || z). PL-0027 for a scalar out of range.
std::expected<NodeKeyPair, PellucorError> node_key_pair_from_seeds(std::span<const std::uint8_t, 32> p256_private,
                                                                    std::span<const std::uint8_t, 64> mlkem_seed);

// ResponderHandshake: the node's state between reading message 1 and writing
// message 2. Move-only; wipes its secrets when destroyed.
class ResponderHandshake {
 public:
  ResponderHandshake(ResponderHandshake&& other) noexcept;
  ResponderHandshake& operator=(ResponderHandshake&&) = delete;
  ResponderHandshake(const ResponderHandshake&) = delete;
  ~ResponderHandshake();

  std::span<const std::uint8_t, 32> handshake_hash() const noexcept;
  // The client's static public key as it arrived in message 1.
  std::span<const std::uint8_t, 65> initiator_static() const noexcept { return initiator_s_; }

 private:
  ResponderHandshake() noexcept;
  void wipe() noexcept;

  SymmetricState sym_;
  std::array<std::uint8_t, 65> initiator_e_{};
  std::array<std::uint8_t, 65> initiator_s_{};

  friend struct ResponderInternals;
};

struct ResponderRead {
  ResponderHandshake state;
  SecureBytes payload;  // the framed request
};

// read_handshake_message1 opens a client's message 1 with the node's keys.
// PL-0010 for a message under 1250 bytes, PL-0027 for a bad point, PL-0003
// when a tag does not verify (which is also what a forged KEM ciphertext gives).
std::expected<ResponderRead, PellucorError> read_handshake_message1(const NodeKeyPair& node,
                                                                    std::span<const std::uint8_t> message1);

// write_handshake_message2 consumes the state and seals `reply` (the framed
// reply plaintext). `ephemeral` fixes the node's ephemeral scalar (transcripts);
// without it one is drawn.
std::expected<std::vector<std::uint8_t>, PellucorError> write_handshake_message2(
    ResponderHandshake&& state, std::span<const std::uint8_t> reply,
    std::optional<std::span<const std::uint8_t, 32>> ephemeral = std::nullopt);

// seal_for_another_handshake seals `reply` as message 2 of a second,
// independent handshake with the node (a client key pair of its own): a
// message of the right shape that the client who asked can never open.
std::expected<std::vector<std::uint8_t>, PellucorError> seal_for_another_handshake(
    const NodeKeyPair& node, std::span<const std::uint8_t> reply);

// noise_responder returns the test gate's Noise layer for `node`: it opens
// message 1 and seals replies (honestly, or for another handshake when the
// gate's fault asks for it).
Responder noise_responder(std::shared_ptr<const NodeKeyPair> node);

}  // namespace pellucor::testing
