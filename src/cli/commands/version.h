#pragma once

#include <expected>

#include "cli/arg_parser.h"
#include "crypto/errors.h"

namespace pellucor {

// run_version prints the version lines; further arguments are ignored.
std::expected<void, CliError> run_version(ArgParser& args);

}  // namespace pellucor
