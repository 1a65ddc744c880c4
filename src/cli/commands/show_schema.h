// --show-schema: prints the embedded entry-type document as it is.
#pragma once

namespace pellucor {

// show_schema writes the embedded document, unparsed, and one line feed to
// standard output. The dispatcher exits 0 after it.
void show_schema();

}  // namespace pellucor
