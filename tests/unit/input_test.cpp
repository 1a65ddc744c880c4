#include "cli/input.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>
#include <string>
#include <thread>

#include "tests/support/pty.h"

namespace pellucor {
namespace {

namespace fs = std::filesystem;

class InputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/pellucor-input-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    saved_stdin_ = ::dup(STDIN_FILENO);
  }
  void TearDown() override {
    ::dup2(saved_stdin_, STDIN_FILENO);
    ::close(saved_stdin_);
    fs::remove_all(dir_);
  }

  std::string write_file(const std::string& name, const std::string& content) {
    const std::string path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }
  int open_file(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0);
    return fd;
  }
  // Puts `content` on standard input (through a file, so size is no concern).
  void set_stdin(const std::string& content) {
    const int fd = open_file(write_file("stdin-" + std::to_string(++stdin_count_), content));
    ::dup2(fd, STDIN_FILENO);
    ::close(fd);
  }

  fs::path dir_;
  int saved_stdin_ = -1;
  int stdin_count_ = 0;
};

std::string error_line(const CliError& e) { return format_cli_error(e); }

TEST(Utf8ErrorText, ReportsTheFirstFaultLikeTheStandardLibrary) {
  struct Case {
    std::string bytes;
    std::string expected;  // empty: valid
  };
  const Case cases[] = {
      {"plain ascii", ""},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", ""},
      {"\xff", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"ab\x80", "invalid utf-8 sequence of 1 bytes from index 2"},
      {"ab\xc0\x80", "invalid utf-8 sequence of 1 bytes from index 2"},
      {"ab\xe0\x80\x80", "invalid utf-8 sequence of 1 bytes from index 2"},
      {"\xed\xa0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"\xe2\x82x", "invalid utf-8 sequence of 2 bytes from index 0"},
      {"x\xf0\x9f\x98z", "invalid utf-8 sequence of 3 bytes from index 1"},
      {"\xf4\x90\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"ab\xe2\x82", "incomplete utf-8 byte sequence from index 2"},
      {"\xf0", "incomplete utf-8 byte sequence from index 0"},
  };
  for (const auto& c : cases) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(c.bytes.data());
    const auto got = utf8_error_text({p, c.bytes.size()});
    if (c.expected.empty()) {
      EXPECT_FALSE(got.has_value()) << *got;
    } else {
      ASSERT_TRUE(got.has_value()) << c.expected;
      EXPECT_EQ(*got, c.expected);
    }
  }
}

TEST_F(InputTest, FileAtTheCapIsReadWholeAndOneByteMoreIsRefused) {
  const std::string at_cap = write_file("at-cap", std::string(MAX_INPUT_BYTES, 'a'));
  auto ok = read_file_bounded(open_file(at_cap), at_cap);
  ASSERT_TRUE(ok.has_value()) << error_line(ok.error());
  EXPECT_EQ(ok->size(), MAX_INPUT_BYTES);

  const std::string over = write_file("over", std::string(MAX_INPUT_BYTES + 1, 'a'));
  auto refused = read_file_bounded(open_file(over), over);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(error_line(refused.error()),
            "PL-2110: " + over + " exceeds 262144 bytes (refuse to buffer unbounded input)");
}

TEST_F(InputTest, FileReaderNamesTheFileAndAlwaysClosesIt) {
  const std::string bad = write_file("bad", "abc\xff");
  const int fd = open_file(bad);
  auto r = read_file_bounded(fd, "template.txt");
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(error_line(r.error()),
            "PL-2000: template.txt: not valid UTF-8: invalid utf-8 sequence of 1 bytes from index 3");
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1);

  const int dir_fd = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY);
  auto d = read_file_bounded(dir_fd, "folder");
  ASSERT_FALSE(d.has_value());
  EXPECT_EQ(error_line(d.error()), "PL-2111: reading folder: Is a directory (os error 21)");
  EXPECT_EQ(::fcntl(dir_fd, F_GETFD), -1);
}

