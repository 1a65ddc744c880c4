// Cost of the client's handshake message 1 (ephemeral key, two P-256
// agreements, one ML-KEM-768 encapsulation, two seals) for a typical small
// request, with the call's static key drawn outside the timed loop.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstddef>
#include <vector>

#include "crypto/p256.h"
#include "gate/handshake.h"
#include "crypto/mlkem768.h"

namespace {

void BM_HandshakeMessage1(benchmark::State& state) {
  auto node_scalar = pellucor::p256_generate_private();
  auto s = pellucor::p256_generate_private();
  auto kem = pellucor::mlkem768::generate();
  if (!node_scalar || !s || !kem) {
    state.SkipWithError("key generation failed");
    return;
  }
  auto node_point = pellucor::p256_public_from_private(node_scalar->span());
  if (!node_point) {
    state.SkipWithError("key generation failed");
    return;
  }
  std::vector<std::uint8_t> rs(node_point->size() + kem->ek.size());
  std::copy(node_point->begin(), node_point->end(), rs.begin());
  std::copy(kem->ek.begin(), kem->ek.end(), rs.begin() + static_cast<std::ptrdiff_t>(node_point->size()));
  std::vector<std::uint8_t> payload(static_cast<std::size_t>(state.range(0)), 'x');
  payload[0] = 0x10;
  for (auto _ : state) {
    auto started = pellucor::write_handshake_message1(rs, s->span(), payload);
    if (!started) {
      state.SkipWithError("message 1 failed");
      return;
    }
    benchmark::DoNotOptimize(started->message1.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_HandshakeMessage1)->Arg(128)->Arg(64 * 1024);

}  // namespace
