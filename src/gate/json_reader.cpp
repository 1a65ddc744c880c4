#include "gate/json_reader.h"

#include "crypto/errors.h"

namespace pellucor::json {

namespace {

std::unexpected<Error> fail(std::string message) { return std::unexpected(Error{std::move(message)}); }

std::string invalid_type(const Value& v, std::string_view expecting) {
  return "invalid type: " + describe_unexpected(v) + ", expected " + std::string(expecting);
}

// ValueSource reads from a JSON value already in memory. Its refusals carry
// no position.
class ValueSource final : public Source {
 public:
  explicit ValueSource(const Value* v) : v_(v) {}

  Status read_any(Value& out) override {
    out = *v_;
    return {};
  }
  Status skip() override { return {}; }

  Status read_string(std::string& out) override {
    if (!v_->is_string()) return fail(invalid_type(*v_, "a string"));
    out = v_->get_ref<const std::string&>();
    return {};
  }

  Status read_bool(bool& out) override {
    if (!v_->is_boolean()) return fail(invalid_type(*v_, "a boolean"));
    out = v_->get<bool>();
    return {};
  }

  Status read_unsigned(std::uint64_t& out, std::uint64_t max, std::string_view expecting) override {
    if (v_->is_number_unsigned() || (v_->is_number_integer() && v_->get<std::int64_t>() >= 0)) {
      std::uint64_t u = v_->get<std::uint64_t>();
      if (u <= max) {
        out = u;
        return {};
      }
      return fail("invalid value: integer `" + std::to_string(u) + "`, expected " + std::string(expecting));
    }
    if (v_->is_number_integer()) {
      return fail("invalid value: integer `" + std::to_string(v_->get<std::int64_t>()) + "`, expected " +
                  std::string(expecting));
    }
    return fail(invalid_type(*v_, expecting));
  }

  Status read_f64(double& out) override {
    if (!v_->is_number()) return fail(invalid_type(*v_, "f64"));
    out = v_->get<double>();
    return {};
  }

  std::expected<bool, Error> take_null() override { return v_->is_null(); }

  Status read_seq(std::string_view expecting, FnRef<Status(SeqAccess&)> body) override {
    if (!v_->is_array()) return fail(invalid_type(*v_, expecting));
    return seq_form(body);
  }

  Status read_map(std::string_view expecting, FnRef<Status(MapAccess&)> body) override;
  Status read_struct(std::string_view expecting, FnRef<Status(MapAccess&)> map_body,
                     const FnRef<Status(SeqAccess&)>* seq_body) override;

 private:
  Status seq_form(FnRef<Status(SeqAccess&)> body);

  const Value* v_;
};

class ValueSeq final : public SeqAccess {
 public:
  explicit ValueSeq(const Value& a) : a_(a.get_ref<const Value::array_t&>()), elem_(nullptr) {}
  std::expected<bool, Error> next() override {
    if (i_ >= a_.size()) return false;
    elem_ = ValueSource(&a_[i_++]);
    return true;
  }
  Source& element() override { return elem_; }
  std::size_t remaining() const { return a_.size() - i_; }

 private:
  const Value::array_t& a_;
  std::size_t i_ = 0;
  ValueSource elem_;
};

class ValueMap final : public MapAccess {
 public:
  explicit ValueMap(const Value& o) : o_(o.get_ref<const Value::object_t&>()), it_(o_.begin()), elem_(nullptr) {}
  std::expected<bool, Error> next_key(std::string& key) override {
    if (it_ == o_.end()) return false;
    key = it_->first;
    elem_ = ValueSource(&it_->second);
    ++it_;
    return true;
  }
  std::expected<Source*, Error> value() override { return &elem_; }

