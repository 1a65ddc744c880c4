// Fixed-parameter symmetric primitives over OpenSSL: SHA-256, HMAC-SHA256,
// HKDF-SHA256 and AES-GCM sealing and opening. Stateless; every fallible call
// returns the bare catalogue record on failure, with no message.
//
// AEAD key rule: a 16-byte key selects AES-128-GCM, a 32-byte key AES-256-GCM,
// any other length is PL-0001 and is reported before any other work. Nonces are
// always 12 bytes and tags 16 bytes. A nonce-prefixed blob is
// nonce (12) || ciphertext || tag (16).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "crypto/errors.h"
#include "crypto/secure_buffer.h"

namespace pellucor {

inline constexpr std::size_t kSha256Len = 32;
inline constexpr std::size_t kAeadNonceLen = 12;
inline constexpr std::size_t kAeadTagLen = 16;
inline constexpr std::size_t kNoncePrefixedOverhead = kAeadNonceLen + kAeadTagLen;  // 28
inline constexpr std::size_t kHkdfMaxLen = 255 * kSha256Len;                        // 8160

using Sha256Digest = std::array<std::uint8_t, kSha256Len>;
using AeadNonce = std::array<std::uint8_t, kAeadNonceLen>;

// random_bytes fills `out` from the system random source; PL-0018 when it
// cannot.
std::expected<void, PellucorError> random_bytes(std::span<std::uint8_t> out);

// sha256 returns the SHA-256 digest of `data`. Cannot fail.
Sha256Digest sha256(std::span<const std::uint8_t> data);

// hmac_sha256 returns the full 32-byte HMAC-SHA256 of `data` under `key` (any
// length). A refusal inside the library aborts the process.
Sha256Digest hmac_sha256(std::span<const std::uint8_t> key, std::span<const std::uint8_t> data);

// hkdf_sha256 is RFC 5869 HKDF with SHA-256; an absent salt is the empty salt.
// The result is `out_len` bytes, wiped on release. An `out_len` above 8160
// aborts the process: callers ask for at most 64 bytes.
SecureBytes hkdf_sha256(std::span<const std::uint8_t> ikm,
                        std::optional<std::span<const std::uint8_t, kSha256Len>> salt,
                        std::span<const std::uint8_t> info, std::size_t out_len);

enum class AeadAlgorithm : std::uint8_t { Aes128Gcm, Aes256Gcm };

// aead_algorithm_for_key picks the AES-GCM variant from the key length: PL-0001
// for a length other than 16 or 32, PL-0005 when the library has no such cipher.
std::expected<AeadAlgorithm, PellucorError> aead_algorithm_for_key(std::span<const std::uint8_t> key);

// aead_seal returns ciphertext || 16-byte tag. PL-0001 for a bad key length,
// PL-0005 when the library fails to seal.
std::expected<std::vector<std::uint8_t>, PellucorError> aead_seal(
    std::span<const std::uint8_t> key, std::span<const std::uint8_t, kAeadNonceLen> nonce,
    std::span<const std::uint8_t> aad, std::span<const std::uint8_t> plaintext);

// aead_open opens ciphertext || tag and returns the plaintext. PL-0001 for a bad
// key length, PL-0005 when the library refuses the key, PL-0003 for an input
// shorter than the tag or a tag that does not verify. Nothing of a failed
// decryption survives.
std::expected<SecureBytes, PellucorError> aead_open(
    std::span<const std::uint8_t> key, std::span<const std::uint8_t, kAeadNonceLen> nonce,
    std::span<const std::uint8_t> aad, std::span<const std::uint8_t> sealed);

// seal_random_nonce seals `plaintext` under a fresh random nonce with empty
// associated data and returns nonce || ciphertext || tag (plaintext + 28
// bytes). PL-0001 for a bad key length (checked before any randomness is
// drawn), PL-0018 when no nonce can be drawn, PL-0005 when sealing fails.
std::expected<std::vector<std::uint8_t>, PellucorError> seal_random_nonce(
    std::span<const std::uint8_t> key, std::span<const std::uint8_t> plaintext);

// seal_with_nonce is seal_random_nonce under a nonce the caller supplies. The
// program never calls it; it exists so tests can reproduce fixed transcripts.
std::expected<std::vector<std::uint8_t>, PellucorError> seal_with_nonce(
    std::span<const std::uint8_t> key, std::span<const std::uint8_t, kAeadNonceLen> nonce,
    std::span<const std::uint8_t> plaintext);

// decrypt_nonce_prefixed opens nonce || ciphertext || tag with empty associated
// data. PL-0010 when the blob is shorter than 28 bytes (tested before the key
// length); otherwise the failures of aead_open.
std::expected<SecureBytes, PellucorError> decrypt_nonce_prefixed(std::span<const std::uint8_t> key,
                                                                std::span<const std::uint8_t> blob);

// constant_time_equals compares two byte strings (a MAC against the expected
// one) in time that depends only on their lengths. Different lengths are
// unequal.
bool constant_time_equals(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) noexcept;

// Views of text as bytes, for the many callers that hold strings.
inline std::span<const std::uint8_t> as_bytes(std::string_view s) noexcept {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

}  // namespace pellucor
