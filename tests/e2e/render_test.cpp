// The render command end to end: templates filled from the in-memory vault
// through the real binary and the local test gate, for an agent enrolled in a
// temporary HOME.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/enrolled_cli.h"

namespace pellucor {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using testing::SeedEntry;
using testing::SeedField;
using testing::VaultReply;

std::string warning(int n) {
  return "warning: render wrote " + std::to_string(n) +
         " secret field(s) to stdout \u2014 do not capture this in an agent transcript; pipe only to the local "
         "consumer\n";
}

class Render : public testing::EnrolledCli {
 protected:
  // "db": a plain user, a tier-2 password, an L3 key and a corrupt tier-2 value.
  std::string seed_db() {
    SeedEntry e("db", "credential");
    e.fields = {{"user", "admin"},
                {"password", "s3cr\u00e9t", "password", 2},
                {"hsm", "never", "password", 3},
                {"broken", "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA", "password", 2, true}};
    return vault_->add_entry(e);
  }

  std::string write_template(const std::string& text, const std::string& name = "template.txt") {
    const fs::path path = home_ / name;
    std::ofstream(path, std::ios::binary) << text;
    return path.string();
  }

  // Renders `text` from a file.
  test::RunResult render(const std::string& text) { return run({"render", write_template(text)}); }

  int count(const std::string& action) const {
    int n = 0;
    for (const auto& a : actions()) n += a == action ? 1 : 0;
    return n;
  }

  // A failed render: exit 1, exactly `line` on stderr, nothing on stdout.
  static void expect_failure(const test::RunResult& r, const std::string& line) {
    expect_failure_that(r, ::testing::Eq(line + "\n"));
  }
  // A failed render whose error line is only partly known.
  static void expect_failure_that(const test::RunResult& r, const ::testing::Matcher<const std::string&>& err) {
    EXPECT_TRUE(r.exited_with(1)) << r.err;
    EXPECT_THAT(r.err, err);
    EXPECT_EQ(r.out, "");
  }

