// Cost of the cryptographic steps a command pays per gate call and per
// secret field.
#include <benchmark/benchmark.h>

#include <string>

#include "crypto/field_keys.h"
#include "crypto/p256.h"

namespace pellucor {
namespace {

const L2Key kL2 = [] {
  std::array<std::uint8_t, 16> b;
  for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<std::uint8_t>(i * 17 + 3);
  return make_l2_key(b);
}();

void BM_P256Ecdh(benchmark::State& state) {
  const P256Scalar mine = *p256_generate_private();
  const P256Point peer = *p256_public_from_private(p256_generate_private()->span());
  for (auto _ : state) {
    auto shared = p256_ecdh(mine.span(), peer);
    benchmark::DoNotOptimize(shared);
  }
}
BENCHMARK(BM_P256Ecdh);

void BM_P256GenerateAndPublic(benchmark::State& state) {
  for (auto _ : state) {
    auto s = p256_generate_private();
    auto pub = p256_public_from_private(s->span());
    benchmark::DoNotOptimize(pub);
  }
}
BENCHMARK(BM_P256GenerateAndPublic);

void BM_EncryptField(benchmark::State& state) {
  const std::string plaintext(static_cast<std::size_t>(state.range(0)), 'p');
  for (auto _ : state) {
    auto value = encrypt_field(kL2, "password", std::string_view(plaintext));
    benchmark::DoNotOptimize(value);
  }
}
BENCHMARK(BM_EncryptField)->Arg(32)->Arg(4096);

void BM_DecryptField(benchmark::State& state) {
  const std::string plaintext(static_cast<std::size_t>(state.range(0)), 'p');
  const std::string value = *encrypt_field(kL2, "password", std::string_view(plaintext));
  for (auto _ : state) {
    auto back = decrypt_field(kL2, "password", value);
    benchmark::DoNotOptimize(back);
  }
}
BENCHMARK(BM_DecryptField)->Arg(32)->Arg(4096);

}  // namespace
}  // namespace pellucor
