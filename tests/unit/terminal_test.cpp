#include "cli/terminal.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <functional>
#include <optional>
#include <string>

#include "cli/utf8.h"
#include "gate/json.h"
#include "gate/vault_text.h"

namespace pellucor {
namespace {

TEST(SafeTerminalChar, Rule) {
  for (char32_t c : {U'\t', U'\n', U' ', U'a', U'~', U'\u00a0', U'\u00e9', U'\u200b', U'\u200d',
                     U'\u2029', U'\u2065', U'\u206a', U'\u2713', U'\U0001F600'}) {
    EXPECT_TRUE(is_safe_terminal_char(c)) << static_cast<unsigned>(c);
  }
  for (char32_t c : {U'\0', U'\r', U'\x1b', U'\x1f', U'\x7f', U'\x80', U'\x9b', U'\x9f', U'\u202a',
                     U'\u202e', U'\u2066', U'\u2069'}) {
    EXPECT_FALSE(is_safe_terminal_char(c)) << static_cast<unsigned>(c);
  }
}

// The error-message filters remove what the terminal filter removes, and the
// line breaks: one definition of what is unsafe, for every filter.
TEST(SafeTerminalChar, ErrorMessageFiltersFollowTheRule) {
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    std::string text = "a";
    append_utf8(text, c);
    text += 'b';
    const bool line_break = c == '\t' || c == '\n' || c == '\r';
    const bool kept = !line_break && is_safe_terminal_char(c);
    ASSERT_EQ(strip_control_chars(text), kept ? text : "ab") << "U+" << std::hex << static_cast<unsigned>(c);
    ASSERT_EQ(single_line_text(text), line_break ? "a b" : kept ? text : "ab")
        << "U+" << std::hex << static_cast<unsigned>(c);
  }
}

TEST(SanitizeForTerminal, KeepsCleanTextWithoutCopying) {
  const std::string clean = "title\twith tab\nand \u2713 \u2014 marks";
  const SanitizedText s = sanitize_for_terminal(clean);
  EXPECT_FALSE(s.was_copied());
  EXPECT_EQ(s.view().data(), clean.data());
  EXPECT_EQ(s.view(), clean);
}

TEST(SanitizeForTerminal, DropsUnsafeCharacters) {
  struct Case {
    std::string in, out;
  };
  const Case cases[] = {
      {"\x1b[31mred\x1b[0m", "[31mred[0m"},
      {"over\rwrite", "overwrite"},
      {"bidi \xe2\x80\xae" "evil\xe2\x81\xa9!", "bidi evil!"},
      {"c1 \xc2\x9b" "2J", "c1 2J"},
      {"bell\a del\x7f", "bell del"},
      {"raw byte \x9b" "2J", "raw byte 2J"},
      {"cut \xe2\x82", "cut "},
      {"keep\ttab\nline\r\n", "keep\ttab\nline\n"},
  };
  for (const Case& c : cases) {
    const SanitizedText s = sanitize_for_terminal(c.in);
    EXPECT_TRUE(s.was_copied()) << c.in;
    EXPECT_EQ(s.view(), c.out);
  }
}

// JSON printed with --json is written raw, so its writer must leave nothing
// in it for the filter to remove: every character the filter drops comes out
// as an escape, and the value reads back the same.
TEST(SanitizeForTerminal, PrintedJsonNeedsNoFiltering) {
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    std::string text;
    append_utf8(text, c);
    const std::string printed = json::to_pretty(json::Value(text));
    const SanitizedText filtered = sanitize_for_terminal(printed);
    ASSERT_FALSE(filtered.was_copied()) << "U+" << std::hex << static_cast<unsigned>(c);
    if (!is_safe_terminal_char(c)) {
      ASSERT_EQ(json::parse(printed), json::Value(text)) << static_cast<unsigned>(c);
    }
  }
}

