#include "gate/json.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>

#include "crypto/errors.h"
#include "gate/json_reader.h"
#include "gate/vault_text.h"

namespace pellucor::json {

std::string Error::text() const {
  if (line == 0) return message;
  return message + " at line " + std::to_string(line) + " column " + std::to_string(column);
}

namespace {

enum class Code : std::uint8_t {
  EofWhileParsingList,
  EofWhileParsingObject,
  EofWhileParsingString,
  EofWhileParsingValue,
  ExpectedColon,
  ExpectedListCommaOrEnd,
  ExpectedObjectCommaOrEnd,
  ExpectedSomeIdent,
  ExpectedSomeValue,
  InvalidEscape,
  InvalidNumber,
  NumberOutOfRange,
  InvalidUnicodeCodePoint,
  ControlCharacterWhileParsingString,
  KeyMustBeAString,
  LoneLeadingSurrogateInHexEscape,
  TrailingComma,
  TrailingCharacters,
  UnexpectedEndOfHexEscape,
  RecursionLimitExceeded,
};

std::string_view code_text(Code c) {
  switch (c) {
    case Code::EofWhileParsingList: return "EOF while parsing a list";
    case Code::EofWhileParsingObject: return "EOF while parsing an object";
    case Code::EofWhileParsingString: return "EOF while parsing a string";
    case Code::EofWhileParsingValue: return "EOF while parsing a value";
    case Code::ExpectedColon: return "expected `:`";
    case Code::ExpectedListCommaOrEnd: return "expected `,` or `]`";
    case Code::ExpectedObjectCommaOrEnd: return "expected `,` or `}`";
    case Code::ExpectedSomeIdent: return "expected ident";
    case Code::ExpectedSomeValue: return "expected value";
    case Code::InvalidEscape: return "invalid escape";
    case Code::InvalidNumber: return "invalid number";
    case Code::NumberOutOfRange: return "number out of range";
    case Code::InvalidUnicodeCodePoint: return "invalid unicode code point";
    case Code::ControlCharacterWhileParsingString:
      return "control character (\\u0000-\\u001F) found while parsing a string";
    case Code::KeyMustBeAString: return "key must be a string";
    case Code::LoneLeadingSurrogateInHexEscape: return "lone leading surrogate in hex escape";
    case Code::TrailingComma: return "trailing comma";
    case Code::TrailingCharacters: return "trailing characters";
    case Code::UnexpectedEndOfHexEscape: return "unexpected end of hex escape";
    case Code::RecursionLimitExceeded: return "recursion limit exceeded";
  }
  return "";
}

// Powers of ten as the compiler would round each literal.
const std::array<double, 309>& pow10_table() {
  static const std::array<double, 309> table = [] {
    std::array<double, 309> t{};
    for (int i = 0; i < 309; ++i) {
      std::string lit = "1e" + std::to_string(i);
      t[static_cast<std::size_t>(i)] = std::strtod(lit.c_str(), nullptr);
    }
    return t;
  }();
  return table;
}

bool valid_utf8(std::string_view s) {
  std::size_t i = 0;
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t n = s.size();
  while (i < n) {
    unsigned char c = p[i];
    if (c < 0x80) {
      ++i;
      while (i + 8 <= n) {  // runs of ASCII, eight bytes at a time
        std::uint64_t w;
        std::memcpy(&w, p + i, 8);
        if ((w & 0x8080808080808080ULL) != 0) break;
        i += 8;
      }
      continue;
    }
    std::size_t len;
    char32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (n - i < len) return false;
    for (std::size_t k = 1; k < len; ++k) {
      unsigned char cc = p[i + k];
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    if ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
      return false;
    i += len;
  }
  return true;
}

void push_utf8(char32_t cp, std::string& out) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

int hex_val(std::uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A number as the text reader classifies it.
struct Number {
  enum Kind : std::uint8_t { U64, I64, F64 } kind;
  std::uint64_t u = 0;
  std::int64_t i = 0;
  double f = 0;

  Value to_value() const {
    switch (kind) {
      case U64: return Value(u);
      case I64: return Value(i);
      case F64: break;
    }
    return Value(f);
  }
  // The <found> part of an "invalid type" / "invalid value" text.
  std::string unexpected() const {
    switch (kind) {
      case U64: return "integer `" + std::to_string(u) + "`";
      case I64: return "integer `" + std::to_string(i) + "`";
      case F64: break;
    }
    return "floating point `" + format_f64(f) + "`";
  }
};

template <class T>
using Result = std::expected<T, Error>;

std::unexpected<Error> fail(Error e) { return std::unexpected(std::move(e)); }

// TextSource reads straight from JSON text, one value at a time. Failures are
// positioned either where the offending byte was consumed (error) or one past
// the byte looked at (peek_error); failures of the record layer, which have no
// position of their own, get the position reached when the value they concern
// was left (fix).
class TextSource final : public Source, private SeqAccess, private MapAccess {
 public:
  explicit TextSource(std::span<const std::uint8_t> text) : s_(text) {}

  Status end() {
    if (parse_whitespace()) return fail(peek_error(Code::TrailingCharacters));
    return {};
  }

  Status read_any(Value& out) override {
    auto peek = parse_whitespace();
    if (!peek) return fail(peek_error(Code::EofWhileParsingValue));
    switch (*peek) {
      case 'n':
        eat();
        if (auto st = parse_ident("ull"); !st) return st;
        out = nullptr;
        return {};
      case 't':
        eat();
        if (auto st = parse_ident("rue"); !st) return st;
        out = true;
        return {};
      case 'f':
        eat();
        if (auto st = parse_ident("alse"); !st) return st;
        out = false;
        return {};
      case '-': {
        eat();
        auto n = parse_integer(false);
        if (!n) return fail(std::move(n.error()));
        out = n->to_value();
        return {};
      }
      case '"': {
        eat();
        std::string str;
        if (auto st = parse_str(str); !st) return st;
        out = std::move(str);
        return {};
      }
      case '[': {
        Value arr = Value::array();
        auto body = [&](SeqAccess& seq) -> Status {
          for (;;) {
            auto more = seq.next();
            if (!more) return fail(std::move(more.error()));
            if (!*more) return {};
            Value v;
            if (auto st = read_any(v); !st) return st;
            arr.push_back(std::move(v));
          }
        };
        if (auto st = seq_form(body); !st) return st;
        out = std::move(arr);
        return {};
      }
      case '{': {
        Value obj = Value::object();
        auto body = [&](MapAccess& map) -> Status {
          std::string key;
          for (;;) {
            auto more = map.next_key(key);
            if (!more) return fail(std::move(more.error()));
            if (!*more) return {};
            if (auto st = parse_object_colon(); !st) return st;
            Value v;
            if (auto st = read_any(v); !st) return st;
            obj[key] = std::move(v);  // a repeated key keeps its last value
          }
        };
        if (auto st = map_form(body); !st) return st;
        out = std::move(obj);
        return {};
      }
      default:
        if (*peek >= '0' && *peek <= '9') {
          auto n = parse_integer(true);
          if (!n) return fail(std::move(n.error()));
          out = n->to_value();
          return {};
        }
        return fail(peek_error(Code::ExpectedSomeValue));
    }
  }

  // skip checks the syntax of one value and drops it; it keeps no nesting
  // limit (it holds no stack of its own beyond a byte per level).
  Status skip() override {
    std::string frames;
    std::optional<char> enclosing;
    for (;;) {
      auto peek = parse_whitespace();
      if (!peek) return fail(peek_error(Code::EofWhileParsingValue));
      std::optional<char> frame;
      switch (*peek) {
        case 'n':
          eat();
          if (auto st = parse_ident("ull"); !st) return st;
          break;
        case 't':
          eat();
          if (auto st = parse_ident("rue"); !st) return st;
          break;
        case 'f':
          eat();
          if (auto st = parse_ident("alse"); !st) return st;
          break;
        case '-':
          eat();
          if (auto st = ignore_integer(); !st) return st;
          break;
        case '"':
          eat();
          if (auto st = ignore_str(); !st) return st;
          break;
        case '[':
        case '{':
          if (enclosing) frames.push_back(*enclosing);
          enclosing.reset();
          eat();
          frame = static_cast<char>(*peek);
          break;
        default:
          if (*peek >= '0' && *peek <= '9') {
            if (auto st = ignore_integer(); !st) return st;
            break;
          }
          return fail(peek_error(Code::ExpectedSomeValue));
      }
      bool accept_comma;
      char f;
      if (frame) {
        accept_comma = false;
        f = *frame;
      } else if (enclosing) {
        accept_comma = true;
        f = *enclosing;
        enclosing.reset();
      } else if (!frames.empty()) {
        accept_comma = true;
        f = frames.back();
        frames.pop_back();
      } else {
        return {};
      }
      for (;;) {
        auto c = parse_whitespace();
        if (c && *c == ',' && accept_comma) {
          eat();
          break;
        }
        if (c && ((*c == ']' && f == '[') || (*c == '}' && f == '{'))) {
          eat();
          if (frames.empty()) return {};
          f = frames.back();
          frames.pop_back();
          accept_comma = true;
          continue;
        }
        if (c) {
          if (accept_comma)
            return fail(peek_error(f == '[' ? Code::ExpectedListCommaOrEnd : Code::ExpectedObjectCommaOrEnd));
          break;
        }
        return fail(peek_error(f == '[' ? Code::EofWhileParsingList : Code::EofWhileParsingObject));
      }
      if (f == '{') {
        auto c = parse_whitespace();
        if (!c) return fail(peek_error(Code::EofWhileParsingObject));
        if (*c != '"') return fail(peek_error(Code::KeyMustBeAString));
        eat();
        if (auto st = ignore_str(); !st) return st;
        auto colon = parse_whitespace();
        if (!colon) return fail(peek_error(Code::EofWhileParsingObject));
        if (*colon != ':') return fail(peek_error(Code::ExpectedColon));
        eat();
      }
      enclosing = f;
    }
  }

  Status read_string(std::string& out) override {
    auto peek = parse_whitespace();
    if (!peek) return fail(peek_error(Code::EofWhileParsingValue));
    if (*peek == '"') {
      eat();
      return parse_str(out);  // its failures are positioned already
    }
    return fail(peek_invalid_type("a string"));
  }

  Status read_bool(bool& out) override {
    auto peek = parse_whitespace();
    if (!peek) return fail(peek_error(Code::EofWhileParsingValue));
    if (*peek == 't') {
      eat();
      if (auto st = parse_ident("rue"); !st) return st;
      out = true;
      return {};
    }
    if (*peek == 'f') {
      eat();
      if (auto st = parse_ident("alse"); !st) return st;
      out = false;
      return {};
    }
    return fail(peek_invalid_type("a boolean"));
  }

  Status read_unsigned(std::uint64_t& out, std::uint64_t max, std::string_view expecting) override {
    auto n = read_number(expecting);
    if (!n) return fail(std::move(n.error()));
    switch (n->kind) {
      case Number::U64:
        if (n->u <= max) {
          out = n->u;
          return {};
        }
        return fail(fix(Error{"invalid value: " + n->unexpected() + ", expected " + std::string(expecting)}));
      case Number::I64:
        return fail(fix(Error{"invalid value: " + n->unexpected() + ", expected " + std::string(expecting)}));
      case Number::F64: break;
    }
    return fail(fix(Error{"invalid type: " + n->unexpected() + ", expected " + std::string(expecting)}));
  }

  Status read_f64(double& out) override {
    auto n = read_number("f64");
    if (!n) return fail(std::move(n.error()));
    switch (n->kind) {
      case Number::U64: out = static_cast<double>(n->u); break;
      case Number::I64: out = static_cast<double>(n->i); break;
      case Number::F64: out = n->f; break;
    }
    return {};
  }

  Result<bool> take_null() override {
    auto peek = parse_whitespace();
    if (peek && *peek == 'n') {
      eat();
      if (auto st = parse_ident("ull"); !st) return fail(std::move(st.error()));
      return true;
    }
    return false;
  }

  Status read_seq(std::string_view expecting, FnRef<Status(SeqAccess&)> body) override {
    auto peek = parse_whitespace();
    if (!peek) return fail(peek_error(Code::EofWhileParsingValue));
    if (*peek != '[') return fail(peek_invalid_type(expecting));
    return seq_form(body);
  }

  Status read_map(std::string_view expecting, FnRef<Status(MapAccess&)> body) override {
    auto peek = parse_whitespace();
    if (!peek) return fail(peek_error(Code::EofWhileParsingValue));
    if (*peek != '{') return fail(peek_invalid_type(expecting));
    return map_form(body);
  }

  Status read_struct(std::string_view expecting, FnRef<Status(MapAccess&)> map_body,
                     const FnRef<Status(SeqAccess&)>* seq_body) override {
    auto peek = parse_whitespace();
    if (!peek) return fail(peek_error(Code::EofWhileParsingValue));
    if (*peek == '{') return map_form(map_body);
    if (*peek == '[') {
      if (seq_body != nullptr) return seq_form(*seq_body);
      // A record without a positional form refuses the array as a whole.
      auto refuse = [&](SeqAccess&) -> Status {
        return fail(Error{"invalid type: sequence, expected " + std::string(expecting)});
      };
      return seq_form(refuse);
    }
    return fail(peek_invalid_type(expecting));
  }

 private:
  // SeqAccess: positioned on the member that next() announced.
  Result<bool> next() override {
    auto peek = parse_whitespace();
    if (!peek) return fail(peek_error(Code::EofWhileParsingList));
    if (*peek == ']') return false;
    if (*peek == ',' && !first_) {
      eat();
      peek = parse_whitespace();
    } else if (first_) {
      first_ = false;
    } else {
      return fail(peek_error(Code::ExpectedListCommaOrEnd));
    }
    if (!peek) return fail(peek_error(Code::EofWhileParsingValue));
    if (*peek == ']') return fail(peek_error(Code::TrailingComma));
    return true;
  }
  Source& element() override { return *this; }

  // MapAccess.
  Result<bool> next_key(std::string& key) override {
    auto peek = parse_whitespace();
    if (!peek) return fail(peek_error(Code::EofWhileParsingObject));
    if (*peek == '}') return false;
    if (*peek == ',' && !first_) {
      eat();
      peek = parse_whitespace();
    } else if (first_) {
      first_ = false;
    } else {
      return fail(peek_error(Code::ExpectedObjectCommaOrEnd));
    }
    if (!peek) return fail(peek_error(Code::EofWhileParsingValue));
    if (*peek == '"') {
      eat();
      if (auto st = parse_str(key); !st) return fail(std::move(st.error()));
      return true;
    }
    if (*peek == '}') return fail(peek_error(Code::TrailingComma));
    return fail(peek_error(Code::KeyMustBeAString));
  }
  Result<Source*> value() override {
    if (auto st = parse_object_colon(); !st) return fail(std::move(st.error()));
    return static_cast<Source*>(this);
  }

  Status seq_form(FnRef<Status(SeqAccess&)> body) {
    if (!enter()) return fail(peek_error(Code::RecursionLimitExceeded));
    eat();
    bool saved = first_;
    first_ = true;
    Status ret = body(*this);
    first_ = saved;
    leave();
    Status end = end_seq();
    if (!ret) return fail(fix(std::move(ret.error())));
    if (!end) return fail(fix(std::move(end.error())));
    return {};
  }

  Status map_form(FnRef<Status(MapAccess&)> body) {
    if (!enter()) return fail(peek_error(Code::RecursionLimitExceeded));
    eat();
    bool saved = first_;
    first_ = true;
    Status ret = body(*this);
    first_ = saved;
    leave();
    Status end = end_map();
    if (!ret) return fail(fix(std::move(ret.error())));
    if (!end) return fail(fix(std::move(end.error())));
    return {};
  }

  Status end_seq() {
    auto c = parse_whitespace();
    if (!c) return fail(peek_error(Code::EofWhileParsingList));
    if (*c == ']') {
      eat();
      return {};
    }
    if (*c == ',') {
      eat();
      auto d = parse_whitespace();
      if (d && *d == ']') return fail(peek_error(Code::TrailingComma));
    }
    return fail(peek_error(Code::TrailingCharacters));
  }

  Status end_map() {
    auto c = parse_whitespace();
    if (!c) return fail(peek_error(Code::EofWhileParsingObject));
    if (*c == '}') {
      eat();
      return {};
    }
    if (*c == ',') return fail(peek_error(Code::TrailingComma));
    return fail(peek_error(Code::TrailingCharacters));
  }

  Status parse_object_colon() {
    auto c = parse_whitespace();
    if (!c) return fail(peek_error(Code::EofWhileParsingObject));
    if (*c != ':') return fail(peek_error(Code::ExpectedColon));
    eat();
    return {};
  }

  Result<Number> read_number(std::string_view expecting) {
    auto peek = parse_whitespace();
    if (!peek) return fail(peek_error(Code::EofWhileParsingValue));
    if (*peek == '-') {
      eat();
      return parse_integer(false);
    }
    if (*peek >= '0' && *peek <= '9') return parse_integer(true);
    return fail(peek_invalid_type(expecting));
  }

  // peek_invalid_type consumes the offending value where it is a scalar and
  // describes it; a syntax error inside it wins.
  Error peek_invalid_type(std::string_view expecting) {
    std::string found;
    std::uint8_t c = i_ < s_.size() ? s_[i_] : 0;
    switch (c) {
      case 'n':
        eat();
        if (auto st = parse_ident("ull"); !st) return st.error();
        found = "null";
        break;
      case 't':
        eat();
        if (auto st = parse_ident("rue"); !st) return st.error();
        found = "boolean `true`";
        break;
      case 'f':
        eat();
        if (auto st = parse_ident("alse"); !st) return st.error();
        found = "boolean `false`";
        break;
      case '-': {
        eat();
        auto n = parse_integer(false);
        if (!n) return n.error();
        found = n->unexpected();
        break;
      }
      case '"': {
        eat();
        std::string str;
        if (auto st = parse_str(str); !st) return st.error();
        found = "string " + escape_debug_text(str);
        break;
      }
      case '[': found = "sequence"; break;
      case '{': found = "map"; break;
      default:
        if (c >= '0' && c <= '9') {
          auto n = parse_integer(true);
          if (!n) return n.error();
          found = n->unexpected();
          break;
        }
        return peek_error(Code::ExpectedSomeValue);
    }
    return fix(Error{"invalid type: " + found + ", expected " + std::string(expecting)});
  }

  // ---- numbers ----
  static bool overflows(std::uint64_t a, std::uint64_t digit) {
    constexpr std::uint64_t m = std::numeric_limits<std::uint64_t>::max();
    return a >= m / 10 && (a > m / 10 || digit > m % 10);
  }

  Result<Number> parse_integer(bool positive) {
    if (i_ >= s_.size()) return fail(error(Code::EofWhileParsingValue));
    std::uint8_t next = s_[i_++];
    if (next == '0') {
      std::uint8_t p = peek_or_null();
      if (p >= '0' && p <= '9') return fail(peek_error(Code::InvalidNumber));
      return parse_number(positive, 0);
    }
    if (next >= '1' && next <= '9') {
      std::uint64_t sig = next - '0';
      for (;;) {
        std::uint8_t p = peek_or_null();
        if (p >= '0' && p <= '9') {
          std::uint64_t digit = p - '0';
          if (overflows(sig, digit)) {
            auto f = parse_long_integer(positive, sig);
            if (!f) return fail(std::move(f.error()));
            return Number{Number::F64, 0, 0, *f};
          }
          eat();
          sig = sig * 10 + digit;
        } else {
          return parse_number(positive, sig);
        }
      }
    }
    return fail(error(Code::InvalidNumber));
  }

  Result<Number> parse_number(bool positive, std::uint64_t sig) {
    std::uint8_t p = peek_or_null();
    if (p == '.') {
      auto f = parse_decimal(positive, sig, 0);
      if (!f) return fail(std::move(f.error()));
      return Number{Number::F64, 0, 0, *f};
    }
    if (p == 'e' || p == 'E') {
      auto f = parse_exponent(positive, sig, 0);
      if (!f) return fail(std::move(f.error()));
      return Number{Number::F64, 0, 0, *f};
    }
    if (positive) return Number{Number::U64, sig, 0, 0};
    std::int64_t neg = static_cast<std::int64_t>(0 - sig);  // wrapping negation
    if (neg >= 0) return Number{Number::F64, 0, 0, -static_cast<double>(sig)};  // -0 and below i64
    return Number{Number::I64, 0, neg, 0};
  }

  Result<double> parse_decimal(bool positive, std::uint64_t sig, int exp_before) {
    eat();  // '.'
    int exp_after = 0;
    for (;;) {
      std::uint8_t c = peek_or_null();
      if (c < '0' || c > '9') break;
      std::uint64_t digit = c - '0';
      if (overflows(sig, digit)) return parse_decimal_overflow(positive, sig, exp_before + exp_after);
      eat();
      sig = sig * 10 + digit;
      --exp_after;
    }
    if (exp_after == 0) {
      if (i_ < s_.size()) return fail(peek_error(Code::InvalidNumber));
      return fail(peek_error(Code::EofWhileParsingValue));
    }
    int exponent = exp_before + exp_after;
    std::uint8_t c = peek_or_null();
    if (c == 'e' || c == 'E') return parse_exponent(positive, sig, exponent);
    return f64_from_parts(positive, sig, exponent);
  }

  Result<double> parse_exponent(bool positive, std::uint64_t sig, int starting_exp) {
    eat();  // 'e' or 'E'
    bool positive_exp = true;
    std::uint8_t c = peek_or_null();
    if (c == '+') {
      eat();
    } else if (c == '-') {
      eat();
      positive_exp = false;
    }
    if (i_ >= s_.size()) return fail(error(Code::EofWhileParsingValue));
    std::uint8_t next = s_[i_++];
    if (next < '0' || next > '9') return fail(error(Code::InvalidNumber));
    std::int32_t exp = next - '0';
    for (;;) {
      std::uint8_t d = peek_or_null();
      if (d < '0' || d > '9') break;
      eat();
      std::int32_t digit = d - '0';
      constexpr std::int32_t m = std::numeric_limits<std::int32_t>::max();
      if (exp >= m / 10 && (exp > m / 10 || digit > m % 10)) {
        return parse_exponent_overflow(positive, sig == 0, positive_exp);
      }
      exp = exp * 10 + digit;
    }
    std::int64_t fin = positive_exp ? static_cast<std::int64_t>(starting_exp) + exp
                                    : static_cast<std::int64_t>(starting_exp) - exp;
    fin = std::clamp<std::int64_t>(fin, std::numeric_limits<std::int32_t>::min(),
                                   std::numeric_limits<std::int32_t>::max());
    return f64_from_parts(positive, sig, static_cast<int>(fin));
  }

  Result<double> parse_exponent_overflow(bool positive, bool zero_sig, bool positive_exp) {
    if (!zero_sig && positive_exp) return fail(error(Code::NumberOutOfRange));
    for (;;) {
      std::uint8_t d = peek_or_null();
      if (d < '0' || d > '9') break;
      eat();
    }
    return positive ? 0.0 : -0.0;
  }

  Result<double> parse_decimal_overflow(bool positive, std::uint64_t sig, int exponent) {
    for (;;) {
      std::uint8_t d = peek_or_null();
      if (d < '0' || d > '9') break;
      eat();
    }
    std::uint8_t c = peek_or_null();
    if (c == 'e' || c == 'E') return parse_exponent(positive, sig, exponent);
    return f64_from_parts(positive, sig, exponent);
  }

  Result<double> parse_long_integer(bool positive, std::uint64_t sig) {
    int exponent = 0;
    for (;;) {
      std::uint8_t c = peek_or_null();
      if (c >= '0' && c <= '9') {
        eat();
        ++exponent;
      } else if (c == '.') {
        return parse_decimal(positive, sig, exponent);
      } else if (c == 'e' || c == 'E') {
        return parse_exponent(positive, sig, exponent);
      } else {
        return f64_from_parts(positive, sig, exponent);
      }
    }
  }

  // f64_from_parts scales the significand by powers of ten the way the reader
  // always has (not correctly rounded in every case; kept so that numbers
  // read back the same everywhere in the program).
  Result<double> f64_from_parts(bool positive, std::uint64_t sig, int exponent) {
    const auto& pow10 = pow10_table();
    double f = static_cast<double>(sig);
    for (;;) {
      std::uint32_t ax = exponent < 0 ? 0u - static_cast<std::uint32_t>(exponent) : static_cast<std::uint32_t>(exponent);
      if (ax < pow10.size()) {
        double p = pow10[ax];
        if (exponent >= 0) {
          f *= p;
          if (std::isinf(f)) return fail(error(Code::NumberOutOfRange));
        } else {
          f /= p;
        }
        break;
      }
      if (f == 0.0) break;
      if (exponent >= 0) return fail(error(Code::NumberOutOfRange));
      f /= 1e308;
      exponent += 308;
    }
    return positive ? f : -f;
  }

  Status ignore_integer() {
    std::uint8_t c = next_char_or_null();
    if (c == '0') {
      std::uint8_t p = peek_or_null();
      if (p >= '0' && p <= '9') return fail(peek_error(Code::InvalidNumber));
    } else if (c >= '1' && c <= '9') {
      for (;;) {
        std::uint8_t p = peek_or_null();
        if (p < '0' || p > '9') break;
        eat();
      }
    } else {
      return fail(error(Code::InvalidNumber));
    }
    std::uint8_t p = peek_or_null();
    if (p == '.') return ignore_decimal();
    if (p == 'e' || p == 'E') return ignore_exponent();
    return {};
  }

  Status ignore_decimal() {
    eat();
    bool digit = false;
    for (;;) {
      std::uint8_t p = peek_or_null();
      if (p < '0' || p > '9') break;
      eat();
      digit = true;
    }
    if (!digit) return fail(peek_error(Code::InvalidNumber));
    std::uint8_t p = peek_or_null();
    if (p == 'e' || p == 'E') return ignore_exponent();
    return {};
  }

  Status ignore_exponent() {
    eat();
    std::uint8_t p = peek_or_null();
    if (p == '+' || p == '-') eat();
    std::uint8_t c = next_char_or_null();
    if (c < '0' || c > '9') return fail(error(Code::InvalidNumber));
    for (;;) {
      std::uint8_t d = peek_or_null();
      if (d < '0' || d > '9') break;
      eat();
    }
    return {};
  }

  // ---- strings ----
  Status parse_str(std::string& out) {
    out.clear();
    std::size_t start = i_;
    const std::size_t n = s_.size();
    for (;;) {
      while (i_ < n && s_[i_] != '"' && s_[i_] != '\\' && s_[i_] >= 0x20) ++i_;
      if (i_ == n) return fail(error(Code::EofWhileParsingString));
      std::uint8_t c = s_[i_];
      if (c == '"') {
        out.append(reinterpret_cast<const char*>(s_.data()) + start, i_ - start);
        ++i_;
        if (!valid_utf8(out)) return fail(error(Code::InvalidUnicodeCodePoint));
        return {};
      }
      if (c == '\\') {
        out.append(reinterpret_cast<const char*>(s_.data()) + start, i_ - start);
        ++i_;
        if (auto st = parse_escape(out); !st) return st;
        start = i_;
        continue;
      }
      ++i_;
      return fail(error(Code::ControlCharacterWhileParsingString));
    }
  }

  Status parse_escape(std::string& out) {
    if (i_ >= s_.size()) return fail(error(Code::EofWhileParsingString));
    std::uint8_t ch = s_[i_++];
    switch (ch) {
      case '"': out.push_back('"'); return {};
      case '\\': out.push_back('\\'); return {};
      case '/': out.push_back('/'); return {};
      case 'b': out.push_back('\b'); return {};
      case 'f': out.push_back('\f'); return {};
      case 'n': out.push_back('\n'); return {};
      case 'r': out.push_back('\r'); return {};
      case 't': out.push_back('\t'); return {};
      case 'u': return parse_unicode_escape(out);
      default: return fail(error(Code::InvalidEscape));
    }
  }

  Result<std::uint16_t> decode_hex_escape() {
    if (s_.size() - i_ < 4) {
      i_ = s_.size();
      return fail(error(Code::EofWhileParsingString));
    }
    int v = 0;
    bool ok = true;
    for (int k = 0; k < 4; ++k) {
      int h = hex_val(s_[i_ + static_cast<std::size_t>(k)]);
      if (h < 0) ok = false;
      v = (v << 4) | (h & 0xF);
    }
    i_ += 4;
    if (!ok) return fail(error(Code::InvalidEscape));
    return static_cast<std::uint16_t>(v);
  }

  Status parse_unicode_escape(std::string& out) {
    auto n = decode_hex_escape();
    if (!n) return fail(std::move(n.error()));
    if (*n >= 0xDC00 && *n <= 0xDFFF) return fail(error(Code::LoneLeadingSurrogateInHexEscape));
    if (*n < 0xD800 || *n > 0xDBFF) {
      push_utf8(*n, out);
      return {};
    }
    std::uint16_t n1 = *n;
    if (i_ >= s_.size()) return fail(error(Code::EofWhileParsingString));
    if (s_[i_] != '\\') {
      ++i_;
      return fail(error(Code::UnexpectedEndOfHexEscape));
    }
    ++i_;
    if (i_ >= s_.size()) return fail(error(Code::EofWhileParsingString));
    if (s_[i_] != 'u') {
      ++i_;
      return fail(error(Code::UnexpectedEndOfHexEscape));
    }
    ++i_;
    auto n2 = decode_hex_escape();
    if (!n2) return fail(std::move(n2.error()));
    if (*n2 < 0xDC00 || *n2 > 0xDFFF) return fail(error(Code::LoneLeadingSurrogateInHexEscape));
    char32_t cp = ((static_cast<char32_t>(n1 - 0xD800) << 10) | static_cast<char32_t>(*n2 - 0xDC00)) + 0x10000;
    push_utf8(cp, out);
    return {};
  }

  Status ignore_str() {
    const std::size_t n = s_.size();
    for (;;) {
      while (i_ < n && s_[i_] != '"' && s_[i_] != '\\' && s_[i_] >= 0x20) ++i_;
      if (i_ == n) return fail(error(Code::EofWhileParsingString));
      std::uint8_t c = s_[i_];
      if (c == '"') {
        ++i_;
        return {};
      }
      if (c == '\\') {
        ++i_;
        if (i_ >= n) return fail(error(Code::EofWhileParsingString));
        std::uint8_t e = s_[i_++];
        switch (e) {
          case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't': break;
          case 'u': {
            auto h = decode_hex_escape();
            if (!h) return fail(std::move(h.error()));
            break;
          }
          default: return fail(error(Code::InvalidEscape));
        }
        continue;
      }
      ++i_;
      return fail(error(Code::ControlCharacterWhileParsingString));
    }
  }

  // ---- bytes and positions ----
  Status parse_ident(std::string_view rest) {
    for (char expected : rest) {
      if (i_ >= s_.size()) return fail(error(Code::EofWhileParsingValue));
      if (s_[i_++] != static_cast<std::uint8_t>(expected)) return fail(error(Code::ExpectedSomeIdent));
    }
    return {};
  }

  std::optional<std::uint8_t> parse_whitespace() {
    while (i_ < s_.size()) {
      std::uint8_t c = s_[i_];
      if (c == ' ' || c == '\n' || c == '\t' || c == '\r') {
        ++i_;
        continue;
      }
      return c;
    }
    return std::nullopt;
  }
  std::uint8_t peek_or_null() const { return i_ < s_.size() ? s_[i_] : 0; }
  std::uint8_t next_char_or_null() { return i_ < s_.size() ? s_[i_++] : 0; }
  void eat() { ++i_; }

  bool enter() { return --remaining_depth_ != 0; }
  void leave() { ++remaining_depth_; }

  Error at(std::size_t idx, Code c) const {
    Error e{std::string(code_text(c))};
    position(idx, e);
    return e;
  }
  Error error(Code c) const { return at(i_, c); }
  Error peek_error(Code c) const { return at(std::min(s_.size(), i_ + 1), c); }
  Error fix(Error e) const {
    if (e.line == 0) position(i_, e);
    return e;
  }
  void position(std::size_t idx, Error& e) const {
    std::size_t line = 1, start = 0;
    for (std::size_t k = 0; k < idx; ++k) {
      if (s_[k] == '\n') {
        ++line;
        start = k + 1;
      }
    }
    e.line = line;
    e.column = idx - start;
  }

  std::span<const std::uint8_t> s_;
  std::size_t i_ = 0;
  int remaining_depth_ = 128;
  bool first_ = true;
};

// ---- writing ----

template <class Out>
void put(Out& out, std::string_view s) {
  if (s.empty()) return;
  const std::size_t at = out.size();
  out.resize(at + s.size());
  std::memcpy(reinterpret_cast<char*>(out.data()) + at, s.data(), s.size());
}

// Bytes a JSON string cannot hold raw: '"', '\\' and the C0 controls.
constexpr std::array<bool, 256> kNeedsEscape = [] {
  std::array<bool, 256> t{};
  for (int c = 0; c < 0x20; ++c) t[static_cast<std::size_t>(c)] = true;
  t['"'] = true;
  t['\\'] = true;
  return t;
}();

// How strings are written: as JSON requires (the wire and the configuration
// file, whose bytes must not change), or also with \u escapes for the other
// characters the terminal filter removes, for JSON printed to a terminal.
enum class Escapes { Json, Terminal };

// Writes the \uXXXX escape of a code point of the Basic Multilingual Plane.
template <class Out>
void put_u_escape(Out& out, char32_t cp) {
  static constexpr char kHex[] = "0123456789abcdef";
  const char u[6] = {'\\', 'u', kHex[(cp >> 12) & 0xF], kHex[(cp >> 8) & 0xF], kHex[(cp >> 4) & 0xF], kHex[cp & 0xF]};
  put(out, std::string_view(u, 6));
}

template <Escapes kEscapes, class Out>
void write_escaped(Out& out, std::string_view s) {
  out.push_back('"');
  std::size_t start = 0;
  for (std::size_t k = 0; k < s.size(); ++k) {
    unsigned char c = static_cast<unsigned char>(s[k]);
    if constexpr (kEscapes == Escapes::Terminal) {
      char32_t cp = 0;
      // The C0 controls get JSON's own escapes below.
      if (const std::size_t n = c < 0x20 ? 0 : unsafe_terminal_char_at(s, k, cp)) {
        put(out, s.substr(start, k - start));
        put_u_escape(out, cp);
        k += n - 1;
        start = k + 1;
        continue;
      }
    }
    if (!kNeedsEscape[c]) continue;
    put(out, s.substr(start, k - start));
    start = k + 1;
    switch (c) {
      case '"': put(out, "\\\""); break;
      case '\\': put(out, "\\\\"); break;
      case '\b': put(out, "\\b"); break;
      case '\t': put(out, "\\t"); break;
      case '\n': put(out, "\\n"); break;
      case '\f': put(out, "\\f"); break;
      case '\r': put(out, "\\r"); break;
      default: put_u_escape(out, c);
    }
  }
  put(out, s.substr(start));
  out.push_back('"');
}

template <class Out>
void write_number(Out& out, const Value& v) {
  char buf[32];
  if (v.is_number_unsigned()) {
    auto r = std::to_chars(buf, buf + sizeof buf, v.get<std::uint64_t>());
    put(out, std::string_view(buf, static_cast<std::size_t>(r.ptr - buf)));
  } else if (v.is_number_integer()) {
    auto r = std::to_chars(buf, buf + sizeof buf, v.get<std::int64_t>());
    put(out, std::string_view(buf, static_cast<std::size_t>(r.ptr - buf)));
  } else {
    double d = v.get<double>();
    if (!std::isfinite(d)) put(out, "null");
    else put(out, format_f64(d));
  }
}

template <Escapes kEscapes, class Out>
void write_value(Out& out, const Value& v, int indent, int depth) {
  auto newline = [&](int d) {
    out.push_back('\n');
    for (int k = 0; k < d * indent; ++k) out.push_back(' ');
  };
  switch (v.type()) {
    case Value::value_t::null: put(out, "null"); return;
    case Value::value_t::boolean: put(out, v.get<bool>() ? "true" : "false"); return;
    case Value::value_t::number_integer:
    case Value::value_t::number_unsigned:
    case Value::value_t::number_float: write_number(out, v); return;
    case Value::value_t::string: write_escaped<kEscapes>(out, v.get_ref<const std::string&>()); return;
    case Value::value_t::array: {
      const auto& a = v.get_ref<const Value::array_t&>();
      out.push_back('[');
      if (a.empty()) {
        out.push_back(']');
        return;
      }
      bool first = true;
      for (const auto& e : a) {
        if (!first) out.push_back(',');
        first = false;
        if (indent) newline(depth + 1);
        write_value<kEscapes>(out, e, indent, depth + 1);
      }
      if (indent) newline(depth);
      out.push_back(']');
      return;
    }
    case Value::value_t::object: {
      const auto& o = v.get_ref<const Value::object_t&>();
      out.push_back('{');
      if (o.empty()) {
        out.push_back('}');
        return;
      }
      bool first = true;
      for (const auto& [k, e] : o) {
        if (!first) out.push_back(',');
        first = false;
        if (indent) newline(depth + 1);
        write_escaped<kEscapes>(out, k);
        out.push_back(':');
        if (indent) out.push_back(' ');
        write_value<kEscapes>(out, e, indent, depth + 1);
      }
      if (indent) newline(depth);
      out.push_back('}');
      return;
    }
    case Value::value_t::binary:
    case Value::value_t::discarded: put(out, "null"); return;  // refused earlier by is_writable
  }
}

}  // namespace

std::string format_f64(double v) {
  if (v == 0) return std::signbit(v) ? "-0.0" : "0.0";
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<std::size_t>(r.ptr - buf));
  bool negative = false;
  if (!sci.empty() && sci[0] == '-') {
    negative = true;
    sci.remove_prefix(1);
  }
  auto epos = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, epos)) {
    if (c != '.') digits.push_back(c);
  }
  int e10 = std::atoi(std::string(sci.substr(epos + 1)).c_str());
  const int length = static_cast<int>(digits.size());
  const int kk = e10 + 1;      // v = 0.digits * 10^kk
  const int k = kk - length;  // v = digits * 10^k
  std::string out = negative ? "-" : "";
  if (k >= 0 && kk <= 16) {
    out += digits;
    out.append(static_cast<std::size_t>(k), '0');
    out += ".0";
  } else if (kk > 0 && kk <= 16) {
    out += digits.substr(0, static_cast<std::size_t>(kk));
    out += '.';
    out += digits.substr(static_cast<std::size_t>(kk));
  } else if (kk > -5 && kk <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-kk), '0');
    out += digits;
  } else {
    out += digits[0];
    if (length > 1) {
      out += '.';
      out += digits.substr(1);
    }
    out += 'e';
    out += std::to_string(kk - 1);
  }
  return out;
}

