#include "gate/wire_models.h"

namespace pellucor {

const Quota* SearchResponse::quota() const {
  if (const auto* w = std::get_if<Wrapped>(&shape)) return w->quota ? &*w->quota : nullptr;
  if (const auto* c = std::get_if<Count>(&shape)) return c->quota ? &*c->quota : nullptr;
  return nullptr;
}

std::expected<Entry, std::string> decode_entry(const json::Value& v) {
  auto r = json::decode_value<Entry>(v);
  if (!r) return std::unexpected(r.error().text());
  return std::move(*r);
}

std::expected<SearchResponse, std::string> decode_search_response(const json::Value& v) {
  // Every attempt reads the same value; a failed one leaves nothing behind,
  // and its own failure text is not kept.
  if (auto bare = json::decode_value<std::vector<Entry>>(v)) {
    return SearchResponse{SearchResponse::Bare{std::move(*bare)}};
  }
  if (auto wrapped = json::decode_value<SearchResponse::Wrapped>(v)) {
    return SearchResponse{std::move(*wrapped)};
  }
  if (auto count = json::decode_value<SearchResponse::Count>(v)) {
    return SearchResponse{std::move(*count)};
  }
  return std::unexpected(std::string("data did not match any variant of untagged enum SearchResponse"));
}

std::expected<TotpResponse, std::string> decode_totp_response(const json::Value& v) {
  auto r = json::decode_value<TotpResponse>(v);
  if (!r) return std::unexpected(r.error().text());
  return std::move(*r);
}

}  // namespace pellucor
