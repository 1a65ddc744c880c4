#include "cli/stdin_readers.h"

namespace pellucor {

std::expected<void, CliError> StandardInputReaders::claim(std::string_view what) {
  if (first_.empty()) {
    first_ = what;
    return {};
  }
  return std::unexpected(new_argument_error("standard input can be read only once: " + first_ + " and " +
                                            std::string(what) + " both read it"));
}

std::expected<void, CliError> StandardInputReaders::claim_file(std::string_view option, std::string_view path) {
  if (path != "-") return {};
  return claim(std::string(option) + " -");
}

}  // namespace pellucor
