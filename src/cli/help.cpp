#include "cli/help.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <initializer_list>
#include <string_view>

#include "cli/terminal.h"

namespace pellucor {

namespace {

// The style pieces of one print: the escape sequences with colour, empty
// texts without, so both forms come from the same layout.
struct Styles {
  std::string_view bold, dim, green, grey, white_bold, reset;

  explicit Styles(bool colour) {
    if (colour) {
      bold = style::bold;
      dim = style::dim;
      green = style::green;
      grey = style::grey;
      white_bold = style::white_bold;
      reset = style::reset;
    }
  }
};

// Column layout of the command lines, counted from 1.
constexpr std::size_t kSynopsisColumn = 11;
constexpr std::size_t kDescriptionColumn = 34;

// Appends spaces until the visible width reaches column - 1.
void pad_to(std::string& out, std::size_t& width, std::size_t column) {
  while (width + 1 < column) {
    out += ' ';
    ++width;
  }
}

struct CommandLine {
  std::string_view word;
  std::string_view synopsis;     // empty: none
  std::string_view description;
  std::size_t description_column = kDescriptionColumn;
};

void append_command(std::string& out, const Styles& s, const CommandLine& c) {
  std::size_t width = 2 + c.word.size();
  out.append("  ").append(s.green).append(c.word).append(s.reset);
  if (!c.synopsis.empty()) {
    pad_to(out, width, kSynopsisColumn);
    out.append(s.dim).append(c.synopsis).append(s.reset);
    width += c.synopsis.size();
  }
  pad_to(out, width, c.description_column);
  out.append(c.description).append("\n");
}

// A dim continuation line starting at `column`.
void append_more(std::string& out, const Styles& s, std::size_t column, std::string_view text) {
  out.append(column - 1, ' ').append(s.dim).append(text).append(s.reset).append("\n");
}

// The words of a code sample, each double-quoted and green, joined by ", ".
std::string quoted_words(const Styles& s, std::initializer_list<std::string_view> words) {
  std::string out;
  for (std::string_view w : words) {
    if (!out.empty()) out += ", ";
    out.append(s.green).append("\"").append(w).append("\"").append(s.reset);
  }
  return out;
}

void append_commands(std::string& out, const Styles& s) {
  constexpr std::size_t kFar = kDescriptionColumn;
  constexpr std::size_t kNear = kSynopsisColumn;
  append_command(out, s, {"init", "[blob]", "Enroll from a sealed enrollment blob."});
  append_more(out, s, kFar, "Reads stdin if no arg. Key prompted (never on argv).");
  append_more(out, s, kFar, "Pipe: printf '%s\\n%s\\n' BLOB KEY | pellucor-cli init");
  append_command(out, s, {"repin", "--pop-pub <hex>", "Re-pin the POP's channel key after it changed."});
  append_more(out, s, kFar, "Keeps the enrolment. Option: --replica-pub <hex>");
  append_command(out, s, {"get", "<query>", "Fetch any entry by exact title (case-insensitive)."});
  append_more(out, s, kFar, "Works with all entry types in the vault.");
  append_more(out, s, kFar, "Options: --field <label>, --json, --fuzzy, --type <t>");
  append_command(out, s, {"find", "<name>", "List exact titles matching a name (\u22654 chars)."});
  append_more(out, s, kFar, "Titles and types only, never values. Options: --type <t>");
  append_command(out, s, {"delete", "<query>", "Delete an entry by exact title."});
  append_more(out, s, kFar, "Options: --fuzzy");
  append_command(out, s, {"totp", "<query>", "Print the current TOTP code."});
  append_more(out, s, kFar, "Options: --fuzzy");
  append_command(out, s, {"render", "<file>", "Resolve pellucor:// references in a file."});
  append_more(out, s, kFar, "Use - for stdin.");
  append_command(out, s, {"audit", "", "View the vault's audit trail."});
  append_more(out, s, kFar, "Options: --actor, --action, --entry, --since,");
  append_more(out, s, kFar, "--until, --limit, --json");
  append_command(out, s,
                 {"put", "<type> <title> [opts]",
                  "Create a new entry. Same title as an existing row is a second entry, not an overwrite."});
  append_more(out, s, kNear, "Secret fields (tier\u22652: password, cvv, \u2026) use --<field>-file PATH");
  append_more(out, s, kNear, "(PATH may be - for stdin) \u2014 never on argv. Non-secrets: --username.");
  append_more(out, s, kNear, "Or: put --json  with a JSON object on stdin (bounded).");
  append_more(out, s, kNear, "Other types (SSH keys, databases, etc.) are created in the");
  append_more(out, s, kNear, "vault UI and accessible here via get, totp, and render.");
  append_command(out, s, {"note", "<sub> [opts]", "Rich text entries with L2-encrypted content.", 35});
  append_command(out, s, {"memory", "<sub> [opts]", "Agent-to-agent persistent context.", 35});
  append_more(out, s, kNear, "Subcommands: create, get, update, delete, search");
  append_more(out, s, kNear, "create: --summary-file, --content-file (or stdin); no secrets on argv");
  append_more(out, s, kNear, "        --status draft|active|archived");
  append_more(out, s, kNear, "        --embeddings-file PATH, --embedding-model <name>");
  append_more(out, s, kNear, "        --json (read full JSON object from stdin)");
  append_more(out, s, kNear, "update: <query> + any create flag to change [--fuzzy]");
  append_more(out, s, kNear, "get: <query> [--full] [--json] [--fuzzy]");
  append_more(out, s, kNear, "delete: <query> [--fuzzy]  |  search: --vector <base64> [--limit N]");
  append_command(out, s, {"skill", "print | install [--yes]", "LLM skill markdown.", 35});
  append_command(out, s, {"version", "", "Print version and exit."});
  append_command(out, s, {"help", "", "This help."});
}

}  // namespace

std::string help_text(bool colour) {
  const Styles s(colour);
  std::string out;
  out.reserve(6000);
  out.append(s.bold).append("PELLUCOR").append(s.reset).append("  ");
  out.append(s.white_bold).append("v").append(PROGRAM_VERSION).append(s.reset).append("\n");
  out.append(
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
      "\n");
  out.append(s.bold).append("Usage").append(s.reset).append("\n");
  out.append("  pellucor-cli ").append(s.dim).append("<command> [options]").append(s.reset).append("\n");
  out.append("\n");
  out.append(s.bold).append("Commands").append(s.reset).append("\n");
  append_commands(out, s);
  out.append("\n");
  out.append("  ").append(s.grey).append(
      "note/memory are separate from put because they have richer\n"
      "  lifecycle (create/update/delete), L2-encrypted content, and\n"
      "  optional embeddings for vector search.").append(s.reset).append("\n");
  out.append("\n");
  out.append(s.bold).append("How it works").append(s.reset).append("\n");
  out.append("  ").append(s.grey).append(
      "Entries are fetched by exact title (case-insensitive). The query must\n"
      "  match exactly one entry. Don't know the title? find <name> lists the\n"
      "  matching titles (a few at most; many matches give only a count).").append(s.reset).append("\n");
  out.append("\n");
  out.append("  ").append(s.grey).append(
      "The --field flag outputs a single raw decrypted value, designed for\n"
      "  subprocess capture. Do not store the result in environment variables \u2014\n"
      "  env is visible to child processes and /proc. Fetch on demand instead:").append(s.reset).append("\n");
  out.append("\n");
  out.append("  ").append(s.bold).append("Python").append(s.reset).append("\n");
  out.append("  ").append(s.dim).append("$").append(s.reset).append(" key = subprocess.check_output(\n");
  out.append("        [")
      .append(quoted_words(s, {"pellucor-cli", "get", "openrouter", "--field", "key"}))
      .append("]\n");
  out.append("    ).decode().strip()\n");
  out.append("\n");
  out.append("  ").append(s.bold).append("Go").append(s.reset).append("\n");
  out.append("  ").append(s.dim).append("$").append(s.reset).append(" key, _ := exec.Command(");
  out.append(quoted_words(s, {"pellucor-cli", "get", "stripe", "--field", "key"})).append(").Output()\n");
  out.append("\n");
  out.append("  ").append(s.bold).append("Shell").append(s.reset).append("\n");
  out.append("  ").append(s.dim).append("$").append(s.reset).append(" pellucor-cli get ");
  out.append(quoted_words(s, {"github"}))
      .append(" --field password | docker login -u bot --password-stdin\n");
  out.append("\n");
  out.append("  ").append(s.grey).append(
      "For config files that need multiple secrets, use pellucor:// references\n"
      "  and the render command. Given a template like:").append(s.reset).append("\n");
  out.append("\n");
  out.append("    {\"api_key\": ").append(quoted_words(s, {"pellucor://openrouter/key"}));
  out.append(", \"db\": ").append(quoted_words(s, {"pellucor://prod db/uri"})).append("}\n");
  out.append("\n");
  out.append("  ").append(s.dim).append("$").append(s.reset)
      .append(" pellucor-cli render app.config.json | myapp --config -\n");
  out.append("\n");
  out.append("  ").append(s.grey).append(
      "L2 fields are decrypted locally \u2014 the vault never sees plaintext.\n"
      "  L3 fields require a hardware key and cannot be accessed via the CLI.\n"
      "  Every fetch is logged in the vault's audit trail.").append(s.reset).append("\n");
  out.append("\n");
  out.append(s.dim).append("https://pellucor.dev").append(s.reset).append("\n");
  return out;
}

std::string crypto_version_line() {
  std::string line = "crypto: ";
  line += OpenSSL_version(OPENSSL_VERSION);
  // The answer of the library actually linked: FIPS mode is on only when
  // the default properties select the FIPS provider.
  if (EVP_default_properties_is_fips_enabled(nullptr) == 1) {
    line += ", FIPS mode on";
  } else {
    line += ", NOT the validated FIPS module";
  }
  line += '\n';
  return line;
}

std::string version_text(bool colour) {
  std::string out;
  if (colour) {
    out.append(style::bold).append("PELLUCOR").append(style::reset).append(" ");
    out.append(style::white_bold).append("v").append(PROGRAM_VERSION).append(style::reset);
  } else {
    out.append("pellucor-cli ").append(PROGRAM_VERSION);
  }
  out += '\n';
  out += crypto_version_line();
  return out;
}

void print_help() { write_stdout(help_text(colour_enabled())); }

void print_version() { write_stdout(version_text(colour_enabled())); }

}  // namespace pellucor
