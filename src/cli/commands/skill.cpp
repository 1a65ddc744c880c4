#include "cli/commands/skill.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <optional>
#include <vector>

#include "cli/terminal.h"
#include "cli/utf8.h"
#include "crypto/encoding.h"
#include "gate/local_files.h"
#include "gate/os_error.h"
#include "gate/vault_text.h"
#include "gate/write_fully.h"

namespace pellucor {

namespace assets {
extern const std::string_view skill_md;
}

namespace {

constexpr std::array<SkillTarget, 2> kTargets = {{
    {"Claude Code", ".claude", ".claude/skills/pellucor", "SKILL.md"},
    {"OpenClaw", ".openclaw", ".openclaw/skills/pellucor", "SKILL.md"},
}};

constexpr std::string_view kUsage =
    "Usage: pellucor-cli skill {print|install} [--yes]\n"
    "  --yes  non-interactive install to all detected environments\n";

CliError install_error(std::string message) { return make_error(err::PL_2100, std::move(message)); }

std::string join(const std::string& base, std::string_view rel) {
  std::string out = base;
  if (!out.empty() && out.back() != '/') out += '/';
  out += rel;
  return out;
}

bool is_symlink(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

std::expected<void, CliError> refuse_symlink_path(const std::string& path) {
  if (is_symlink(path)) {
    return std::unexpected(install_error("refusing path that is a symlink: " + single_line_text(path)));
  }
  return {};
}

CliError not_a_regular_file(const std::string& path) {
  return install_error("refusing path that is not a regular file: " + single_line_text(path));
}

// Writes the whole document on stdout; a failure is this command's error,
// not a fault, so that it reaches the user as one error line.
std::expected<void, CliError> print_document() {
  if (const int error = write_fully(STDOUT_FILENO, skill_document()); error != 0) {
    return std::unexpected(install_error("write to stdout: " + os_error_text(error)));
  }
  return {};
}

// next_detected_environment: the hosts whose detect folder exists under
// `home` as a directory (links followed).
std::vector<const SkillTarget*> detected_environments(const std::string& home) {
  std::vector<const SkillTarget*> found;
  for (const SkillTarget& t : kTargets) {
    struct stat st {};
    if (::stat(join(home, t.detect_folder).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) found.push_back(&t);
  }
  return found;
}

std::expected<void, CliError> install_all(const std::string& home, const std::vector<const SkillTarget*>& targets) {
  for (const SkillTarget* t : targets) {
    if (auto r = install_skill_file(home, *t); !r) return r;
  }
  return {};
}

// Reads one line of stdin (through its line feed, no cap), unbuffered so
// nothing past it is consumed.
std::expected<std::string, CliError> read_answer() {
  std::string line;
  for (;;) {
    char c;
    const ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::unexpected(install_error("read stdin: " + os_error_text(errno)));
    if (n == 0) break;
    line += c;
    if (c == '\n') break;
  }
  if (!is_valid_utf8(line)) return std::unexpected(install_error("read stdin: stream did not contain valid UTF-8"));
  return line;
}

std::expected<void, CliError> run_install(bool yes) {
  const char* home_env = std::getenv("HOME");
  if (home_env == nullptr || *home_env == '\0') {
    return std::unexpected(install_error("could not determine $HOME — set HOME or install manually"));
  }
  const std::string home = home_env;
  const auto detected = detected_environments(home);
  if (detected.empty()) {
    write_stderr("No supported AI environments found under " + single_line_text(home) + ".\n");
    write_stderr("Install manually with:\n");
    write_stderr("  pellucor-cli skill print > <your-skills-dir>/pellucor.md\n");
    return {};
  }
  if (yes) return install_all(home, detected);
  if (::isatty(STDIN_FILENO) == 0) {
    return std::unexpected(new_argument_error(
        "skill install is interactive by default; pass --yes to install to all detected environments "
        "non-interactively"));
  }
  std::string menu = "Detected AI environments:\n";
  for (std::size_t i = 0; i < detected.size(); ++i) {
    menu += "  [" + std::to_string(i + 1) + "] " + std::string(detected[i]->display_name) + "\n";
  }
  menu += "  [a] All\n  [s] Skip\nInstall skill to: ";
  write_stderr(menu);

  auto line = read_answer();
  if (!line) return std::unexpected(std::move(line.error()));
  const std::string_view answer = trim_white_space(*line);
  if (answer.empty() || answer == "s" || answer == "S") {
    write_stderr("Skipped. Run 'pellucor-cli skill install' later.\n");
    return {};
  }
  if (answer == "a" || answer == "A") return install_all(home, detected);
  if (auto n = parse_decimal<std::size_t>(answer); n && *n >= 1 && *n <= detected.size()) {
    return install_skill_file(home, *detected[*n - 1]);
  }
  write_stderr("Invalid selection.\n");
  return {};
}

}  // namespace

std::span<const SkillTarget> skill_targets() { return kTargets; }

std::string_view skill_document() { return assets::skill_md; }

std::expected<void, CliError> install_skill_file(const std::string& home, const SkillTarget& target) {
  const std::string folder = join(home, target.install_folder);
  const std::string file = join(folder, target.file_name);
  // As the messages show it: a folder name in HOME may hold a line feed.
  const std::string shown = single_line_text(file);
  // Refused before any folder is made: the system would take the folders
  // and then refuse the file, leaving them behind.
  if (const std::size_t limit = longest_path_bytes(); file.size() > limit) {
    return std::unexpected(install_error("skill file path is " + std::to_string(file.size()) + " bytes, more than the " +
                                         std::to_string(limit) + " the system allows for it"));
  }
  if (auto r = refuse_symlink_path(folder); !r) return r;
  // Private like every folder this program makes.
  if (int e = create_private_folders(folder); e != 0) {
    return std::unexpected(install_error("creating " + single_line_text(folder) + ": " + os_error_text(e)));
  }
  if (auto r = refuse_symlink_path(file); !r) return r;
  // Checked again just before the open, and O_NOFOLLOW closes the window
  // between the two.
  if (is_symlink(file)) return std::unexpected(install_error("refusing to write through symlink " + shown));
  // Truncated only once it proved to be a regular file.
  auto opened = open_regular_file(file, O_WRONLY | O_CREAT | O_NOFOLLOW, 0666);
  if (!opened) {
    const FileRefusal& why = opened.error();
    const bool open_failed = why.step == FileRefusal::Step::Open;
    // A FIFO with no reader does not even open (ENXIO).
    if (why.step == FileRefusal::Step::NotRegular || (open_failed && why.error == ENXIO)) {
      return std::unexpected(not_a_regular_file(file));
    }
    if (open_failed && why.error == ELOOP) {
      return std::unexpected(install_error("refusing to write through symlink " + shown));
    }
    return std::unexpected(install_error("writing " + shown + ": " + os_error_text(why.error)));
  }
  FileDescriptor fd = std::move(opened->fd);
  // Fails with the error `e` of a step on the file.
  auto failed = [&](int e) { return std::unexpected(install_error("writing " + shown + ": " + os_error_text(e))); };
  if (::ftruncate(fd.get(), 0) != 0) return failed(errno);
  // From here on a failure leaves part of the document at most: an agent
  // host would take that for the whole of the rules, so the file goes
  // (when the path still names it).
  const struct stat written = opened->status;
  auto failed_midway = [&](int e) {
    struct stat now {};
    if (::lstat(file.c_str(), &now) == 0 && now.st_dev == written.st_dev && now.st_ino == written.st_ino) {
      ::unlink(file.c_str());
    }
    return failed(e);
  };
  if (const int error = write_fully(fd.get(), skill_document()); error != 0) return failed_midway(error);
  if (::close(fd.release()) != 0) return failed_midway(errno);
  write_stderr("  installed: " + shown + "\n");
  return {};
}

std::expected<void, CliError> run_skill(ArgParser& args) {
  bool yes = false;
  std::optional<std::string> subcommand;
  for (;;) {
    auto next = args.next_arg();
    if (!next) return std::unexpected(error_from_arg_error(next.error()));
    if (!next->has_value()) break;
    const ArgToken& token = **next;
    if (token.is_long("help")) {
      write_stdout(kUsage);
      return {};
    }
    if (token.is_long("yes")) {
      yes = true;
      continue;
    }
    if (token.is_value() && !subcommand) {
      if (!is_valid_utf8(token.text)) return std::unexpected(new_argument_error("skill arg: not valid UTF-8"));
      if (token.text != "print" && token.text != "install") {
        return std::unexpected(new_argument_error("unknown skill subcommand '" + single_line_text(token.text) +
                                                  "' (use: print, install)"));
      }
      subcommand = token.text;
      continue;
    }
    return std::unexpected(new_argument_error("unexpected: " + arg_token_debug(token)));
  }
  if (subcommand == "install") return run_install(yes);
  return print_document();
}

}  // namespace pellucor
