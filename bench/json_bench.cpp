// Cost of the JSON steps every gate call pays: framing a request (write,
// read back, write again), reading a reply, and decoding a search result;
// plus the large-payload path near the request cap.
#include <benchmark/benchmark.h>

#include <string>

#include "gate/framing.h"
#include "gate/json.h"
#include "gate/wire_models.h"

namespace pellucor {
namespace {

json::Value search_args() {
  json::Value v = json::Value::object();
  v["q"] = "GitHub";
  v["exact"] = true;
  v["type"] = "credential";
  return v;
}

std::string search_reply(int entries) {
  std::string r = "\x10{\"ok\":true,\"result\":{\"entries\":[";
  for (int i = 0; i < entries; ++i) {
    if (i) r += ',';
    r += R"({"entry_id":"e)" + std::to_string(i) +
         R"(","title":"Entry title","type":"credential","data":{"fields":[{"label":"Username","value":"someone@example.org","kind":"text","tier":1},{"label":"Password","value":"P85KeVWk/wo7Xflq83Z0t7ySaZDLSAgn90Cokw==","kind":"password","tier":2}],"urls":["https://example.org/login"]}})";
  }
  r += R"(],"quota":{"minute_used":3,"minute_limit":60,"hour_used":10,"hour_limit":600}}})";
  return r;
}

void BM_EncodeSearchRequest(benchmark::State& state) {
  const json::Value args = search_args();
  for (auto _ : state) {
    auto r = encode_gate_request("search.query", "plt_AgGis8TV5vcIhLYfSgFLlr9PFPQosLpkWOUYMbQ", args);
    benchmark::DoNotOptimize(r);
  }
}
BENCHMARK(BM_EncodeSearchRequest);

void BM_EncodeLargeRequest(benchmark::State& state) {
  const json::Value args = json::Value{{"data", std::string(static_cast<std::size_t>(state.range(0)), 'a')}};
  for (auto _ : state) {
    auto r = encode_gate_request("entry.upsert", "plt_x", args);
    benchmark::DoNotOptimize(r);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_EncodeLargeRequest)->Arg(1 << 20)->Arg(6 << 20);

void BM_DecodeSearchReply(benchmark::State& state) {
  const std::string text = search_reply(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    SecureBytes pt(text.begin(), text.end());
    auto v = decode_gate_reply(std::move(pt));
    auto r = decode_search_response(*v);
    benchmark::DoNotOptimize(r);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_DecodeSearchReply)->Arg(1)->Arg(100);

void BM_PrettyPrint(benchmark::State& state) {
  const auto v = json::parse(search_reply(100).substr(1));
  for (auto _ : state) {
    auto s = json::to_pretty(*v);
    benchmark::DoNotOptimize(s);
  }
}
BENCHMARK(BM_PrettyPrint);

}  // namespace
}  // namespace pellucor
