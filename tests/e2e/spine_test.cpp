// The program's start, dispatch, help and version, through the real binary.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/process.h"

namespace pellucor::test {
namespace {

// The help as laid out, with style markers: {B} bold, {D} dim, {G} green,
// {Y} grey, {W} white bold, {R} reset.
constexpr std::string_view kHelpTemplate =
    "{B}PELLUCOR{R}  {W}v1.7.3{R}\n"
    "Credential and secret management for agents and humans.\n"
    "\n"
    "Talks to a Pellucor vault over HTTPS. Decrypts fields locally \u2014 the\n"
    "vault never sees plaintext. Works with all vault entry types:\n"
    "credentials, TOTP, cards, identities, notes, SSH keys, databases,\n"
    "software licenses, servers, Wi-Fi, crypto wallets, and custom fields.\n"
    "\n"
    "Stores agent state at ~/.config/pellucor/config, shared by every agent\n"
    "on the host (~/.config/pellucor/config, or $XDG_CONFIG_HOME/pellucor/config).\n"
    "All access is scoped, IP-whitelisted, rate-limited, and audit-logged by\n"
    "the vault. None of these controls can be changed by the agent.\n"
    "\n"
    "{B}Usage{R}\n"
    "  pellucor-cli {D}<command> [options]{R}\n"
    "\n"
    "{B}Commands{R}\n"
    //        1         2         3
    // 3456789012345678901234567890123
    "  {G}init{R}    {D}[blob]{R}                 Enroll from a sealed enrollment blob.\n"
    "                                 {D}Reads stdin if no arg. Key prompted (never on argv).{R}\n"
    "                                 {D}Pipe: printf '%s\\n%s\\n' BLOB KEY | pellucor-cli init{R}\n"
    "  {G}repin{R}   {D}--pop-pub <hex>{R}        Re-pin the POP's channel key after it changed.\n"
    "                                 {D}Keeps the enrolment. Option: --replica-pub <hex>{R}\n"
    "  {G}get{R}     {D}<query>{R}                Fetch any entry by exact title (case-insensitive).\n"
    "                                 {D}Works with all entry types in the vault.{R}\n"
    "                                 {D}Options: --field <label>, --json, --fuzzy, --type <t>{R}\n"
    "  {G}find{R}    {D}<name>{R}                 List exact titles matching a name (\u22654 chars).\n"
    "                                 {D}Titles and types only, never values. Options: --type <t>{R}\n"
    "  {G}delete{R}  {D}<query>{R}                Delete an entry by exact title.\n"
    "                                 {D}Options: --fuzzy{R}\n"
    "  {G}totp{R}    {D}<query>{R}                Print the current TOTP code.\n"
    "                                 {D}Options: --fuzzy{R}\n"
    "  {G}render{R}  {D}<file>{R}                 Resolve pellucor:// references in a file.\n"
    "                                 {D}Use - for stdin.{R}\n"
    "  {G}audit{R}                          View the vault's audit trail.\n"
    "                                 {D}Options: --actor, --action, --entry, --since,{R}\n"
    "                                 {D}--until, --limit, --json{R}\n"
    "  {G}put{R}     {D}<type> <title> [opts]{R}  Create a new entry. Same title as an existing row "
    "is a second entry, not an overwrite.\n"
    "          {D}Secret fields (tier\u22652: password, cvv, \u2026) use --<field>-file PATH{R}\n"
    "          {D}(PATH may be - for stdin) \u2014 never on argv. Non-secrets: --username.{R}\n"
    "          {D}Or: put --json  with a JSON object on stdin (bounded).{R}\n"
    "          {D}Other types (SSH keys, databases, etc.) are created in the{R}\n"
    "          {D}vault UI and accessible here via get, totp, and render.{R}\n"
    "  {G}note{R}    {D}<sub> [opts]{R}            Rich text entries with L2-encrypted content.\n"
    "  {G}memory{R}  {D}<sub> [opts]{R}            Agent-to-agent persistent context.\n"
    "          {D}Subcommands: create, get, update, delete, search{R}\n"
    "          {D}create: --summary-file, --content-file (or stdin); no secrets on argv{R}\n"
    "          {D}        --status draft|active|archived{R}\n"
    "          {D}        --embeddings-file PATH, --embedding-model <name>{R}\n"
    "          {D}        --json (read full JSON object from stdin){R}\n"
    "          {D}update: <query> + any create flag to change [--fuzzy]{R}\n"
    "          {D}get: <query> [--full] [--json] [--fuzzy]{R}\n"
    "          {D}delete: <query> [--fuzzy]  |  search: --vector <base64> [--limit N]{R}\n"
    "  {G}skill{R}   {D}print | install [--yes]{R} LLM skill markdown.\n"
    "  {G}version{R}                        Print version and exit.\n"
    "  {G}help{R}                           This help.\n"
    "\n"
    "  {Y}note/memory are separate from put because they have richer\n"
    "  lifecycle (create/update/delete), L2-encrypted content, and\n"
    "  optional embeddings for vector search.{R}\n"
    "\n"
    "{B}How it works{R}\n"
    "  {Y}Entries are fetched by exact title (case-insensitive). The query must\n"
    "  match exactly one entry. Don't know the title? find <name> lists the\n"
    "  matching titles (a few at most; many matches give only a count).{R}\n"
    "\n"
    "  {Y}The --field flag outputs a single raw decrypted value, designed for\n"
    "  subprocess capture. Do not store the result in environment variables \u2014\n"
    "  env is visible to child processes and /proc. Fetch on demand instead:{R}\n"
    "\n"
    "  {B}Python{R}\n"
    "  {D}${R} key = subprocess.check_output(\n"
    "        [{G}\"pellucor-cli\"{R}, {G}\"get\"{R}, {G}\"openrouter\"{R}, {G}\"--field\"{R}, "
    "{G}\"key\"{R}]\n"
    "    ).decode().strip()\n"
    "\n"
    "  {B}Go{R}\n"
    "  {D}${R} key, _ := exec.Command({G}\"pellucor-cli\"{R}, {G}\"get\"{R}, {G}\"stripe\"{R}, "
    "{G}\"--field\"{R}, {G}\"key\"{R}).Output()\n"
    "\n"
    "  {B}Shell{R}\n"
    "  {D}${R} pellucor-cli get {G}\"github\"{R} --field password | docker login -u bot "
    "--password-stdin\n"
    "\n"
    "  {Y}For config files that need multiple secrets, use pellucor:// references\n"
    "  and the render command. Given a template like:{R}\n"
    "\n"
    "    {\"api_key\": {G}\"pellucor://openrouter/key\"{R}, \"db\": {G}\"pellucor://prod db/uri\"{R}}\n"
    "\n"
    "  {D}${R} pellucor-cli render app.config.json | myapp --config -\n"
    "\n"
    "  {Y}L2 fields are decrypted locally \u2014 the vault never sees plaintext.\n"
    "  L3 fields require a hardware key and cannot be accessed via the CLI.\n"
    "  Every fetch is logged in the vault's audit trail.{R}\n"
    "\n"
    "{D}https://pellucor.dev{R}\n";

std::string fill_styles(std::string_view tmpl, bool colour) {
  struct Marker {
    std::string_view mark, escape;
  };
  static constexpr Marker kMarkers[] = {
      {"{B}", "\x1b[1m"},
      {"{D}", "\x1b[2m"},
      {"{G}", "\x1b[38;2;134;239;172m"},
      {"{Y}", "\x1b[38;2;107;107;107m"},
      {"{W}", "\x1b[37;1m"},
      {"{R}", "\x1b[0m"},
  };
  std::string out;
  for (std::size_t i = 0; i < tmpl.size();) {
    bool matched = false;
    for (const Marker& m : kMarkers) {
      if (tmpl.substr(i).starts_with(m.mark)) {
        if (colour) out += m.escape;
        i += m.mark.size();
        matched = true;
        break;
      }
    }
    if (!matched) out += tmpl[i++];
  }
  return out;
}

const std::string kPlainHelp = fill_styles(kHelpTemplate, false);
const std::string kColourHelp = fill_styles(kHelpTemplate, true);

// The crypto line names the library actually linked.
bool is_crypto_line(std::string_view line) {
  return line.starts_with("crypto: OpenSSL ") &&
         (line.ends_with(", FIPS mode on") || line.ends_with(", NOT the validated FIPS module"));
}

std::vector<std::string> lines_of(std::string_view text) {
  std::vector<std::string> lines;
  while (!text.empty()) {
    const std::size_t nl = text.find('\n');
    lines.emplace_back(text.substr(0, nl));
    if (nl == std::string_view::npos) break;
    text.remove_prefix(nl + 1);
  }
  return lines;
}

RunResult run_cli(std::vector<std::string> args, bool no_color = true) {
  RunOptions o = cli_options(std::move(args));
  if (no_color) o.env["NO_COLOR"] = "1";
  return run_process(o);
}

void expect_plain_version(const RunResult& r) {
  EXPECT_TRUE(r.exited_with(0)) << r.err;
  EXPECT_EQ(r.err, "");
  std::vector<std::string> lines = lines_of(r.out);
  ASSERT_EQ(lines.size(), 2u) << r.out;
  EXPECT_EQ(lines[0], "pellucor-cli 1.7.3");
  EXPECT_TRUE(is_crypto_line(lines[1])) << lines[1];
  EXPECT_TRUE(r.out.ends_with("\n"));
}

TEST(Dispatch, NoArgumentsPrintsHelpAndFails) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{}, {"--"}}) {
    RunResult r = run_cli(args);
    EXPECT_TRUE(r.exited_with(1));
    EXPECT_EQ(r.out, kPlainHelp);
    EXPECT_EQ(r.err, "");
  }
}

