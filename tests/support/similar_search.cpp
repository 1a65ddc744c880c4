#include "tests/support/similar_search.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "crypto/encoding.h"
#include "tests/support/test_vault.h"

namespace pellucor::testing {

namespace {

using nlohmann::json;

std::optional<std::vector<float>> decode_embedding(const std::string& text) {
  auto bytes = base64_decode(text);
  if (!bytes || bytes->empty() || bytes->size() % 4 != 0) return std::nullopt;
  std::vector<float> out(bytes->size() / 4);
  for (std::size_t i = 0; i < out.size(); ++i) {
    const std::uint32_t bits = static_cast<std::uint32_t>((*bytes)[4 * i]) |
                               static_cast<std::uint32_t>((*bytes)[4 * i + 1]) << 8 |
                               static_cast<std::uint32_t>((*bytes)[4 * i + 2]) << 16 |
                               static_cast<std::uint32_t>((*bytes)[4 * i + 3]) << 24;
    std::memcpy(&out[i], &bits, sizeof bits);
  }
  return out;
}

// The value of the first tier-1 field labelled `label` in a stored entry.
std::optional<std::string> plain_field(const json& entry, std::string_view label) {
  const json* fields = nullptr;
  if (auto data = entry.find("data"); data != entry.end() && data->is_object()) {
    if (auto f = data->find("fields"); f != data->end() && f->is_array()) fields = &*f;
  }
  if (fields == nullptr) return std::nullopt;
  for (const json& f : *fields) {
    if (!f.is_object() || f.value("label", std::string()) != label) continue;
    if (f.value("tier", 1) != 1 || !f.contains("value") || !f["value"].is_string()) continue;
    return f["value"].get<std::string>();
  }
  return std::nullopt;
}

}  // namespace

std::string embedding_text(std::initializer_list<float> values) {
  std::vector<std::uint8_t> bytes;
  for (float v : values) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &v, sizeof bits);
    for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<std::uint8_t>(bits >> shift));
  }
  return base64_encode(bytes);
}

VaultReply TestVault::similar(const json& content) const {
  if (!content.is_object() || !content.contains("vector") || !content["vector"].is_string())
    return VaultReply::failure("BAD_REQUEST", "search.similar needs \"vector\"");
  const auto query = decode_embedding(content["vector"].get<std::string>());
  if (!query) return VaultReply::failure("BAD_REQUEST", "search.similar: vector is not a base64 embedding");
  const std::size_t limit = content.contains("limit") && content["limit"].is_number_unsigned()
                                ? content["limit"].get<std::size_t>()
                                : 10;
  const std::string category = content.value("category", std::string());

  struct Hit {
    double distance;
    std::string id;
    std::optional<std::string> model;
  };
  std::vector<Hit> hits;
  for (const Stored& s : entries_) {
    if (!s.entry.is_object() || s.entry.value("type", json()) != category) continue;
    const auto text = plain_field(s.entry, "embeddings");
    const auto stored = text ? decode_embedding(*text) : std::nullopt;
    if (!stored || stored->size() != query->size()) continue;
    double sum = 0;
    for (std::size_t i = 0; i < stored->size(); ++i) {
      const double d = static_cast<double>((*stored)[i]) - static_cast<double>((*query)[i]);
      sum += d * d;
    }
    hits.push_back({std::sqrt(sum), s.id, plain_field(s.entry, "embedding_model")});
  }
  std::sort(hits.begin(), hits.end(),
            [](const Hit& a, const Hit& b) { return a.distance != b.distance ? a.distance < b.distance : a.id < b.id; });
  if (hits.size() > limit) hits.resize(limit);

  json reply = json::array();
  for (const Hit& h : hits) {
    json hit = {{"entry_id", h.id}, {"distance", h.distance}};
    if (h.model) hit["embedding_model"] = *h.model;
    reply.push_back(std::move(hit));
  }
  return VaultReply::success(std::move(reply));
}

}  // namespace pellucor::testing
