#include "cli/schema.h"

#include <algorithm>
#include <array>

namespace pellucor {
namespace {

// Names that are secret only when they match whole ("key" alone is a secret,
// "key_type" is not).
constexpr std::array<std::string_view, 4> secret_name_exact_words = {
    "key", "api_key", "ssh_key", "private_key"};

// Fragments that make any name containing them secret.
constexpr std::array<std::string_view, 7> secret_name_fragments = {
    "password", "secret", "token", "private", "seed", "cvv", "pin"};

// Full Unicode lower-casing, specialised to a lookup among ASCII type names.
// The only characters whose full lower-case form is ASCII are A-Z and U+212A
// KELVIN SIGN ("k"); every other non-ASCII character lowers to something that
// still holds a non-ASCII character (U+0130 lowers to "i" + U+0307), so a name
// holding one can never equal a type name. Returns false in that case.
bool lower_for_type_lookup(std::string_view name, std::string& out) {
  out.clear();
  out.reserve(name.size());
  for (std::size_t i = 0; i < name.size();) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    if (c < 0x80) {
      out.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : static_cast<char>(c));
      ++i;
    } else if (name.substr(i, 3) == "\xE2\x84\xAA") {  // U+212A KELVIN SIGN
      out.push_back('k');
      i += 3;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

Schema load_entry_schema() { return load_entry_schema_from(entry_type_schema_json()); }

const Schema& force_entry_schema() {
  // A function-local static is built once, under the compiler's guard, and
  // other threads asking meanwhile wait for the finished value.
  static const Schema schema = load_entry_schema();
  return schema;
}

const EntryType* find_entry_type(std::string_view name) {
  const Schema& schema = force_entry_schema();
  std::string lowered;
  if (!lower_for_type_lookup(name, lowered)) return nullptr;
  auto it = schema.types.find(lowered);
  return it == schema.types.end() ? nullptr : &it->second;
}

std::vector<std::string_view> sorted_type_names() {
  const Schema& schema = force_entry_schema();
  std::vector<std::string_view> names;
  names.reserve(schema.types.size());
  for (const auto& [name, type] : schema.types) {
    (void)type;
    names.emplace_back(name);
  }
  std::stable_sort(names.begin(), names.end());
  return names;
}

std::vector<NamedField> sorted_field_names(const EntryType& type) {
  std::vector<NamedField> fields;
  fields.reserve(type.fields.size());
  for (const auto& [name, def] : type.fields) {
    if (name == "title") continue;
    fields.push_back(NamedField{name, &def});
  }
  std::stable_sort(fields.begin(), fields.end(),
                   [](const NamedField& a, const NamedField& b) { return a.name < b.name; });
  return fields;
}

std::string_view resolve_type_alias(std::string_view type) {
  if (type == "api") return "api_key";
  if (type == "ssh") return "ssh_key";
  return type;
}

bool is_secret_name(std::string_view name) {
  std::string n(name);
  for (char& c : n) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
    else if (c == ' ') c = '_';
  }
  std::string_view v(n);
  if (v == "key_type" || v.ends_with("_public") || v.find("public_key") != std::string_view::npos) return false;
  for (auto word : secret_name_exact_words)
    if (v == word) return true;
  for (auto fragment : secret_name_fragments)
    if (v.find(fragment) != std::string_view::npos) return true;
  return false;
}

std::uint8_t effective_field_tier(std::string_view name, const FieldDef& def) {
  if (def.tier > 1) return 2;
  if (is_secret_name(name) || is_secret_name(def.label)) return 2;
  return def.tier;
}

}  // namespace pellucor
