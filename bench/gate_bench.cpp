// One whole gate call (static key, framing, Noise message 1, HTTPS POST over a
// new connection, message 2, reply decoding) against the in-process test gate,
// the HTTP exchange alone, and the one-time cost of the trust store.
#include <benchmark/benchmark.h>

#include "gate/transport.h"
#include "gate/trust_store.h"
#include "tests/support/gate_node.h"
#include "tests/support/test_gate.h"

namespace {

using pellucor::testing::TestGate;

pellucor::TransportOptions no_proxy() {
  pellucor::TransportOptions o;
  o.env = [](std::string_view) { return std::optional<std::string>(); };
  return o;
}

void BM_GateCall(benchmark::State& state) {
  TestGate::trust_test_ca();
  auto node = pellucor::testing::shared_node_key_pair();
  TestGate gate(pellucor::testing::node_gate_options(
      node, [](const std::string&, const nlohmann::json& content, const std::string&) {
        return pellucor::testing::VaultReply::success({{"entries", nlohmann::json::array()}, {"echo", content}});
      }));
  const auto key = node->channel_key();
  const nlohmann::json args = {{"q", "mail"}, {"exact", true}};
  const auto options = no_proxy();
  for (auto _ : state) {
    auto r = pellucor::gate_call("plt_bench", gate.gate_url(), key, "search.query", args, options);
    if (!r) {
      state.SkipWithError(pellucor::format_cli_error(r.error()).c_str());
      break;
    }
    benchmark::DoNotOptimize(r);
  }
}
BENCHMARK(BM_GateCall)->Unit(benchmark::kMillisecond);

void BM_GateHttpPost(benchmark::State& state) {
  TestGate::trust_test_ca();
  pellucor::testing::TestGateOptions o;
  o.raw = [](const std::string& body) { return body; };
  TestGate gate(std::move(o));
  const std::string body(static_cast<std::size_t>(state.range(0)), 'A');
  const auto options = no_proxy();
  for (auto _ : state) {
    auto r = pellucor::gate_http_post(gate.gate_url(), body, options);
    if (!r) {
      state.SkipWithError(pellucor::format_cli_error(r.error()).c_str());
      break;
    }
    benchmark::DoNotOptimize(r);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0) * 2);
}
BENCHMARK(BM_GateHttpPost)->Arg(2048)->Arg(1 << 20)->Unit(benchmark::kMillisecond);

// What the first call of a process pays once: reading the system bundle and
// merging it with the built-in roots.
void BM_MergeTrustedRoots(benchmark::State& state) {
  for (auto _ : state) {
    auto roots = pellucor::merge_trusted_roots(pellucor::load_system_roots([](std::string_view) { return std::optional<std::string>(); }),
                                               pellucor::builtin_roots());
    benchmark::DoNotOptimize(roots);
  }
}
BENCHMARK(BM_MergeTrustedRoots)->Unit(benchmark::kMillisecond);

}  // namespace
