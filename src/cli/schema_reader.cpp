// Reading the entry-type document into Schema.
#include <nlohmann/json.hpp>

#include "cli/schema.h"

namespace pellucor {

std::expected<Schema, std::string> parse_schema(std::string_view text) {
  try {
    auto doc = nlohmann::json::parse(text);
    Schema schema;
    for (const auto& [tname, tval] : doc.at("types").items()) {
      EntryType type;
      type.description = tval.at("description").get<std::string>();
      for (const auto& [fname, fval] : tval.at("fields").items()) {
        FieldDef def;
        def.label = fval.at("label").get<std::string>();
        def.kind = fval.at("kind").get<std::string>();
        def.tier = fval.at("tier").get<std::uint8_t>();
        def.required = fval.value("required", false);
        type.fields.emplace(fname, std::move(def));
      }
      schema.types.emplace(tname, std::move(type));
    }
    return schema;
  } catch (const std::exception& e) {
    return std::unexpected(std::string(e.what()));
  }
}

}  // namespace pellucor
