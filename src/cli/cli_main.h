// Program start, dispatch and exit.
#pragma once

#include <expected>
#include <string_view>

#include "cli/arg_parser.h"
#include "crypto/errors.h"

namespace pellucor {

// Every command word runs one of these: it receives the parser positioned
// just after its word and returns success or the failure to print. Commands
// never print their own failure and never exit the process.
using CommandFn = std::expected<void, CliError> (*)(ArgParser& args);

struct Command {
  std::string_view word;
  CommandFn run;
};

// prepare_process first makes the process not dumpable and its core limit
// zero (nothing it holds may reach a core file), then makes descriptors 0, 1
// and 2 valid (a closed one is reopened on /dev/null, so later writes cannot
// land in a file opened afterwards) and ignores SIGPIPE, so a write to a closed pipe fails with
// EPIPE instead of killing the process. Aborts if /dev/null cannot be opened.
void prepare_process();

// cli_main runs one command line (argv[0] is ignored) and returns the exit
// status: 0 on success, 1 on any failure or when there are no arguments.
int cli_main(int argc, const char* const* argv);

// print_error_and_help prints `message` as an error line, an empty line on
// stderr, then the help on stdout. Used only before a command is chosen.
void print_error_and_help(std::string_view message);

}  // namespace pellucor
