// Option reading shared by the note and memory subcommands.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "cli/arg_parser.h"
#include "crypto/errors.h"
#include "crypto/secure_buffer.h"

namespace pellucor {

// unexpected_argument: PL-2000 "unexpected: " and the token's debug form.
CliError unexpected_argument(const ArgToken& token);

// read_file_option takes the value of the option just met under `label` and
// reads that file at once with read_text_source ("-" is standard input).
std::expected<SecureString, CliError> read_file_option(ArgParser& args, std::string_view label);

// The title query of get, update and delete, and how it is matched.
struct TextEntryQuery {
  std::optional<std::string> text;
  bool exact = true;
};

// read_query_token takes `token` when it is the first positional, --exact or
// --fuzzy and returns true; false for any other token. A query that is not
// UTF-8 is PL-2000 "query: not valid UTF-8".
std::expected<bool, CliError> read_query_token(const ArgToken& token, TextEntryQuery& query);

}  // namespace pellucor
