#include "cli/cli_main.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>

#include "cli/fault.h"
#include "cli/help.h"
#include "cli/terminal.h"
#include "cli/utf8.h"
#include "gate/vault_text.h"

// Command headers: one slot per command word, in table order. To add a
// command, uncomment its line here and its line in kCommands (keep the
// "--" lines, they keep merges of neighbouring slots apart).
// -- init
#include "cli/commands/init.h"
// -- repin
#include "cli/commands/repin.h"
// -- get
#include "cli/commands/get.h"
// -- find, delete
#include "cli/commands/find.h"
// -- audit
#include "cli/commands/audit.h"
// -- totp
#include "cli/commands/totp.h"
// -- render
#include "cli/commands/render.h"
// -- put
#include "cli/commands/put.h"
// -- note, memory
#include "cli/commands/text_entry.h"
// -- skill
#include "cli/commands/skill.h"
// -- show-schema
#include "cli/commands/show_schema.h"
// -- version
#include "cli/commands/version.h"
// -- help
#include "cli/commands/help.h"
// -- end of command headers

namespace pellucor {

namespace {

// Options accepted as the first argument, compared in this order.
constexpr Command kFirstOptions[] = {
    {"version", run_version},
    // -- show-schema: the embedded entry-type document
    {"show-schema", run_show_schema},
    // -- help
    {"help", run_help},
};

// Command words, compared byte for byte (case-sensitive) in this order.
constexpr Command kCommands[] = {
    // -- 1 init: enrolment
    {"init", run_init_command},
    // -- 2 repin: re-pinning of the channel keys
    {"repin", run_repin},
    // -- 3 get: fetch one entry or field
    {"get", run_get},
    // -- 4 find: list matching titles
    {"find", run_find},
    // -- 5 delete: delete one entry
    {"delete", run_delete},
    // -- 6 audit: audit trail
    {"audit", run_audit},
    // -- 7 totp: current TOTP code
    {"totp", run_totp},
    // -- 8 render: template rendering
    {"render", run_render},
    // -- 9 put: create an entry
    {"put", run_put},
    // -- 10 note: text entries, kind 0
    {"note", run_note},
    // -- 11 memory: text entries, kind 1
    {"memory", run_memory},
    // -- 12 skill: skill document print and install
    {"skill", run_skill},
    // -- 13 version
    {"version", run_version},
    // -- 14 help
    {"help", run_help},
    // -- end of command words
};

const Command* find_command(std::span<const Command> table, std::string_view word) {
  for (const Command& c : table) {
    if (c.word == word) return &c;
  }
  return nullptr;
}

// The single tail every command returns through.
int finish(const std::expected<void, CliError>& outcome) {
  if (outcome) return 0;
  print_error_line(format_cli_error(outcome.error()));
  return 1;
}

int usage_error(std::string_view message) {
  print_error_and_help(message);
  return 1;
}

// The process comes to hold the agent's credential and keys and decrypted
// field values: a core dump would write them to disk, and a debugger of the
// same user could read them out. Not dumpable (which also refuses ptrace
// attach by other processes of the user) and a core limit of zero, soft and
// hard, so that nothing later in the process can raise it again.
// A failure of either call is ignored: this is a second line of defence, and
// a sandbox that refuses one of them is no reason to refuse the command.
void keep_memory_out_of_core_dumps() {
#if defined(__linux__)
  (void)::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
#endif
  const rlimit no_core{0, 0};
  (void)::setrlimit(RLIMIT_CORE, &no_core);
}

}  // namespace

void prepare_process() {
  keep_memory_out_of_core_dumps();
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor is `fd` itself: the ones below are open.
    const int opened = ::open("/dev/null", O_RDWR);
    if (opened != fd) std::abort();
  }
  ::signal(SIGPIPE, SIG_IGN);
  // Past a file-size limit a write fails with EFBIG instead of ending the
  // process, so the failure is reported and its half-written file removed.
  ::signal(SIGXFSZ, SIG_IGN);
  // Output goes through write_stdout; should anything still print through
  // stdio, unbuffered keeps it in order with the rest.
  std::setvbuf(stdout, nullptr, _IONBF, 0);
}

void print_error_and_help(std::string_view message) {
  print_error_line(message);
  write_stderr("\n");
  print_help();
}

int cli_main(int argc, const char* const* argv) {
  install_fault_handler();
  ArgParser args = ArgParser::from_argv(argc, argv);

  auto first = args.next_arg();
  if (!first) return usage_error(first.error().message);
  if (!first->has_value()) {
    // A run without a command fails: its help is printed under status 1,
    // also should stdout be a closed pipe.
    mark_run_failed();
    print_help();
    return 1;
  }
  const ArgToken& token = **first;
  switch (token.kind) {
    case ArgKind::Short:
      // Only the first character of a cluster is looked at (-Vq is -V).
      if (token.short_name == 'V') return finish(run_version(args));
      if (token.short_name == 'h') return finish(run_help(args));
      return usage_error("unexpected argument: " + arg_token_debug(token));
    case ArgKind::Long:
      if (const Command* c = find_command(kFirstOptions, token.text)) return finish(c->run(args));
      return usage_error("unexpected argument: " + arg_token_debug(token));
    case ArgKind::Value:
      break;
  }
  if (!is_valid_utf8(token.text)) return usage_error("non-utf8 command name");
  if (const Command* c = find_command(kCommands, token.text)) return finish(c->run(args));
  return usage_error("unknown command: '" + single_line_text(token.text) + "' (try 'pellucor-cli help')");
}

}  // namespace pellucor
