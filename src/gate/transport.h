// The gate transport: one remote call against a vault gate over HTTPS, and
// the single failover to the replica.
//
// Every call builds its own libcurl handle and connection and shares nothing
// with the next call but the process-wide trust store. Nothing is retried
// apart from the one failover.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "crypto/errors.h"
#include "gate/context.h"
#include "gate/trust_store.h"

namespace pellucor {

// The largest HTTP response body read: the base64 length of the largest
// message 2 (65 + 8388608 + 16 bytes).
inline constexpr std::size_t MAX_GATE_REPLY_TEXT_BYTES = 11184920;

// The length a node's channel key must have.
inline constexpr std::size_t GATE_CHANNEL_KEY_BYTES = 1249;

// The one line written to stderr when the call moves to the replica.
inline constexpr std::string_view kFailoverNotice = "gate: primary unreachable, trying replica\n";

// What a call may be told besides its arguments. Defaults are the program's;
// tests shorten the deadlines and redirect the environment.
struct TransportOptions {
  std::chrono::milliseconds deadline{20000};         // whole request, resolution to last body byte
  std::chrono::milliseconds connect_timeout{10000};  // establishing the connection
  EnvLookup env = process_env;                       // proxy variables
};

// gate_url_from_vault_url turns a configured vault URL into its gate URL
// ("/gate" after the URL less its trailing slashes). Fails with PL-2000:
// "vault_url must be https://" without that scheme (or "HTTPS://"), and
// "vault_url is not a clean https origin" for a URL without a host, with a
// user part, query, fragment, blank or backslash, or one libcurl cannot read
// at all (a port past 65535, for one).
std::expected<std::string, CliError> gate_url_from_vault_url(std::string_view vault_url);

// The proxy chosen from the environment and the variable that named it.
struct ProxySetting {
  std::string variable;  // empty when no proxy is set
  std::string value;
};

// proxy_setting_from_env returns the proxy to use: the first of ALL_PROXY,
// all_proxy, HTTPS_PROXY, https_proxy, HTTP_PROXY, http_proxy that is set
// and non-empty; both fields empty when none is.
ProxySetting proxy_setting_from_env(const EnvLookup& env);

// proxy_from_env is proxy_setting_from_env's value alone.
std::string proxy_from_env(const EnvLookup& env);

// proxy_refusal reads `proxy` with libcurl's own URL parser, the way libcurl
// reads a proxy, and says why libcurl could not use it: not a URL it accepts,
// a scheme it cannot use as a proxy, or a user name or password that decodes
// to a control character (which libcurl would drop together with the proxy,
// connecting directly). nullopt when the proxy is usable.
std::optional<std::string> proxy_refusal(std::string_view proxy);

// redact_proxy_url returns `proxy` on one line with whatever could be its
// password (from the first ':' after the scheme to the last '@') replaced by
// "***". Works on text no parser accepts.
std::string redact_proxy_url(std::string_view proxy);

// gate_http_post POSTs `body` (base64 text) to `gate_url` as text/plain and
// returns the response body as text. Failures: PL-2020 "POST /gate: {}" when
// no response head arrives (resolution, connection, proxy, TLS, timeout), and
// when the proxy would be used but proxy_refusal refuses it: then nothing is
// sent, neither through the proxy nor directly;
// PL-2047 for a status outside 200-299 (the body is then not read); PL-2021
// when the body is longer than MAX_GATE_REPLY_TEXT_BYTES, cannot be read, or
// is not UTF-8. Never buffers more than the cap.
std::expected<std::string, CliError> gate_http_post(std::string_view gate_url, std::string_view body,
                                                    const TransportOptions& options = {});

// should_fail_over returns true when a failed primary call warrants the
// replica: the record is PL-2020, or the error's display text holds
// "HTTP 502", "HTTP 503", "HTTP 504" or "dark gate".
bool should_fail_over(const CliError& error);

// One attempt of a call: against the primary (false) or the replica (true).
using GateAttempt = std::function<std::expected<nlohmann::json, CliError>(bool replica)>;

// gate_call makes one remote call: it draws the call's static key, frames the
// request, writes Noise message 1 to `channel_key` (which must be 1249 bytes),
// POSTs it as base64 text, opens message 2 and returns the reply's result.
// Failures: PL-2047 "key: {}" and "the responder key is {} bytes, a node
// public key is 1249"; those of encode_gate_request, write_handshake_message1,
// gate_http_post, read_handshake_message2 and decode_gate_reply unchanged;
// PL-2047 "msg2 not base64: {}" for a body that is not canonical base64.
// Every key and handshake secret is wiped on every way out.
std::expected<nlohmann::json, CliError> gate_call(std::string_view credential, std::string_view gate_url,
                                                  std::span<const std::uint8_t> channel_key,
                                                  std::string_view action, const nlohmann::json& args,
                                                  const TransportOptions& options = {});

// gate_call_with_failover calls the primary gate and, when it cannot be
// reached or refuses the handshake and a replica is given, prints
// kFailoverNotice on stderr and makes the same call once against the replica,
// whose outcome is final. The vault operations call the
// GateContext form below.
std::expected<nlohmann::json, CliError> gate_call_with_failover(std::string_view credential,
                                                                const GateEndpoint& primary,
                                                                const std::optional<GateEndpoint>& replica,
                                                                std::string_view action, const nlohmann::json& args,
                                                                const TransportOptions& options = {});

// gate_call_with_failover with the context's credential, primary and replica.
std::expected<nlohmann::json, CliError> gate_call_with_failover(const GateContext& context, std::string_view action,
                                                                const nlohmann::json& args,
                                                                const TransportOptions& options = {});

// call_with_failover runs `attempt` against the primary and, when that fails
// in a way should_fail_over accepts and `has_replica` holds, writes
// kFailoverNotice to stderr and returns the replica attempt's outcome.
std::expected<nlohmann::json, CliError> call_with_failover(const GateAttempt& attempt, bool has_replica);

}  // namespace pellucor
