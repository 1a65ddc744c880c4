#include "crypto/primitives.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <algorithm>
#include <climits>
#include <memory>

#include "crypto/invariant.h"

namespace pellucor {
namespace {

constexpr std::string_view kHkdfUnreachable =
    "internal error: entered unreachable code: the caller bounds the HKDF length";

struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* c) const noexcept { EVP_CIPHER_CTX_free(c); }
};
struct MacCtxFree {
  void operator()(EVP_MAC_CTX* c) const noexcept { EVP_MAC_CTX_free(c); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;
using MacCtx = std::unique_ptr<EVP_MAC_CTX, MacCtxFree>;

// The ciphers and the HMAC template are fetched once for the whole run; the
// objects are immutable once fetched and shared read-only.
const EVP_CIPHER* cipher_for(AeadAlgorithm alg) {
  static EVP_CIPHER* const aes128 = EVP_CIPHER_fetch(nullptr, "AES-128-GCM", nullptr);
  static EVP_CIPHER* const aes256 = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
  return alg == AeadAlgorithm::Aes128Gcm ? aes128 : aes256;
}

const EVP_MAC_CTX* hmac_template() {
  static EVP_MAC_CTX* const tmpl = [] {
    EVP_MAC* mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    EVP_MAC_CTX* ctx = mac != nullptr ? EVP_MAC_CTX_new(mac) : nullptr;
    EVP_MAC_free(mac);  // the context keeps its own reference
    if (ctx != nullptr) {
      char digest[] = "SHA256";
      OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                             OSSL_PARAM_construct_end()};
      if (EVP_MAC_CTX_set_params(ctx, params) != 1) {
        EVP_MAC_CTX_free(ctx);
        ctx = nullptr;
      }
    }
    return ctx;
  }();
  return tmpl;
}

// A zero-length key still needs a non-null pointer: a null key tells the MAC
// to keep whatever key it had.
const std::uint8_t kEmpty[1] = {0};
const std::uint8_t* nonnull(std::span<const std::uint8_t> s) { return s.empty() ? kEmpty : s.data(); }

// One HMAC-SHA256 computation fed in pieces. `ok()` turns false on the first
// refusal of the library; the caller decides how to die.
class Hmac {
 public:
  Hmac() {
    const EVP_MAC_CTX* t = hmac_template();
    if (t != nullptr) ctx_.reset(EVP_MAC_CTX_dup(t));
    ok_ = ctx_ != nullptr;
  }
  void init(std::span<const std::uint8_t> key) {
    ok_ = ok_ && EVP_MAC_init(ctx_.get(), nonnull(key), key.size(), nullptr) == 1;
  }
  void update(std::span<const std::uint8_t> data) {
    if (!data.empty()) ok_ = ok_ && EVP_MAC_update(ctx_.get(), data.data(), data.size()) == 1;
  }
  void final(std::uint8_t* out) {
    std::size_t len = 0;
    ok_ = ok_ && EVP_MAC_final(ctx_.get(), out, &len, kSha256Len) == 1 && len == kSha256Len;
  }
  bool ok() const { return ok_; }

 private:
  MacCtx ctx_;
  bool ok_ = false;
};

bool fits_int(std::size_t n) { return n <= static_cast<std::size_t>(INT_MAX); }

// Seals into out[0 .. plaintext.size() + 16).
std::expected<void, PellucorError> seal_into(AeadAlgorithm alg, std::span<const std::uint8_t> key,
                                             std::span<const std::uint8_t, kAeadNonceLen> nonce,
                                             std::span<const std::uint8_t> aad,
                                             std::span<const std::uint8_t> plaintext, std::uint8_t* out) {
  if (!fits_int(aad.size()) || !fits_int(plaintext.size())) return std::unexpected(err::PL_0005);
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  AeadNonce iv;
  std::copy(nonce.begin(), nonce.end(), iv.begin());
  bool ok = ctx != nullptr &&
            EVP_EncryptInit_ex2(ctx.get(), cipher_for(alg), key.data(), iv.data(), nullptr) == 1;
  int len = 0;
  if (ok && !aad.empty()) ok = EVP_EncryptUpdate(ctx.get(), nullptr, &len, aad.data(), static_cast<int>(aad.size())) == 1;
  std::size_t written = 0;
  if (ok && !plaintext.empty()) {
    ok = EVP_EncryptUpdate(ctx.get(), out, &len, plaintext.data(), static_cast<int>(plaintext.size())) == 1;
    written = static_cast<std::size_t>(len);
  }
  if (ok) {
    ok = EVP_EncryptFinal_ex(ctx.get(), out + written, &len) == 1;
    written += static_cast<std::size_t>(len);
  }
  ok = ok && written == plaintext.size() &&
       EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_GET_TAG, kAeadTagLen, out + written) == 1;
  wipe_bytes(iv.data(), iv.size());
  if (!ok) return std::unexpected(err::PL_0005);
  return {};
}

}  // namespace

