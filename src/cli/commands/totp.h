// The totp command: ask the vault for the current one-time code of an entry.
// The seed never leaves the vault; only the code is printed.
#pragma once

#include <expected>
#include <string_view>

#include "cli/arg_parser.h"
#include "crypto/errors.h"

namespace pellucor {

extern const std::string_view kTotpUsage;

// run_totp runs `pellucor-cli totp <query> [--fuzzy]`.
std::expected<void, CliError> run_totp(ArgParser& args);

}  // namespace pellucor
