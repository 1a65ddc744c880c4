// ML-KEM-768: key generation, encapsulation and decapsulation.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdlib>

#include "crypto/mlkem768.h"

namespace pellucor::mlkem768 {
namespace {

void BM_MlKem768KeyGen(benchmark::State& state) {
  std::array<uint8_t, kSeedBytes> seed{};
  std::array<uint8_t, kPublicKeyBytes> ek;
  std::array<uint8_t, kSecretKeyBytes> dk;
  for (auto _ : state) {
    keygen_derand(seed, ek, dk);
    benchmark::DoNotOptimize(ek.data());
    benchmark::DoNotOptimize(dk.data());
    ++seed[0];
  }
}
BENCHMARK(BM_MlKem768KeyGen);

void BM_MlKem768Encaps(benchmark::State& state) {
  auto kp = generate();
  if (!kp) std::abort();
  std::array<uint8_t, kMessageBytes> m{};
  for (auto _ : state) {
    auto enc = encapsulate_derand(kp->ek, m);
    benchmark::DoNotOptimize(enc);
    ++m[0];
  }
}
BENCHMARK(BM_MlKem768Encaps);

void BM_MlKem768Decaps(benchmark::State& state) {
  auto kp = generate();
  if (!kp) std::abort();
  auto enc = encapsulate(kp->ek);
  if (!enc) std::abort();
  for (auto _ : state) {
    auto k = decapsulate(kp->dk.span(), enc->ciphertext);
    benchmark::DoNotOptimize(k);
  }
}
BENCHMARK(BM_MlKem768Decaps);

}  // namespace
}  // namespace pellucor::mlkem768