TEST(Dispatch, VersionForms) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-V"}, {"--version"}, {"version"}, {"version", "extra"}, {"-Vq"},
        {"--version=3"}, {"-V", "--bogus"}, {"--", "version"}}) {
    SCOPED_TRACE(args[0]);
    expect_plain_version(run_cli(args));
  }
}

TEST(Version, ReportsFipsModeOfTheLinkedLibrary) {
  const std::string conf = testing::TempDir() + "pellucor-fips.cnf";
  {
    std::FILE* f = std::fopen(conf.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("openssl_conf = openssl_init\n[openssl_init]\nalg_section = evp\n"
               "[evp]\ndefault_properties = fips=yes\n", f);
    std::fclose(f);
  }
  RunOptions o = cli_options({"version"});
  o.env["NO_COLOR"] = "1";
  o.env["OPENSSL_CONF"] = conf;
  RunResult r = run_process(o);
  EXPECT_TRUE(r.exited_with(0));
  std::vector<std::string> lines = lines_of(r.out);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(lines[1].starts_with("crypto: OpenSSL 3.")) << lines[1];
  EXPECT_TRUE(lines[1].ends_with(", FIPS mode on")) << lines[1];

  o.env["OPENSSL_CONF"] = "/dev/null";
  lines = lines_of(run_process(o).out);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(lines[1].ends_with(", NOT the validated FIPS module")) << lines[1];
  std::remove(conf.c_str());
}

TEST(Dispatch, HelpForms) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-h"}, {"--help"}, {"help"}, {"help", "get"}, {"--help=x"}}) {
    SCOPED_TRACE(args[0]);
    RunResult r = run_cli(args);
    EXPECT_TRUE(r.exited_with(0));
    EXPECT_EQ(r.out, kPlainHelp);
    EXPECT_EQ(r.err, "");
  }
}