  // One failing template: its text (between the common prefix and suffix)
  // and the error line it must give.
  struct FailingTemplate {
    std::string text;
    std::string error;
  };
  void expect_failures(const std::vector<FailingTemplate>& cases, const std::string& prefix = {},
                       const std::string& suffix = {}) {
    for (const FailingTemplate& c : cases) {
      SCOPED_TRACE(c.text);
      expect_failure(render(prefix + c.text + suffix), c.error);
    }
  }
};

TEST_F(Render, ReplacesReferencesEndedByEachTerminator) {
  seed_db();
  for (const std::string terminator : {"\t", "\n", "\r\n", " ", "\"", "'", ",", "}"}) {
    auto r = render("x=pellucor://db/password" + terminator + "tail");
    ASSERT_TRUE(r.exited_with(0)) << r.err;
    EXPECT_EQ(r.out, "x=s3cr\u00e9t" + terminator + "tail");
    EXPECT_EQ(r.err, warning(1));
  }
  // Nothing else ends a reference: the parenthesis becomes part of the label.
  expect_failure(render("(pellucor://db/password)"),
                 "PL-2063: line 1: pellucor://db/password) \u2014 field not found");
}

TEST_F(Render, FillsAJsonConfigFromFileOrStdin) {
  seed_db();
  const std::string tmpl =
      "{\n  \"user\": \"pellucor://db/user\",\n  \"pass\": \"pellucor://db/PASSWORD\"\n}";
  const std::string expected = "{\n  \"user\": \"admin\",\n  \"pass\": \"s3cr\u00e9t\"\n}";
  auto from_file = render(tmpl);
  ASSERT_TRUE(from_file.exited_with(0)) << from_file.err;
  EXPECT_EQ(from_file.out, expected);
  EXPECT_EQ(from_file.err, warning(2));
  auto from_stdin = run({"render", "-"}, tmpl);
  ASSERT_TRUE(from_stdin.exited_with(0)) << from_stdin.err;
  EXPECT_EQ(from_stdin.out, expected);
  // Each key is one exact search and one fetch.
  EXPECT_EQ(vault_->calls()[0].content, (nlohmann::json{{"q", "db"}, {"exact", true}}));
}

TEST_F(Render, TemplateWithoutReferencesIsCopiedWithoutConfiguration) {
  fs::remove_all(home_ / ".config");
  const std::string tmpl = "pellucor:/ is not a reference,\r\n\t\u00e9t\u00e9 \u2014 pellucor:x/y";
  auto r = render(tmpl);
  ASSERT_TRUE(r.exited_with(0)) << r.err;
  EXPECT_EQ(r.out, tmpl);
  EXPECT_EQ(r.err, "");
  auto empty = run({"render", "-"});
  ASSERT_TRUE(empty.exited_with(0)) << empty.err;
  EXPECT_EQ(empty.out, "");
  EXPECT_TRUE(actions().empty());
}

TEST_F(Render, LabelKeepsEverySlashAfterTheFirst) {
  SeedEntry a("a", "credential");
  a.fields = {{"b/c", "deep", "text", 2}, {"b", "shallow"}};
  vault_->add_entry(a);
  auto r = render("pellucor://a/b/c");
  ASSERT_TRUE(r.exited_with(0)) << r.err;
  EXPECT_EQ(r.out, "deep");
}

TEST_F(Render, SameReferenceCostsOneSearchAndOneFetch) {
  seed_db();
  auto r = render("pellucor://db/password pellucor://db/password\npellucor://db/password,"
                  "pellucor://db/password}pellucor://db/password");
  ASSERT_TRUE(r.exited_with(0)) << r.err;
  EXPECT_EQ(r.out, "s3cr\u00e9t s3cr\u00e9t\ns3cr\u00e9t,s3cr\u00e9t}s3cr\u00e9t");
  EXPECT_EQ(r.err, warning(1));
  EXPECT_EQ(actions(), (std::vector<std::string>{"search.query", "entry.get"}));
}

TEST_F(Render, KeysAndTitlesCompareByteForByte) {
  seed_db();
  // DB and db are two titles; Password and password two keys; each key is
  // searched and fetched once, and both resolve through the same entry.
  auto r = render("pellucor://DB/password pellucor://db/password pellucor://db/Password pellucor://DB/password");
  ASSERT_TRUE(r.exited_with(0)) << r.err;
  EXPECT_EQ(r.out, "s3cr\u00e9t s3cr\u00e9t s3cr\u00e9t s3cr\u00e9t");
  EXPECT_EQ(r.err, warning(3));
  EXPECT_EQ(count("search.query"), 3);
  EXPECT_EQ(count("entry.get"), 3);
  EXPECT_EQ(vault_->calls()[0].content["q"], "DB");
  EXPECT_EQ(vault_->calls()[2].content["q"], "db");
}

TEST_F(Render, NotesResolveThroughThePseudoField) {
  SeedEntry note("memo", "note");
  note.notes = "line one\nline two";
  vault_->add_entry(note);
  auto r = render("'pellucor://memo/Notes'");
  ASSERT_TRUE(r.exited_with(0)) << r.err;
  EXPECT_EQ(r.out, "'line one\nline two'");
  // There is no url pseudo-field here.
  SeedEntry site("site", "credential");
  site.urls = {"https://example.com"};
  vault_->add_entry(site);
  expect_failure(render("pellucor://site/url"), "PL-2063: line 1: pellucor://site/url \u2014 field not found");
}

TEST_F(Render, ReferenceCapAndTitleCapFailBeforeAnyGateCall) {
  seed_db();
  std::string at_cap;
  for (int i = 0; i < 128; ++i) at_cap += "pellucor://db/user\n";
  auto ok = render(at_cap);
  ASSERT_TRUE(ok.exited_with(0)) << ok.err;
  EXPECT_EQ(ok.err, warning(1));
  const std::size_t calls_so_far = actions().size();

  expect_failure(render(at_cap + "pellucor://db/user"), "PL-2061: more than 128 references in template");

  std::string eleven;
  for (int i = 0; i < 11; ++i) eleven += "pellucor://t" + std::to_string(i) + "/f ";
  expect_failure(render(eleven),
                 "PL-2061: 11 distinct entries referenced (max 10). render is not a bulk extraction tool \u2014 "
                 "split your config or split your run.");
  EXPECT_EQ(actions().size(), calls_so_far);
}

TEST_F(Render, TenTitlesPass) {
  std::string tmpl;
  std::string expected;
  for (int i = 0; i < 10; ++i) {
    SeedEntry e("t" + std::to_string(i), "credential");
    e.fields = {{"f", "v" + std::to_string(i), "password", 2}};
    vault_->add_entry(e);
    tmpl += "pellucor://t" + std::to_string(i) + "/f,";
    expected += "v" + std::to_string(i) + ",";
  }
  auto r = render(tmpl);
  ASSERT_TRUE(r.exited_with(0)) << r.err;
  EXPECT_EQ(r.out, expected);
  EXPECT_EQ(r.err, warning(10));
}

// The vault-entry cap can only be reached when one title resolves to
// different entries for different labels; the vault here answers each search
// with the next entry of a list.
TEST_F(Render, VaultEntryCapCountsEachEntryOnce) {
  std::vector<std::string> ids;
  for (int i = 0; i < 11; ++i) {
    SeedEntry e("e" + std::to_string(i), "credential");
    for (int f = 0; f < 12; ++f) e.fields.push_back(SeedField("f" + std::to_string(f), std::to_string(i)));
    ids.push_back(vault_->add_entry(e));
  }
  auto answers = std::make_shared<std::vector<std::string>>();
  vault_->on("search.query", [answers](const nlohmann::json&) {
    const std::string id = answers->front();
    answers->erase(answers->begin());
    return VaultReply::success(nlohmann::json::array({{{"entry_id", id}}}));
  });

  // Ten entries through one title, then a second title landing on the first
  // entry again: still ten.
  *answers = {ids.begin(), ids.begin() + 10};
  answers->push_back(ids[0]);
  std::string tmpl;
  for (int f = 0; f < 10; ++f) tmpl += "pellucor://x/f" + std::to_string(f) + " ";
  auto ok = render(tmpl + "pellucor://y/f10");
  ASSERT_TRUE(ok.exited_with(0)) << ok.err;
  EXPECT_EQ(ok.out, "0 1 2 3 4 5 6 7 8 9 0");
  EXPECT_EQ(ok.err, warning(11));

  // An eleventh distinct entry fails, after its fetch.
  *answers = {ids.begin(), ids.end()};
  tmpl.clear();
  for (int f = 0; f < 11; ++f) tmpl += "pellucor://x/f" + std::to_string(f) + " ";
  const std::size_t before = actions().size();
  expect_failure(render(tmpl),
                 "PL-2061: more than 10 distinct vault entries after resolution \u2014 split your config or split "
                 "your run.");
  EXPECT_EQ(actions().size() - before, 22u);
}

TEST_F(Render, ResolutionFailuresNameTheLineAndWriteNothing) {
  seed_db();
  vault_->add_entry(SeedEntry("twin", "credential"));
  vault_->add_entry(SeedEntry("Twin", "api_key"));
  vault_->add_raw_entry({{"title", "hollow"}});
  // Every failure comes after a reference that resolved: stdout stays empty
  // and no warning is printed.
  const std::string head = "user=pellucor://db/user\n# a comment\n";
  expect_failures(
      {
          {"pellucor://nobody/password", "PL-2063: line 3: pellucor://nobody/password \u2014 entry not found"},
          {"pellucor://twin/password",
           "PL-2063: line 3: pellucor://twin/password \u2014 multiple matches; be more specific"},
          {"pellucor://hollow/x", "PL-2063: line 3: vault returned no data for entry"},
          {"pellucor://db/pin", "PL-2063: line 3: pellucor://db/pin \u2014 field not found"},
          {"pellucor://db/HSM",
           "PL-2048: line 3: pellucor://db/HSM is L3 \u2014 vault never releases L3 plaintext to agents"},
      },
      head + "pass=", "\nmore=pellucor://db/password\n");
  expect_failure_that(render(head + "pass=pellucor://db/broken"),
                      StartsWith("PL-2049: line 3: decrypt failed for pellucor://db/broken: PL-00"));
}

TEST_F(Render, GateFailuresAreReturnedUnchanged) {
  seed_db();
  vault_->on("entry.get",
             [](const nlohmann::json&) { return VaultReply::failure("PL-2046", "the vault is resting"); });
  expect_failure_that(render("pellucor://db/user"), HasSubstr("the vault is resting"));
}

TEST_F(Render, ScanFailuresComeBeforeTheConfiguration) {
  fs::remove_all(home_ / ".config");
  expect_failures({
      {"a\nb\nc: pellucor:// x", "PL-2062: line 3: empty `pellucor://` reference"},
      {"pellucor://db,", "PL-2062: line 1: pellucor://db \u2014 missing /field"},
      {"x\npellucor://db/\n", "PL-2062: line 2: pellucor://db/ \u2014 empty entry or field"},
      {"\n\npellucor:///password", "PL-2062: line 3: pellucor:///password \u2014 empty entry or field"},
  });
  // A sound template needs the configuration.
  expect_failure_that(render("pellucor://db/user"), StartsWith("PL-"));
}

TEST_F(Render, ArgumentsAndInputFailures) {
  fs::remove_all(home_ / ".config");
  auto help = run({"render", "--help", "--bogus"});
  ASSERT_TRUE(help.exited_with(0));
  EXPECT_EQ(help.out, "Usage: pellucor-cli render <file>  (use - for stdin)\n");

  expect_failure(run({"render"}), "PL-2000: missing <file> (try: pellucor-cli render config.json)");
  expect_failure(run({"render", "a", "b"}), "PL-2000: unexpected: Value(\"b\")");
  expect_failure(run({"render", "-x", "a"}), "PL-2000: unexpected: Short('x')");
  expect_failure(run({"render", "a", "--json"}), "PL-2000: unexpected: Long(\"json\")");
  expect_failure(run({"render", "\xff"}), "PL-2000: file: not valid UTF-8");

  const std::string missing = (home_ / "missing.txt").string();
  expect_failure(run({"render", missing}),
                 "PL-2060: opening " + missing + ": No such file or directory (os error 2)");
  const std::string bad = write_template("ok \xc3(", "bad.txt");
  expect_failure(run({"render", bad}),
                 "PL-2060: " + bad + ": not valid UTF-8: invalid utf-8 sequence of 1 bytes from index 3");
  expect_failure(run({"render", "-"}, std::string(262145, 'a')),
                 "PL-2110: stdin exceeds 262144 bytes (refuse to buffer unbounded input)");
  auto at_cap = run({"render", "-"}, std::string(262144, 'a'));
  ASSERT_TRUE(at_cap.exited_with(0)) << at_cap.err;
  EXPECT_EQ(at_cap.out.size(), 262144u);
}

}  // namespace
}  // namespace pellucor
