// The one way out for a broken internal invariant: a state the program can
// neither handle nor report as an error value (an HKDF request longer than
// the caller could ever make, a refusal inside HMAC). Everything else is a
// returned error.
#pragma once

#include <source_location>
#include <string_view>

namespace pellucor {

// abort_invariant writes `message` and the source location of the caller to
// stderr and aborts the process. It never returns.
[[noreturn]] void abort_invariant(std::string_view message,
                                  std::source_location where = std::source_location::current());

}  // namespace pellucor
