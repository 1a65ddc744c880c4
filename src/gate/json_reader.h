// Reading JSON into typed records, with one set of rules and refusal texts for
// every record of the program (gate results, the configuration plaintext, the
// enrolment blob, the entry-type schema, the gate reply envelope).
//
// A record is declared once, as a table; nobody writes its error paths:
//
//   struct Field { std::string label; std::string value; std::optional<std::string> kind; std::uint8_t tier = 1; };
//
//   template <> struct pellucor::json::Record<Field> {
//     static constexpr MemberSpec members[] = {
//         member<&Field::label>("label"),                      // required
//         member<&Field::value>("value", Presence::Default),   // absent: keeps the default
//         member<&Field::kind>("kind", Presence::Default),
//         member<&Field::tier>("tier", Presence::Default),
//     };
//     static constexpr RecordSpec spec{"struct Field", members, /*positional=*/true, /*deny_unknown=*/false};
//   };
//
//   auto f = json::decode_value<Field>(value);   // from a Value: texts without position
//   auto c = json::decode_text<Config>(bytes);   // from text: "... at line L column C"
//
// Member types: std::string, bool, std::uint8_t/uint16_t/uint32_t/uint64_t,
// double, json::Value (any JSON), std::optional<T> (null and absent both mean
// none), std::vector<T>, std::map / std::unordered_map<std::string, T>
// (a repeated key keeps its last value), and any type with a Record
// specialisation. Declare a record's members before records that hold it.
//
// Rules (they are those users meet in error texts):
//   - Map form: keys match exactly. A key that no member lists is skipped
//     (its value must still be well-formed), or refused with "unknown field
//     `k`, expected one of `a`, `b`, `c`" when the record denies unknown keys.
//     A member met twice, through its key or its alias, is "duplicate field
//     `key`". A required member never met is "missing field `key`" (a
//     std::optional member is none instead).
//   - Positional form (when `positional`): a JSON array of the members in
//     declared order; a missing required member i is "invalid length i,
//     expected struct Name with N elements"; trailing optional members may be
//     left out. Extra members: "invalid length n, expected fewer elements in
//     array" from a Value, "trailing characters" from text.
//   - Wrong JSON type: "invalid type: <found>, expected <what>", <found> being
//     null, boolean `true`, integer `7`, floating point `1.5`, string "x",
//     sequence or map; <what> being a string, a boolean, u8, u32, f64, a
//     sequence, a map or the record's `expecting` text.
//   - Integers out of range: "invalid value: integer `256`, expected u8".
//   - Text input also has the syntax refusals of json.h, the 127-level
//     nesting limit for values that are read (skipped values are only checked
//     for syntax), and nothing but white space after the top value.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "gate/json.h"

namespace pellucor::json {

using Status = std::expected<void, Error>;

// FnRef: a non-owning reference to a callable, for the callbacks below.
template <class Sig>
class FnRef;
template <class R, class... A>
class FnRef<R(A...)> {
 public:
  template <class F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, FnRef>)
  FnRef(F&& f)  // NOLINT: implicit by design
      : obj_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
        call_([](void* o, A... a) -> R {
          return (*static_cast<std::remove_reference_t<F>*>(o))(std::forward<A>(a)...);
        }) {}
  R operator()(A... a) const { return call_(obj_, std::forward<A>(a)...); }

 private:
  void* obj_;
  R (*call_)(void*, A...);
};

class Source;

// SeqAccess walks the members of one array.
class SeqAccess {
 public:
  // next: true when another member follows; read it from element() before
  // calling next again.
  virtual std::expected<bool, Error> next() = 0;
  virtual Source& element() = 0;

 protected:
  ~SeqAccess() = default;
};

// MapAccess walks the members of one object.
class MapAccess {
 public:
  // next_key: true and the key when another member follows; then read or skip
  // its value through value() before calling next_key again.
  virtual std::expected<bool, Error> next_key(std::string& key) = 0;
  virtual std::expected<Source*, Error> value() = 0;

 protected:
  ~MapAccess() = default;
};