TEST(SanitizeOneLine, LineBreaksBecomeBlanks) {
  const std::string clean = "title\twith tab and \u2713 marks";
  const SanitizedText kept = sanitize_one_line(clean);
  EXPECT_FALSE(kept.was_copied());
  EXPECT_EQ(kept.view().data(), clean.data());

  struct Case {
    std::string in, out;
  };
  const Case cases[] = {
      {"123456\nPL-2047: forged", "123456 PL-2047: forged"},
      {"a\r\nb\n", "a  b "},
      {"\x1b[2Jx\xe2\x80\xae\ty\x7f", "[2Jx\ty"},
      {"\n", " "},
  };
  for (const Case& c : cases) {
    const SanitizedText s = sanitize_one_line(c.in);
    EXPECT_TRUE(s.was_copied()) << c.in;
    EXPECT_EQ(s.view(), c.out);
  }
}

TEST(SanitizeInline, OneLineAndBounded) {
  EXPECT_EQ(sanitize_inline("ab\tc\nd", 3), "abc");
  const std::string title(300, 't');
  EXPECT_EQ(sanitize_inline(title, 200), std::string(200, 't'));
  // Characters count, not bytes; dropped ones do not count.
  EXPECT_EQ(sanitize_inline("\xe2\x9c\x93\x1b\xe2\x9c\x93\r\xe2\x9c\x93", 2), "\xe2\x9c\x93\xe2\x9c\x93");
  EXPECT_EQ(sanitize_inline("\xe2\x80\xae\xe2\x80\xae" "x", 1), "x");
  EXPECT_EQ(sanitize_inline("short", 12), "short");
  EXPECT_EQ(sanitize_inline("", 30), "");
}

// Captures what `print` writes to `fd`, with stdout either a file or a
// pseudo-terminal (which turns colour on), and NO_COLOR as given.
class PrinterTest : public testing::Test {
 protected:
  void SetUp() override {
    const char* saved = std::getenv("NO_COLOR");
    if (saved != nullptr) saved_no_color_ = saved;
  }
  void TearDown() override {
    if (saved_no_color_) {
      setenv("NO_COLOR", saved_no_color_->c_str(), 1);
    } else {
      unsetenv("NO_COLOR");
    }
  }

  // Returns {stdout bytes, stderr bytes}.
  std::pair<std::string, std::string> capture(bool terminal, const std::function<void()>& print) {
    std::fflush(stdout);
    const int saved_out = dup(1), saved_err = dup(2);
    int master = -1;
    char out_path[] = "/tmp/pellucor-term-out-XXXXXX";
    char err_path[] = "/tmp/pellucor-term-err-XXXXXX";
    const int out_file = mkstemp(out_path);
    const int err_file = mkstemp(err_path);
    if (terminal) {
      master = posix_openpt(O_RDWR | O_NOCTTY);
      grantpt(master);
      unlockpt(master);
      const int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
      termios t{};
      tcgetattr(slave, &t);
      cfmakeraw(&t);
      tcsetattr(slave, TCSANOW, &t);
      dup2(slave, 1);
      close(slave);
    } else {
      dup2(out_file, 1);
    }
    dup2(err_file, 2);
    print();
    dup2(saved_out, 1);
    dup2(saved_err, 2);
    close(saved_out);
    close(saved_err);
    std::string out, err;
    auto read_all = [](int fd, std::string& into) {
      char buf[4096];
      ssize_t n;
      while ((n = read(fd, buf, sizeof buf)) > 0) into.append(buf, static_cast<std::size_t>(n));
    };
    if (terminal) {
      fcntl(master, F_SETFL, O_NONBLOCK);
      read_all(master, out);
      close(master);
    } else {
      lseek(out_file, 0, SEEK_SET);
      read_all(out_file, out);
    }
    lseek(err_file, 0, SEEK_SET);
    read_all(err_file, err);
    close(out_file);
    close(err_file);
    unlink(out_path);
    unlink(err_path);
    return {out, err};
  }

  std::optional<std::string> saved_no_color_;
};

#define GREEN "\x1b[38;2;134;239;172m"
#define GREY "\x1b[38;2;107;107;107m"
#define RED "\x1b[38;2;220;38;38m"
#define BOLD "\x1b[1m"
#define DIM "\x1b[2m"
#define RESET "\x1b[0m"

struct PrinterCase {
  const char* name;
  std::function<void()> print;
  bool to_stderr;
  std::string coloured, plain;
};