TEST(Dispatch, UsageErrorsPrintTheMessageThenTheHelp) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const Case cases[] = {
      {{"-x"}, "unexpected argument: Short('x')"},
      {{"-xV"}, "unexpected argument: Short('x')"},
      {{"--json"}, "unexpected argument: Long(\"json\")"},
      {{"--Version"}, "unexpected argument: Long(\"Version\")"},
      {{"Get"}, "unknown command: 'Get' (try 'pellucor-cli help')"},
      {{"-"}, "unknown command: '-' (try 'pellucor-cli help')"},
      {{""}, "unknown command: '' (try 'pellucor-cli help')"},
      {{"\xff"}, "non-utf8 command name"},
      {{"ge\xc3t"}, "non-utf8 command name"},
      // Control characters of the word never reach the terminal.
      {{"a\x1b[31mb"}, "unknown command: 'a[31mb' (try 'pellucor-cli help')"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    RunResult r = run_cli(c.args);
    EXPECT_TRUE(r.exited_with(1));
    EXPECT_EQ(r.err, c.message + "\n\n");
    EXPECT_EQ(r.out, kPlainHelp);
  }
}

TEST(Dispatch, DoubleDashMakesTheNextWordACommand) {
  // "version" after "--" is still the command word; "-V" after it is a word.
  expect_plain_version(run_cli({"--", "version"}));
  RunResult r = run_cli({"--", "-V"});
  EXPECT_TRUE(r.exited_with(1));
  EXPECT_EQ(r.err, "unknown command: '-V' (try 'pellucor-cli help')\n\n");
}

