// The test gate's in-memory vault: entries kept as the gate would keep them
// (tier-2 values as field ciphertext under the agent's L2 key), answering the
// entry actions of the gate protocol. Plugged into a TestGate as its vault
// handler; safe to use from the test thread while the gate serves.
//
// Actions answered: "search.query" (exact: case-insensitive title equality;
// fuzzy: case-insensitive substring; optional type filter; the reply in the
// chosen shape, with the chosen quota), "entry.get", "entry.delete",
// "entry.upsert" (stores what the client sent) and "ext.totp" (RFC 6238 code
// from a seed the vault holds), and "audit.list" from its AuditLog of the
// calls it served. Further actions are added with on().
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "crypto/field_keys.h"
#include "tests/support/audit_log.h"
#include "tests/support/test_gate.h"

namespace pellucor::testing {

// One field to seed. A tier-2 value is encrypted under the vault's L2 key and
// the field's label unless `raw` is set (then it is stored as given, e.g. a
// corrupt ciphertext).
struct SeedField {
  SeedField(std::string label, std::string value, std::string kind = "text", int tier = 1, bool raw = false)
      : label(std::move(label)), value(std::move(value)), kind(std::move(kind)), tier(tier), raw(raw) {}

  std::string label;
  std::string value;
  std::string kind = "text";
  int tier = 1;
  bool raw = false;
};

struct SeedEntry {
  SeedEntry() = default;
  SeedEntry(std::string title, std::string type) : title(std::move(title)), type(std::move(type)) {}

  std::string title;
  std::string type = "credential";
  std::vector<SeedField> fields;
  std::vector<std::string> urls;
  std::optional<std::string> notes;  // plaintext; stored encrypted under the label "notes"
  std::optional<std::vector<std::uint8_t>> totp_seed;  // the secret "ext.totp" computes codes from
};

// The shape of "search.query" replies.
enum class ReplyShape { Bare, Wrapped, Count };

// One action the vault received.
struct VaultCall {
  std::string action;
  nlohmann::json content;
};

class TestVault {
 public:
  using ActionHandler = std::function<VaultReply(const nlohmann::json& content)>;
  // Returns an error text for a credential the vault refuses.
  using CredentialCheck = std::function<std::optional<std::string>(const std::string& cred)>;

  explicit TestVault(const L2Key& l2);
  // l2_hex: 32 hex digits, the agent's L2 key as written in its enrolment.
  explicit TestVault(std::string_view l2_hex);

  // add_entry stores a seeded entry and returns its id.
  std::string add_entry(const SeedEntry& entry);
  // add_raw_entry stores an "entry.get" result exactly as given (its
  // "entry_id" is filled in) and returns its id.
  std::string add_raw_entry(nlohmann::json entry);

  void set_reply_shape(ReplyShape shape);
  // The quota sent with wrapped and count replies; nothing: no "quota" key.
  void set_quota(std::optional<nlohmann::json> quota);
  // The Unix time "ext.totp" computes codes at; unset: the system clock.
  void set_time(std::optional<std::int64_t> unix_seconds);
  void set_credential_check(CredentialCheck check);
  // on answers `action` with `handler` (replacing a built-in answer).
  void on(std::string action, ActionHandler handler);

  // handler: the VaultHandler for TestGateOptions::vault. It refers to this
  // vault, which must outlive the gate.
  VaultHandler handler();

  // The stored "entry.get" results, in insertion order.
  std::vector<nlohmann::json> entries() const;
  std::optional<nlohmann::json> entry(std::string_view id) const;
  // Every action received, in order.
  std::vector<VaultCall> calls() const;
  std::vector<std::string> actions() const;
  // The audit trail of the calls served, which answers "audit.list".
  AuditLog& audit_log() { return audit_; }

  // The field ciphertext of `plaintext` under the vault's L2 key and `label`.
  std::string encrypt(std::string_view label, std::string_view plaintext) const;

 private:
  VaultReply answer(const std::string& action, const nlohmann::json& content, const std::string& cred);
  VaultReply search(const nlohmann::json& content) const;
  VaultReply similar(const nlohmann::json& content) const;  // "search.similar": similar_search.cpp
  VaultReply get(const nlohmann::json& content) const;
  VaultReply remove(const nlohmann::json& content);
  VaultReply upsert(const nlohmann::json& content);
  VaultReply totp(const nlohmann::json& content) const;
  std::string next_id();

  struct Stored {
    std::string id;
    nlohmann::json entry;
    std::optional<std::vector<std::uint8_t>> totp_seed;
  };

  mutable std::mutex mutex_;
  L2Key l2_;
  std::vector<Stored> entries_;
  std::uint64_t next_serial_ = 1;
  ReplyShape shape_ = ReplyShape::Bare;
  std::optional<nlohmann::json> quota_;
  std::optional<std::int64_t> time_;
  CredentialCheck credential_check_;
  std::map<std::string, ActionHandler, std::less<>> extra_;
  std::vector<VaultCall> calls_;
  AuditLog audit_;
};

// seed_demo_entries stores the demo's entries: "GitHub" (a credential with a
// tier-2 password, notes, a URL and a TOTP seed), "GitHub API" (an api_key)
// and "Old GitHub" (a note).
void seed_demo_entries(TestVault& vault);

// totp_code: the RFC 6238 code (HMAC-SHA1, 30-second steps, 6 digits) of
// `seed` at `unix_seconds`.
std::string totp_code(const std::vector<std::uint8_t>& seed, std::int64_t unix_seconds);

}  // namespace pellucor::testing
