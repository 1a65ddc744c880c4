// Entry operations: each names one gate action, builds its argument, makes
// the call through the failover path with the command's gate context, and
// turns the result into what the command needs. Also the one selection rule
// the commands share (a title must name exactly one entry) and the walk that
// decrypts an entry's tier-2 fields under the agent's L2 key.
//
// Every operation is one gate call (one handshake) and keeps nothing after
// it. Failures are CliError values; gate failures come back unchanged.
#pragma once

#include <cstddef>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/errors.h"
#include "crypto/field_keys.h"
#include "crypto/secure_buffer.h"
#include "gate/json.h"
#include "gate/match_shaping.h"
#include "gate/wire_models.h"

namespace pellucor {

struct GateContext;

// The argument objects. Keys come out in byte order; "type" is left out (not
// null) when no type is given.
json::Value search_argument(std::string_view query, bool exact, std::optional<std::string_view> type);
json::Value entry_id_argument(std::string_view entry_id);

// response_shape_error: PL-2021 "<action> response shape: <decoder text>".
CliError response_shape_error(std::string_view action, std::string_view decoder_text);

// search_query sends "search.query" with `args` and decodes the result as a
// SearchResponse (PL-2021 when it fits no shape).
std::expected<SearchResponse, CliError> search_query(const GateContext& ctx, const json::Value& args);
// search_entries_fuzzy: substring search ("exact": false).
std::expected<SearchResponse, CliError> search_entries_fuzzy(const GateContext& ctx, std::string_view query,
                                                             std::optional<std::string_view> type);
// search_entries: exact (case-insensitive title equality, decided by the
// vault) or, with `exact` false, search_entries_fuzzy.
std::expected<SearchResponse, CliError> search_entries(const GateContext& ctx, std::string_view query, bool exact,
                                                       std::optional<std::string_view> type);

// select_single_entry applies the selection rule to a search reply: the id of
// its only entry; PL-2046 "no entry matched '<query>'" for none; PL-2045 for
// several. Both failures carry the read-quota line, when the reply has one,
// after "\n  ".
std::expected<std::string, CliError> select_single_entry(std::string_view query, SearchResponse&& response);
// find_single_entry: search_entries, then select_single_entry.
std::expected<std::string, CliError> find_single_entry(const GateContext& ctx, std::string_view query, bool exact,
                                                       std::optional<std::string_view> type);

// get_entry_json: "entry.get", the result as received (for --json output).
std::expected<json::Value, CliError> get_entry_json(const GateContext& ctx, std::string_view entry_id);
// get_entry: "entry.get" decoded as an Entry (its data block may be absent).
std::expected<Entry, CliError> get_entry(const GateContext& ctx, std::string_view entry_id);
// delete_refused: true only for an object whose "deleted" is the literal
// false; every other reply (missing, true, not a boolean, not an object)
// counts as done.
bool delete_refused(const json::Value& result);
// delete_entry: "entry.delete"; a reply that delete_refused fails with PL-2047
// "the vault did not delete '<title>'" (`title`: the name the user gave).
std::expected<void, CliError> delete_entry(const GateContext& ctx, std::string_view entry_id,
                                           std::string_view title);

// One field of an upsert: label, value (a tier-2 value is already the field
// ciphertext of encrypt_field under the same label), kind, tier (1 or 2).
struct UpsertField {
  std::string label;
  std::string value;
  std::string kind;
  std::uint8_t tier = 1;
};

// The argument of "entry.upsert":
//   {"title", "type", "data": {"title", "type", "fields": [...], "urls"?}, "id"?}
// "urls" only when the builder has URLs; "id" only when an existing entry is
// rewritten.
struct EntryUpsertBody {
  std::string title;
  std::string type;
  std::vector<UpsertField> fields;
  std::optional<json::Value> urls;  // an array: texts, or a JSON input's own array
  std::optional<std::string> id;
};

json::Value upsert_argument(const EntryUpsertBody& body);

// upsert_created: false only for an object whose "created" is the literal
// false; true otherwise (missing, true, not a boolean, not an object).
bool upsert_created(const json::Value& result);

// upsert_entry sends "entry.upsert" and returns the created flag: callers print
// "Created" for true and "Updated" for false.
std::expected<bool, CliError> upsert_entry(const GateContext& ctx, const EntryUpsertBody& body);

// The walk that decrypts an entry's fields, one step at a time. Holds a view
// of the fields and of the key: both must outlive it.
struct FieldDecryptWalk {
  std::span<const Field> remaining;
  const L2Key* l2 = nullptr;
  std::optional<CliError> error;  // set when a field does not decrypt; the walk has then ended

  FieldDecryptWalk(std::span<const Field> fields, const L2Key& key) : remaining(fields), l2(&key) {}
};

// One item of the walk: the plaintext of a decrypted tier-2 field; nothing for
// any other field and for a tier-2 field with an empty value.
struct DecryptedField {
  std::optional<SecureString> plaintext;
};

// next_decrypted_field returns the item of the next field, or nothing at the
// end. A tier-2 field that does not decrypt stores PL-2049 "decrypt field
// '<label>' failed: <code>: <sentence>" in walk.error and ends the walk; the
// fields after it are not touched.
std::optional<DecryptedField> next_decrypted_field(FieldDecryptWalk& walk);

// decrypt_fields runs the whole walk: one item per field, in field order, or
// the walk's error.
std::expected<std::vector<DecryptedField>, CliError> decrypt_fields(std::span<const Field> fields,
                                                                    const L2Key& l2);

}  // namespace pellucor