std::expected<Value, Error> parse(std::span<const std::uint8_t> bytes) {
  Value out;
  auto body = [&](Source& s) { return s.read_any(out); };
  if (auto st = with_text_source(bytes, body); !st) return std::unexpected(std::move(st.error()));
  return out;
}

std::expected<Value, Error> parse(std::string_view text) {
  return parse(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

Status with_text_source(std::span<const std::uint8_t> text, FnRef<Status(Source&)> body) {
  TextSource src(text);
  if (auto st = body(src); !st) return st;
  return src.end();
}

std::string to_compact(const Value& v) {
  std::string out;
  write_value<Escapes::Json>(out, v, 0, 0);
  return out;
}
void append_compact(const Value& v, std::string& out) { write_value<Escapes::Json>(out, v, 0, 0); }
void append_compact(const Value& v, SecureBytes& out) { write_value<Escapes::Json>(out, v, 0, 0); }
void append_compact(const Value& v, SecureString& out) {
  write_value<Escapes::Json>(static_cast<SecureString::Base&>(out), v, 0, 0);
}
void append_string(std::string_view s, std::string& out) { write_escaped<Escapes::Json>(out, s); }
void append_string(std::string_view s, SecureBytes& out) { write_escaped<Escapes::Json>(out, s); }
void append_string(std::string_view s, SecureString& out) {
  write_escaped<Escapes::Json>(static_cast<SecureString::Base&>(out), s);
}

std::string to_pretty(const Value& v) {
  std::string out;
  write_value<Escapes::Terminal>(out, v, 2, 0);
  return out;
}

bool is_writable(const Value& v) {
  switch (v.type()) {
    case Value::value_t::binary:
    case Value::value_t::discarded: return false;
    case Value::value_t::array:
      for (const auto& e : v) {
        if (!is_writable(e)) return false;
      }
      return true;
    case Value::value_t::object:
      for (const auto& [k, e] : v.items()) {
        if (!is_writable(e)) return false;
      }
      return true;
    default: return true;
  }
}

void wipe_strings(Value& v) noexcept {
  switch (v.type()) {
    case Value::value_t::string: {
      auto& s = v.get_ref<std::string&>();
      wipe_bytes(s.data(), s.size());
      return;
    }
    case Value::value_t::array:
    case Value::value_t::object:
      for (auto& e : v) wipe_strings(e);  // an object's values, not its keys
      return;
    default: return;
  }
}

}  // namespace pellucor::json
