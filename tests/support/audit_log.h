// The test vault's audit trail: one event for every call the vault served,
// listed back to "audit.list" with the filters a vault applies, so that the
// audit command shows what the other commands really did.
//
// Gate actions are logged under the vault's audit verbs: "search.query" as
// "search" (the query as the entry), "entry.get" as "read", "ext.totp" as
// "totp", "entry.upsert" as "create" or "update" (with an "id"),
// "entry.delete" as "delete"; any other action under its own name.
// "audit.list" itself is not logged, nor a call the vault refused.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/test_gate.h"

namespace pellucor::testing {

class AuditLog {
 public:
  // Milliseconds since the Unix epoch at which an event happens.
  using Clock = std::function<std::int64_t()>;

  // The actor every event names (default "agent").
  void set_actor(std::string actor);
  // The clock events are stamped with; unset: the system clock.
  void set_clock(Clock clock);

  // record logs a call the vault served; `concerned` is the stored entry the
  // call's "id" named, looked up before the call (a delete removes it).
  void record(std::string_view action, const nlohmann::json& content, const std::optional<nlohmann::json>& concerned);

  // list answers "audit.list": {"events": [...]}, newest first, at most
  // "limit" (default 50, 1..1000) events that match every filter given:
  // "actor" and "action" equal, "entry" a case-insensitive substring of the
  // title, "since" <= created_at <= "until" (epoch milliseconds).
  VaultReply list(const nlohmann::json& filters) const;

  // Every event logged, oldest first.
  std::vector<nlohmann::json> events() const;

 private:
  mutable std::mutex mutex_;
  std::string actor_ = "agent";
  Clock clock_;
  std::vector<nlohmann::json> events_;
};

}  // namespace pellucor::testing
