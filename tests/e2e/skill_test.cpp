// The skill command through the real binary, with a temporary HOME.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/support/process.h"

namespace pellucor::test {
namespace {

namespace fs = std::filesystem;

std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

const std::string& document() {
  static const std::string doc = read_file(fs::path(PELLUCOR_SOURCE_DIR) / "assets" / "skill.md");
  return doc;
}

class SkillTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/pellucor-skill-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    home_ = tmpl;
  }
  void TearDown() override { fs::remove_all(home_); }

  RunOptions skill_options(std::vector<std::string> args, std::string stdin_data = {},
                           StdoutMode mode = StdoutMode::Pipe) const {
    args.insert(args.begin(), "skill");
    RunOptions o = cli_options(std::move(args));
    o.env["HOME"] = home_.string();
    o.env["NO_COLOR"] = "1";
    o.stdin_data = std::move(stdin_data);
    o.stdout_mode = mode;
    return o;
  }
  RunResult skill(std::vector<std::string> args, std::string stdin_data = {},
                  StdoutMode mode = StdoutMode::Pipe) {
    return run_process(skill_options(std::move(args), std::move(stdin_data), mode));
  }
  fs::path installed(std::string_view host) const {
    return home_ / host / "skills" / "pellucor" / "SKILL.md";
  }
  fs::path home_;
};

TEST_F(SkillTest, PrintsTheDocumentByteForByte) {
  ASSERT_FALSE(document().empty());
  EXPECT_TRUE(document().starts_with(
      "---\nname: pellucor\ndescription: Access credentials, TOTP codes, and secrets stored in a "
      "Pellucor vault via pellucor-cli\n---\n\n"));
  for (auto args : {std::vector<std::string>{}, {"print"}, {"--yes", "print"}, {"print", "--yes"}}) {
    RunResult r = skill(args);
    EXPECT_TRUE(r.exited_with(0)) << r.err;
    EXPECT_EQ(r.out, document());
    EXPECT_EQ(r.err, "");
  }
}

TEST_F(SkillTest, ArgumentErrors) {
  struct Case {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"list"}, "PL-2000: unknown skill subcommand 'list' (use: print, install)\n"},
      {{"print", "extra"}, "PL-2000: unexpected: Value(\"extra\")\n"},
      {{"-y"}, "PL-2000: unexpected: Short('y')\n"},
      {{"--force"}, "PL-2000: unexpected: Long(\"force\")\n"},
      {{"--yes=1"}, "PL-2000: unexpected argument for option '--yes': \"1\"\n"},
      {{"\xff"}, "PL-2000: skill arg: not valid UTF-8\n"},
  };
  for (const Case& c : cases) {
    RunResult r = skill(c.args);
    EXPECT_TRUE(r.exited_with(1));
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
  }
  RunResult help = skill({"--help", "bogus"});
  EXPECT_TRUE(help.exited_with(0));
  EXPECT_EQ(help.out,
            "Usage: pellucor-cli skill {print|install} [--yes]\n"
            "  --yes  non-interactive install to all detected environments\n");
}

TEST_F(SkillTest, InstallWithNoHostFolders) {
  RunResult r = skill({"install", "--yes"});
  EXPECT_TRUE(r.exited_with(0));
  EXPECT_EQ(r.err, "No supported AI environments found under " + home_.string() +
                       ".\nInstall manually with:\n  pellucor-cli skill print > <your-skills-dir>/pellucor.md\n");
}

TEST_F(SkillTest, InstallYesIntoOneAndBothHosts) {
  fs::create_directory(home_ / ".openclaw");
  RunResult one = skill({"install", "--yes"});
  EXPECT_TRUE(one.exited_with(0)) << one.err;
  EXPECT_EQ(one.err, "  installed: " + installed(".openclaw").string() + "\n");
  EXPECT_EQ(read_file(installed(".openclaw")), document());
  EXPECT_FALSE(fs::exists(home_ / ".claude"));

  fs::create_directory(home_ / ".claude");
  { std::ofstream(installed(".openclaw")) << std::string(20000, 'x'); }  // a longer old file is truncated
  RunResult both = skill({"--yes", "install"});
  EXPECT_TRUE(both.exited_with(0)) << both.err;
  EXPECT_EQ(both.err, "  installed: " + installed(".claude").string() + "\n  installed: " +
                          installed(".openclaw").string() + "\n");
  EXPECT_EQ(read_file(installed(".claude")), document());
  EXPECT_EQ(read_file(installed(".openclaw")), document());
}

