#include "crypto/p256.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/params.h>
#include <openssl/x509.h>

#include <algorithm>
#include <bit>
#include <cstring>

namespace pellucor {
namespace {

char kGroupName[] = "prime256v1";

struct PkeyFree {
  void operator()(EVP_PKEY* k) const noexcept { EVP_PKEY_free(k); }
};
struct PkeyCtxFree {
  void operator()(EVP_PKEY_CTX* c) const noexcept { EVP_PKEY_CTX_free(c); }
};
struct BnClearFree {
  void operator()(BIGNUM* b) const noexcept { BN_clear_free(b); }
};
struct PointFree {
  void operator()(EC_POINT* p) const noexcept { EC_POINT_free(p); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;
using Bn = std::unique_ptr<BIGNUM, BnClearFree>;
using Point = std::unique_ptr<EC_POINT, PointFree>;

// The curve is set up once and only read afterwards.
const EC_GROUP* p256_group() {
  static EC_GROUP* const group = EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1);
  return group;
}

// Builds a P-256 key from an encoded public point and/or the scalar as a
// native-endian integer (either may be absent). Null when the library refuses
// it; the library checks that a point lies on the curve.
Pkey pkey_from_params(std::span<const std::uint8_t> encoded_point, std::uint8_t* native_scalar) {
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
  if (ctx == nullptr || EVP_PKEY_fromdata_init(ctx.get()) != 1) return nullptr;
  OSSL_PARAM params[4];
  std::size_t n = 0;
  params[n++] = OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, kGroupName, 0);
  if (!encoded_point.empty()) {
    params[n++] = OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY,
                                                    const_cast<std::uint8_t*>(encoded_point.data()),
                                                    encoded_point.size());
  }
  if (native_scalar != nullptr) {
    params[n++] = OSSL_PARAM_construct_BN(OSSL_PKEY_PARAM_PRIV_KEY, native_scalar, kP256ScalarLen);
  }
  params[n] = OSSL_PARAM_construct_end();
  EVP_PKEY* key = nullptr;
  const int selection = native_scalar != nullptr ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY;
  if (EVP_PKEY_fromdata(ctx.get(), &key, selection, params) != 1) return nullptr;
  return Pkey(key);
}

Pkey private_only_key(std::uint8_t* native_scalar) { return pkey_from_params({}, native_scalar); }

// A raw SEC1 encoding of a finite point: uncompressed (65 bytes, 0x04) or
// compressed (33 bytes, 0x02 / 0x03). The infinity byte and the hybrid forms
// are refused before the library sees them.
bool is_finite_point_encoding(std::span<const std::uint8_t> p) {
  if (p.size() == kP256PointLen) return p[0] == 0x04;
  if (p.size() == 33) return p[0] == 0x02 || p[0] == 0x03;
  return false;
}

Pkey peer_from_raw_point(std::span<const std::uint8_t> point) {
  if (!is_finite_point_encoding(point)) return nullptr;
  return pkey_from_params(point, nullptr);
}

// A DER SubjectPublicKeyInfo: the whole input must be one EC key on P-256,
// whose point then passes the same checks as a raw point. `is_spki` tells the
// caller whether the bytes were a SubjectPublicKeyInfo at all.
Pkey peer_from_spki(std::span<const std::uint8_t> der, bool& is_spki) {
  const unsigned char* p = der.data();
  Pkey key(d2i_PUBKEY(nullptr, &p, static_cast<long>(der.size())));
  is_spki = key != nullptr;
  if (key == nullptr) return nullptr;
  if (p != der.data() + der.size() || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_EC) return nullptr;
  // Only the named curve: explicit curve parameters, even ones that spell
  // out P-256, are refused rather than trusted field by field.
  char group[32] = {0};
  char encoding[32] = {0};
  std::size_t len = 0;
  if (EVP_PKEY_get_utf8_string_param(key.get(), OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group, &len) != 1 ||
      std::strcmp(group, kGroupName) != 0 ||
      EVP_PKEY_get_utf8_string_param(key.get(), OSSL_PKEY_PARAM_EC_ENCODING, encoding, sizeof encoding, &len) != 1 ||
      std::strcmp(encoding, OSSL_PKEY_EC_ENCODING_GROUP) != 0) {
    return nullptr;
  }
  std::uint8_t encoded[kP256PointLen + 1];
  std::size_t encoded_len = 0;
  if (EVP_PKEY_get_octet_string_param(key.get(), OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, encoded, sizeof encoded,
                                      &encoded_len) != 1) {
    return nullptr;
  }
  return peer_from_raw_point(std::span<const std::uint8_t>(encoded, encoded_len));
}

// The scalar as an integer, when it lies in 1 .. n-1; null otherwise.
Bn scalar_in_range(std::span<const std::uint8_t, kP256ScalarLen> scalar) {
  const EC_GROUP* group = p256_group();
  if (group == nullptr) return nullptr;
  Bn priv(BN_bin2bn(scalar.data(), kP256ScalarLen, nullptr));
  if (priv == nullptr) return nullptr;
  BN_set_flags(priv.get(), BN_FLG_CONSTTIME);
  if (BN_is_zero(priv.get()) || BN_cmp(priv.get(), EC_GROUP_get0_order(group)) >= 0) return nullptr;
  return priv;
}

// The parameter interface takes integers in the machine's byte order.
struct NativeScalar : P256Scalar {
  explicit NativeScalar(std::span<const std::uint8_t, kP256ScalarLen> big_endian) : P256Scalar(big_endian) {
    if constexpr (std::endian::native == std::endian::little) std::reverse(begin(), end());
  }
};

}  // namespace

