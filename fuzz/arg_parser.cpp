// The argument tokeniser and the token debug form.
//
// The input is the argument list, arguments separated by NUL bytes (which no
// real argument can hold); the first byte says, bit by bit, after which tokens
// the command asks for an option value. Checks: the tokeniser ends, a Value
// token is one of the arguments unchanged, and every debug form is printable
// UTF-8 text that decodes back to exactly the bytes it shows.
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "cli/arg_parser.h"
#include "cli/utf8.h"
#include "fuzz_common.h"

using namespace pellucor;

namespace {

// Reads the quoted text at `pos` (opening quote included) back into bytes.
std::optional<std::string> unquote(std::string_view s, std::size_t& pos, char quote) {
  if (pos >= s.size() || s[pos] != quote) return std::nullopt;
  ++pos;
  std::string out;
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  while (pos < s.size()) {
    const char c = s[pos++];
    if (c == quote) return out;
    if (c != '\\') {
      out += c;
      continue;
    }
    if (pos >= s.size()) return std::nullopt;
    const char e = s[pos++];
    switch (e) {
      case '\\': out += '\\'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case '0': out += '\0'; break;
      case 'x': {
        if (pos + 2 > s.size() || hex(s[pos]) < 0 || hex(s[pos + 1]) < 0) return std::nullopt;
        out += static_cast<char>(hex(s[pos]) * 16 + hex(s[pos + 1]));
        pos += 2;
        break;
      }
      case 'u': {
        if (pos >= s.size() || s[pos] != '{') return std::nullopt;
        ++pos;
        char32_t cp = 0;
        std::size_t digits = 0;
        while (pos < s.size() && s[pos] != '}') {
          const int h = hex(s[pos++]);
          if (h < 0 || ++digits > 6) return std::nullopt;
          cp = cp * 16 + static_cast<char32_t>(h);
        }
        if (pos >= s.size() || digits == 0) return std::nullopt;
        ++pos;
        // Surrogates are not scalar values; the debug form shows them only
        // for a Short name, which never holds one.
        if (cp >= 0xD800 && cp <= 0xDFFF) return std::nullopt;
        append_utf8(out, cp);
        break;
      }
      default:
        if (e != quote) return std::nullopt;
        out += e;
    }
  }
  return std::nullopt;
}

// Printable: valid UTF-8 with no C0 control and no DEL.
bool printable(std::string_view s) {
  if (!is_valid_utf8(s)) return false;
  return std::none_of(s.begin(), s.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7F;
  });
}

void check_quoted(std::string_view bytes) {
  const std::string q = quote_debug(bytes);
  FUZZ_CHECK(printable(q));
  std::size_t pos = 0;
  auto back = unquote(q, pos, '"');
  FUZZ_CHECK(back.has_value() && pos == q.size() && *back == bytes);
}

void check_token(const ArgToken& t, const std::vector<std::string>& args) {
  const std::string debug = arg_token_debug(t);
  FUZZ_CHECK(printable(debug) && debug.ends_with(")"));
  switch (t.kind) {
    case ArgKind::Value: {
      FUZZ_CHECK(std::find(args.begin(), args.end(), t.text) != args.end());
      FUZZ_CHECK(debug.starts_with("Value("));
      std::size_t pos = 6;
      auto back = unquote(debug, pos, '"');
      FUZZ_CHECK(back && *back == t.text && pos + 1 == debug.size());
      break;
    }
    case ArgKind::Long: {
      FUZZ_CHECK(is_valid_utf8(t.text) && debug.starts_with("Long("));
      std::size_t pos = 5;
      auto back = unquote(debug, pos, '"');
      FUZZ_CHECK(back && *back == t.text && pos + 1 == debug.size());
      break;
    }
    case ArgKind::Short: {
      FUZZ_CHECK(debug.starts_with("Short("));
      FUZZ_CHECK(t.short_name <= 0x10FFFF && !(t.short_name >= 0xD800 && t.short_name <= 0xDFFF));
      std::size_t pos = 6;
      auto back = unquote(debug, pos, '\'');
      std::string expected;
      append_utf8(expected, t.short_name);
      FUZZ_CHECK(back && *back == expected && pos + 1 == debug.size());
      break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t plan = data[0];
  const std::string_view rest = fuzz::as_text(data + 1, size - 1);

  std::vector<std::string> args;
  for (std::size_t i = 0; i <= rest.size();) {
    const std::size_t nul = std::min(rest.find('\0', i), rest.size());
    args.emplace_back(rest.substr(i, nul - i));
    i = nul + 1;
  }
  for (const std::string& a : args) check_quoted(a);

  ArgParser parser(args);
  // Every call consumes at least one byte of one argument or ends.
  const std::size_t limit = 2 * (rest.size() + args.size()) + 4;
  for (std::size_t step = 0;; ++step) {
    FUZZ_CHECK(step <= limit);
    auto next = parser.next_arg();
    if (!next) {
      FUZZ_CHECK(is_valid_utf8(next.error().message));
      break;
    }
    if (!next->has_value()) break;
    check_token(**next, args);
    if ((plan >> (step % 8)) & 1) {
      auto value = parser.option_value();
      if (!value) FUZZ_CHECK(value.error().message.starts_with("missing argument"));
    }
  }
  return 0;
}
