// Standard input can be read only once. A second reader on the same command
// line would get nothing from a pipe (the first took it all) and wait on a
// terminal for a second end of input, so "-" given twice would silently store
// an empty value. Commands note every input that reads standard input while
// they check their arguments, before they read anything, and refuse the
// second.
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "crypto/errors.h"

namespace pellucor {

class StandardInputReaders {
 public:
  // claim notes that `what` (as the user wrote it: "--password-file -",
  // "--json") reads standard input. When another input already does, fails
  // with PL-2000 "standard input can be read only once: {first} and {what}
  // both read it".
  std::expected<void, CliError> claim(std::string_view what);

  // claim_file claims "{option} -" when `path` is "-"; any other path reads a
  // file and claims nothing.
  std::expected<void, CliError> claim_file(std::string_view option, std::string_view path);

 private:
  std::string first_;  // empty while nothing reads standard input
};

}  // namespace pellucor
