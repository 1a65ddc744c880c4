// The symmetric state of the one-shot Noise handshake: chaining key, handshake
// hash and the cipher state (AES-256-GCM key and nonce counter).
//
// Cipher nonce: four zero bytes, then the counter as a big-endian 64-bit
// integer. Associated data of every encryption and decryption: the current
// handshake hash. A failed encryption or decryption leaves the state as it was.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <span>
#include <string_view>
#include <vector>

#include "crypto/errors.h"
#include "crypto/primitives.h"
#include "crypto/secure_buffer.h"

namespace pellucor {

inline constexpr std::string_view kNoiseProtocolName = "Pellucor_IK_P256+MLKEM768_AESGCM_SHA256";

struct SymmetricState {
  SecureArray<32> ck;     // chaining key
  Sha256Digest h{};       // handshake hash
  std::uint64_t n = 0;    // nonce counter of the current cipher key
  bool has_key = false;   // whether k holds a key
  SecureArray<32> k;      // AES-256-GCM key, meaningful only when has_key
};

// noise_initialise returns the state at the start of a handshake:
// h = SHA-256(protocol name), ck = h, n = 0, no cipher key.
SymmetricState noise_initialise();

// noise_nonce returns the 12-byte cipher nonce for counter `n`.
AeadNonce noise_nonce(std::uint64_t n) noexcept;

// noise_mix_hash sets h = SHA-256(h || data).
void noise_mix_hash(SymmetricState& st, std::span<const std::uint8_t> data);

// noise_mix_key runs HKDF-SHA256(salt = ck, ikm, no info, 64 bytes): ck takes
// the first half, k the second; n returns to 0.
void noise_mix_key(SymmetricState& st, std::span<const std::uint8_t, 32> ikm);

// noise_encrypt_and_hash seals `plaintext` under k with the current nonce and
// h as associated data, advances n and mixes the ciphertext (with its tag)
// into h. PL-0005 without a key; otherwise the failures of aead_seal.
std::expected<std::vector<std::uint8_t>, PellucorError> noise_encrypt_and_hash(
    SymmetricState& st, std::span<const std::uint8_t> plaintext);

// noise_decrypt_and_hash is its inverse: PL-0005 without a key, PL-0010 for an
// input under 16 bytes, PL-0003 when the tag does not verify.
std::expected<SecureBytes, PellucorError> noise_decrypt_and_hash(SymmetricState& st,
                                                                std::span<const std::uint8_t> ciphertext);

// wipe_symmetric_state zeroes ck and, when there is one, k. h and n are not
// secret and stay as they are.
void wipe_symmetric_state(SymmetricState& st) noexcept;

// wipe_cipher_key zeroes k when there is one.
void wipe_cipher_key(SymmetricState& st) noexcept;

}  // namespace pellucor