// Source: one JSON value to be read, from text or from a Value. Each read
// consumes the value. The record machinery calls these; a new member type
// needs a Codec, not a new Source method.
class Source {
 public:
  virtual Status read_any(Value& out) = 0;
  virtual Status skip() = 0;
  virtual Status read_string(std::string& out) = 0;
  virtual Status read_bool(bool& out) = 0;
  // read_unsigned: an integer 0..max; `expecting` is the type name ("u8").
  virtual Status read_unsigned(std::uint64_t& out, std::uint64_t max, std::string_view expecting) = 0;
  virtual Status read_f64(double& out) = 0;
  // take_null: consumes a JSON null and returns true; otherwise consumes
  // nothing and returns false.
  virtual std::expected<bool, Error> take_null() = 0;
  virtual Status read_seq(std::string_view expecting, FnRef<Status(SeqAccess&)> body) = 0;
  virtual Status read_map(std::string_view expecting, FnRef<Status(MapAccess&)> body) = 0;
  // read_struct: an object through map_body, or an array through seq_body
  // when one is given; anything else is an invalid type.
  virtual Status read_struct(std::string_view expecting, FnRef<Status(MapAccess&)> map_body,
                             const FnRef<Status(SeqAccess&)>* seq_body) = 0;

 protected:
  ~Source() = default;
};

// Refusal texts shared by the readers (and by hand-written decoders).
std::string missing_field_text(std::string_view key);
std::string duplicate_field_text(std::string_view key);
std::string unknown_field_text(std::string_view key, std::span<const std::string_view> expected);
std::string invalid_length_text(std::size_t n, std::string_view expecting);
// describe_unexpected: the <found> part for a Value ("null", "integer `7`", ...).
std::string describe_unexpected(const Value& v);

enum class Presence : std::uint8_t {
  Required,  // map form: "missing field" when absent (std::optional: none)
  Default,   // absent: the member keeps the value the record's constructor gave it
};

struct MemberSpec {
  std::string_view key;
  std::string_view alias;  // a second key filling the same member, or empty
  Presence presence;
  bool optional_type;  // the member is a std::optional
  Status (*read)(Source&, void* record);
};

struct RecordSpec {
  std::string_view expecting;  // "struct Field", "struct variant SearchResponse::Count"
  std::span<const MemberSpec> members;
  bool positional;    // a JSON array of the members in order is accepted too
  bool deny_unknown;  // a key that no member lists is refused
};

// Record<T>: specialise with `members` and `spec` (see the top of this file).
template <class T>
struct Record;

// read_record reads into `record`, an object of the type `spec` describes,
// already holding its defaults.
Status read_record(Source& src, void* record, const RecordSpec& spec);

template <class T>
struct Codec;

namespace detail {
template <class T>
struct MemberPointer;
template <class C, class M>
struct MemberPointer<M C::*> {
  using Class = C;
  using Type = M;
};
template <class T>
inline constexpr bool is_optional = false;
template <class T>
inline constexpr bool is_optional<std::optional<T>> = true;
}  // namespace detail

// member<&T::m>(key, presence, alias): one row of a record's table.
template <auto Ptr>
constexpr MemberSpec member(std::string_view key, Presence presence = Presence::Required,
                            std::string_view alias = {}) {
  using C = typename detail::MemberPointer<decltype(Ptr)>::Class;
  using M = typename detail::MemberPointer<decltype(Ptr)>::Type;
  return MemberSpec{key, alias, presence, detail::is_optional<M>,
                    +[](Source& s, void* r) -> Status { return Codec<M>::read(s, static_cast<C*>(r)->*Ptr); }};
}

template <class T>
  requires requires { Record<T>::spec; }
struct Codec<T> {
  static Status read(Source& s, T& out) {
    T tmp{};
    if (auto st = read_record(s, &tmp, Record<T>::spec); !st) return st;
    out = std::move(tmp);
    return {};
  }
};

template <>
struct Codec<std::string> {
  static Status read(Source& s, std::string& out) { return s.read_string(out); }
};
template <>
struct Codec<bool> {
  static Status read(Source& s, bool& out) { return s.read_bool(out); }
};
template <>
struct Codec<double> {
  static Status read(Source& s, double& out) { return s.read_f64(out); }
};
template <>
struct Codec<Value> {
  static Status read(Source& s, Value& out) { return s.read_any(out); }
};

