// The put command: create an entry of one of the schema's types, either from
// options (a type, a title, --<field> VALUE, --<field>-file PATH, --urls VALUE)
// or from one JSON object on standard input (--json).
//
// Secret fields (effective tier above 1) are never taken from the command line
// and are encrypted under the agent's L2 key before anything leaves the
// process; the vault only ever sees their ciphertext.
#pragma once

#include <expected>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "cli/arg_parser.h"
#include "cli/schema.h"
#include "crypto/errors.h"
#include "crypto/field_keys.h"
#include "crypto/secure_buffer.h"
#include "gate/entry_ops.h"
#include "gate/json.h"

namespace pellucor {

// The field values of one put, by field name ("urls" included), plaintext.
using PutValues = std::map<std::string, SecureString, std::less<>>;

// run_put runs `pellucor-cli put <type> <title> [--<field> VALUE]...
// [--<field>-file PATH]... [--urls VALUE]` or `pellucor-cli put --json`.
// `--json` counts only before the type.
std::expected<void, CliError> run_put(ArgParser& args);

// put_entry_from_json is the --json path: one entry object read from standard
// input ({"type", "title", "<field>": "text", ..., "urls": text or array}).
std::expected<void, CliError> put_entry_from_json();

// build_put_body makes the "entry.upsert" argument: the type's fields in
// sorted_field_names order, only those with a non-empty value; label and kind
// from the definition; secret fields as tier 2 field ciphertext under `l2` and
// the definition's label, the others as tier 1 plaintext. `urls` (an array)
// becomes data.urls when given. PL-2081 "encrypting <label>: <err>" when a
// field cannot be encrypted.
std::expected<EntryUpsertBody, CliError> build_put_body(std::string title, std::string type,
                                                        const EntryType& def, const PutValues& values,
                                                        std::optional<json::Value> urls, const L2Key& l2);

}  // namespace pellucor
