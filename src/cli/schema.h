// The embedded entry-type schema: which entry types the vault knows, which
// fields each has, and which of those fields are secret.
//
// The document (assets/entry-types.json) is compiled in; `put` parses it once
// per process into ENTRY_SCHEMA, everything else either ignores it or prints it
// unparsed (`--show-schema`).
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace pellucor {

namespace assets {
extern const std::string_view entry_types_json;
}

// The embedded document, byte for byte (no trailing newline).
inline std::string_view entry_type_schema_json() { return assets::entry_types_json; }

struct FieldDef {
  std::string label;
  std::string kind;
  std::uint8_t tier = 0;
  bool required = false;  // false when the document leaves it out
};

struct EntryType {
  std::string description;
  std::unordered_map<std::string, FieldDef> fields;
};

struct Schema {
  std::unordered_map<std::string, EntryType> types;
};

// One field of a type as listed for users: its name and its definition, which
// stays owned by the EntryType it came from.
struct NamedField {
  std::string_view name;
  const FieldDef* def;
};

// parse_schema reads an entry-type document strictly (exact keys, unknown keys
// skipped but still well-formed, duplicates and missing keys refused, array
// form accepted). On failure it returns the JSON reader's error text.
std::expected<Schema, std::string> parse_schema(std::string_view text);

// load_entry_schema parses the embedded document. A document that does not
// parse is a broken build: it stops the process through the fault path with
// "entry-types.json is valid JSON: <reason>".
Schema load_entry_schema();
// load_entry_schema_from does the same for any document text.
Schema load_entry_schema_from(std::string_view document);

// force_entry_schema builds ENTRY_SCHEMA on first use (exactly once, also
// when several threads ask at the same time) and returns it. The value is
// never changed or freed afterwards.
const Schema& force_entry_schema();

// find_entry_type looks a type name up after full Unicode lower-casing (so
// "Credential" and "CREDENTIAL" match; no trimming, no aliases). Returns
// nullptr when there is no such type.
const EntryType* find_entry_type(std::string_view name);

// sorted_type_names lists every type name of ENTRY_SCHEMA in byte order.
std::vector<std::string_view> sorted_type_names();

// sorted_field_names lists the fields of `type` in byte order of their names,
// leaving out the one named exactly "title".
std::vector<NamedField> sorted_field_names(const EntryType& type);

// resolve_type_alias maps the short forms "api" and "ssh" (exact,
// case-sensitive) to "api_key" and "ssh_key"; anything else is returned as is.
std::string_view resolve_type_alias(std::string_view type);

// is_secret_name: true when a field name or label looks like it holds a secret
// ("password", "token", "Private Key", ...); "Public Key", "key_type" and
// names ending in "_public" never do.
bool is_secret_name(std::string_view name);

// effective_field_tier: 2 when the schema tier is above 1 or the name or the
// label is secret by name, else the schema tier (0 or 1). Never 3: a field
// that must not be released is still sent encrypted.
std::uint8_t effective_field_tier(std::string_view name, const FieldDef& def);

}  // namespace pellucor