bool constant_time_equals(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) noexcept {
  if (a.size() != b.size()) return false;
  if (a.empty()) return true;
  return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

std::expected<void, PellucorError> random_bytes(std::span<std::uint8_t> out) {
  if (out.empty()) return {};
  if (!fits_int(out.size()) || RAND_bytes(out.data(), static_cast<int>(out.size())) != 1) {
    return std::unexpected(err::PL_0018);
  }
  return {};
}

Sha256Digest sha256(std::span<const std::uint8_t> data) {
  Sha256Digest out;
  SHA256(nonnull(data), data.size(), out.data());
  return out;
}

Sha256Digest hmac_sha256(std::span<const std::uint8_t> key, std::span<const std::uint8_t> data) {
  Sha256Digest out;
  Hmac mac;
  mac.init(key);
  mac.update(data);
  mac.final(out.data());
  if (!mac.ok()) abort_invariant("HMAC-SHA256 refused by the crypto library");
  return out;
}

SecureBytes hkdf_sha256(std::span<const std::uint8_t> ikm,
                        std::optional<std::span<const std::uint8_t, kSha256Len>> salt,
                        std::span<const std::uint8_t> info, std::size_t out_len) {
  SecureArray<kSha256Len> prk;
  Hmac mac;
  mac.init(salt ? std::span<const std::uint8_t>(*salt) : std::span<const std::uint8_t>());
  mac.update(ikm);
  mac.final(prk.data());
  if (!mac.ok()) abort_invariant(kHkdfUnreachable);
  if (out_len > kHkdfMaxLen) abort_invariant(kHkdfUnreachable);

  SecureBytes out(out_len);
  SecureArray<kSha256Len> block;
  std::size_t done = 0;
  for (std::uint8_t counter = 1; done < out_len; ++counter) {
    mac.init(prk.span());
    if (counter > 1) mac.update(block.span());
    mac.update(info);
    mac.update(std::span<const std::uint8_t>(&counter, 1));
    mac.final(block.data());
    if (!mac.ok()) abort_invariant(kHkdfUnreachable);
    std::size_t take = std::min(kSha256Len, out_len - done);
    std::copy_n(block.data(), take, out.data() + done);
    done += take;
  }
  return out;
}

std::expected<AeadAlgorithm, PellucorError> aead_algorithm_for_key(std::span<const std::uint8_t> key) {
  AeadAlgorithm alg;
  if (key.size() == 16) {
    alg = AeadAlgorithm::Aes128Gcm;
  } else if (key.size() == 32) {
    alg = AeadAlgorithm::Aes256Gcm;
  } else {
    return std::unexpected(err::PL_0001);
  }
  if (cipher_for(alg) == nullptr) return std::unexpected(err::PL_0005);
  return alg;
}

std::expected<std::vector<std::uint8_t>, PellucorError> aead_seal(
    std::span<const std::uint8_t> key, std::span<const std::uint8_t, kAeadNonceLen> nonce,
    std::span<const std::uint8_t> aad, std::span<const std::uint8_t> plaintext) {
  auto alg = aead_algorithm_for_key(key);
  if (!alg) return std::unexpected(alg.error());
  std::vector<std::uint8_t> out(plaintext.size() + kAeadTagLen);
  if (auto r = seal_into(*alg, key, nonce, aad, plaintext, out.data()); !r) return std::unexpected(r.error());
  return out;
}

std::expected<SecureBytes, PellucorError> aead_open(std::span<const std::uint8_t> key,
                                                    std::span<const std::uint8_t, kAeadNonceLen> nonce,
                                                    std::span<const std::uint8_t> aad,
                                                    std::span<const std::uint8_t> sealed) {
  auto alg = aead_algorithm_for_key(key);
  if (!alg) return std::unexpected(alg.error());
  if (sealed.size() < kAeadTagLen) return std::unexpected(err::PL_0003);
  const std::size_t ct_len = sealed.size() - kAeadTagLen;
  if (!fits_int(aad.size()) || !fits_int(ct_len)) return std::unexpected(err::PL_0003);

  CipherCtx ctx(EVP_CIPHER_CTX_new());
  AeadNonce iv;
  std::copy(nonce.begin(), nonce.end(), iv.begin());
  const bool keyed = ctx != nullptr &&
                     EVP_DecryptInit_ex2(ctx.get(), cipher_for(*alg), key.data(), iv.data(), nullptr) == 1;
  wipe_bytes(iv.data(), iv.size());
  if (!keyed) return std::unexpected(err::PL_0005);

  // The working buffer is wiped on release, so a failed open leaves nothing of
  // the partly decrypted text behind.
  SecureBytes out(ct_len);
  std::array<std::uint8_t, kAeadTagLen> tag;
  std::copy_n(sealed.data() + ct_len, kAeadTagLen, tag.begin());
  int len = 0;
  bool ok = true;
  if (!aad.empty()) ok = EVP_DecryptUpdate(ctx.get(), nullptr, &len, aad.data(), static_cast<int>(aad.size())) == 1;
  std::size_t written = 0;
  if (ok && ct_len != 0) {
    ok = EVP_DecryptUpdate(ctx.get(), out.data(), &len, sealed.data(), static_cast<int>(ct_len)) == 1;
    written = static_cast<std::size_t>(len);
  }
  ok = ok && EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_TAG, kAeadTagLen, tag.data()) == 1;
  if (ok) {
    ok = EVP_DecryptFinal_ex(ctx.get(), out.data() + written, &len) == 1;
    written += static_cast<std::size_t>(len);
  }
  if (!ok || written != ct_len) {
    wipe_bytes(out.data(), out.size());
    return std::unexpected(err::PL_0003);
  }
  return out;
}