TEST(Help, PlainHelpHasNoEscapesAndFixedColumns) {
  RunResult r = run_cli({"help"});
  ASSERT_TRUE(r.exited_with(0));
  EXPECT_EQ(r.out.find('\x1b'), std::string::npos);
  std::vector<std::string> lines = lines_of(r.out);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "PELLUCOR  v1.7.3");
  // Descriptions start at column 34, except note, memory and skill (35).
  int commands_seen = 0;
  for (const std::string& line : lines) {
    for (std::string_view word : {"init", "repin", "get", "find", "delete", "totp", "render", "audit",
                                  "put", "note", "memory", "skill", "version", "help"}) {
      const std::string lead = "  " + std::string(word) + " ";
      if (!line.starts_with(lead)) continue;
      ++commands_seen;
      const bool late = word == "note" || word == "memory" || word == "skill";
      const std::size_t col = late ? 34 : 33;  // zero-based
      ASSERT_GT(line.size(), col) << line;
      EXPECT_EQ(line[col - 1], ' ') << line;
      EXPECT_NE(line[col], ' ') << line;
    }
  }
  EXPECT_EQ(commands_seen, 14);
}

TEST(Help, NoColorEmptyFollowsTheTerminal) {
  // stdout is a pipe here: no colour whether NO_COLOR is empty or unset.
  RunOptions o = cli_options({"help"});
  o.env["NO_COLOR"] = "";
  EXPECT_EQ(run_process(o).out, kPlainHelp);
  o.env["NO_COLOR"] = std::nullopt;
  EXPECT_EQ(run_process(o).out, kPlainHelp);
}

TEST(Terminal, ColourHelpAndVersionOnATerminal) {
  RunOptions o = cli_options({"help"});
  o.stdout_mode = StdoutMode::Terminal;
  o.env["NO_COLOR"] = std::nullopt;
  RunResult r = run_process(o);
  EXPECT_TRUE(r.exited_with(0)) << r.err;
  EXPECT_EQ(r.out, kColourHelp);

  o.args = {"--version"};
  r = run_process(o);
  EXPECT_TRUE(r.exited_with(0));
  std::vector<std::string> lines = lines_of(r.out);
  ASSERT_EQ(lines.size(), 2u) << r.out;
  EXPECT_EQ(lines[0], "\x1b[1mPELLUCOR\x1b[0m \x1b[37;1mv1.7.3\x1b[0m");
  EXPECT_TRUE(is_crypto_line(lines[1])) << lines[1];  // never coloured

  // An empty NO_COLOR leaves colour on.
  o.env["NO_COLOR"] = "";
  EXPECT_EQ(run_process(o).out, r.out);
}