std::vector<PrinterCase> printer_cases() {
  return {
      {"print_ok", [] { print_ok("Deleted: x"); }, false,
       GREEN BOLD "\u2713" RESET " " GREEN "Deleted: x" RESET "\n", "OK: Deleted: x\n"},
      {"print_error_line", [] { print_error_line("PL-2046: No entry matched."); }, true,
       RED "\u2717 PL-2046: No entry matched." RESET "\n", "PL-2046: No entry matched.\n"},
      {"print_dim", [] { print_dim("note"); }, false, DIM "note" RESET "\n", "note\n"},
      {"print_arrow_field", [] { print_arrow_field("Vault", "v1"); }, false,
       GREY "\u2192 Vault:" RESET " " BOLD "v1" RESET "\n", "  Vault: v1\n"},
      {"print_field", [] { print_field("user", "bob"); }, false, GREY "user:" RESET " bob\n",
       "user: bob\n"},
      {"print_field_greyed", [] { print_field_greyed("otp", "[L3]"); }, false,
       GREY "otp: [L3]" RESET "\n", "otp: [L3]\n"},
  };
}

TEST_F(PrinterTest, ColourAndPlainForms) {
  for (const PrinterCase& c : printer_cases()) {
    SCOPED_TRACE(c.name);
    unsetenv("NO_COLOR");
    auto [out, err] = capture(true, c.print);
    EXPECT_EQ(c.to_stderr ? err : out, c.coloured);
    EXPECT_EQ(c.to_stderr ? out : err, "");

    std::tie(out, err) = capture(false, c.print);
    EXPECT_EQ(c.to_stderr ? err : out, c.plain);

    // A non-empty NO_COLOR wins over the terminal; an empty one does not.
    setenv("NO_COLOR", "1", 1);
    std::tie(out, err) = capture(true, c.print);
    EXPECT_EQ(c.to_stderr ? err : out, c.plain);
    setenv("NO_COLOR", "", 1);
    std::tie(out, err) = capture(true, c.print);
    EXPECT_EQ(c.to_stderr ? err : out, c.coloured);
  }
}

TEST_F(PrinterTest, ValuesAreSanitisedLabelsOfArrowFieldsAreNot) {
  unsetenv("NO_COLOR");
  // Where the text sits inside the one line, its carriage return and line
  // feeds become blanks; only print_field's value may span lines.
  const std::string evil = "a\x1b[2Jb\rc\xe2\x80\xae" "d";
  const std::string forged = "x\nPL-0000: y\n";
  struct Case {
    std::function<void()> print;
    std::string plain;
  };
  const Case cases[] = {
      {[&] { print_ok(evil); }, "OK: a[2Jb cd\n"},
      {[&] { print_dim(evil); }, "a[2Jb cd\n"},
      {[&] { print_field(evil, evil); }, "a[2Jb cd: a[2Jbcd\n"},
      {[&] { print_field_greyed(evil, evil); }, "a[2Jb cd: a[2Jbcd\n"},
      {[&] { print_arrow_field("L\x1b", evil); }, "  L\x1b: a[2Jb cd\n"},
      {[&] { print_field("notes", "one\ttwo\nthree"); }, "notes: one\ttwo\nthree\n"},
      {[&] { print_ok(forged); }, "OK: x PL-0000: y \n"},
      {[&] { print_dim(forged); }, "x PL-0000: y \n"},
      {[&] { print_field(forged, forged); }, "x PL-0000: y : " + forged + "\n"},
      {[&] { print_field_greyed(forged, "[L3]"); }, "x PL-0000: y : [L3]\n"},
      {[&] { print_arrow_field("Replica", forged); }, "  Replica: x PL-0000: y \n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(capture(false, c.print).first, c.plain);
  }
  EXPECT_EQ(capture(false, [&] { print_error_line(evil); }).second, "a[2Jbcd\n");
}

TEST_F(PrinterTest, ErrorLineColourFollowsStdoutNotStderr) {
  unsetenv("NO_COLOR");
  // stdout to a file, stderr to a file: plain, even if stderr were a terminal.
  EXPECT_EQ(capture(false, [] { print_error_line("x"); }).second, "x\n");
  EXPECT_EQ(capture(true, [] { print_error_line("x"); }).second, RED "\u2717 x" RESET "\n");
}

}  // namespace
}  // namespace pellucor
