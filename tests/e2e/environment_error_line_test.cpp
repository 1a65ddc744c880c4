// Paths built from HOME or XDG_CONFIG_HOME inside an error message or a
// notice: a folder name may hold a line feed, and what follows it must not
// become a line of its own (a forged "PL-…" line). Messages built with
// several lines keep them; only the path in them is made one line.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/enrolment.h"
#include "tests/support/process.h"

namespace pellucor {
namespace {

namespace fs = std::filesystem;

// A line feed, then what a forged error line would say.
const std::string kForged = "\nPL-0000: forged";
// The same text once it is kept to its line.
const std::string kFlat = " PL-0000: forged";

const std::string kNotEnrolledTail =
    "/pellucor/config.\n  This agent needs enrollment first. Ask a vault admin for\n"
    "  an enrollment blob, then run: pellucor-cli init\n"
    "  (Do not attempt to fix this yourself \u2014 a human must provide the blob and key.)\n";

void write_file(const fs::path& p, const std::string& content, mode_t mode) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << content;
  ASSERT_EQ(::chmod(p.c_str(), mode), 0);
}

class EnvironmentErrorLine : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/pellucor-envline-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    base_ = tmpl;
  }
  void TearDown() override { fs::remove_all(base_); }

  fs::path base_;
};

TEST_F(EnvironmentErrorLine, PathsFromTheEnvironmentStayOnTheirLine) {
  const fs::path home = base_ / ("h" + kForged);
  const fs::path xdg = base_ / ("x" + kForged);
  const std::string flat_home = base_.string() + "/h" + kFlat;
  const std::string flat_xdg = base_.string() + "/x" + kFlat;
  const fs::path config = home / ".config" / "pellucor" / "config";
  const std::string flat_config = flat_home + "/.config/pellucor/config";
  const testing::Enrolment enrolment =
      testing::mint_enrolment(testing::make_agent("vault.example.test", testing::placeholder_channel_key_text()));

  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::function<void()> setup;
    int status;
    std::string err;  // the whole of stderr
    bool use_xdg = false;
    std::string stdin_data = {};
  };
  const Case cases[] = {
      {"not enrolled", {"get", "x"}, [] {}, 1,
       "PL-2003: Not initialized. Config file not found at " + flat_home + "/.config" + kNotEnrolledTail},
      {"not enrolled, XDG_CONFIG_HOME", {"get", "x"}, [] {}, 1,
       "PL-2003: Not initialized. Config file not found at " + flat_xdg + kNotEnrolledTail, true},
      {"config mode refused", {"get", "x"}, [&] { write_file(config, "x", 0644); }, 1,
       "PL-2003: config " + flat_config + " has mode 0644 \u2014 must be 0600 (group/other access refused)\n"},
      {"config a symlink", {"repin"},
       [&] {
         fs::create_directories(config.parent_path());
         fs::create_symlink("elsewhere", config);
       },
       1, "PL-2003: config path component " + flat_config + " is a symlink \u2014 refuse to follow it\n"},
      {"init over a config", {"init"}, [&] { write_file(config, "x", 0600); }, 1,
       "PL-2002: config already exists at " + flat_config +
           " \u2014 refuse to overwrite (delete it explicitly to re-enroll)\n",
       false, enrolment.blob + "\n" + enrolment.key + "\n"},
      {"skill install, no environment", {"skill", "install", "--yes"}, [] {}, 0,
       "No supported AI environments found under " + flat_home +
           ".\nInstall manually with:\n  pellucor-cli skill print > <your-skills-dir>/pellucor.md\n"},
      {"skill install refused", {"skill", "install", "--yes"},
       [&] {
         fs::create_directories(home / ".claude" / "skills");
         fs::create_symlink("elsewhere", home / ".claude" / "skills" / "pellucor");
       },
       1, "PL-2100: refusing path that is a symlink: " + flat_home + "/.claude/skills/pellucor\n"},
      {"skill installed", {"skill", "install", "--yes"}, [&] { fs::create_directories(home / ".claude"); }, 0,
       "  installed: " + flat_home + "/.claude/skills/pellucor/SKILL.md\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(home);
    fs::remove_all(xdg);
    fs::create_directories(home);
    fs::create_directories(xdg);
    c.setup();
    test::RunOptions o = test::cli_options(c.args);
    o.env["HOME"] = home.string();
    o.env["XDG_CONFIG_HOME"] = c.use_xdg ? std::optional<std::string>(xdg.string()) : std::nullopt;
    o.env["NO_COLOR"] = "1";
    o.stdin_data = c.stdin_data;
    const test::RunResult r = test::run_process(o);
    EXPECT_TRUE(r.exited_with(c.status)) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.err);
    std::istringstream lines(r.err);
    for (std::string line; std::getline(lines, line);) EXPECT_FALSE(line.starts_with("PL-0000")) << line;
  }
}

}  // namespace
}  // namespace pellucor
