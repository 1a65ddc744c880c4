// Error records, the fixed catalogue, and the error value of the layers above
// the cryptographic core.
//
// The core returns a bare `PellucorError` (a constant record) as its failure;
// the gate client and the front end carry one inside a `CliError` together
// with a formatted message. Nothing is thrown across a module boundary.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace pellucor {

enum class Severity : std::uint8_t { Error = 0, Bug = 1 };

enum class Component : std::uint8_t {
  Crypto = 0, Vault = 1, Cli = 2, Browser = 3, Mobile = 4, Proxy = 5, Admin = 6, Sync = 7,
};

std::string_view severity_name(Severity s);
std::string_view component_name(Component c);

// One constant record of the catalogue. Records are never built at run time;
// copies share the static texts.
struct PellucorError {
  std::string_view code;        // "PL-" and four digits
  std::string_view user_msg;    // shown when a failure carries no message
  std::string_view tech_msg;    // only ever shown inside the debug form
  std::string_view resolution;  // only ever shown inside the debug form
  Severity severity;
  Component component;
};

// format_context_error returns the display form: code, ": ", user_msg.
std::string format_context_error(const PellucorError& e);

// format_pellucor_error_debug returns the debug form: all six fields, texts
// quoted and escaped, e.g. `PellucorError { code: "PL-0010", ... }`.
std::string format_pellucor_error_debug(const PellucorError& e);

// escape_debug_text quotes `text` the way the debug form writes a text value.
std::string escape_debug_text(std::string_view text);

namespace err {
#define PELLUCOR_RECORD(name, code, comp, sev, user, tech, res) \
  inline constexpr PellucorError name{code, user, tech, res, Severity::sev, Component::comp};
#include "crypto/error_catalogue.inc"
#undef PELLUCOR_RECORD
}  // namespace err

// error_catalogue lists the 37 records in code order.
std::span<const PellucorError> error_catalogue();

// The failure value of the gate client and the front end. Moved up the call
// chain; printed once by cli_main.
struct CliError {
  std::string message;  // may be empty: the record's user_msg stands in
  PellucorError error;
};

// format_cli_error: code, ": ", then message, or user_msg when message is empty.
std::string format_cli_error(const CliError& e);

// new_argument_error: `message` under PL-2000.
CliError new_argument_error(std::string_view message);

// make_error: `message` under `record` (the record is chosen by the site).
CliError make_error(const PellucorError& record, std::string message = {});

}  // namespace pellucor
