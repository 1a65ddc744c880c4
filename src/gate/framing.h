// The gate's inner request and reply documents and their one-byte frame.
//
// A request is 0x10 followed by the compact JSON {"action","cred","content"}
// (in that order; every object inside "content" with its keys in byte order).
// A reply plaintext is 0x10 followed by the JSON {"ok","result","error"}.
// Failures are CliError values: PL-2047 for anything malformed, PL-2110 for a
// request over the size cap.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string_view>

#include "crypto/errors.h"
#include "crypto/secure_buffer.h"
#include "gate/json.h"

namespace pellucor {

inline constexpr std::uint8_t GATE_FRAME_MARKER = 0x10;
// 6 MiB less the 1250 bytes that handshake message 1 adds around its payload.
inline constexpr std::size_t MAX_GATE_REQUEST_BYTES = 6290206;
inline constexpr std::size_t MAX_GATE_REPLY_PLAINTEXT_BYTES = 8388608;

// gate_actions: the 103 action names the gate accepts, in table order.
extern const std::array<std::string_view, 103> gate_actions;

// is_gate_action: exact, case-sensitive membership in gate_actions.
bool is_gate_action(std::string_view action);

// encode_gate_request returns the framed request (marker included) for
// `action` with the credential `cred` (it must start "plt_") and the
// argument `args` (JSON null: no "content"). The buffer holds the credential
// and is wiped when freed. Failures: PL-2047 "encode args: ..." or "encode
// request: <debug form of PL-0004/PL-0005>"; PL-2110 "request is N bytes, the
// gate takes at most 6290206".
std::expected<SecureBytes, CliError> encode_gate_request(std::string_view action,
                                                         std::optional<std::string_view> cred,
                                                         const json::Value& args);

// decode_gate_reply reads a reply plaintext and returns its "result" (JSON
// null when absent) when "ok" is true. It overwrites `plaintext` with zeros
// before returning, on every path. Failures: PL-2047 "decode reply: <debug
// form of PL-0010/PL-0004>" for a malformed reply, PL-2047 "gate error
// CODE: MESSAGE" when "ok" is false.
std::expected<json::Value, CliError> decode_gate_reply(SecureBytes&& plaintext);

}  // namespace pellucor
