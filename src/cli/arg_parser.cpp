#include "cli/arg_parser.h"

#include <cstdio>
#include <utility>

#include "cli/utf8.h"
#include "gate/vault_text.h"

namespace pellucor {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Characters the debug form writes as \u{..}: controls, separators other than
// the plain space, invisible format characters and the combining marks that
// would otherwise attach to the quote before them.
bool is_escaped_in_debug(char32_t c) {
  if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) return true;
  struct Range {
    char32_t lo, hi;
  };
  static constexpr Range kRanges[] = {
      {0x00A0, 0x00A0}, {0x00AD, 0x00AD}, {0x0300, 0x036F}, {0x0483, 0x0489},
      {0x0600, 0x0605}, {0x061C, 0x061C}, {0x06DD, 0x06DD}, {0x070F, 0x070F},
      {0x1680, 0x1680}, {0x180E, 0x180E}, {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF},
      {0x2000, 0x200F}, {0x2028, 0x202F}, {0x205F, 0x2064}, {0x2066, 0x206F},
      {0x20D0, 0x20FF}, {0x3000, 0x3000}, {0xD800, 0xDFFF}, {0xE000, 0xF8FF},
      {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F}, {0xFEFF, 0xFEFF}, {0xFFF9, 0xFFFB},
      {0xFFFE, 0xFFFF}, {0xE0000, 0xE0FFF}, {0xF0000, 0x10FFFF},
  };
  for (const Range& r : kRanges) {
    if (c >= r.lo && c <= r.hi) return true;
  }
  return false;
}

void append_escaped_char(std::string& out, char32_t c, char quote) {
  switch (c) {
    case '\\': out += "\\\\"; return;
    case '\n': out += "\\n"; return;
    case '\r': out += "\\r"; return;
    case '\t': out += "\\t"; return;
    case '\0': out += "\\0"; return;
    default: break;
  }
  if (c == static_cast<char32_t>(quote)) {
    out += '\\';
    out += quote;
    return;
  }
  if (is_escaped_in_debug(c)) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(c));
    out += buf;
    return;
  }
  append_utf8(out, c);
}

// Quotes `bytes` with `quote`, writing bytes that are not UTF-8 as \xHH.
std::string quote_bytes(std::string_view bytes, char quote) {
  std::string out(1, quote);
  for (std::size_t i = 0; i < bytes.size();) {
    char32_t cp = 0;
    const std::size_t len = decode_utf8(bytes, i, cp);
    if (len == 0) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", static_cast<unsigned char>(bytes[i]));
      out += buf;
      ++i;
      continue;
    }
    append_escaped_char(out, cp, quote);
    i += len;
  }
  out += quote;
  return out;
}

// Option names are text: bytes that are not UTF-8 become U+FFFD.
std::string lossy_utf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    char32_t cp = 0;
    const std::size_t len = decode_utf8(bytes, i, cp);
    if (len == 0) {
      append_utf8(out, kReplacement);
      ++i;
    } else {
      out.append(bytes.substr(i, len));
      i += len;
    }
  }
  return out;
}

}  // namespace

std::string quote_debug(std::string_view bytes) { return quote_bytes(bytes, '"'); }

std::string arg_token_debug(const ArgToken& token) {
  switch (token.kind) {
    case ArgKind::Short: {
      std::string out = "Short('";
      append_escaped_char(out, token.short_name, '\'');
      out += "')";
      return out;
    }
    case ArgKind::Long:
      return "Long(" + quote_bytes(token.text, '"') + ")";
    case ArgKind::Value:
      return "Value(" + quote_bytes(token.text, '"') + ")";
  }
  return {};
}

ArgParser::ArgParser(std::vector<std::string> args) : args_(std::move(args)) {}

ArgParser ArgParser::from_argv(int argc, const char* const* argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc && argv != nullptr && argv[i] != nullptr; ++i) {
    args.emplace_back(argv[i]);
  }
  return ArgParser(std::move(args));
}

std::expected<std::optional<ArgToken>, ArgError> ArgParser::next_arg() {
  if (pending_) {
    // The previous --name=value left its value unread.
    std::string value = std::move(*pending_);
    pending_.reset();
    return std::unexpected(ArgError{"unexpected argument for option '" + single_line_text(last_option_) +
                                    "': " + quote_debug(value)});
  }
  if (cluster_pos_ != 0) {
    if (cluster_pos_ >= cluster_.size()) {
      cluster_pos_ = 0;
      cluster_.clear();
    } else if (cluster_[cluster_pos_] == '=' && cluster_pos_ > 1) {
      // -x=value: a value attached to a flag.
      std::string value = cluster_.substr(cluster_pos_ + 1);
      cluster_pos_ = 0;
      cluster_.clear();
      return std::unexpected(ArgError{"unexpected argument for option '" + single_line_text(last_option_) +
                                      "': " + quote_debug(value)});
    } else {
      char32_t cp = 0;
      std::size_t len = decode_utf8(cluster_, cluster_pos_, cp);
      if (len == 0) {
        cp = kReplacement;
        len = 1;
      }
      cluster_pos_ += len;
      last_option_ = "-";
      append_utf8(last_option_, cp);
      ArgToken token;
      token.kind = ArgKind::Short;
      token.short_name = cp;
      return token;
    }
  }
  if (next_ >= args_.size()) return std::optional<ArgToken>{};
  std::string arg = std::move(args_[next_++]);
  if (options_done_) {
    last_option_.clear();
    return ArgToken{ArgKind::Value, 0, std::move(arg)};
  }
  if (arg == "--") {
    options_done_ = true;
    return next_arg();
  }
  if (arg.starts_with("--")) {
    std::string_view name(arg);
    name.remove_prefix(2);
    const std::size_t eq = name.find('=');
    if (eq != std::string_view::npos) {
      pending_ = std::string(name.substr(eq + 1));
      name = name.substr(0, eq);
    }
    ArgToken token;
    token.kind = ArgKind::Long;
    token.text = lossy_utf8(name);
    last_option_ = "--" + token.text;
    return token;
  }
  if (arg.size() > 1 && arg[0] == '-') {
    cluster_ = std::move(arg);
    cluster_pos_ = 1;
    return next_arg();
  }
  last_option_.clear();
  return ArgToken{ArgKind::Value, 0, std::move(arg)};
}

std::optional<std::string> ArgParser::take_attached_value() {
  if (pending_) {
    std::string value = std::move(*pending_);
    pending_.reset();
    return value;
  }
  if (cluster_pos_ != 0) {
    std::size_t pos = cluster_pos_;
    std::string rest;
    const bool has_rest = pos < cluster_.size();
    if (has_rest) {
      if (cluster_[pos] == '=') ++pos;
      rest = cluster_.substr(pos);
    }
    cluster_pos_ = 0;
    cluster_.clear();
    if (has_rest) return rest;
  }
  return std::nullopt;
}

std::string ArgParser::missing_value_message() const {
  if (last_option_.empty()) return "missing argument";
  return "missing argument for option '" + single_line_text(last_option_) + "'";
}

std::expected<std::string, ArgError> ArgParser::option_value() {
  if (auto attached = take_attached_value()) return std::move(*attached);
  if (next_ < args_.size()) return std::move(args_[next_++]);
  return std::unexpected(ArgError{missing_value_message()});
}

CliError error_from_arg_error(const ArgError& error) { return new_argument_error(error.message); }

}  // namespace pellucor
