// The find and delete commands: list the exact titles of entries whose name
// contains a text (never a value), and delete one entry chosen by title.
#pragma once

#include <expected>
#include <string_view>

#include "cli/arg_parser.h"
#include "crypto/errors.h"

namespace pellucor {

extern const std::string_view kFindUsage;
extern const std::string_view kDeleteUsage;

// run_find runs `pellucor-cli find <name> [--type <entry type>]`.
std::expected<void, CliError> run_find(ArgParser& args);

// run_delete runs `pellucor-cli delete <query> [--fuzzy]`.
std::expected<void, CliError> run_delete(ArgParser& args);

}  // namespace pellucor
