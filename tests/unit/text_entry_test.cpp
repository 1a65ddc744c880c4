// The shared checks of note and memory, and the body they send.
#include "cli/commands/text_entry.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "gate/entry_ops.h"

namespace pellucor {
namespace {

using nlohmann::json;

L2Key test_key() {
  L2Key k;
  for (std::size_t i = 0; i < k.size(); ++i) k[i] = static_cast<std::uint8_t>(i * 7 + 1);
  return k;
}

std::string message_of(const std::expected<void, CliError>& r) { return r ? "" : format_cli_error(r.error()); }

TEST(TextEntryBody, HoldsThreeFieldsUnlessEmbeddingsOrModelAreGiven) {
  const L2Key l2 = test_key();
  auto body = build_text_entry_body(TextEntryKind::Memory, "Sum", "Body", "draft", std::nullopt, std::nullopt, l2);
  ASSERT_TRUE(body.has_value());
  const json arg = upsert_argument(*body);
  EXPECT_EQ(arg.size(), 3u) << arg.dump();  // title, type, data: no "id"
  EXPECT_EQ(arg["title"], "Sum");
  EXPECT_EQ(arg["type"], "memory");
  EXPECT_FALSE(arg["data"].contains("urls"));
  const json& fields = arg["data"]["fields"];
  ASSERT_EQ(fields.size(), 3u);
  EXPECT_TRUE(fields[0]["tier"].is_number_integer());
  for (std::size_t i = 0; i < 2; ++i) {
    const std::string label = fields[i]["label"];
    auto plaintext = decrypt_field(l2, label, fields[i]["value"].get<std::string>());
    ASSERT_TRUE(plaintext.has_value()) << label;
    EXPECT_EQ(plaintext->view(), i == 0 ? "Sum" : "Body");
  }

  auto again = build_text_entry_body(TextEntryKind::Memory, "Sum", "Body", "draft", std::nullopt, std::nullopt, l2);
  ASSERT_TRUE(again.has_value());
  EXPECT_NE(again->fields[0].value, body->fields[0].value);  // a fresh nonce each time

  auto model_only = build_text_entry_body(TextEntryKind::Note, "", "B", "active", std::nullopt, "m", l2);
  ASSERT_TRUE(model_only.has_value());
  ASSERT_EQ(model_only->fields.size(), 4u);
  EXPECT_EQ(model_only->fields[3].label, "embedding_model");
  EXPECT_EQ(model_only->title, "");
  auto both = build_text_entry_body(TextEntryKind::Note, "S", "B", "active", "AAAA", "m", l2);
  ASSERT_TRUE(both.has_value());
  ASSERT_EQ(both->fields.size(), 5u);
  EXPECT_EQ(both->fields[3].kind, "binary");
}

TEST(TextEntryChecks, ContentSizeStatusAndModel) {
  EXPECT_EQ(message_of(check_content_size(0)), "PL-2000: content must not be empty");
  EXPECT_EQ(message_of(check_content_size(1)), "");
  EXPECT_EQ(message_of(check_content_size(262144)), "");
  EXPECT_EQ(message_of(check_content_size(262145)), "PL-2110: content is 262145 bytes, max is 262144");

  for (const char* ok : {"draft", "active", "archived"}) EXPECT_EQ(message_of(parse_text_entry_status(ok)), "");
  for (const char* bad : {"Active", "", "draft ", "deleted"})
    EXPECT_EQ(message_of(parse_text_entry_status(bad)),
              "PL-2000: invalid status '" + std::string(bad) + "' (use: draft, active, archived)");

  EXPECT_EQ(message_of(embedding_model_required_error(true, false)),
            "PL-2000: --embedding-model is required when --embeddings is set");
  EXPECT_EQ(message_of(embedding_model_required_error(false, true)), "");
  EXPECT_EQ(message_of(embedding_model_required_error(true, true)), "");
}

TEST(TextEntryChecks, EntryKind) {
  auto entry = [](std::optional<std::string> type, std::optional<std::string> data_type) {
    Entry e;
    e.entry_id = "1";
    e.type = std::move(type);
    if (data_type) e.data = EntryData{std::nullopt, std::move(data_type), {}, {}, std::nullopt};
    return e;
  };
  const std::string refusal = "PL-2000: entry is type 'NOTE', not 'memory' \u2014 refuse cross-type memory on this entry";
  EXPECT_EQ(message_of(check_entry_kind(TextEntryKind::Memory, entry("NOTE", std::nullopt))), refusal);
  EXPECT_EQ(message_of(check_entry_kind(TextEntryKind::Memory, entry(std::nullopt, "NOTE"))), refusal);
  EXPECT_EQ(message_of(check_entry_kind(TextEntryKind::Memory, entry("MeMoRy", "note"))), "");  // outer type wins
  EXPECT_EQ(message_of(check_entry_kind(TextEntryKind::Memory, entry(std::nullopt, std::nullopt))), "");
  EXPECT_EQ(message_of(check_entry_kind(TextEntryKind::Note, entry("", "memory"))), "");
}

TEST(TextEntryChecks, ExistingL2FieldIsTheFirstTierTwoOfThatLabel) {
  const L2Key l2 = test_key();
  const std::string ct = *encrypt_field(l2, "summary", "secret");
  std::vector<Field> fields = {{"summary", "plain", "text", 1}, {"Summary", ct, "text", 2}, {"summary", ct, "text", 2}};
  auto found = read_existing_l2_field(fields, "summary", l2);
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->view(), "secret");

