// The program's JSON layer: one strict reader and two writers, shared by the
// gate transport, the configuration file, the entry-type schema and every
// command that reads or prints JSON.
//
// Values are nlohmann::json trees; objects keep their keys in ascending byte
// order. The reader follows one fixed set of rules, and its refusals carry the
// texts users see in error lines, with a 1-based line and a 0-based byte
// column ("expected value at line 1 column 1"):
//   - nothing but white space (space, tab, CR, LF) may follow the value;
//   - at most 127 arrays or objects nested in one another;
//   - strings must be UTF-8, hold no raw control character (U+0000-U+001F) and
//     use only the JSON escapes; \u escapes must pair surrogates;
//   - a number without fraction or exponent is an unsigned integer when it
//     fits 64 bits, a signed one when it is negative and fits 64 bits, and a
//     64-bit float otherwise; a float too large for 64 bits is refused;
//   - a key repeated in one object keeps its last value.
// For reading JSON into typed records see json_reader.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "crypto/secure_buffer.h"

namespace pellucor::json {

using Value = nlohmann::json;

// A reading failure. `line` is 0 when the failure has no position (a record
// read from a Value); text() then is the bare message.
struct Error {
  std::string message;
  std::size_t line = 0;
  std::size_t column = 0;

  // text: the message, followed by " at line L column C" when positioned.
  std::string text() const;
};

// parse reads exactly one JSON value from `text`. On failure it returns the
// positioned refusal, e.g. "trailing characters at line 1 column 3".
std::expected<Value, Error> parse(std::string_view text);
std::expected<Value, Error> parse(std::span<const std::uint8_t> bytes);

// to_compact writes `v` without any white space. Strings escape only '"', '\',
// and control characters (\b \t \n \f \r, else \u00XX); other text, non-ASCII
// included, is written raw. Floats use the shortest form that reads back to
// the same double (format_f64); a non-finite float is written as null.
std::string to_compact(const Value& v);
void append_compact(const Value& v, std::string& out);
void append_compact(const Value& v, SecureBytes& out);
void append_compact(const Value& v, SecureString& out);
// append_string writes `s` as one quoted, escaped JSON string (for writers
// that must keep their own key order).
void append_string(std::string_view s, std::string& out);
void append_string(std::string_view s, SecureBytes& out);
void append_string(std::string_view s, SecureString& out);

// to_pretty writes `v` with two-space indentation and ": " between key and
// value; an empty array or object is "[]" / "{}". No newline at the end. It
// is the writer of JSON printed to a terminal: besides what to_compact
// escapes, strings (keys included) write DEL, the C1 controls U+0080..U+009F
// and the bidirectional controls U+202A..U+202E and U+2066..U+2069 as \u
// escapes (lowercase hex), so that vault text cannot steer the terminal; a
// JSON reader reads the same values.
std::string to_pretty(const Value& v);

// is_writable is false when `v` holds something JSON text cannot express
// (a binary or discarded node, at any depth).
bool is_writable(const Value& v);

// wipe_strings overwrites the bytes of every string value in `v`, at any
// depth, with zeros (object keys stay): for trees that held secret plaintexts.
void wipe_strings(Value& v) noexcept;

// format_f64 writes a finite double in its shortest round-trip digits:
// "1.0", "0.1", "1e21", "1.5e-7", "-0.0"; plain notation while the decimal
// exponent stays in -5..16, scientific otherwise.
std::string format_f64(double v);

}  // namespace pellucor::json