std::expected<std::vector<std::uint8_t>, PellucorError> seal_with_nonce(
    std::span<const std::uint8_t> key, std::span<const std::uint8_t, kAeadNonceLen> nonce,
    std::span<const std::uint8_t> plaintext) {
  auto alg = aead_algorithm_for_key(key);
  if (!alg) return std::unexpected(alg.error());
  std::vector<std::uint8_t> out(kAeadNonceLen + plaintext.size() + kAeadTagLen);
  std::copy(nonce.begin(), nonce.end(), out.begin());
  if (auto r = seal_into(*alg, key, nonce, {}, plaintext, out.data() + kAeadNonceLen); !r) {
    return std::unexpected(r.error());
  }
  return out;
}

std::expected<std::vector<std::uint8_t>, PellucorError> seal_random_nonce(std::span<const std::uint8_t> key,
                                                                         std::span<const std::uint8_t> plaintext) {
  if (auto alg = aead_algorithm_for_key(key); !alg) return std::unexpected(alg.error());
  AeadNonce nonce;
  if (auto r = random_bytes(nonce); !r) return std::unexpected(r.error());
  return seal_with_nonce(key, nonce, plaintext);
}

std::expected<SecureBytes, PellucorError> decrypt_nonce_prefixed(std::span<const std::uint8_t> key,
                                                                std::span<const std::uint8_t> blob) {
  if (blob.size() < kNoncePrefixedOverhead) return std::unexpected(err::PL_0010);
  return aead_open(key, blob.first<kAeadNonceLen>(), {}, blob.subspan(kAeadNonceLen));
}

}  // namespace pellucor