namespace detail {
template <class U>
constexpr std::string_view unsigned_name() {
  if constexpr (std::is_same_v<U, std::uint8_t>) return "u8";
  else if constexpr (std::is_same_v<U, std::uint16_t>) return "u16";
  else if constexpr (std::is_same_v<U, std::uint32_t>) return "u32";
  else return "u64";
}
}  // namespace detail

template <class U>
  requires(std::is_unsigned_v<U> && !std::is_same_v<U, bool>)
struct Codec<U> {
  static Status read(Source& s, U& out) {
    std::uint64_t v = 0;
    if (auto st = s.read_unsigned(v, static_cast<std::uint64_t>(static_cast<U>(-1)), detail::unsigned_name<U>()); !st)
      return st;
    out = static_cast<U>(v);
    return {};
  }
};

template <class T>
struct Codec<std::optional<T>> {
  static Status read(Source& s, std::optional<T>& out) {
    auto null = s.take_null();
    if (!null) return std::unexpected(std::move(null.error()));
    if (*null) {
      out.reset();
      return {};
    }
    T v{};
    if (auto st = Codec<T>::read(s, v); !st) return st;
    out = std::move(v);
    return {};
  }
};

template <class T>
struct Codec<std::vector<T>> {
  static Status read(Source& s, std::vector<T>& out) {
    std::vector<T> tmp;
    auto body = [&](SeqAccess& seq) -> Status {
      for (;;) {
        auto more = seq.next();
        if (!more) return std::unexpected(std::move(more.error()));
        if (!*more) return {};
        T v{};
        if (auto st = Codec<T>::read(seq.element(), v); !st) return st;
        tmp.push_back(std::move(v));
      }
    };
    if (auto st = s.read_seq("a sequence", body); !st) return st;
    out = std::move(tmp);
    return {};
  }
};

namespace detail {
template <class M>
Status read_string_map(Source& s, M& out) {
  M tmp;
  auto body = [&](MapAccess& map) -> Status {
    std::string key;
    for (;;) {
      auto more = map.next_key(key);
      if (!more) return std::unexpected(std::move(more.error()));
      if (!*more) return {};
      auto vs = map.value();
      if (!vs) return std::unexpected(std::move(vs.error()));
      typename M::mapped_type v{};
      if (auto st = Codec<typename M::mapped_type>::read(**vs, v); !st) return st;
      tmp.insert_or_assign(key, std::move(v));
    }
  };
  if (auto st = s.read_map("a map", body); !st) return st;
  out = std::move(tmp);
  return {};
}
}  // namespace detail

template <class T>
struct Codec<std::map<std::string, T>> {
  static Status read(Source& s, std::map<std::string, T>& out) { return detail::read_string_map(s, out); }
};
template <class T>
struct Codec<std::unordered_map<std::string, T>> {
  static Status read(Source& s, std::unordered_map<std::string, T>& out) {
    return detail::read_string_map(s, out);
  }
};

// with_text_source runs `body` on a Source over `text` and then refuses
// anything but white space after the value.
Status with_text_source(std::span<const std::uint8_t> text, FnRef<Status(Source&)> body);
// with_value_source runs `body` on a Source over `v`.
Status with_value_source(const Value& v, FnRef<Status(Source&)> body);

// decode_text reads one T from JSON text (errors carry their position).
template <class T>
std::expected<T, Error> decode_text(std::span<const std::uint8_t> text) {
  T out{};
  auto body = [&](Source& s) { return Codec<T>::read(s, out); };
  if (auto st = with_text_source(text, body); !st) return std::unexpected(std::move(st.error()));
  return out;
}
template <class T>
std::expected<T, Error> decode_text(std::string_view text) {
  return decode_text<T>(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

// decode_value reads one T from a JSON value (errors carry no position).
template <class T>
std::expected<T, Error> decode_value(const Value& v) {
  T out{};
  auto body = [&](Source& s) { return Codec<T>::read(s, out); };
  if (auto st = with_value_source(v, body); !st) return std::unexpected(std::move(st.error()));
  return out;
}

}  // namespace pellucor::json
