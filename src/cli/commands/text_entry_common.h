// Helpers shared by the note and memory subcommands.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/arg_parser.h"
#include "cli/commands/text_entry.h"
#include "crypto/errors.h"
#include "crypto/secure_buffer.h"
#include "gate/wire_models.h"

namespace pellucor {

struct GateContext;

// unexpected_argument: PL-2000 "unexpected: " and the token's debug form.
CliError unexpected_argument(const ArgToken& token);

// The title query of get, update and delete, and how it is matched.
struct TextEntryQuery {
  std::optional<std::string> text;
  bool exact = true;
};

// read_query_token takes `token` when it is the first positional, --exact or
// --fuzzy and returns true; false for any other token. A query that is not
// UTF-8 is PL-2000 "query: not valid UTF-8".
std::expected<bool, CliError> read_query_token(const ArgToken& token, TextEntryQuery& query);

// first_field_labelled: the first field whose label is exactly `label`;
// nullptr when there is none.
const Field* first_field_labelled(const std::vector<Field>& fields, std::string_view label);

// fetch_text_entry fetches the entry `entry_id` ("entry.get") and refuses it
// with check_entry_kind when it is of another kind: the vault may not have
// honoured the type filter of the title search.
std::expected<Entry, CliError> fetch_text_entry(const GateContext& ctx, TextEntryKind kind,
                                                std::string_view entry_id);

}  // namespace pellucor
