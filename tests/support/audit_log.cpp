#include "tests/support/audit_log.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "tests/support/json_text.h"

namespace pellucor::testing {

namespace {

using nlohmann::json;

constexpr std::int64_t kDefaultLimit = 50;
constexpr std::int64_t kMaxLimit = 1000;

std::string audit_verb(std::string_view action, const json& content) {
  if (action == "search.query") return "search";
  if (action == "entry.get") return "read";
  if (action == "ext.totp") return "totp";
  if (action == "entry.delete") return "delete";
  if (action == "entry.upsert") return content.is_object() && content.contains("id") ? "update" : "create";
  return std::string(action);
}

std::int64_t system_now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

VaultReply bad_filter(std::string message) { return VaultReply::failure("BAD_REQUEST", "audit.list: " + message); }

}  // namespace

void AuditLog::set_actor(std::string actor) {
  std::lock_guard lock(mutex_);
  actor_ = std::move(actor);
}

void AuditLog::set_clock(Clock clock) {
  std::lock_guard lock(mutex_);
  clock_ = std::move(clock);
}

void AuditLog::record(std::string_view action, const json& content, const std::optional<json>& concerned) {
  if (action == "audit.list") return;
  std::string title;
  if (concerned) {
    title = text_member(*concerned, "title");
  } else if (action == "search.query") {
    title = text_member(content, "q");
  } else {
    title = text_member(content, "title");
  }
  std::lock_guard lock(mutex_);
  json event = {{"id", events_.size() + 1},
                {"created_at", clock_ ? clock_() : system_now_ms()},
                {"action", audit_verb(action, content)},
                {"title", std::move(title)},
                {"actor", actor_}};
  if (concerned && concerned->contains("entry_id")) event["entry_id"] = (*concerned)["entry_id"];
  events_.push_back(std::move(event));
}

VaultReply AuditLog::list(const json& filters) const {
  if (!filters.is_null() && !filters.is_object()) return bad_filter("filters must be an object");
  const json f = filters.is_object() ? filters : json::object();
  for (const auto& [key, value] : f.items()) {
    if (key == "limit" || key == "since" || key == "until") {
      if (!value.is_number_integer()) return bad_filter("\"" + key + "\" must be an integer");
    } else if (key == "actor" || key == "action" || key == "entry") {
      if (!value.is_string()) return bad_filter("\"" + key + "\" must be a string");
    } else {
      return bad_filter("unknown filter \"" + key + "\"");
    }
  }
  const std::int64_t limit = f.value("limit", kDefaultLimit);
  if (limit < 1 || limit > kMaxLimit) return bad_filter("\"limit\" out of range");

  std::lock_guard lock(mutex_);
  json out = json::array();
  for (auto it = events_.rbegin(); it != events_.rend() && std::cmp_less(out.size(), limit); ++it) {
    const json& e = *it;
    const std::int64_t at = e["created_at"].get<std::int64_t>();
    if (f.contains("actor") && e["actor"] != f["actor"]) continue;
    if (f.contains("action") && e["action"] != f["action"]) continue;
    if (f.contains("entry") &&
        ascii_lower(e["title"].get<std::string>()).find(ascii_lower(f["entry"].get<std::string>())) ==
            std::string::npos)
      continue;
    if (f.contains("since") && at < f["since"].get<std::int64_t>()) continue;
    if (f.contains("until") && at > f["until"].get<std::int64_t>()) continue;
    out.push_back(e);
  }
  return VaultReply::success(json{{"events", std::move(out)}});
}

std::vector<json> AuditLog::events() const {
  std::lock_guard lock(mutex_);
  return events_;
}

}  // namespace pellucor::testing
