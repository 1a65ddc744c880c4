// The argument tokeniser handed to every command.
//
// Arguments are raw bytes; nothing needs to be UTF-8 until a command word or
// an option value is turned into text. Tokens:
//   Short  one character of "-x" or of a cluster "-abc"
//   Long   an option name without its dashes, from "--name" or "--name=value"
//   Value  a positional argument (also "-" alone, and everything after "--")
#pragma once

#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/errors.h"

namespace pellucor {

enum class ArgKind { Short, Long, Value };

struct ArgToken {
  ArgKind kind = ArgKind::Value;
  char32_t short_name = 0;  // Short: the option character (U+FFFD for a byte that is not UTF-8)
  std::string text;         // Long: the name (not UTF-8 bytes become U+FFFD); Value: raw bytes

  bool is_short(char32_t c) const { return kind == ArgKind::Short && short_name == c; }
  bool is_long(std::string_view name) const { return kind == ArgKind::Long && text == name; }
  bool is_value() const { return kind == ArgKind::Value; }
};

// arg_token_debug returns the token's debug form, used in messages:
// Short('x'), Long("name"), Value("text"). Quotes of the same kind and
// backslashes are escaped, control and invisible characters are written as
// \n, \r, \t, \0 or \u{hex}, and bytes that are not UTF-8 as \xHH.
std::string arg_token_debug(const ArgToken& token);

// quote_debug writes `bytes` between double quotes in the debug form of a Value.
std::string quote_debug(std::string_view bytes);

// A failure of the tokeniser; `message` is the text shown to the user.
struct ArgError {
  std::string message;
};

class ArgParser {
 public:
  // `args` are the program arguments after argument 0.
  explicit ArgParser(std::vector<std::string> args);

  // from_argv copies argv[1..argc), stopping early at a null pointer.
  static ArgParser from_argv(int argc, const char* const* argv);

  // next_arg returns the next token, or std::nullopt at the end of the
  // arguments. It fails with "unexpected argument for option '--name':
  // \"value\"" when the previous option carried an attached value
  // (--name=value, or -x=value inside a cluster) that was not taken with
  // option_value.
  std::expected<std::optional<ArgToken>, ArgError> next_arg();

  // option_value returns the raw value of the option just returned: its
  // attached value; else the rest of the current short cluster (one leading
  // "=" dropped); else the next whole argument, whatever it looks like. With
  // nothing left it fails with "missing argument for option '<opt>'", or
  // "missing argument" when no option token came just before.
  std::expected<std::string, ArgError> option_value();

 private:
  std::optional<std::string> take_attached_value();
  std::string missing_value_message() const;

  std::vector<std::string> args_;
  std::size_t next_ = 0;                 // index of the next unread argument
  std::optional<std::string> pending_;   // the value of --name=value, not yet taken
  std::string cluster_;                  // the short cluster being read ("-abc")
  std::size_t cluster_pos_ = 0;          // next unread byte of cluster_; 0 when none
  bool options_done_ = false;            // "--" has been seen
  std::string last_option_;              // "-x" or "--name"; empty when none
};

// error_from_arg_error turns a tokeniser failure into PL-2000 with its text.
CliError error_from_arg_error(const ArgError& error);

}  // namespace pellucor
