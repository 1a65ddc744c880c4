#include "crypto/invariant.h"

#include <cstdio>
#include <cstdlib>

namespace pellucor {

void abort_invariant(std::string_view message, std::source_location where) {
  std::fprintf(stderr, "%s:%u:%u: %.*s\n", where.file_name(), static_cast<unsigned>(where.line()),
               static_cast<unsigned>(where.column()), static_cast<int>(message.size()), message.data());
  std::fflush(stderr);
  std::abort();
}

}  // namespace pellucor
