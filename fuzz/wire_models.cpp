// The wire-model decoders (Entry, SearchResponse, TotpResponse) over arbitrary
// JSON text. Each decoder reads the parsed value; where the same record can
// also be read straight from the text, both ways must agree.
#include <algorithm>
#include <cmath>
#include <string>

#include "fuzz_common.h"
#include "gate/json.h"
#include "gate/json_reader.h"
#include "gate/wire_models.h"

using namespace pellucor;

namespace {

bool same(const Field& a, const Field& b) {
  return a.label == b.label && a.value == b.value && a.kind == b.kind && a.tier == b.tier;
}

bool same(const std::optional<EntryData>& a, const std::optional<EntryData>& b) {
  if (a.has_value() != b.has_value()) return false;
  if (!a) return true;
  if (a->title != b->title || a->type != b->type || a->urls != b->urls || a->notes != b->notes) return false;
  if (a->fields.size() != b->fields.size()) return false;
  for (std::size_t i = 0; i < a->fields.size(); ++i) {
    if (!same(a->fields[i], b->fields[i])) return false;
  }
  return true;
}

bool same(const Entry& a, const Entry& b) {
  return a.entry_id == b.entry_id && a.type == b.type && a.title == b.title && same(a.data, b.data);
}

// Equal values, except that floats may differ in their last bits: the reader
// scales decimal digits by powers of ten without correct rounding (as it
// always has), so the shortest text of a double can read back a unit or two
// in the last place away. Types, texts, keys and integers must match exactly.
bool near_equal(const json::Value& a, const json::Value& b) {
  if (a.type() != b.type()) return false;
  if (a.is_number_float()) {
    const double x = a.get<double>(), y = b.get<double>();
    if (x == y) return true;
    const double scale = std::max(std::fabs(x), std::fabs(y));
    return std::signbit(x) == std::signbit(y) && (std::fabs(x - y) <= scale * 1e-14 || scale < 1e-290);
  }
  if (a.is_array()) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
      if (!near_equal(a[i], b[i])) return false;
    }
    return true;
  }
  if (a.is_object()) {
    if (a.size() != b.size()) return false;
    for (auto ia = a.begin(), ib = b.begin(); ia != a.end(); ++ia, ++ib) {
      if (ia.key() != ib.key() || !near_equal(*ia, *ib)) return false;
    }
    return true;
  }
  return a == b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = fuzz::as_text(data, size);
  auto value = json::parse(text);

  // Straight from the text: when the text is also a document the tree parser
  // reads, reading the parsed value gives the same record. (The text reader
  // checks members it skips for syntax only, so it may accept a text the tree
  // parser refuses, e.g. one with bytes that are not UTF-8 in a skipped string.)
  if (auto direct = json::decode_text<Entry>(text); direct && value) {
    auto from_value = decode_entry(*value);
    FUZZ_CHECK(from_value.has_value());
    FUZZ_CHECK(same(*direct, *from_value));
  }
  if (auto direct = json::decode_text<TotpResponse>(text); direct && value) {
    auto from_value = decode_totp_response(*value);
    FUZZ_CHECK(from_value.has_value());
    FUZZ_CHECK(direct->code == from_value->code && direct->expires_in == from_value->expires_in);
  }
  if (!value) return 0;

  // The writers: compact and pretty text read back to the same value.
  FUZZ_CHECK(json::is_writable(*value));
  auto compact = json::parse(json::to_compact(*value));
  FUZZ_CHECK(compact.has_value() && near_equal(*compact, *value));
  auto pretty = json::parse(json::to_pretty(*value));
  FUZZ_CHECK(pretty.has_value() && near_equal(*pretty, *value));

  (void)decode_entry(*value);

  if (auto search = decode_search_response(*value)) {
    // The shapes are tried in order: a Bare result is an array of entries,
    // and only a non-array can be Wrapped or Count.
    if (const auto* bare = std::get_if<SearchResponse::Bare>(&search->shape)) {
      FUZZ_CHECK(value->is_array() && bare->entries.size() == value->size());
      FUZZ_CHECK(search->quota() == nullptr);
    } else if (const auto* wrapped = std::get_if<SearchResponse::Wrapped>(&search->shape)) {
      FUZZ_CHECK(value->is_object());
      FUZZ_CHECK((search->quota() != nullptr) == wrapped->quota.has_value());
    } else {
      const auto& count = std::get<SearchResponse::Count>(search->shape);
      FUZZ_CHECK(value->is_object());
      FUZZ_CHECK((search->quota() != nullptr) == count.quota.has_value());
      FUZZ_CHECK(!json::decode_value<SearchResponse::Wrapped>(*value).has_value());
    }
  } else {
    FUZZ_CHECK(search.error() == "data did not match any variant of untagged enum SearchResponse");
    FUZZ_CHECK(!json::decode_value<std::vector<Entry>>(*value).has_value());
  }

  (void)decode_totp_response(*value);
  return 0;
}
