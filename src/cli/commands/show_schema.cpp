#include "cli/commands/show_schema.h"

#include "cli/schema.h"
#include "cli/terminal.h"

namespace pellucor {

std::expected<void, CliError> run_show_schema(ArgParser&) {
  write_stdout(entry_type_schema_json());
  write_stdout("\n");
  return {};
}

}  // namespace pellucor