// The folders the install makes are private whatever the umask; the host's
// own folder keeps its mode.
TEST_F(SkillTest, InstallMakesPrivateFoldersUnderAnOpenUmask) {
  fs::create_directory(home_ / ".claude");
  ::chmod((home_ / ".claude").c_str(), 0755);
  const mode_t old_mask = ::umask(0);
  RunResult r = skill({"install", "--yes"});
  ::umask(old_mask);
  ASSERT_TRUE(r.exited_with(0)) << r.err;
  auto mode_of = [](const fs::path& p) {
    struct stat st {};
    EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
    return st.st_mode & 07777;
  };
  EXPECT_EQ(mode_of(home_ / ".claude" / "skills"), 0700u);
  EXPECT_EQ(mode_of(home_ / ".claude" / "skills" / "pellucor"), 0700u);
  EXPECT_EQ(mode_of(home_ / ".claude"), 0755u);
  EXPECT_EQ(read_file(installed(".claude")), document());
}

// Under a umask that takes the owner's read bit (0477) each folder comes out
// 0300; its mode used to be set through a descriptor opened for reading,
// which such a folder refuses to anyone without root's override, and the
// install failed with "Permission denied". A deep but legal HOME installs
// the same way.
TEST_F(SkillTest, InstallsUnderAnOwnerUnreadableUmaskAtAnyLegalDepth) {
  {
    // The launcher really takes root's override away: a file of mode 0 stays shut.
    const fs::path shut = home_ / "shut";
    { std::ofstream(shut) << "x"; }
    ::chmod(shut.c_str(), 0);
    RunOptions cat;
    cat.program = "cat";
    cat.args = {shut.string()};
    const RunResult r = run_process(without_dac_override(cat));
    EXPECT_TRUE(r.exited_with(1)) << "status " << r.exit_code << ": " << r.err;
    fs::remove(shut);
  }
  fs::path deep = home_;
  for (int i = 0; i < 100; ++i) deep /= std::string(30, 'd');
  for (const fs::path& home : {home_, deep}) {
    SCOPED_TRACE(home.string().substr(0, 60));
    fs::create_directories(home / ".claude");
    fs::create_directory(home / ".openclaw");
    RunOptions o = skill_options({"install", "--yes"});
    o.env["HOME"] = home.string();
    const mode_t old_mask = ::umask(0477);
    const RunResult r = run_process(without_dac_override(o));
    ::umask(old_mask);
    ASSERT_TRUE(r.exited_with(0)) << "status " << r.exit_code << ": " << r.err;
    for (const char* host : {".claude", ".openclaw"}) {
      for (const fs::path& made : {home / host / "skills", home / host / "skills" / "pellucor"}) {
        struct stat st {};
        ASSERT_EQ(::stat(made.c_str(), &st), 0) << made;
        EXPECT_EQ(st.st_mode & 07777, 0700u) << made;
      }
      const fs::path file = home / host / "skills" / "pellucor" / "SKILL.md";
      ::chmod(file.c_str(), 0600);  // the umask left the owner write only
      EXPECT_EQ(read_file(file), document()) << host;
    }
  }
}

// Past the system's path limit the folders used to be made and the file then
// refused ("File name too long"), leaving them behind: the path is refused
// with one line before any folder is made.
TEST_F(SkillTest, APathBeyondTheSystemLimitIsRefusedBeforeAnyFolderIsMade) {
  const std::size_t limit = static_cast<std::size_t>(::pathconf("/", _PC_PATH_MAX)) - 1;
  // HOME/.claude fits; HOME/.claude/skills/pellucor/SKILL.md does not.
  fs::path home = home_;
  while (home.string().size() + 201 < limit - 8) home /= std::string(200, 'h');
  home /= std::string(limit - 8 - home.string().size() - 1, 'h');
  fs::create_directories(home / ".claude");
  RunOptions o = skill_options({"install", "--yes"});
  o.env["HOME"] = home.string();
  const RunResult r = run_process(o);
  EXPECT_TRUE(r.exited_with(1)) << r.err;
  const std::size_t file = (home / ".claude/skills/pellucor/SKILL.md").string().size();
  EXPECT_GT(file, limit);
  EXPECT_EQ(r.err, "PL-2100: skill file path is " + std::to_string(file) + " bytes, more than the " +
                       std::to_string(limit) + " the system allows for it\n");
  EXPECT_TRUE(fs::is_empty(home / ".claude"));
}

// Past a file-size limit the install used to die by SIGXFSZ and leave part
// of the document in place: now it fails with one line and no skill file.
TEST_F(SkillTest, AFileSizeLimitLeavesNoPartialDocument) {
  if (!prlimit_available()) GTEST_SKIP() << "needs " << kPrlimitPath;
  fs::create_directory(home_ / ".claude");
  // The document is a few KiB.
  RunResult r = run_process(under_prlimit(skill_options({"install", "--yes"}), {"--fsize=1024"}));
  EXPECT_TRUE(r.exited_with(1)) << "signal " << r.term_signal << ": " << r.err;
  EXPECT_EQ(r.err, "PL-2100: writing " + installed(".claude").string() + ": File too large (os error 27)\n");
  EXPECT_FALSE(fs::exists(installed(".claude")));
}

