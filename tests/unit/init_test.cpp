#include "cli/commands/init.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "crypto/encoding.h"
#include "tests/support/enrolment.h"
#include "tests/support/vector_files.h"

namespace pellucor {
namespace {

using testing::EnrolledAgent;

constexpr std::string_view kNotAuthentic =
    "PL-2001: enrollment blob did not authenticate \xe2\x80\x94 wrong key or corrupt blob";
constexpr std::string_view kRetired =
    "PL-2001: this enrollment blob carries no POP key or a retired X25519 one \xe2\x80\x94 make a new "
    "client blob in the vault and connect again";
constexpr std::string_view kOldVaultId =
    "PL-2001: enrollment blob carries an old-form vault id \xe2\x80\x94 mint a new blob";
constexpr std::string_view kKeyLength =
    "PL-2001: enrollment key must be 32 bytes (base64url of a 256-bit key)";
constexpr std::string_view kNotBase64url = "PL-2001: enrollment blob or key is not base64url";

std::string outcome(const testing::Enrolment& e) {
  auto c = config_from_enrolment(e.blob, e.key, "00000000000000000000000000000000");
  return c ? "ok" : format_cli_error(c.error());
}

EnrolledAgent agent() {
  return testing::make_agent("vault.example.test", testing::placeholder_channel_key_text());
}

TEST(Enrolment, InteropBlobGivesTheExpectedConfig) {
  PELLUCOR_LOAD_VECTORS(doc, "interop/enrolment.json");
  auto c = config_from_enrolment(doc["blob"].get<std::string>(), doc["key"].get<std::string>(),
                                 "57cc714a70493c0f5b7488a6171d8295");
  ASSERT_TRUE(c.has_value()) << format_cli_error(c.error());
  const auto& want = doc["expected_config_except_device_id"];
  EXPECT_EQ(c->vault_url, want["vault_url"].get<std::string>());
  EXPECT_EQ(c->vault_gate_pub, want["vault_gate_pub"].get<std::string>());
  EXPECT_EQ(c->replica_url, want.value("replica_url", ""));
  EXPECT_EQ(c->replica_gate_pub, want.value("replica_gate_pub", ""));
  EXPECT_EQ(c->vault_id, want["vault_id"].get<std::string>());
  EXPECT_EQ(c->agent_id.view(), want["agent_id"].get<std::string>());
  EXPECT_EQ(c->l2.view(), want["l2"].get<std::string>());
  EXPECT_EQ(c->device_id.view(), "57cc714a70493c0f5b7488a6171d8295");
}

TEST(Enrolment, BuildsTheConfigFromTheBlob) {
  EnrolledAgent a = agent();
  a.agent_id = "6A9845B7A4685192ECE2DE79CE531CE8";
  a.pop = "  vault.example.test/ ";
  a.replica_host = "replica.example.test//";
  const auto e = testing::mint_enrolment(a);
  auto c = config_from_enrolment("  " + e.blob + "\n", " " + e.key + "==\r\n", "dd");
  ASSERT_TRUE(c.has_value()) << format_cli_error(c.error());
  EXPECT_EQ(c->vault_url, "https://vault.example.test");
  EXPECT_EQ(c->vault_gate_pub, a.pop_pub);
  EXPECT_EQ(c->replica_url, "https://replica.example.test");
  EXPECT_EQ(c->replica_gate_pub, "");
  EXPECT_EQ(c->vault_id, a.vault_id);
  EXPECT_EQ(c->agent_id.view(), "6a9845b7a4685192ece2de79ce531ce8");
  EXPECT_EQ(c->l2.view(), a.l2);
  EXPECT_EQ(c->device_id.view(), "dd");
}

TEST(Enrolment, AcceptsTheSevenValuesAsAnArrayAndSkipsUnknownKeys) {
  const EnrolledAgent a = agent();
  nlohmann::ordered_json array = nlohmann::ordered_json::array(
      {a.agent_id, a.l2, a.vault_id, a.pop, a.pop_pub, a.replica_host, a.replica_pub});
  EXPECT_EQ(outcome(testing::seal_enrolment(array.dump())), "ok");

  auto extra = testing::blob_json(a);
  extra["issued_at"] = 1700000000;
  EXPECT_EQ(outcome(testing::seal_enrolment(extra.dump())), "ok");
}

TEST(Enrolment, EachRefusalHasItsMessage) {
  struct Case {
    const char* what;
    void (*edit)(nlohmann::ordered_json&);
    std::string_view expected;
  };
  const Case cases[] = {
      {"pop_pub of 64", [](nlohmann::ordered_json& j) { j["pop_pub"] = std::string(64, 'b'); }, kRetired},
      {"pop_pub empty", [](nlohmann::ordered_json& j) { j["pop_pub"] = "  "; }, kRetired},
      {"pop_pub null", [](nlohmann::ordered_json& j) { j["pop_pub"] = nullptr; }, kRetired},
      {"pop_pub missing", [](nlohmann::ordered_json& j) { j.erase("pop_pub"); }, kRetired},
      {"pop_pub uppercase",
       [](nlohmann::ordered_json& j) {
         std::string k = j["pop_pub"];
         for (auto& ch : k) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
         j["pop_pub"] = k;
       },
       kNotAuthentic},
      {"replica_pub junk", [](nlohmann::ordered_json& j) { j["replica_pub"] = "abcd"; }, kNotAuthentic},
      {"replica_host null", [](nlohmann::ordered_json& j) { j["replica_host"] = nullptr; }, kNotAuthentic},
      {"agent_id short", [](nlohmann::ordered_json& j) { j["agent_id"] = "abc"; }, kNotAuthentic},
      {"l2 not hex", [](nlohmann::ordered_json& j) { j["l2"] = std::string(32, 'g'); }, kNotAuthentic},
      {"l2 number", [](nlohmann::ordered_json& j) { j["l2"] = 5; }, kNotAuthentic},
      {"vault_id zero", [](nlohmann::ordered_json& j) { j["vault_id"] = "0000000000000000"; }, kOldVaultId},
      {"vault_id upper", [](nlohmann::ordered_json& j) { j["vault_id"] = "01A2B3C4D5E6F708"; }, kOldVaultId},
      {"pop blank", [](nlohmann::ordered_json& j) { j["pop"] = "   "; },
       "PL-2001: enrollment blob carried an empty pop/host"},
      {"pop two lines", [](nlohmann::ordered_json& j) { j["pop"] = "a\nb"; },
       "PL-2001: enrollment blob carried an empty pop/host"},
      {"pop missing", [](nlohmann::ordered_json& j) { j.erase("pop"); }, kNotAuthentic},
  };
  for (const auto& c : cases) {
    auto j = testing::blob_json(agent());
    c.edit(j);
    EXPECT_EQ(outcome(testing::seal_enrolment(j.dump())), c.expected) << c.what;
  }

  const std::string text = testing::blob_json(agent()).dump();
  EXPECT_EQ(outcome(testing::seal_enrolment(text + " x")), kNotAuthentic) << "trailing text";
  std::string twice = text;
  twice.insert(1, "\"l2\":\"00000000000000000000000000000000\",");
  EXPECT_EQ(outcome(testing::seal_enrolment(twice)), kNotAuthentic) << "repeated key";
}

TEST(Enrolment, AHostNoCallCouldReachIsRefused) {
  for (const std::string host : {"vault.example@evil.example", "h/p?x#y", "a b", "a:99999"}) {
    const std::string refusal = "PL-2001: vault_url is not a clean https origin (got https://" + host + ")";
    EnrolledAgent primary = agent();
    primary.pop = host;
    EXPECT_EQ(outcome(testing::mint_enrolment(primary)), refusal) << host;
    for (const std::string& replica_pub : {std::string(), agent().pop_pub}) {
      EnrolledAgent replica = agent();
      replica.replica_host = host;
      replica.replica_pub = replica_pub;
      EXPECT_EQ(outcome(testing::mint_enrolment(replica)), refusal) << host;
    }
  }
}

TEST(Enrolment, KeyIsCheckedBeforeTheBlob) {
  const auto good = testing::mint_enrolment(agent());
  EXPECT_EQ(outcome({"!!garbage!!", testing::random_key_text(31)}), kKeyLength);
  EXPECT_EQ(outcome({good.blob, testing::random_key_text(33)}), kKeyLength);
  EXPECT_EQ(outcome({good.blob, testing::random_key_text(32)}), kNotAuthentic);
  EXPECT_EQ(outcome({good.blob, "a+b/" + good.key.substr(4)}), kNotBase64url);
  EXPECT_EQ(outcome({"has+plus", good.key}), kNotBase64url);
  EXPECT_EQ(outcome({good.blob.substr(0, 36), good.key}), kNotAuthentic);  // 27 bytes
  std::string altered = good.blob;
  altered[20] = altered[20] == 'A' ? 'B' : 'A';
  EXPECT_EQ(outcome({altered, good.key}), kNotAuthentic);
}

TEST(Enrolment, AgentIdIsAbbreviatedByCharacters) {
  EXPECT_EQ(abbreviate_agent_id(""), "(empty)");
  EXPECT_EQ(abbreviate_agent_id("12345678"), "12345678");
  EXPECT_EQ(abbreviate_agent_id("123456789"), "12345678\xe2\x80\xa6");
  // Around the 24th character, where the tail starts being shown.
  EXPECT_EQ(abbreviate_agent_id(std::string(23, 'x')), "xxxxxxxx\xe2\x80\xa6");
  EXPECT_EQ(abbreviate_agent_id("abcdefgh" + std::string(16, 'x')), "abcdefgh\xe2\x80\xa6");
  EXPECT_EQ(abbreviate_agent_id("abcdefgh" + std::string(16, 'x') + "Z"), "abcdefgh\xe2\x80\xa6Z");
  EXPECT_EQ(abbreviate_agent_id("abcdefgh" + std::string(16, 'x') + "YZ"), "abcdefgh\xe2\x80\xa6YZ");
  // 24 characters, the last of them two bytes long.
  EXPECT_EQ(abbreviate_agent_id("abcdefgh" + std::string(15, 'x') + "\xc3\xa9"), "abcdefgh\xe2\x80\xa6");
  EXPECT_EQ(abbreviate_agent_id("6a9845b7a4685192ece2de79ce531ce8"), "6a9845b7\xe2\x80\xa6" "ce531ce8");
  EXPECT_EQ(abbreviate_agent_id("\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9"),
            "\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xe2\x80\xa6");
}

// Whatever is at the configuration path stays: a link, followed or not, is
// refused as a link, anything else as an existing configuration.
TEST(Enrolment, RefusesWhateverIsAtTheConfigPath) {
  namespace fs = std::filesystem;
  char tmpl[] = "/tmp/pellucor-init-unit-XXXXXX";
  ASSERT_NE(::mkdtemp(tmpl), nullptr);
  const fs::path dir = tmpl;
  const std::string path = (dir / "config").string();
  const std::string exists = "PL-2002: config already exists at " + path +
                             " \xe2\x80\x94 refuse to overwrite (delete it explicitly to re-enroll)";
  const std::string link = "PL-2002: config path " + path + " is a symlink \xe2\x80\x94 refuse to write through it";
  std::ofstream(dir / "file") << "keep me";
  struct Case {
    const char* name;
    std::function<void()> arrange;
    std::string outcome;
  } cases[] = {
      {"nothing", [] {}, "ok"},
      {"a file", [&] { fs::copy_file(dir / "file", path); }, exists},
      {"a folder", [&] { fs::create_directory(path); }, exists},
      {"a link to a file", [&] { fs::create_symlink(dir / "file", path); }, link},
      {"a dangling link", [&] { fs::create_symlink(dir / "nowhere", path); }, link},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(path);
    c.arrange();
    const auto refused = refuse_existing_config(path);
    EXPECT_EQ(refused ? "ok" : format_cli_error(refused.error()), c.outcome);
  }
  EXPECT_FALSE(fs::exists(dir / "nowhere"));
  fs::remove_all(dir);
}

}  // namespace
}  // namespace pellucor
