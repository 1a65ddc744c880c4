// P-256 (secp256r1) keys and ECDH for the Noise handshake. Keys cross this
// interface as bytes: a private key is its 32-byte big-endian scalar, a public
// key its 65-byte uncompressed point 0x04 || X || Y, a shared secret the
// 32-byte X coordinate of the shared point.
//
// Everything that can be blamed on key material (scalar out of range, a peer
// point that is malformed or off the curve, a refused agreement) is PL-0027:
// the handshake stops before anything is sent.
#pragma once

#include <openssl/types.h>

#include <array>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>

#include "crypto/errors.h"
#include "crypto/secure_buffer.h"

namespace pellucor {

inline constexpr std::size_t kP256ScalarLen = 32;
inline constexpr std::size_t kP256PointLen = 65;

using P256Scalar = SecureArray<kP256ScalarLen>;
using P256Point = std::array<std::uint8_t, kP256PointLen>;
using P256SharedSecret = SecureArray<32>;

// A working private key: the scalar, its public point and the curve, held by
// the crypto library. Built only by p256_private_key_from_scalar; released
// when it goes out of scope.
class P256PrivateKey {
 public:
  const P256Point& public_point() const noexcept { return public_point_; }
  EVP_PKEY* library_key() const noexcept { return key_.get(); }

 private:
  struct Free {
    void operator()(EVP_PKEY* k) const noexcept;
  };
  P256PrivateKey(EVP_PKEY* key, const P256Point& pub) : key_(key), public_point_(pub) {}
  friend std::expected<P256PrivateKey, PellucorError> p256_private_key_from_scalar(
      std::span<const std::uint8_t, kP256ScalarLen> scalar);

  std::unique_ptr<EVP_PKEY, Free> key_;
  P256Point public_point_;
};

// p256_generate_private draws a fresh private scalar from the system random
// source. PL-0018 when key generation fails, PL-0005 when the scalar cannot be
// extracted.
std::expected<P256Scalar, PellucorError> p256_generate_private();

// Where fresh private scalars come from. The program only ever uses
// system_p256_scalars(); the handshake takes the source as a parameter so a
// test can hand it fixed scalars and reproduce a recorded transcript.
class P256ScalarSource {
 public:
  virtual ~P256ScalarSource() = default;
  // next returns a fresh scalar, or the failure of p256_generate_private.
  virtual std::expected<P256Scalar, PellucorError> next() = 0;
};

// system_p256_scalars returns the source that calls p256_generate_private.
P256ScalarSource& system_p256_scalars();

// p256_private_key_from_scalar builds the working key of a scalar, which must
// lie in 1 .. n-1. PL-0027 otherwise, or when the library refuses the key.
std::expected<P256PrivateKey, PellucorError> p256_private_key_from_scalar(
    std::span<const std::uint8_t, kP256ScalarLen> scalar);

// p256_public_from_private returns the uncompressed public point of a scalar.
// PL-0027 for a scalar out of range; PL-0005 when the point cannot be exported.
std::expected<P256Point, PellucorError> p256_public_from_private(
    std::span<const std::uint8_t, kP256ScalarLen> scalar);

// p256_ecdh returns the shared secret of our scalar and the peer's public key,
// given as a DER SubjectPublicKeyInfo or (the usual case) a raw SEC1 point.
// PL-0027 for an unusable scalar or peer key; PL-0005 for a result that is not
// 32 bytes.
std::expected<P256SharedSecret, PellucorError> p256_ecdh(std::span<const std::uint8_t, kP256ScalarLen> scalar,
                                                         std::span<const std::uint8_t> peer_public);

}  // namespace pellucor
