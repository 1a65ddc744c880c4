#include "cli/commands/version.h"

#include "cli/help.h"

namespace pellucor {

std::expected<void, CliError> run_version(ArgParser&) {
  print_version();
  return {};
}

}  // namespace pellucor
