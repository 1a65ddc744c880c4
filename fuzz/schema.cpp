// parse_schema over arbitrary JSON text. When the text is also a plain JSON
// document, reading its compact rewrite must give the same schema: the
// streaming record reader and the tree parser plus writer agree.
#include "cli/schema.h"
#include "fuzz_common.h"
#include "gate/json.h"

using namespace pellucor;

namespace {

bool same(const FieldDef& a, const FieldDef& b) {
  return a.label == b.label && a.kind == b.kind && a.tier == b.tier && a.required == b.required;
}

bool same(const Schema& a, const Schema& b) {
  if (a.types.size() != b.types.size()) return false;
  for (const auto& [name, type] : a.types) {
    auto other = b.types.find(name);
    if (other == b.types.end() || other->second.description != type.description) return false;
    if (other->second.fields.size() != type.fields.size()) return false;
    for (const auto& [field, def] : type.fields) {
      auto o = other->second.fields.find(field);
      if (o == other->second.fields.end() || !same(def, o->second)) return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = fuzz::as_text(data, size);
  auto schema = parse_schema(text);
  if (!schema) {
    FUZZ_CHECK(!schema.error().empty());
    return 0;
  }
  for (const auto& [name, type] : schema->types) {
    for (const NamedField& f : sorted_field_names(type)) FUZZ_CHECK(f.name != "title" && f.def != nullptr);
  }
  auto tree = json::parse(text);
  if (!tree) return 0;  // e.g. nesting past the limit inside a skipped member
  auto again = parse_schema(json::to_compact(*tree));
  FUZZ_CHECK(again.has_value());
  FUZZ_CHECK(same(*schema, *again));
  return 0;
}
