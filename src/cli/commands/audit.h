// The audit command: show the vault's audit trail as this agent may see it,
// filtered by the vault, as a fixed-width table or as the raw JSON.
//
// Dates on the command line are calendar days in UTC; the program turns them
// into Unix epoch milliseconds itself, and turns the vault's millisecond
// times back into UTC calendar text, so that no local time zone is involved.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "cli/arg_parser.h"
#include "crypto/errors.h"
#include "gate/json.h"

namespace pellucor {

// The usage text printed by `audit --help`.
extern const std::string_view kAuditUsage;

// run_audit runs `pellucor-cli audit [--limit N] [--actor id] [--action act]
// [--entry name] [--since YYYY-MM-DD] [--until YYYY-MM-DD] [--json]`.
std::expected<void, CliError> run_audit(ArgParser& args);

// parse_date_to_epoch_ms reads "YEAR-MONTH-DAY" (three signed decimal
// integers, leading zeros optional; year 1..9999, a day that exists in that
// month of the proleptic Gregorian calendar) and returns the Unix epoch
// milliseconds of 00:00:00.000 UTC of that day. Anything else fails with
// PL-2000 "invalid date: <text> (use YYYY-MM-DD)", the text as typed.
std::expected<std::int64_t, CliError> parse_date_to_epoch_ms(std::string_view text);

// format_epoch_ms writes the UTC time of `ms` milliseconds since the Unix
// epoch (rounded down to the second) as "YYYY-MM-DD HH:MM:SS": every part
// zero-filled, the year to at least four digits. Defined for every value.
std::string format_epoch_ms(std::int64_t ms);

// format_audit_table renders an "audit.list" result as the table the command
// prints: a header line and one line per event of its "events" array, or
// "No audit events found." when there is no event. Vault text is sanitised
// and cut (action 12, entry 30, actor 40 characters); columns are filled by
// characters. With `colour` the header is grey and bold, each time dim and
// each actor grey.
std::string format_audit_table(const json::Value& result, bool colour);

}  // namespace pellucor