  auto missing = read_existing_l2_field(fields, "content", l2);
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(format_cli_error(missing.error()), "PL-2050: cannot update: existing entry has no L2 field 'content'");

  // A ciphertext made under another label does not open.
  fields = {{"content", ct, "text", 2}};
  auto unreadable = read_existing_l2_field(fields, "content", l2);
  ASSERT_FALSE(unreadable.has_value());
  EXPECT_EQ(format_cli_error(unreadable.error()),
            "PL-2049: cannot update: existing 'content' is unreadable (" + format_context_error(err::PL_0003) + ")");
}

TEST(TextEntryChecks, SecretOptionNamesItsAlternative) {
  EXPECT_EQ(format_cli_error(secret_on_argv_error("--content", "--content-file PATH")),
            "PL-2000: --content is a secret field and must not appear on the command line; use --content-file PATH");
}

// Standard input moved onto a pseudo-terminal for the life of the object.
class StdinOnTerminal {
 public:
  StdinOnTerminal() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return;
    const int slave = ::open(::ptsname(master_), O_RDWR | O_NOCTTY);
    if (slave < 0) return;
    saved_ = ::dup(STDIN_FILENO);
    ok_ = saved_ >= 0 && ::dup2(slave, STDIN_FILENO) == STDIN_FILENO;
    ::close(slave);
  }
  ~StdinOnTerminal() {
    if (saved_ >= 0) {
      ::dup2(saved_, STDIN_FILENO);
      ::close(saved_);
    }
    if (master_ >= 0) ::close(master_);
  }
  bool ok() const { return ok_; }

 private:
  int master_ = -1;
  int saved_ = -1;
  bool ok_ = false;
};

TEST(TextEntryContent, GivenContentOrFileOrRefusalOnATerminal) {
  auto given = read_text_entry_content(SecureString("kept\n"), std::string("/nonexistent"));
  ASSERT_TRUE(given.has_value());
  EXPECT_EQ(given->view(), "kept\n");

  StdinOnTerminal tty;
  if (!tty.ok()) GTEST_SKIP() << "no pseudo-terminal";
  auto refused = read_text_entry_content(std::nullopt, std::nullopt);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(format_cli_error(refused.error()),
            "PL-2000: no content provided (use --content-file PATH, or pipe to stdin)");
}

}  // namespace
}  // namespace pellucor
