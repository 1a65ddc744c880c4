// Typed records of gate results: the entry of "entry.get" (and of search
// results), the three shapes of a "search.query" result, and the "ext.totp"
// result. Each decoder reads a result value and returns the record or the
// decoding failure text (no position: results are read from values); the
// calling operation wraps that text into its own error. Decoders are pure.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "gate/json.h"
#include "gate/json_reader.h"

namespace pellucor {

// One field of an entry. A tier-2 value is ciphertext exactly as received.
struct Field {
  std::string label;
  std::string value;  // empty when absent
  std::optional<std::string> kind;
  std::uint8_t tier = 1;  // 1 plain, 2 encrypted under the field key, 3 never released
};

// The data block of an entry.
struct EntryData {
  std::optional<std::string> title;
  std::optional<std::string> type;
  std::vector<Field> fields;
  std::vector<std::string> urls;
  std::optional<std::string> notes;
};

// One vault entry. Its data block comes under "data" or "vault_data".
struct Entry {
  std::string entry_id;
  std::optional<std::string> type;
  std::optional<std::string> title;
  std::optional<EntryData> data;
};

// One match of a count-shaped search result.
struct MatchInfo {
  std::string title;
  std::string type;
};

// The agent's read quota; a window whose limit is 0 is not shown.
struct Quota {
  std::uint32_t minute_used = 0;
  std::uint32_t minute_limit = 0;
  std::uint32_t hour_used = 0;
  std::uint32_t hour_limit = 0;
};

// The result of "search.query", in one of three shapes.
struct SearchResponse {
  struct Bare {  // a bare array of entries; no quota
    std::vector<Entry> entries;
  };
  struct Wrapped {
    std::vector<Entry> entries;
    std::optional<Quota> quota;
  };
  struct Count {
    std::uint32_t count = 0;
    std::vector<std::string> titles;
    std::vector<MatchInfo> matches;
    std::optional<std::string> message;
    std::optional<Quota> quota;
  };
  std::variant<Bare, Wrapped, Count> shape;

  // quota: the quota the result carries, or nullptr (always for Bare).
  const Quota* quota() const;
};

// The result of "ext.totp".
struct TotpResponse {
  std::string code;
  std::optional<std::uint32_t> expires_in;
};

// decode_entry reads an "entry.get" result (object or positional array).
std::expected<Entry, std::string> decode_entry(const json::Value& v);
// decode_search_response tries Bare, then Wrapped, then Count; when none
// reads, the text is "data did not match any variant of untagged enum
// SearchResponse".
std::expected<SearchResponse, std::string> decode_search_response(const json::Value& v);
// decode_totp_response reads an "ext.totp" result.
std::expected<TotpResponse, std::string> decode_totp_response(const json::Value& v);

}  // namespace pellucor

namespace pellucor::json {

template <>
struct Record<Field> {
  static constexpr MemberSpec members[] = {
      member<&Field::label>("label"),
      member<&Field::value>("value", Presence::Default),
      member<&Field::kind>("kind", Presence::Default),
      member<&Field::tier>("tier", Presence::Default),
  };
  static constexpr RecordSpec spec{"struct Field", members, true, false};
};

template <>
struct Record<EntryData> {
  static constexpr MemberSpec members[] = {
      member<&EntryData::title>("title", Presence::Default),
      member<&EntryData::type>("type", Presence::Default),
      member<&EntryData::fields>("fields", Presence::Default),
      member<&EntryData::urls>("urls", Presence::Default),
      member<&EntryData::notes>("notes", Presence::Default),
  };
  static constexpr RecordSpec spec{"struct EntryData", members, true, false};
};

template <>
struct Record<Entry> {
  static constexpr MemberSpec members[] = {
      member<&Entry::entry_id>("entry_id"),
      member<&Entry::type>("type", Presence::Default),
      member<&Entry::title>("title", Presence::Default),
      member<&Entry::data>("data", Presence::Default, "vault_data"),
  };
  static constexpr RecordSpec spec{"struct Entry", members, true, false};
};

template <>
struct Record<MatchInfo> {
  static constexpr MemberSpec members[] = {
      member<&MatchInfo::title>("title", Presence::Default),
      member<&MatchInfo::type>("type", Presence::Default),
  };
  static constexpr RecordSpec spec{"struct MatchInfo", members, true, false};
};

template <>
struct Record<Quota> {
  static constexpr MemberSpec members[] = {
      member<&Quota::minute_used>("minute_used", Presence::Default),
      member<&Quota::minute_limit>("minute_limit", Presence::Default),
      member<&Quota::hour_used>("hour_used", Presence::Default),
      member<&Quota::hour_limit>("hour_limit", Presence::Default),
  };
  static constexpr RecordSpec spec{"struct Quota", members, true, false};
};

template <>
struct Record<SearchResponse::Wrapped> {
  static constexpr MemberSpec members[] = {
      member<&SearchResponse::Wrapped::entries>("entries"),
      member<&SearchResponse::Wrapped::quota>("quota", Presence::Default),
  };
  static constexpr RecordSpec spec{"struct variant SearchResponse::Wrapped", members, false, false};
};

template <>
struct Record<SearchResponse::Count> {
  static constexpr MemberSpec members[] = {
      member<&SearchResponse::Count::count>("count"),
      member<&SearchResponse::Count::titles>("titles", Presence::Default),
      member<&SearchResponse::Count::matches>("matches", Presence::Default),
      member<&SearchResponse::Count::message>("message", Presence::Default),
      member<&SearchResponse::Count::quota>("quota", Presence::Default),
  };
  static constexpr RecordSpec spec{"struct variant SearchResponse::Count", members, false, false};
};

template <>
struct Record<TotpResponse> {
  static constexpr MemberSpec members[] = {
      member<&TotpResponse::code>("code"),
      member<&TotpResponse::expires_in>("expires_in", Presence::Default),
  };
  static constexpr RecordSpec spec{"struct TotpResponse", members, true, false};
};

}  // namespace pellucor::json
