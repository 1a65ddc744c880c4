// ML-KEM-768 (FIPS 203): key generation, encapsulation and decapsulation.
//
// The hashes (SHA3-256, SHA3-512, SHAKE-128, SHAKE-256) come from OpenSSL;
// the lattice arithmetic is our own. Every step that touches a secret
// (seeds, the secret vector, the message, the re-encryption in
// decapsulation) runs without secret-dependent branches or table indexes,
// and every intermediate holding secret material is wiped before return.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>

#include "crypto/errors.h"
#include "crypto/secure_buffer.h"

namespace pellucor::mlkem768 {

inline constexpr std::size_t kPublicKeyBytes = 1184;    // encapsulation key
inline constexpr std::size_t kSecretKeyBytes = 2400;    // expanded decapsulation key
inline constexpr std::size_t kCiphertextBytes = 1088;
inline constexpr std::size_t kSharedSecretBytes = 32;
inline constexpr std::size_t kSeedBytes = 64;           // d || z
inline constexpr std::size_t kMessageBytes = 32;        // encapsulation randomness m

struct KeyPair {
  std::array<std::uint8_t, kPublicKeyBytes> ek;
  SecureArray<kSecretKeyBytes> dk;
};

struct Encapsulated {
  std::array<std::uint8_t, kCiphertextBytes> ciphertext;
  SecureArray<kSharedSecretBytes> shared_secret;
};

// keygen_derand derives the key pair of the 64-byte seed d || z
// (ML-KEM.KeyGen_internal). It cannot fail short of the hash provider
// missing, which aborts the process. The caller owns wiping `dk`.
void keygen_derand(std::span<const std::uint8_t, kSeedBytes> seed_d_z,
                   std::span<std::uint8_t, kPublicKeyBytes> ek,
                   std::span<std::uint8_t, kSecretKeyBytes> dk);

// generate draws a fresh seed from OpenSSL's generator and derives a key
// pair from it; PL-0018 when no randomness is available.
std::expected<KeyPair, PellucorError> generate();

// check_encapsulation_key is true when `ek` is 1184 bytes and every one of
// its 768 packed 12-bit coefficients is below q (the modulus check).
bool check_encapsulation_key(std::span<const std::uint8_t> ek);

// encapsulate_derand encapsulates to `ek` with the given randomness `m`
// (ML-KEM.Encaps_internal). A key that fails check_encapsulation_key is
// refused with PL-0027; a hashing failure is PL-0018.
std::expected<Encapsulated, PellucorError> encapsulate_derand(
    std::span<const std::uint8_t> ek, std::span<const std::uint8_t, kMessageBytes> m);

// encapsulate is encapsulate_derand with `m` drawn from OpenSSL's generator
// (PL-0018 when none is available).
std::expected<Encapsulated, PellucorError> encapsulate(std::span<const std::uint8_t> ek);

// decapsulate returns the shared secret of `ct` under `dk`. A ciphertext
// that was not made for this key yields the implicit-rejection secret,
// indistinguishable from a real one, never an error. Refused with PL-0027:
// a ciphertext that is not 1088 bytes, or a key whose embedded hash does
// not match its embedded encapsulation key.
std::expected<SecureArray<kSharedSecretBytes>, PellucorError> decapsulate(
    std::span<const std::uint8_t, kSecretKeyBytes> dk, std::span<const std::uint8_t> ct);

// check_decapsulation_key is true when the hash of the encapsulation key
// embedded in `dk` equals the hash stored beside it.
bool check_decapsulation_key(std::span<const std::uint8_t, kSecretKeyBytes> dk);

}  // namespace pellucor::mlkem768
