// The get command: fetch one entry by its title and show every field, one
// field's value raw (for a pipe), or the entry's raw JSON.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/arg_parser.h"
#include "crypto/errors.h"
#include "gate/json.h"
#include "gate/wire_models.h"

namespace pellucor {

struct GateContext;

// The usage text printed by `get --help`.
extern const std::string_view kGetUsage;

// run_get runs `pellucor-cli get <query> [--field <label>] [--json] [--fuzzy]
// [--type <entry type>]`.
std::expected<void, CliError> run_get(ArgParser& args);

// label_equals_ignore_case: same length and every byte equal after ASCII
// lower-casing; other characters must match exactly.
bool label_equals_ignore_case(std::string_view a, std::string_view b);

// find_field_ignore_case: the first field whose label equals `label` under
// label_equals_ignore_case; nullptr when there is none.
const Field* find_field_ignore_case(const std::vector<Field>& fields, std::string_view label);

// append_notes_field adds the notes pseudo-field (label "notes", the notes as
// the vault sent them, kind "text", tier 2) when `notes` is present and not
// empty and no field is labelled "notes" already; the notes are moved out.
void append_notes_field(std::vector<Field>& fields, std::optional<std::string>& notes);

// to_pretty_json: two-space indented JSON, keys in sorted order, with the
// terminal-unsafe characters of strings written as \u escapes (json::to_pretty);
// an empty text when the value cannot be written as JSON.
std::string to_pretty_json(const json::Value& value);

// print_entry_json fetches an entry ("entry.get") and writes the result as
// received to stdout with to_pretty_json and a newline.
std::expected<void, CliError> print_entry_json(const GateContext& ctx, std::string_view entry_id);

}  // namespace pellucor