TEST_F(InputTest, TextSourceCutsTrailingLineEndsFromFilesAndStdinAlike) {
  const std::string path = write_file("secret", "s3cr3t\r\n\n");
  auto from_file = read_text_source(path);
  ASSERT_TRUE(from_file.has_value());
  EXPECT_EQ(from_file->view(), "s3cr3t");

  set_stdin("s3cr3t\r\n\n");
  auto from_stdin = read_text_source("-");
  ASSERT_TRUE(from_stdin.has_value());
  EXPECT_EQ(from_stdin->view(), "s3cr3t");

  // The whole-stdin reader itself hands back the input untouched.
  set_stdin("s3cr3t\r\n\n");
  auto raw = read_stdin_bounded();
  ASSERT_TRUE(raw.has_value());
  EXPECT_EQ(raw->view(), "s3cr3t\r\n\n");
}

TEST_F(InputTest, TextSourceReportsAFileThatCannotBeOpened) {
  const std::string missing = (dir_ / "missing").string();
  auto r = read_text_source(missing);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(error_line(r.error()),
            "PL-2111: opening " + missing + ": No such file or directory (os error 2)");
}

TEST_F(InputTest, StdinOverTheCapIsRefusedAsStdin) {
  set_stdin(std::string(MAX_INPUT_BYTES + 1, 'x'));
  auto r = read_stdin_bounded();
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(error_line(r.error()),
            "PL-2110: stdin exceeds 262144 bytes (refuse to buffer unbounded input)");

  set_stdin("");
  auto empty = read_stdin_bounded();
  ASSERT_TRUE(empty.has_value());
  EXPECT_TRUE(empty->empty());
}

TEST_F(InputTest, LinesAreReadOneAtATimeLeavingTheRestUnread) {
  set_stdin("BLOB\r\nKEY\nrest of input\n");
  auto blob = read_stdin_line("enrollment blob");
  auto key = read_stdin_line("enrollment key");
  ASSERT_TRUE(blob.has_value());
  ASSERT_TRUE(key.has_value());
  EXPECT_EQ(blob->view(), "BLOB\r");
  EXPECT_EQ(key->view(), "KEY");
  auto rest = read_stdin_bounded();
  ASSERT_TRUE(rest.has_value());
  EXPECT_EQ(rest->view(), "rest of input\n");

  auto at_end = read_stdin_line("enrollment key");
  ASSERT_TRUE(at_end.has_value());
  EXPECT_TRUE(at_end->empty());
}

TEST_F(InputTest, LineLengthCapCountsBytesBeforeTheLineFeed) {
  set_stdin(std::string(MAX_LINE_BYTES, 'b') + "\n");
  auto with_newline = read_stdin_line("enrollment blob");
  ASSERT_TRUE(with_newline.has_value());
  EXPECT_EQ(with_newline->size(), MAX_LINE_BYTES);

  set_stdin(std::string(MAX_LINE_BYTES, 'b'));
  auto at_eof = read_stdin_line("enrollment blob");
  ASSERT_TRUE(at_eof.has_value());
  EXPECT_EQ(at_eof->size(), MAX_LINE_BYTES);

  set_stdin(std::string(MAX_LINE_BYTES + 1, 'b') + "\n");
  auto over = read_stdin_line("enrollment blob");
  ASSERT_FALSE(over.has_value());
  EXPECT_EQ(error_line(over.error()), "PL-2006: enrollment blob exceeds 65536 bytes");

  set_stdin("k\xc3\n");
  auto bad = read_stdin_line("enrollment key");
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(error_line(bad.error()),
            "PL-2006: enrollment key: not valid UTF-8: incomplete utf-8 byte sequence from index 1");
}

TEST(OptionValueString, TakesUtf8ValuesAndNamesTheOptionOtherwise) {
  ArgParser ok({"--field", "caf\xc3\xa9"});
  ASSERT_TRUE(ok.next_arg().has_value());
  auto value = option_value_string(ok, "--field");
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(*value, "caf\xc3\xa9");

  ArgParser bad({"--field=ab\xff"});
  ASSERT_TRUE(bad.next_arg().has_value());
  auto refused = option_value_string(bad, "--field");
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(error_line(refused.error()), "PL-2000: --field: not valid UTF-8");

  ArgParser missing({"--field"});
  ASSERT_TRUE(missing.next_arg().has_value());
  auto none = option_value_string_twin(missing, "--field");
  ASSERT_FALSE(none.has_value());
  EXPECT_EQ(error_line(none.error()), "PL-2000: missing argument for option '--field'");
}

