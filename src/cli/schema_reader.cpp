// Reading the entry-type document into Schema. Only "types" and, below it,
// each type's description and fields and each field's four members are kept;
// every other key (import formats, mappings, layout hints) is skipped after
// its syntax has been checked.
#include "cli/schema.h"
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

std::expected<Schema, std::string> parse_schema(std::string_view text) {
  auto schema = json::decode_text<Schema>(text);
  if (!schema) return std::unexpected(schema.error().text());
  return std::move(*schema);
}

}  // namespace pellucor
