#include "gate/os_error.h"

#include <string.h>

namespace pellucor {

std::string os_error_text(int errnum) {
  char buf[256];
  buf[0] = '\0';
  // GNU strerror_r may return a static text instead of filling buf.
  const char* text = strerror_r(errnum, buf, sizeof buf);
  std::string out = text != nullptr ? text : "";
  out += " (os error ";
  out += std::to_string(errnum);
  out += ')';
  return out;
}

}  // namespace pellucor
