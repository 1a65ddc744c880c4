// Strict UTF-8 decoding of raw bytes (arguments, file contents, vault text).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace pellucor {

// decode_utf8 reads one well-formed UTF-8 scalar value at text[pos] into `cp`
// and returns its length in bytes (1 to 4). It returns 0, leaving `cp`
// unspecified, when the bytes there are not well-formed UTF-8 (a stray
// continuation byte, an overlong form, a surrogate, a value above U+10FFFF or
// a sequence cut short by the end of the text).
std::size_t decode_utf8(std::string_view text, std::size_t pos, char32_t& cp);

// is_valid_utf8 returns true when the whole of `text` is well-formed UTF-8.
bool is_valid_utf8(std::string_view text);

// append_utf8 appends the UTF-8 encoding of the scalar value `cp`.
void append_utf8(std::string& out, char32_t cp);

}  // namespace pellucor
