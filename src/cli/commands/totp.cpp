#include "cli/commands/totp.h"

#include <optional>
#include <string>
#include <utility>

#include "cli/terminal.h"
#include "cli/utf8.h"
#include "gate/context.h"
#include "gate/entry_ops.h"
#include "gate/transport.h"
#include "gate/wire_models.h"

namespace pellucor {

const std::string_view kTotpUsage =
    "Usage: pellucor-cli totp <query> [--fuzzy]\n"
    "  Title match is exact by default. --fuzzy allows substring.\n";

namespace {

constexpr std::string_view kTotpAction = "ext.totp";

struct TotpOptions {
  std::optional<std::string> query;
  bool exact = true;
  bool help = false;
};

std::expected<TotpOptions, CliError> parse_options(ArgParser& args) {
  TotpOptions o;
  for (;;) {
    auto next = args.next_arg();
    if (!next) return std::unexpected(error_from_arg_error(next.error()));
    if (!next->has_value()) break;
    const ArgToken& token = **next;
    if (token.is_long("help")) {
      o.help = true;
      return o;
    }
    if (token.is_long("exact")) {
      o.exact = true;
    } else if (token.is_long("fuzzy")) {
      o.exact = false;
    } else if (token.is_value() && !o.query) {
      if (!is_valid_utf8(token.text)) return std::unexpected(new_argument_error("query: not valid UTF-8"));
      o.query = token.text;
    } else {
      return std::unexpected(new_argument_error("unexpected: " + arg_token_debug(token)));
    }
  }
  if (!o.query) return std::unexpected(new_argument_error("missing <query> (try: pellucor-cli totp GitHub)"));
  return o;
}

}  // namespace

std::expected<void, CliError> run_totp(ArgParser& args) {
  auto options = parse_options(args);
  if (!options) return std::unexpected(std::move(options.error()));
  if (options->help) {
    write_stdout(kTotpUsage);
    return {};
  }

  auto ctx = open_gate_context();
  if (!ctx) return std::unexpected(std::move(ctx.error()));

  auto entry_id = find_single_entry(*ctx, *options->query, options->exact, std::nullopt);
  if (!entry_id) return std::unexpected(std::move(entry_id.error()));

  auto result = gate_call_with_failover(*ctx, kTotpAction, entry_id_argument(*entry_id));
  if (!result) return std::unexpected(std::move(result.error()));
  auto totp = decode_totp_response(*result);
  if (!totp) return std::unexpected(response_shape_error(kTotpAction, totp.error()));

  // The code is the vault's text: it is filtered like every other vault text
  // before it reaches the terminal, and kept to its one line (a code is
  // digits; nothing real is lost).
  SecureString line(sanitize_one_line(totp->code).view());
  line += '\n';
  write_stdout(line.view());
  return {};
}

}  // namespace pellucor