void P256PrivateKey::Free::operator()(EVP_PKEY* k) const noexcept { EVP_PKEY_free(k); }

std::expected<P256Scalar, PellucorError> p256_generate_private() {
  Pkey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", kGroupName));
  if (key == nullptr) {
    ERR_clear_error();
    return std::unexpected(err::PL_0018);
  }
  BIGNUM* raw = nullptr;
  if (EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_PRIV_KEY, &raw) != 1 || raw == nullptr) {
    return std::unexpected(err::PL_0005);
  }
  Bn priv(raw);
  P256Scalar out;
  if (BN_bn2binpad(priv.get(), out.data(), kP256ScalarLen) != static_cast<int>(kP256ScalarLen)) {
    return std::unexpected(err::PL_0005);
  }
  return out;
}

P256ScalarSource& system_p256_scalars() {
  struct SystemSource final : P256ScalarSource {
    std::expected<P256Scalar, PellucorError> next() override { return p256_generate_private(); }
  };
  static SystemSource source;
  return source;
}

std::expected<P256PrivateKey, PellucorError> p256_private_key_from_scalar(
    std::span<const std::uint8_t, kP256ScalarLen> scalar) {
  const EC_GROUP* group = p256_group();
  Bn priv = scalar_in_range(scalar);
  if (priv == nullptr) return std::unexpected(err::PL_0027);
  Point pub(EC_POINT_new(group));
  P256Point encoded{};
  if (pub == nullptr || EC_POINT_mul(group, pub.get(), priv.get(), nullptr, nullptr, nullptr) != 1 ||
      EC_POINT_is_at_infinity(group, pub.get()) ||
      EC_POINT_point2oct(group, pub.get(), POINT_CONVERSION_UNCOMPRESSED, encoded.data(), encoded.size(),
                         nullptr) != kP256PointLen) {
    ERR_clear_error();
    return std::unexpected(err::PL_0027);
  }
  NativeScalar native(scalar);
  Pkey key = pkey_from_params(encoded, native.data());
  if (key == nullptr) {
    ERR_clear_error();
    return std::unexpected(err::PL_0027);
  }
  return P256PrivateKey(key.release(), encoded);
}

std::expected<P256Point, PellucorError> p256_public_from_private(
    std::span<const std::uint8_t, kP256ScalarLen> scalar) {
  auto key = p256_private_key_from_scalar(scalar);
  if (!key) return std::unexpected(key.error());
  const P256Point& pub = key->public_point();
  if (pub[0] != 0x04) return std::unexpected(err::PL_0005);
  return pub;
}

std::expected<P256SharedSecret, PellucorError> p256_ecdh(std::span<const std::uint8_t, kP256ScalarLen> scalar,
                                                         std::span<const std::uint8_t> peer_public) {
  // Agreement needs only the scalar: the own public point is not computed.
  if (scalar_in_range(scalar) == nullptr) return std::unexpected(err::PL_0027);
  NativeScalar native(scalar);
  Pkey own = private_only_key(native.data());
  if (own == nullptr) {
    ERR_clear_error();
    return std::unexpected(err::PL_0027);
  }

  bool is_spki = false;
  Pkey peer = peer_from_spki(peer_public, is_spki);
  if (!is_spki) peer = peer_from_raw_point(peer_public);
  if (peer == nullptr) {
    ERR_clear_error();
    return std::unexpected(err::PL_0027);
  }

  PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, own.get(), nullptr));
  std::size_t len = 0;
  // The peer point was checked on decoding; P-256 has cofactor 1, so a point
  // on the curve is in the prime-order group.
  if (ctx == nullptr || EVP_PKEY_derive_init(ctx.get()) != 1 ||
      EVP_PKEY_derive_set_peer_ex(ctx.get(), peer.get(), 0) != 1 ||
      EVP_PKEY_derive(ctx.get(), nullptr, &len) != 1) {
    ERR_clear_error();
    return std::unexpected(err::PL_0027);
  }
  if (len != 32) return std::unexpected(err::PL_0005);
  P256SharedSecret out;
  if (EVP_PKEY_derive(ctx.get(), out.data(), &len) != 1) {
    ERR_clear_error();
    return std::unexpected(err::PL_0027);
  }
  if (len != 32) return std::unexpected(err::PL_0005);
  return out;
}

}  // namespace pellucor