TEST(Terminal, NoColorSetTurnsColourOffEvenOnATerminal) {
  RunOptions o = cli_options({"help"});
  o.stdout_mode = StdoutMode::Terminal;
  o.env["NO_COLOR"] = "yes";
  EXPECT_EQ(run_process(o).out, kPlainHelp);
  o.args = {"version"};
  expect_plain_version(run_process(o));
}

TEST(Terminal, ErrorLineIsRedWhenStdoutIsATerminal) {
  RunOptions o = cli_options({"-x"});
  o.stdout_mode = StdoutMode::Terminal;
  o.env["NO_COLOR"] = std::nullopt;
  RunResult r = run_process(o);
  EXPECT_TRUE(r.exited_with(1));
  EXPECT_EQ(r.err, "\x1b[38;2;220;38;38m\u2717 unexpected argument: Short('x')\x1b[0m\n\n");
  EXPECT_EQ(r.out, kColourHelp);
}

TEST(Streams, ClosedStdoutAtStart) {
  RunOptions o = cli_options({"help"});
  o.stdout_mode = StdoutMode::Closed;
  RunResult r = run_process(o);
  EXPECT_TRUE(r.exited_with(0));
  EXPECT_EQ(r.err, "");

  o.args = {"-x"};
  r = run_process(o);
  EXPECT_TRUE(r.exited_with(1));
  EXPECT_EQ(r.err, "unexpected argument: Short('x')\n\n");
}

TEST(Streams, ClosedStdinAndStderrAtStart) {
  RunOptions o = cli_options({"nope"});
  o.close_stdin = true;
  o.close_stderr = true;
  RunResult r = run_process(o);
  EXPECT_TRUE(r.exited_with(1));
  EXPECT_EQ(r.out, kPlainHelp);
}

// A closed stdout pipe ends the run quietly, with the status it had: 0 for
// a command that succeeded so far, 1 for a run that already failed.
TEST(Streams, BrokenPipeEndsQuietlyWithTheRunsStatus) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"help"}, {"version"}, {}, {"-x"}}) {
    RunOptions o = cli_options(args);
    o.stdout_mode = StdoutMode::BrokenPipe;
    o.env["NO_COLOR"] = "1";
    RunResult r = run_process(o);
    const bool failing = args.empty() || args.front() == "-x";
    EXPECT_TRUE(r.exited_with(failing ? 1 : 0)) << r.exit_code << " " << r.term_signal;
    // The usage error line comes before the help, so it is still printed.
    EXPECT_EQ(r.err, args == std::vector<std::string>{"-x"} ? "unexpected argument: Short('x')\n\n" : "");
  }
}

TEST(Streams, HelpIntoAReaderThatStopsAfterOneLine) {
  RunOptions o;
  o.program = "/bin/bash";
  o.args = {"-c", "\"$0\" help | head -n 1; echo \"status ${PIPESTATUS[0]}\"", PELLUCOR_CLI_PATH};
  o.env["NO_COLOR"] = "1";
  RunResult r = run_process(o);
  EXPECT_TRUE(r.exited_with(0));
  EXPECT_EQ(r.out, "PELLUCOR  v1.7.3\nstatus 0\n");
  EXPECT_EQ(r.err, "");
}

TEST(Streams, FailedWriteOtherThanBrokenPipeStopsWithTheFault) {
  RunOptions o;
  o.program = "/bin/sh";
  o.args = {"-c", "exec \"$0\" help > /dev/full", PELLUCOR_CLI_PATH};
  o.env["NO_COLOR"] = "1";
  RunResult r = run_process(o);
  EXPECT_TRUE(r.exited_with(1));
  EXPECT_NE(r.err.find("failed printing to stdout: No space left on device (os error 28)"),
            std::string::npos)
      << r.err;
}

}  // namespace
}  // namespace pellucor::test