TEST_F(SkillTest, InstallWithoutYesNeedsATerminal) {
  fs::create_directory(home_ / ".claude");
  RunResult r = skill({"install"}, "a\n");
  EXPECT_TRUE(r.exited_with(1));
  EXPECT_EQ(r.err,
            "PL-2000: skill install is interactive by default; pass --yes to install to all detected "
            "environments non-interactively\n");
  EXPECT_FALSE(fs::exists(home_ / ".claude" / "skills"));
}

TEST_F(SkillTest, SymlinkedInstallFolderIsRefusedAndEarlierHostsStay) {
  fs::create_directory(home_ / ".claude");
  fs::create_directories(home_ / ".openclaw" / "skills");
  fs::create_directory(home_ / "elsewhere");
  fs::create_directory_symlink(home_ / "elsewhere", home_ / ".openclaw" / "skills" / "pellucor");
  RunResult r = skill({"install", "--yes"});
  EXPECT_TRUE(r.exited_with(1));
  EXPECT_EQ(r.err, "  installed: " + installed(".claude").string() +
                       "\nPL-2100: refusing path that is a symlink: " +
                       (home_ / ".openclaw" / "skills" / "pellucor").string() + "\n");
  EXPECT_EQ(read_file(installed(".claude")), document());
  EXPECT_TRUE(fs::is_empty(home_ / "elsewhere"));
}

TEST_F(SkillTest, SymlinkedSkillFileIsRefused) {
  fs::create_directories(home_ / ".claude" / "skills" / "pellucor");
  { std::ofstream(home_ / "target") << "keep"; }
  fs::create_symlink(home_ / "target", installed(".claude"));
  RunResult r = skill({"install", "--yes"});
  EXPECT_TRUE(r.exited_with(1));
  EXPECT_EQ(r.err, "PL-2100: refusing path that is a symlink: " + installed(".claude").string() + "\n");
  EXPECT_EQ(read_file(home_ / "target"), "keep");
}

// A FIFO at the skill file's path must neither stall the install (no reader:
// the open would wait for one) nor take the document (a reader waiting).
TEST_F(SkillTest, FifoAtTheSkillFileIsRefused) {
  fs::create_directories(home_ / ".claude" / "skills" / "pellucor");
  const fs::path fifo = installed(".claude");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const bool reader_waiting : {false, true}) {
    const int reader = reader_waiting ? ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK) : -1;
    RunResult r = skill({"install", "--yes"});
    EXPECT_FALSE(r.timed_out) << "reader waiting: " << reader_waiting;
    EXPECT_TRUE(r.exited_with(1)) << r.err;
    EXPECT_EQ(r.err, "PL-2100: refusing path that is not a regular file: " + fifo.string() + "\n");
    if (reader >= 0) {
      char c;
      EXPECT_EQ(::read(reader, &c, 1), 0) << "the document went into the FIFO";
      ::close(reader);
    }
    EXPECT_TRUE(fs::is_fifo(fifo));
  }
}

// The menu needs stdin on a terminal; `script` gives the child one and feeds
// our answer to it.
TEST_F(SkillTest, MenuAnswers) {
  if (::access("/usr/bin/script", X_OK) != 0) GTEST_SKIP() << "needs /usr/bin/script for a terminal";
  fs::create_directory(home_ / ".claude");
  fs::create_directory(home_ / ".openclaw");
  struct Case {
    std::string answer;
    bool claude, openclaw;
    std::string tail;
  } cases[] = {
      {"S", false, false, "Skipped. Run 'pellucor-cli skill install' later."},
      {"", false, false, "Skipped. Run 'pellucor-cli skill install' later."},
      {"0", false, false, "Invalid selection."},
      {"3", false, false, "Invalid selection."},
      {"-1", false, false, "Invalid selection."},
      {"x", false, false, "Invalid selection."},
      {" +2 ", false, true, "installed: " + installed(".openclaw").string()},
      {"A", true, true, "installed: " + installed(".openclaw").string()},
  };
  for (const Case& c : cases) {
    fs::remove_all(home_ / ".claude" / "skills");
    fs::remove_all(home_ / ".openclaw" / "skills");
    RunOptions o;
    o.program = "/usr/bin/script";
    std::string cmd = std::string("'") + PELLUCOR_CLI_PATH + "' skill install";
    o.args = {"-qec", cmd, "/dev/null"};
    o.env["HOME"] = home_.string();
    o.env["NO_COLOR"] = "1";
    o.stdin_data = c.answer + "\n";
    RunResult r = run_process(o);
    EXPECT_TRUE(r.exited_with(0)) << c.answer << ": " << r.out << r.err;
    EXPECT_NE(r.out.find("Detected AI environments:\r\n  [1] Claude Code\r\n  [2] OpenClaw\r\n  [a] All\r\n"
                         "  [s] Skip\r\nInstall skill to: "),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find(c.tail), std::string::npos) << c.answer << ": " << r.out;
    EXPECT_EQ(fs::exists(installed(".claude")), c.claude) << c.answer;
    EXPECT_EQ(fs::exists(installed(".openclaw")), c.openclaw) << c.answer;
  }
}

}  // namespace
}  // namespace pellucor::test
