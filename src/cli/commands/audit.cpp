#include "cli/commands/audit.h"

#include <cstdio>
#include <optional>
#include <utility>
#include <vector>

#include "cli/commands/get.h"
#include "cli/input.h"
#include "cli/terminal.h"
#include "crypto/encoding.h"
#include "gate/context.h"
#include "gate/transport.h"
#include "gate/vault_text.h"

namespace pellucor {

const std::string_view kAuditUsage =
    "Usage: pellucor-cli audit [options]\n"
    "\n"
    "Options:\n"
    "  --limit N       Max events (default 50)\n"
    "  --actor <id>    Filter by actor\n"
    "  --action <act>  Filter by action (read, totp, create, etc.)\n"
    "  --entry <name>  Filter by entry name (substring)\n"
    "  --since <date>  Events after date (YYYY-MM-DD)\n"
    "  --until <date>  Events before date (YYYY-MM-DD)\n"
    "  --json          Machine-readable JSON output\n";

namespace {

constexpr std::string_view kAuditAction = "audit.list";

constexpr std::int64_t kMinLimit = 1;
constexpr std::int64_t kMaxLimit = 1000;

constexpr std::int64_t kMillisPerDay = 86'400'000;
constexpr std::int64_t kSecondsPerDay = 86'400;
// Days from 0000-03-01 to 1970-01-01 in the proleptic Gregorian calendar.
constexpr std::int64_t kEpochShiftDays = 719'468;
constexpr std::int64_t kDaysPerEra = 146'097;  // 400 years

// Widths of the table's columns, in characters, and the longest vault text
// each column shows.
constexpr std::size_t kTimeWidth = 20;
constexpr std::size_t kActionWidth = 12;
constexpr std::size_t kEntryWidth = 30;
constexpr std::size_t kActorChars = 40;

constexpr std::string_view kNoEvents = "No audit events found.\n";

// floor_div: the quotient rounded towards minus infinity (b > 0).
constexpr std::int64_t floor_div(std::int64_t a, std::int64_t b) {
  const std::int64_t q = a / b;
  return (a % b < 0) ? q - 1 : q;
}

bool is_leap_year(std::int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

std::int64_t days_in_month(std::int64_t year, std::int64_t month) {
  switch (month) {
    case 4:
    case 6:
    case 9:
    case 11:
      return 30;
    case 2:
      return is_leap_year(year) ? 29 : 28;
    default:
      return 31;
  }
}

// days_from_civil: days from 1970-01-01 to the given proleptic Gregorian date.
std::int64_t days_from_civil(std::int64_t year, std::int64_t month, std::int64_t day) {
  const std::int64_t y = month <= 2 ? year - 1 : year;
  const std::int64_t era = floor_div(y, 400);
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * kDaysPerEra + doe - kEpochShiftDays;
}

struct CivilDate {
  std::int64_t year;
  std::int64_t month;
  std::int64_t day;
};

// civil_from_days: the proleptic Gregorian date `days` after 1970-01-01.
CivilDate civil_from_days(std::int64_t days) {
  const std::int64_t z = days + kEpochShiftDays;
  const std::int64_t era = floor_div(z, kDaysPerEra);
  const std::int64_t doe = z - era * kDaysPerEra;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  const std::int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
  return {yoe + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

std::string format_epoch_seconds(std::int64_t seconds) {
  const std::int64_t days = floor_div(seconds, kSecondsPerDay);
  const std::int64_t second_of_day = seconds - days * kSecondsPerDay;
  const CivilDate date = civil_from_days(days);
  char text[96];  // room for every value the compiler can prove possible
  std::snprintf(text, sizeof text, "%04lld-%02lld-%02lld %02lld:%02lld:%02lld", static_cast<long long>(date.year),
                static_cast<long long>(date.month), static_cast<long long>(date.day),
                static_cast<long long>(second_of_day / 3600), static_cast<long long>(second_of_day / 60 % 60),
                static_cast<long long>(second_of_day % 60));
  return text;
}

// The time text of an event: its "created_at" when that is a non-negative
// integer of milliseconds, else the epoch.
std::string event_time_text(const json::Value& event) {
  std::int64_t seconds = 0;
  if (event.is_object()) {
    auto it = event.find("created_at");
    if (it != event.end() && it->is_number_unsigned()) {
      seconds = static_cast<std::int64_t>(it->get<std::uint64_t>() / 1000);
    } else if (it != event.end() && it->is_number_integer()) {
      const std::int64_t ms = it->get<std::int64_t>();
      if (ms > 0) seconds = ms / 1000;
    }
  }
  return format_epoch_seconds(seconds);
}

// The cell text of a member: the string sanitised and cut to `max_chars`, or
// "-" when the member is missing or not a string.
std::string event_text(const json::Value& event, std::string_view key, std::size_t max_chars) {
  if (event.is_object()) {
    auto it = event.find(key);
    if (it != event.end() && it->is_string()) return sanitize_inline(it->get_ref<const std::string&>(), max_chars);
  }
  return "-";
}

// pad_chars appends `text` and then spaces up to `width` characters; text
// already that long is left whole. `text` is well-formed UTF-8 (it comes from
// the sanitiser or from this file), so characters are the bytes that do not
// continue a sequence.
void pad_chars(std::string& out, std::string_view text, std::size_t width) {
  std::size_t chars = 0;
  for (char c : text) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++chars;
  }
  out.append(text);
  if (chars < width) out.append(width - chars, ' ');
}

struct AuditOptions {
  std::optional<std::int64_t> limit;
  std::optional<std::string> actor;
  std::optional<std::string> action;
  std::optional<std::string> entry;
  std::optional<std::string> since;
  std::optional<std::string> until;
  bool json = false;
  bool help = false;
};

std::expected<std::int64_t, CliError> parse_limit(ArgParser& args) {
  auto text = option_value_string(args, "--limit");
  if (!text) return std::unexpected(std::move(text.error()));
  const std::optional<std::int64_t> n = parse_decimal<std::int64_t>(*text);
  if (!n) return std::unexpected(new_argument_error("--limit: not a number: " + single_line_text(*text)));
  if (*n < kMinLimit || *n > kMaxLimit) return std::unexpected(new_argument_error("--limit must be between 1 and 1000"));
  return *n;
}

std::expected<AuditOptions, CliError> parse_options(ArgParser& args) {
  AuditOptions o;
  // The text options, by name, with the label their values are read under.
  const std::pair<std::string_view, std::optional<std::string> AuditOptions::*> text_options[] = {
      {"actor", &AuditOptions::actor}, {"action", &AuditOptions::action}, {"entry", &AuditOptions::entry},
      {"since", &AuditOptions::since}, {"until", &AuditOptions::until},
  };
  for (;;) {
    auto next = args.next_arg();
    if (!next) return std::unexpected(error_from_arg_error(next.error()));
    if (!next->has_value()) break;
    const ArgToken& token = **next;
    if (token.is_long("help")) {
      o.help = true;
      return o;
    }
    if (token.is_long("json")) {
      o.json = true;
      continue;
    }
    if (token.is_long("limit")) {
      auto limit = parse_limit(args);
      if (!limit) return std::unexpected(std::move(limit.error()));
      o.limit = *limit;
      continue;
    }
    bool taken = false;
    for (const auto& [name, member] : text_options) {
      if (!token.is_long(name)) continue;
      auto value = option_value_string(args, "--" + std::string(name));
      if (!value) return std::unexpected(std::move(value.error()));
      o.*member = std::move(*value);
      taken = true;
      break;
    }
    if (!taken) return std::unexpected(new_argument_error("unexpected: " + arg_token_debug(token)));
  }
  return o;
}

// audit_arguments builds the "audit.list" argument object. The dates are
// checked here; "until" reaches the last millisecond of its day.
std::expected<json::Value, CliError> audit_arguments(const AuditOptions& o) {
  json::Value a = json::Value::object();
  if (o.limit) a["limit"] = *o.limit;
  if (o.actor) a["actor"] = *o.actor;
  if (o.action) a["action"] = *o.action;
  if (o.entry) a["entry"] = *o.entry;
  if (o.since) {
    auto ms = parse_date_to_epoch_ms(*o.since);
    if (!ms) return std::unexpected(std::move(ms.error()));
    a["since"] = *ms;
  }
  if (o.until) {
    auto ms = parse_date_to_epoch_ms(*o.until);
    if (!ms) return std::unexpected(std::move(ms.error()));
    a["until"] = *ms + (kMillisPerDay - 1);
  }
  return a;
}

}  // namespace

std::expected<std::int64_t, CliError> parse_date_to_epoch_ms(std::string_view text) {
  auto invalid = [&] {
    return std::unexpected(new_argument_error("invalid date: " + single_line_text(text) + " (use YYYY-MM-DD)"));
  };
  std::vector<std::int64_t> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t dash = text.find('-', start);
    const std::string_view part = text.substr(start, dash == std::string_view::npos ? dash : dash - start);
    const std::optional<std::int64_t> n = parse_decimal<std::int64_t>(part);
    if (!n || parts.size() == 3) return invalid();
    parts.push_back(*n);
    if (dash == std::string_view::npos) break;
    start = dash + 1;
  }
  if (parts.size() != 3) return invalid();
  const std::int64_t year = parts[0];
  const std::int64_t month = parts[1];
  const std::int64_t day = parts[2];
  if (year < 1 || year > 9999 || month < 1 || month > 12) return invalid();
  if (day < 1 || day > days_in_month(year, month)) return invalid();
  return days_from_civil(year, month, day) * kMillisPerDay;
}

std::string format_epoch_ms(std::int64_t ms) { return format_epoch_seconds(floor_div(ms, 1000)); }

std::string format_audit_table(const json::Value& result, bool colour) {
  const json::Value* events = nullptr;
  if (result.is_object()) {
    auto it = result.find("events");
    if (it != result.end() && it->is_array() && !it->empty()) events = &*it;
  }
  if (events == nullptr) return std::string(kNoEvents);

  std::string out;
  if (colour) out.append(style::grey).append(style::bold);
  pad_chars(out, "TIME", kTimeWidth);
  out += ' ';
  pad_chars(out, "ACTION", kActionWidth);
  out += ' ';
  pad_chars(out, "ENTRY", kEntryWidth);
  out.append(" ACTOR");
  if (colour) out.append(style::reset);
  out += '\n';

  for (const json::Value& event : *events) {
    if (colour) out.append(style::dim);
    pad_chars(out, event_time_text(event), kTimeWidth);
    if (colour) out.append(style::reset);
    out += ' ';
    pad_chars(out, event_text(event, "action", kActionWidth), kActionWidth);
    out += ' ';
    pad_chars(out, event_text(event, "title", kEntryWidth), kEntryWidth);
    out += ' ';
    if (colour) out.append(style::grey);
    out.append(event_text(event, "actor", kActorChars));
    if (colour) out.append(style::reset);
    out += '\n';
  }
  return out;
}

std::expected<void, CliError> run_audit(ArgParser& args) {
  auto options = parse_options(args);
  if (!options) return std::unexpected(std::move(options.error()));
  if (options->help) {
    write_stdout(kAuditUsage);
    return {};
  }

  auto ctx = open_gate_context();
  if (!ctx) return std::unexpected(std::move(ctx.error()));

  auto arguments = audit_arguments(*options);
  if (!arguments) return std::unexpected(std::move(arguments.error()));
  auto result = gate_call_with_failover(*ctx, kAuditAction, *arguments);
  if (!result) return std::unexpected(std::move(result.error()));

  if (options->json) {
    write_stdout(to_pretty_json(*result) + "\n");
    return {};
  }
  write_stdout(format_audit_table(*result, colour_enabled()));
  return {};
}

}  // namespace pellucor
