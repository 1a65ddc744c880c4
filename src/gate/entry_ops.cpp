#include "gate/entry_ops.h"

#include <utility>

#include "gate/context.h"
#include "gate/transport.h"
#include "gate/vault_text.h"

namespace pellucor {

namespace {

constexpr std::string_view kSearchAction = "search.query";
constexpr std::string_view kGetAction = "entry.get";
constexpr std::string_view kDeleteAction = "entry.delete";
constexpr std::string_view kUpsertAction = "entry.upsert";

std::expected<json::Value, CliError> call(const GateContext& ctx, std::string_view action, const json::Value& args) {
  return gate_call_with_failover(ctx, action, args);
}

}  // namespace

json::Value search_argument(std::string_view query, bool exact, std::optional<std::string_view> type) {
  json::Value args = json::Value::object();
  args["q"] = std::string(query);
  args["exact"] = exact;
  if (type) args["type"] = std::string(*type);
  return args;
}

json::Value entry_id_argument(std::string_view entry_id) {
  json::Value args = json::Value::object();
  args["id"] = std::string(entry_id);
  return args;
}

CliError response_shape_error(std::string_view action, std::string_view decoder_text) {
  return make_error(err::PL_2021, std::string(action) + " response shape: " + std::string(decoder_text));
}

std::expected<SearchResponse, CliError> search_query(const GateContext& ctx, const json::Value& args) {
  auto result = call(ctx, kSearchAction, args);
  if (!result) return std::unexpected(std::move(result.error()));
  auto decoded = decode_search_response(*result);
  if (!decoded) return std::unexpected(response_shape_error(kSearchAction, decoded.error()));
  return std::move(*decoded);
}

std::expected<SearchResponse, CliError> search_entries_fuzzy(const GateContext& ctx, std::string_view query,
                                                             std::optional<std::string_view> type) {
  return search_query(ctx, search_argument(query, false, type));
}

std::expected<SearchResponse, CliError> search_entries(const GateContext& ctx, std::string_view query, bool exact,
                                                       std::optional<std::string_view> type) {
  if (!exact) return search_entries_fuzzy(ctx, query, type);
  return search_query(ctx, search_argument(query, true, type));
}

std::expected<std::string, CliError> select_single_entry(std::string_view query, SearchResponse&& response) {
  const std::optional<std::string> quota_line = format_read_quota_opt(search_response_quota(response));
  MatchSet matches = summarize_matches(std::move(response));
  switch (matches.kind) {
    case MatchSet::Kind::One:
      return std::move(matches.entry_id);
    case MatchSet::Kind::None:
      return std::unexpected(append_error_line(
          make_error(err::PL_2046, "no entry matched '" + single_line_text(query) + "'"), quota_line));
    case MatchSet::Kind::Many:
      break;
  }
  return std::unexpected(
      append_error_line(ambiguous_match_error(query, matches.count, matches.texts), quota_line));
}

std::expected<std::string, CliError> find_single_entry(const GateContext& ctx, std::string_view query, bool exact,
                                                       std::optional<std::string_view> type) {
  auto response = search_entries(ctx, query, exact, type);
  if (!response) return std::unexpected(std::move(response.error()));
  return select_single_entry(query, std::move(*response));
}

std::expected<json::Value, CliError> get_entry_json(const GateContext& ctx, std::string_view entry_id) {
  return call(ctx, kGetAction, entry_id_argument(entry_id));
}

std::expected<Entry, CliError> get_entry(const GateContext& ctx, std::string_view entry_id) {
  auto result = get_entry_json(ctx, entry_id);
  if (!result) return std::unexpected(std::move(result.error()));
  auto entry = decode_entry(*result);
  if (!entry) return std::unexpected(response_shape_error(kGetAction, entry.error()));
  return std::move(*entry);
}

bool delete_refused(const json::Value& result) {
  if (!result.is_object()) return false;
  auto it = result.find("deleted");
  return it != result.end() && it->is_boolean() && !it->get<bool>();
}

std::expected<void, CliError> delete_entry(const GateContext& ctx, std::string_view entry_id,
                                           std::string_view title) {
  auto result = call(ctx, kDeleteAction, entry_id_argument(entry_id));
  if (!result) return std::unexpected(std::move(result.error()));
  // A vault that says it kept the entry must not be reported as "Deleted".
  if (delete_refused(*result))
    return std::unexpected(make_error(err::PL_2047, "the vault did not delete '" + single_line_text(title) + "'"));
  return {};
}

json::Value upsert_argument(const EntryUpsertBody& body) {
  json::Value fields = json::Value::array();
  for (const UpsertField& f : body.fields) {
    json::Value field = json::Value::object();
    field["label"] = f.label;
    field["value"] = f.value;
    field["kind"] = f.kind;
    field["tier"] = f.tier;
    fields.push_back(std::move(field));
  }
  json::Value data = json::Value::object();
  data["title"] = body.title;
  data["type"] = body.type;
  data["fields"] = std::move(fields);
  if (body.urls) data["urls"] = *body.urls;

  json::Value args = json::Value::object();
  args["title"] = body.title;
  args["type"] = body.type;
  args["data"] = std::move(data);
  if (body.id) args["id"] = *body.id;
  return args;
}

bool upsert_created(const json::Value& result) {
  if (!result.is_object()) return true;
  auto it = result.find("created");
  return it == result.end() || !it->is_boolean() || it->get<bool>();
}

std::expected<bool, CliError> upsert_entry(const GateContext& ctx, const EntryUpsertBody& body) {
  auto result = call(ctx, kUpsertAction, upsert_argument(body));
  if (!result) return std::unexpected(std::move(result.error()));
  return upsert_created(*result);
}

std::optional<DecryptedField> next_decrypted_field(FieldDecryptWalk& walk) {
  if (walk.error || walk.remaining.empty()) return std::nullopt;
  const Field& field = walk.remaining.front();
  walk.remaining = walk.remaining.subspan(1);
  if (field.tier != 2 || field.value.empty()) return DecryptedField{};
  auto plaintext = decrypt_field(*walk.l2, field.label, field.value);
  if (!plaintext) {
    walk.error = make_error(err::PL_2049, "decrypt field '" + single_line_text(field.label) +
                                              "' failed: " + format_context_error(plaintext.error()));
    walk.remaining = {};
    return std::nullopt;
  }
  return DecryptedField{std::move(*plaintext)};
}

std::expected<std::vector<DecryptedField>, CliError> decrypt_fields(std::span<const Field> fields,
                                                                    const L2Key& l2) {
  FieldDecryptWalk walk(fields, l2);
  std::vector<DecryptedField> items;
  items.reserve(fields.size());
  while (auto item = next_decrypted_field(walk)) items.push_back(std::move(*item));
  if (walk.error) return std::unexpected(std::move(*walk.error));
  return items;
}

}  // namespace pellucor
