// --show-schema: prints the embedded entry-type document as it is.
#pragma once

#include <expected>

#include "cli/arg_parser.h"
#include "crypto/errors.h"

namespace pellucor {

// run_show_schema writes the embedded document, unparsed, and one line feed
// to stdout. Further arguments are ignored; it always succeeds.
std::expected<void, CliError> run_show_schema(ArgParser& args);

}  // namespace pellucor
