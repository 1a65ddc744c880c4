// ML-KEM-768 encapsulation to arbitrary keys, and encapsulate-then-decapsulate
// with real key pairs. Input: an encapsulation key (1184 bytes), the
// randomness m (32) and a key-generation seed d || z (64); missing bytes are
// zero.
//   - An arbitrary key is accepted exactly when every packed 12-bit
//     coefficient is below q (checked here on its own), and encapsulation is
//     a function of (key, m).
//   - The key pair of the seed: the encapsulated secret decapsulates to the
//     same secret, and the ciphertext with one bit flipped does not.
#include <algorithm>
#include <array>

#include "crypto/mlkem768.h"
#include "fuzz_common.h"

using namespace pellucor;
namespace kem = pellucor::mlkem768;

namespace {

constexpr std::size_t kInput = kem::kPublicKeyBytes + kem::kMessageBytes + kem::kSeedBytes;

bool coefficients_below_q(std::span<const std::uint8_t> ek) {
  for (std::size_t i = 0; i + 3 <= 1152; i += 3) {
    const unsigned a = ek[i] | ((ek[i + 1] & 0x0Fu) << 8);
    const unsigned b = (ek[i + 1] >> 4) | (static_cast<unsigned>(ek[i + 2]) << 4);
    if (a >= 3329 || b >= 3329) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::array<std::uint8_t, kInput> in{};
  std::copy_n(data, std::min(size, kInput), in.begin());
  const std::span<const std::uint8_t, kem::kPublicKeyBytes> ek(in.data(), kem::kPublicKeyBytes);
  const std::span<const std::uint8_t, kem::kMessageBytes> m(in.data() + kem::kPublicKeyBytes, kem::kMessageBytes);
  const std::span<const std::uint8_t, kem::kSeedBytes> seed(in.data() + kem::kPublicKeyBytes + kem::kMessageBytes,
                                                           kem::kSeedBytes);

  // A key of another length is refused.
  if (size < kem::kPublicKeyBytes) {
    auto short_key = kem::encapsulate_derand(std::span<const std::uint8_t>(data, size), m);
    FUZZ_CHECK(!short_key && short_key.error().code == err::PL_0027.code);
  }

  const bool valid = coefficients_below_q(ek);
  FUZZ_CHECK(kem::check_encapsulation_key(ek) == valid);
  auto first = kem::encapsulate_derand(ek, m);
  FUZZ_CHECK(first.has_value() == valid);
  if (first) {
    auto second = kem::encapsulate_derand(ek, m);
    FUZZ_CHECK(second.has_value() && second->ciphertext == first->ciphertext &&
               std::ranges::equal(second->shared_secret.span(), first->shared_secret.span()));
  } else {
    FUZZ_CHECK(first.error().code == err::PL_0027.code);
  }

  std::array<std::uint8_t, kem::kPublicKeyBytes> pair_ek{};
  SecureArray<kem::kSecretKeyBytes> pair_dk;
  kem::keygen_derand(seed, pair_ek, pair_dk.span());
  FUZZ_CHECK(kem::check_encapsulation_key(pair_ek) && coefficients_below_q(pair_ek));
  FUZZ_CHECK(kem::check_decapsulation_key(pair_dk.span()));
  auto enc = kem::encapsulate_derand(pair_ek, m);
  FUZZ_CHECK(enc.has_value());
  auto dec = kem::decapsulate(pair_dk.span(), enc->ciphertext);
  FUZZ_CHECK(dec.has_value() && std::ranges::equal(dec->span(), enc->shared_secret.span()));

  auto altered = enc->ciphertext;
  const std::size_t bit = (static_cast<std::size_t>(m[0]) << 8 | m[1]) % (altered.size() * 8);
  altered[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
  auto rejected = kem::decapsulate(pair_dk.span(), altered);
  FUZZ_CHECK(rejected.has_value() && !std::ranges::equal(rejected->span(), enc->shared_secret.span()));
  return 0;
}
