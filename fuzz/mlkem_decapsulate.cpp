// ML-KEM-768 decapsulation of arbitrary ciphertexts under a fixed key pair.
//
// A ciphertext the fuzzer makes up was not produced for this key, so the
// result must be the implicit-rejection secret SHAKE256(z || c), computed here
// independently with OpenSSL. Wrong lengths are refused.
#include <openssl/evp.h>

#include <algorithm>
#include <array>

#include "crypto/mlkem768.h"
#include "fuzz_common.h"

using namespace pellucor;
namespace kem = pellucor::mlkem768;

namespace {

const SecureArray<kem::kSecretKeyBytes>& secret_key() {
  static const SecureArray<kem::kSecretKeyBytes> dk = [] {
    std::array<std::uint8_t, kem::kSeedBytes> seed{};
    for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<std::uint8_t>(7 * i + 3);
    std::array<std::uint8_t, kem::kPublicKeyBytes> ek{};
    SecureArray<kem::kSecretKeyBytes> out;
    kem::keygen_derand(seed, ek, out.span());
    return out;
  }();
  return dk;
}

std::array<std::uint8_t, 32> rejection_secret(std::span<const std::uint8_t> z, std::span<const std::uint8_t> ct) {
  std::array<std::uint8_t, 32> out{};
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  FUZZ_CHECK(ctx != nullptr);
  FUZZ_CHECK(EVP_DigestInit_ex(ctx, EVP_shake256(), nullptr) == 1);
  FUZZ_CHECK(EVP_DigestUpdate(ctx, z.data(), z.size()) == 1);
  FUZZ_CHECK(EVP_DigestUpdate(ctx, ct.data(), ct.size()) == 1);
  FUZZ_CHECK(EVP_DigestFinalXOF(ctx, out.data(), out.size()) == 1);
  EVP_MD_CTX_free(ctx);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto& dk = secret_key();
  if (size != kem::kCiphertextBytes) {
    auto refused = kem::decapsulate(dk.span(), std::span<const std::uint8_t>(data, size));
    FUZZ_CHECK(!refused.has_value() && refused.error().code == err::PL_0027.code);
  }
  // Every input also as a ciphertext of the right length (cut or zero-filled),
  // so that each run decapsulates.
  std::array<std::uint8_t, kem::kCiphertextBytes> ct{};
  std::copy_n(data, std::min(size, ct.size()), ct.begin());
  auto secret = kem::decapsulate(dk.span(), ct);
  FUZZ_CHECK(secret.has_value());
  const auto z = dk.span().last<32>();
  const auto expected = rejection_secret(z, ct);
  FUZZ_CHECK(std::ranges::equal(secret->span(), expected));
  return 0;
}
