#include "cli/commands/show_schema.h"

#include <cstdio>

#include "cli/schema.h"

namespace pellucor {

void show_schema() {
  std::string_view doc = entry_type_schema_json();
  std::fwrite(doc.data(), 1, doc.size(), stdout);
  std::fputc('\n', stdout);
}

}  // namespace pellucor
