#include "cli/commands/help.h"

#include "cli/help.h"

namespace pellucor {

std::expected<void, CliError> run_help(ArgParser&) {
  print_help();
  return {};
}

}  // namespace pellucor
