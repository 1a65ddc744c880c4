// The client side of the one-shot Noise handshake that wraps every gate call.
//
// Pattern IK over P-256 with an ML-KEM-768 encapsulation to the node's key,
// AES-256-GCM and SHA-256. The client knows the node's `ChannelKey` in
// advance; message 1 carries the client's ephemeral key, the KEM ciphertext,
// the client's (per-call) static key and the encrypted request, message 2 the
// node's ephemeral key and the encrypted reply. One handshake protects exactly
// one request and its reply; no transport keys are split off.
//
// Security contract: every secret of the handshake (the two private scalars,
// the chaining and cipher keys, every Diffie-Hellman output and the KEM shared
// secret) lives in a wiping type and is overwritten on every way out, success
// or failure. A failure of message 1 means nothing was sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string_view>
#include <vector>

#include "crypto/errors.h"
#include "crypto/noise_state.h"
#include "crypto/secure_buffer.h"

namespace pellucor {

inline constexpr std::string_view NOISE_PROTOCOL_NAME = kNoiseProtocolName;
inline constexpr std::string_view NOISE_PROLOGUE = "pellucor-noise-v2";

inline constexpr std::size_t NOISE_P256_POINT_BYTES = 65;
inline constexpr std::size_t NOISE_KEM_CIPHERTEXT_BYTES = 1088;
inline constexpr std::size_t NOISE_TAG_BYTES = 16;
inline constexpr std::size_t NOISE_RESPONDER_KEY_BYTES = 1249;  // P-256 point || ML-KEM-768 key
// Message 1 is the payload plus this many bytes: e_pub, kem_ct, c_s, the tag of c_p.
inline constexpr std::size_t HANDSHAKE_MESSAGE1_OVERHEAD =
    NOISE_P256_POINT_BYTES + NOISE_KEM_CIPHERTEXT_BYTES + (NOISE_P256_POINT_BYTES + NOISE_TAG_BYTES) +
    NOISE_TAG_BYTES;
// The shortest message 2: the node's ephemeral point and the tag of an empty reply.
inline constexpr std::size_t HANDSHAKE_MESSAGE2_MIN_BYTES = NOISE_P256_POINT_BYTES + NOISE_TAG_BYTES;

// InitiatorHandshake is the state of one call's handshake between message 1
// and message 2. Move-only; wipes its secrets when destroyed.
class InitiatorHandshake {
 public:
  InitiatorHandshake(InitiatorHandshake&& other) noexcept;
  InitiatorHandshake& operator=(InitiatorHandshake&&) = delete;
  InitiatorHandshake(const InitiatorHandshake&) = delete;
  InitiatorHandshake& operator=(const InitiatorHandshake&) = delete;
  ~InitiatorHandshake();

  // handshake_hash returns the current handshake hash `h` (not secret).
  std::span<const std::uint8_t, 32> handshake_hash() const noexcept;

 private:
  InitiatorHandshake() noexcept;
  void wipe() noexcept;

  SymmetricState sym_;
  SecureArray<32> e_;  // ephemeral private scalar
  SecureArray<32> s_;  // static private scalar of this call

  friend struct HandshakeInternals;
};

// HandshakeStart is what message 1 leaves behind: the state for message 2 and
// the bytes to send.
struct HandshakeStart {
  InitiatorHandshake state;
  std::vector<std::uint8_t> message1;
};

// write_handshake_message1 runs the initiator's first message against the
// node key `rs` (1249 bytes) with the call's static scalar `s`, encrypting the
// framed request `payload`; the ephemeral key and the KEM randomness are drawn
// from the system source. On failure it returns PL-2047 "handshake msg1: {}"
// with the inner record in debug form (PL-0027 for an unusable node key).
std::expected<HandshakeStart, CliError> write_handshake_message1(std::span<const std::uint8_t> rs,
                                                                 std::span<const std::uint8_t, 32> s,
                                                                 std::span<const std::uint8_t> payload);

// write_handshake_message1_seeded is write_handshake_message1 with the
// ephemeral scalar and the 32-byte ML-KEM encapsulation randomness given,
// which makes message 1 reproducible. For tests and fixed transcripts only:
// a real call must never reuse either value.
std::expected<HandshakeStart, CliError> write_handshake_message1_seeded(
    std::span<const std::uint8_t> rs, std::span<const std::uint8_t, 32> s, std::span<const std::uint8_t> payload,
    std::span<const std::uint8_t, 32> ephemeral, std::span<const std::uint8_t, 32> kem_randomness);

// read_handshake_message2 consumes the handshake state and opens the node's
// reply `message2`; the state is wiped whatever the outcome. Returns the reply
// plaintext, or PL-2047 "open msg2: {}" with the inner record in debug form
// (PL-0010 for a message under 81 bytes, PL-0027 for a bad ephemeral point,
// PL-0003 when the reply does not verify).
std::expected<SecureBytes, CliError> read_handshake_message2(InitiatorHandshake&& state,
                                                             std::span<const std::uint8_t> message2);

}  // namespace pellucor