 private:
  const Value::object_t& o_;
  Value::object_t::const_iterator it_;
  ValueSource elem_;
};

Status ValueSource::seq_form(FnRef<Status(SeqAccess&)> body) {
  ValueSeq seq(*v_);
  if (auto st = body(seq); !st) return st;
  if (seq.remaining() != 0) return fail(invalid_length_text(v_->size(), "fewer elements in array"));
  return {};
}


Status ValueSource::read_map(std::string_view expecting, FnRef<Status(MapAccess&)> body) {
  if (!v_->is_object()) return fail(invalid_type(*v_, expecting));
  ValueMap map(*v_);
  return body(map);
}

Status ValueSource::read_struct(std::string_view expecting, FnRef<Status(MapAccess&)> map_body,
                                const FnRef<Status(SeqAccess&)>* seq_body) {
  if (v_->is_object()) {
    ValueMap map(*v_);
    return map_body(map);
  }
  if (v_->is_array() && seq_body != nullptr) return seq_form(*seq_body);
  return fail(invalid_type(*v_, expecting));
}

std::size_t find_member(const RecordSpec& spec, std::string_view key) {
  for (std::size_t i = 0; i < spec.members.size(); ++i) {
    const MemberSpec& m = spec.members[i];
    if (m.key == key || (!m.alias.empty() && m.alias == key)) return i;
  }
  return spec.members.size();
}

}  // namespace

std::string missing_field_text(std::string_view key) { return "missing field `" + std::string(key) + "`"; }

std::string duplicate_field_text(std::string_view key) { return "duplicate field `" + std::string(key) + "`"; }

std::string unknown_field_text(std::string_view key, std::span<const std::string_view> expected) {
  std::string out = "unknown field `" + std::string(key) + "`, ";
  if (expected.empty()) return out + "there are no fields";
  out += "expected ";
  if (expected.size() == 1) return out + "`" + std::string(expected[0]) + "`";
  if (expected.size() == 2) return out + "`" + std::string(expected[0]) + "` or `" + std::string(expected[1]) + "`";
  out += "one of ";
  for (std::size_t i = 0; i < expected.size(); ++i) {
    if (i > 0) out += ", ";
    out += "`" + std::string(expected[i]) + "`";
  }
  return out;
}

std::string invalid_length_text(std::size_t n, std::string_view expecting) {
  return "invalid length " + std::to_string(n) + ", expected " + std::string(expecting);
}

std::string describe_unexpected(const Value& v) {
  switch (v.type()) {
    case Value::value_t::null: return "null";
    case Value::value_t::boolean: return v.get<bool>() ? "boolean `true`" : "boolean `false`";
    case Value::value_t::number_unsigned: return "integer `" + std::to_string(v.get<std::uint64_t>()) + "`";
    case Value::value_t::number_integer: return "integer `" + std::to_string(v.get<std::int64_t>()) + "`";
    case Value::value_t::number_float: return "floating point `" + format_f64(v.get<double>()) + "`";
    case Value::value_t::string: return "string " + escape_debug_text(v.get_ref<const std::string&>());
    case Value::value_t::array: return "sequence";
    case Value::value_t::object: return "map";
    case Value::value_t::binary: return "byte array";
    case Value::value_t::discarded: break;
  }
  return "unit value";
}

Status read_record(Source& src, void* record, const RecordSpec& spec) {
  const std::size_t n = spec.members.size();
  // Records are small: a fixed set of flags is enough.
  bool seen[32] = {};
  if (n > 32) return fail("record has too many members");

  auto map_body = [&](MapAccess& map) -> Status {
    std::string key;
    for (;;) {
      auto more = map.next_key(key);
      if (!more) return std::unexpected(std::move(more.error()));
      if (!*more) break;
      std::size_t i = find_member(spec, key);
      if (i == n) {
        if (spec.deny_unknown) {
          std::string_view names[32];
          for (std::size_t k = 0; k < n; ++k) names[k] = spec.members[k].key;
          return fail(unknown_field_text(key, std::span<const std::string_view>(names, n)));
        }
        auto vs = map.value();
        if (!vs) return std::unexpected(std::move(vs.error()));
        if (auto st = (*vs)->skip(); !st) return st;
        continue;
      }
      if (seen[i]) return fail(duplicate_field_text(spec.members[i].key));
      auto vs = map.value();
      if (!vs) return std::unexpected(std::move(vs.error()));
      if (auto st = spec.members[i].read(**vs, record); !st) return st;
      seen[i] = true;
    }
    for (std::size_t i = 0; i < n; ++i) {
      const MemberSpec& m = spec.members[i];
      if (!seen[i] && m.presence == Presence::Required && !m.optional_type) return fail(missing_field_text(m.key));
    }
    return {};
  };

  auto seq_body = [&](SeqAccess& seq) -> Status {
    bool exhausted = false;
    for (std::size_t i = 0; i < n; ++i) {
      const MemberSpec& m = spec.members[i];
      if (!exhausted) {
        auto more = seq.next();
        if (!more) return std::unexpected(std::move(more.error()));
        exhausted = !*more;
      }
      if (exhausted) {
        if (m.presence == Presence::Required) {
          return fail(invalid_length_text(i, std::string(spec.expecting) + " with " + std::to_string(n) +
                                                 (n == 1 ? " element" : " elements")));
        }
        continue;
      }
      if (auto st = m.read(seq.element(), record); !st) return st;
    }
    return {};
  };

  FnRef<Status(SeqAccess&)> seq_ref(seq_body);
  return src.read_struct(spec.expecting, map_body, spec.positional ? &seq_ref : nullptr);
}

Status with_value_source(const Value& v, FnRef<Status(Source&)> body) {
  ValueSource src(&v);
  return body(src);
}

}  // namespace pellucor::json
