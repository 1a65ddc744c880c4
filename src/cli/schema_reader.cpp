// Reading the entry-type document into Schema. Only "types" and, below it,
// each type's description and fields and each field's four members are kept;
// every other key (import formats, mappings, layout hints) is skipped after
// its syntax has been checked.
#include "cli/schema.h"

#include <optional>

#include "cli/fault.h"
#include "gate/json_reader.h"

namespace pellucor::json {

template <>
struct Record<FieldDef> {
  static constexpr MemberSpec members[] = {
      member<&FieldDef::label>("label"),
      member<&FieldDef::kind>("kind"),
      member<&FieldDef::tier>("tier"),
      member<&FieldDef::required>("required", Presence::Default),
  };
  static constexpr RecordSpec spec{"struct FieldDef", members, /*positional=*/true, /*deny_unknown=*/false};
};

template <>
struct Record<EntryType> {
  static constexpr MemberSpec members[] = {
      member<&EntryType::description>("description"),
      member<&EntryType::fields>("fields"),
  };
  static constexpr RecordSpec spec{"struct EntryType", members, /*positional=*/true, /*deny_unknown=*/false};
};

template <>
struct Record<Schema> {
  static constexpr MemberSpec members[] = {
      member<&Schema::types>("types"),
  };
  static constexpr RecordSpec spec{"struct Schema", members, /*positional=*/true, /*deny_unknown=*/false};
};

}  // namespace pellucor::json

namespace pellucor {

namespace {

// read_schema leaves `out` filled, or returns the reader's refusal text.
// (It avoids an expected<Schema, ...> on the fault path below: g++ 12 under
// the sanitizers reports a bogus free-nonheap-object there.)
std::optional<std::string> read_schema(std::string_view text, Schema& out) {
  auto body = [&](json::Source& s) { return json::Codec<Schema>::read(s, out); };
  auto bytes = std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  if (auto st = json::with_text_source(bytes, body); !st) return st.error().text();
  return std::nullopt;
}

}  // namespace

std::expected<Schema, std::string> parse_schema(std::string_view text) {
  Schema schema;
  if (auto refusal = read_schema(text, schema)) return std::unexpected(std::move(*refusal));
  return schema;
}

Schema load_entry_schema_from(std::string_view document) {
  Schema schema;
  if (auto refusal = read_schema(document, schema)) fault("entry-types.json is valid JSON: " + *refusal);
  return schema;
}

}  // namespace pellucor
