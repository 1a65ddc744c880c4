#include "gate/framing.h"

#include <algorithm>
#include <string>

#include "gate/json_reader.h"
#include "gate/vault_text.h"

namespace pellucor {

const std::array<std::string_view, 103> gate_actions = {
    "system.ping", "system.glass", "entry.list", "entry.get", "entry.revisions", "entry.create",
    "entry.update", "entry.upsert", "entry.delete", "scope.list", "scope.resolve", "scope.set",
    "search.query", "search.similar", "search.related", "search.clusters", "ext.totp", "ext.match",
    "ext.alternates", "ext.worked", "audit.list", "audit.verify", "audit.anchor_status", "agent.create",
    "agent.list", "agent.update", "agent.delete", "agent.unlock", "backup.list", "backup.create",
    "backup.restore", "task.list", "task.report", "control.meta_apply", "control.task_apply", "repl.push",
    "telemetry.push", "alert.raise", "event.report", "audit.anchor", "recovery.store_key",
    "recovery.store_verification", "recovery.release_key", "mail.probe", "mail.test", "mail.drill",
    "content.push", "failover.promote", "corporate.push", "system.health", "failover.maintenance",
    "failover.alert", "failover.failback", "fleet.reachable", "entry.set_scopes", "entry.batch_create",
    "wl3.fetch", "wl3.lookup", "wl3.put", "auth.login_begin", "auth.login_complete", "auth.discover_begin",
    "auth.discover_complete", "auth.register_begin", "auth.register_complete", "vault.assign",
    "webauthn.credentials", "webauthn.revoke_credential", "ops.maintenance.register", "ops.incident.open",
    "ops.incident.close", "central.whois", "central.push", "telemetry.forward", "auth.tap_begin",
    "auth.tap_complete", "entry.list_deleted", "session.event", "entry.get_batch", "entry.revisions_batch",
    "vault.export", "enroll.pin", "enroll.verify", "agent.bootstrap", "vault.list", "id.mint", "vault.where",
    "vault.place", "central.log", "wl3.revoke", "world.sweep", "party.birth", "dns.shop.set",
    "dns.shop.remove", "shop.keys", "shop.allow", "shop.disallow", "table.query", "table.tx",
    "audit.log_event", "scim.classify", "vault.retire", "wl3.audit",
};

bool is_gate_action(std::string_view action) {
  return std::find(gate_actions.begin(), gate_actions.end(), action) != gate_actions.end();
}

namespace {

struct ReplyError {
  std::string code;
  std::string message;
};

struct Reply {
  bool ok = false;
  std::optional<json::Value> result;
  std::optional<ReplyError> error;
};

}  // namespace
}  // namespace pellucor

namespace pellucor::json {
template <>
struct Record<ReplyError> {
  static constexpr MemberSpec members[] = {
      member<&ReplyError::code>("code"),
      member<&ReplyError::message>("message"),
  };
  static constexpr RecordSpec spec{"struct ReplyError", members, false, true};
};
template <>
struct Record<Reply> {
  static constexpr MemberSpec members[] = {
      member<&Reply::ok>("ok"),
      member<&Reply::result>("result", Presence::Default),
      member<&Reply::error>("error", Presence::Default),
  };
  static constexpr RecordSpec spec{"struct Reply", members, false, true};
};
}  // namespace pellucor::json

namespace pellucor {
namespace {

CliError request_error(const PellucorError& inner) {
  return make_error(err::PL_2047, "encode request: " + format_pellucor_error_debug(inner));
}

CliError reply_error(const PellucorError& inner) {
  return make_error(err::PL_2047, "decode reply: " + format_pellucor_error_debug(inner));
}

}  // namespace

std::expected<SecureBytes, CliError> encode_gate_request(std::string_view action,
                                                         std::optional<std::string_view> cred,
                                                         const json::Value& args) {
  // The argument goes out as it reads back from its own compact text, so the
  // gate sees exactly what a strict reader makes of it.
  std::optional<json::Value> content;
  std::size_t content_size = 0;
  if (!args.is_null()) {
    if (!json::is_writable(args)) {
      return std::unexpected(make_error(err::PL_2047, "encode args: value holds binary data, which JSON cannot express"));
    }
    SecureBytes text;
    json::append_compact(args, text);
    auto parsed = json::parse(std::span<const std::uint8_t>(text.data(), text.size()));
    if (!parsed) return std::unexpected(request_error(err::PL_0004));
    content = std::move(*parsed);
    content_size = text.size();
  }
  if (!is_gate_action(action)) return std::unexpected(request_error(err::PL_0004));
  if (cred && !cred->starts_with("plt_")) return std::unexpected(request_error(err::PL_0004));

  // Room for the whole request at once, so the credential is never left
  // behind in a grown-out-of buffer (those are wiped too, but not copied).
  SecureBytes out;
  out.reserve(std::max<std::size_t>(128, 64 + action.size() + (cred ? cred->size() : 0) + content_size));
  out.push_back(GATE_FRAME_MARKER);
  constexpr std::string_view kAction = "{\"action\":";
  out.insert(out.end(), kAction.begin(), kAction.end());
  json::append_string(action, out);
  if (cred) {
    constexpr std::string_view kCred = ",\"cred\":";
    out.insert(out.end(), kCred.begin(), kCred.end());
    json::append_string(*cred, out);
  }
  if (content) {
    constexpr std::string_view kContent = ",\"content\":";
    out.insert(out.end(), kContent.begin(), kContent.end());
    json::append_compact(*content, out);
  }
  out.push_back('}');

  if (out.size() > MAX_GATE_REQUEST_BYTES) {
    return std::unexpected(make_error(err::PL_2110, "request is " + std::to_string(out.size()) +
                                                        " bytes, the gate takes at most " +
                                                        std::to_string(MAX_GATE_REQUEST_BYTES)));
  }
  return out;
}

std::expected<json::Value, CliError> decode_gate_reply(SecureBytes&& plaintext) {
  struct Wipe {
    SecureBytes& bytes;
    ~Wipe() { wipe_bytes(bytes.data(), bytes.size()); }
  } wipe{plaintext};

  if (plaintext.empty()) return std::unexpected(reply_error(err::PL_0010));
  if (plaintext.size() > MAX_GATE_REPLY_PLAINTEXT_BYTES) return std::unexpected(reply_error(err::PL_0004));
  if (plaintext[0] != GATE_FRAME_MARKER) return std::unexpected(reply_error(err::PL_0004));

  auto reply = json::decode_text<Reply>(std::span<const std::uint8_t>(plaintext.data() + 1, plaintext.size() - 1));
  if (!reply) return std::unexpected(reply_error(err::PL_0004));

  if (reply->ok) return reply->result ? std::move(*reply->result) : json::Value(nullptr);
  if (reply->error) {
    // The vault's own words, kept to the one error line.
    return std::unexpected(make_error(err::PL_2047, "gate error " + single_line_text(reply->error->code) + ": " +
                                                        single_line_text(reply->error->message)));
  }
  return std::unexpected(make_error(err::PL_2047, "gate error UNKNOWN: no detail"));
}

}  // namespace pellucor