TEST(NodeKeyOption, ReturnsTheTrimmedKeyOrNamesTheOption) {
  std::string key = "04";
  while (key.size() < 2498) key += "ab";
  auto ok = parse_node_key_option("--pop-pub", "  " + key + "\n");
  ASSERT_TRUE(ok.has_value());
  EXPECT_EQ(*ok, key);

  auto retired = parse_node_key_option("--pop-pub", std::string(64, 'a'));
  ASSERT_FALSE(retired.has_value());
  EXPECT_EQ(error_line(retired.error()),
            "PL-2000: --pop-pub: a retired X25519 key (64 hex); this build needs a P-256 + ML-KEM key");
  auto upper = parse_node_key_option("--replica-pub", "04" + std::string(2496, 'A'));
  ASSERT_FALSE(upper.has_value());
  EXPECT_EQ(error_line(upper.error()),
            "PL-2000: --replica-pub: not a Pellucor channel key (lowercase hex of the right length)");
}

// A pseudo-terminal as standard input. It is not the test's controlling
// terminal, so no job control comes into play.
class HiddenInputTest : public InputTest {
 protected:
  void SetUp() override {
    InputTest::SetUp();
    if (tty_.master() < 0) GTEST_SKIP() << "no pseudo-terminal";
    slave_ = ::open(tty_.slave_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(slave_, 0);
    ::dup2(slave_, STDIN_FILENO);
  }
  void TearDown() override {
    if (slave_ >= 0) ::close(slave_);
    InputTest::TearDown();
  }

  termios modes() const {
    termios t{};
    EXPECT_EQ(::tcgetattr(slave_, &t), 0);
    return t;
  }

  test::PseudoTerminal tty_;
  int slave_ = -1;
};

bool same_modes(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

TEST_F(HiddenInputTest, TerminalIsGivenBackExactlyAsItWasOnEveryWayOut) {
  struct Case {
    const char* name;
    TerminalInputMode mode;
    bool echo_before;
    bool throws;
  };
  const Case cases[] = {
      {"returns", TerminalInputMode::Hidden, true, false},
      {"throws", TerminalInputMode::Hidden, true, true},
      {"echo was off already", TerminalInputMode::Hidden, false, false},
      {"whole line, returns", TerminalInputMode::WholeLine, true, false},
      {"whole line, throws", TerminalInputMode::WholeLine, true, true},
      {"whole line, echo off", TerminalInputMode::WholeLine, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    termios before = modes();
    // Modes of the user's own besides echo, which must survive as well.
    before.c_lflag &= ~static_cast<tcflag_t>(ECHOCTL);
    before.c_cc[VERASE] = 0x08;
    if (c.echo_before) {
      before.c_lflag |= ECHO;
    } else {
      before.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    }
    ASSERT_EQ(::tcsetattr(slave_, TCSANOW, &before), 0);
    try {
      const TerminalInput changed(c.mode, "");
      EXPECT_TRUE(changed);
      const termios now = modes();
      if (c.mode == TerminalInputMode::Hidden) {
        EXPECT_FALSE(test::echo_is_on(tty_.master()));
      } else {
        // Canonical mode off; echo and everything else as the user had it.
        EXPECT_EQ(now.c_lflag & ICANON, 0u);
        EXPECT_EQ(now.c_lflag | ICANON, before.c_lflag | ICANON);
        EXPECT_EQ(now.c_iflag, before.c_iflag);
        EXPECT_EQ(now.c_cc[VMIN], 1);
      }
      if (c.throws) throw std::bad_alloc();
    } catch (const std::bad_alloc&) {
    }
    EXPECT_TRUE(same_modes(modes(), before)) << "lflag " << std::hex << modes().c_lflag << " not "
                                             << before.c_lflag;
  }
}

TEST_F(HiddenInputTest, EarlierHandlersComeBackAndIgnoredSignalsStayIgnored) {
  static void (*const kEarlier)(int) = [](int) {};
  const int handled[] = {SIGINT, SIGTERM, SIGQUIT, SIGTSTP, SIGTTIN, SIGTTOU, SIGCONT};
  for (int sig : handled) ::signal(sig, kEarlier);
  ::signal(SIGHUP, SIG_IGN);  // as under nohup
  const auto handler_of = [](int sig) {
    struct sigaction now {};
    ::sigaction(sig, nullptr, &now);
    return now.sa_handler;
  };
  {
    const HiddenTerminalInput hidden("");
    EXPECT_TRUE(hidden);
    EXPECT_EQ(handler_of(SIGHUP), SIG_IGN);
  }
  for (int sig : handled) EXPECT_EQ(handler_of(sig), kEarlier) << sigabbrev_np(sig);
  EXPECT_EQ(handler_of(SIGHUP), SIG_IGN);
  for (int sig : handled) ::signal(sig, SIG_DFL);
  ::signal(SIGHUP, SIG_DFL);
}

// Writes `text` to the terminal once canonical mode is off, as a paste that
// follows the prompt does.
std::thread paste_when_whole_line(int master, std::string text) {
  return std::thread([master, text = std::move(text)] {
    for (int i = 0; i < 5000; ++i) {
      termios t{};
      if (::tcgetattr(master, &t) == 0 && (t.c_lflag & ICANON) == 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    for (std::size_t done = 0; done < text.size();) {
      const ssize_t n = ::write(master, text.data() + done, text.size() - done);
      if (n <= 0) return;
      done += static_cast<std::size_t>(n);
    }
  });
}

TEST_F(HiddenInputTest, WholeLineReadTakesLongLinesAndEndsAtEitherLineEnd) {
  const std::string long_line(20000, 'b');
  struct Case {
    const char* name;
    std::string pasted;
    std::string line;  // what is read; the rest stays for the next reader
    std::string rest;
  } cases[] = {
      {"longer than the terminal's line", long_line + "\n", long_line, ""},
      {"carriage return", "blob\rnext\n", "blob", "next"},
      {"end-of-input character", "blob\x04next\n", "blob", "next"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    termios user = modes();
    user.c_iflag &= ~static_cast<tcflag_t>(ICRNL);  // so a CR comes through as it is
    user.c_lflag &= ~static_cast<tcflag_t>(ECHO);   // nothing to drain on the master
    ASSERT_EQ(::tcsetattr(slave_, TCSANOW, &user), 0);
    std::thread paste = paste_when_whole_line(tty_.master(), c.pasted);
    auto line = read_terminal_line("", "enrollment blob");
    paste.join();
    ASSERT_TRUE(line.has_value());
    ASSERT_TRUE(line->has_value()) << format_cli_error(line->error());
    EXPECT_EQ(std::string_view(**line), c.line);
    EXPECT_TRUE(same_modes(modes(), user));
    if (!c.rest.empty()) {
      auto rest = read_stdin_line("enrollment key");
      ASSERT_TRUE(rest.has_value());
      EXPECT_EQ(std::string_view(*rest), c.rest);
    }
  }
}

TEST_F(HiddenInputTest, WholeLineReadRefusesALineOverTheCap) {
  termios user = modes();
  user.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  ASSERT_EQ(::tcsetattr(slave_, TCSANOW, &user), 0);
  std::thread paste = paste_when_whole_line(tty_.master(), std::string(MAX_LINE_BYTES + 1, 'b') + "\n");
  auto line = read_terminal_line("", "enrollment blob");
  paste.join();
  ASSERT_TRUE(line.has_value());
  ASSERT_FALSE(line->has_value());
  EXPECT_EQ(error_line(line->error()), "PL-2006: enrollment blob exceeds 65536 bytes");
  EXPECT_TRUE(same_modes(modes(), user));
}

// Off a terminal nothing can be hidden: nothing is read, so the caller can
// warn and read the line itself.
TEST_F(InputTest, HiddenReadOffATerminalLeavesTheLineUnread) {
  set_stdin("the key\n");
  EXPECT_FALSE(read_stdin_line_without_echo("", "enrollment key").has_value());
  EXPECT_FALSE(read_terminal_line("", "enrollment key").has_value());
  auto line = read_stdin_line("enrollment key");
  ASSERT_TRUE(line.has_value());
  EXPECT_EQ(std::string_view(*line), "the key");
}

}  // namespace
}  // namespace pellucor
