#pragma once

#include <expected>

#include "cli/arg_parser.h"
#include "crypto/errors.h"

namespace pellucor {

// run_help prints the help; further arguments are ignored.
std::expected<void, CliError> run_help(ArgParser& args);

}  // namespace pellucor
