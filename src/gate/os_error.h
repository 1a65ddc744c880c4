// The text of a system error as this program shows it inside messages.
#pragma once

#include <string>

namespace pellucor {

// os_error_text returns the system's description of `errnum` followed by
// " (os error N)", e.g. "No such file or directory (os error 2)".
std::string os_error_text(int errnum);

}  // namespace pellucor
