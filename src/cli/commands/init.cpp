#include "cli/commands/init.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>

#include "cli/input.h"
#include "cli/terminal.h"
#include "cli/utf8.h"
#include "crypto/encoding.h"
#include "crypto/field_keys.h"
#include "crypto/hex16.h"
#include "crypto/primitives.h"
#include "gate/context.h"
#include "gate/json_reader.h"
#include "gate/transport.h"
#include "gate/vault_text.h"

template <>
struct pellucor::json::Record<pellucor::BlobJson> {
  using B = pellucor::BlobJson;
  static constexpr MemberSpec members[] = {
      member<&B::agent_id>("agent_id"),
      member<&B::l2>("l2"),
      member<&B::vault_id>("vault_id"),
      member<&B::pop>("pop"),
      member<&B::pop_pub>("pop_pub"),
      member<&B::replica_host>("replica_host", Presence::Default),
      member<&B::replica_pub>("replica_pub", Presence::Default),
  };
  static constexpr RecordSpec spec{"struct BlobJson", members, /*positional=*/true,
                                   /*deny_unknown=*/false};
};

namespace pellucor {

const std::string_view kInitUsage =
    "Usage: pellucor-cli init [blob]\n"
    "\n"
    "Enroll from a sealed enrollment blob (from the vault UI).\n"
    "If [blob] is omitted, it is read from stdin.\n"
    "The enrollment key is prompted for interactively (never on\n"
    "the command line); when piped, pass it as the line after the\n"
    "blob:  printf '%s\\n%s\\n' BLOB KEY | pellucor-cli init\n";

BlobJson::~BlobJson() {
  wipe_bytes(l2.data(), l2.capacity());
  wipe_bytes(agent_id.data(), agent_id.capacity());
}

namespace {

constexpr std::string_view kNotBase64url = "enrollment blob or key is not base64url";
constexpr std::string_view kKeyLength = "enrollment key must be 32 bytes (base64url of a 256-bit key)";
constexpr std::string_view kOldVaultId = "enrollment blob carries an old-form vault id \xe2\x80\x94 mint a new blob";
constexpr std::string_view kRetiredPopKey =
    "this enrollment blob carries no POP key or a retired X25519 one \xe2\x80\x94 make a new client "
    "blob in the vault and connect again";
constexpr std::string_view kNotAuthentic =
    "enrollment blob did not authenticate \xe2\x80\x94 wrong key or corrupt blob";
constexpr std::string_view kEmptyPop = "enrollment blob carried an empty pop/host";

CliError invalid_token(std::string_view message) {
  return make_error(err::PL_2001, std::string(message));
}

std::string_view strip_trailing_slashes(std::string_view s) {
  while (!s.empty() && s.back() == '/') s.remove_suffix(1);
  return s;
}

std::expected<SecureString, CliError> read_enrolment_key() {
  if (::isatty(STDIN_FILENO) == 0) return read_stdin_line("enrollment key");
  if (auto key = read_stdin_line_without_echo("Enrollment key: ", "enrollment key")) {
    write_stderr("\n");
    return std::move(*key);
  }
  write_stderr("(warning: could not disable terminal echo \xe2\x80\x94 your key will be visible)\n");
  return read_stdin_line("enrollment key");
}

// At a terminal the blob is read with the terminal's line editing off: its
// line buffer keeps about 4 KiB of one line, less than a blob with a replica.
std::expected<SecureString, CliError> read_enrolment_blob_line() {
  if (::isatty(STDIN_FILENO) == 0) return read_stdin_line("enrollment blob");
  constexpr std::string_view prompt = "Paste enrollment blob, then press Enter:\n";
  if (auto line = read_terminal_line(prompt, "enrollment blob")) return std::move(*line);
  return read_stdin_line("enrollment blob");
}

}  // namespace

std::expected<void, CliError> refuse_existing_config(const std::string& path) {
  // One lstat answers both questions: only the last component can differ
  // from what stat would see, and a link there, dangling or not, is refused
  // as a link.
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return {};
  if (!S_ISLNK(st.st_mode)) {
    return std::unexpected(make_error(
        err::PL_2002, "config already exists at " + single_line_text(path) +
                          " \xe2\x80\x94 refuse to overwrite (delete it explicitly to re-enroll)"));
  }
  return std::unexpected(make_error(
      err::PL_2002, "config path " + single_line_text(path) + " is a symlink \xe2\x80\x94 refuse to write through it"));
}

std::string abbreviate_agent_id(std::string_view id) {
  if (id.empty()) return "(empty)";
  // Character boundaries, so a cut never splits a character.
  std::vector<std::size_t> starts;
  for (std::size_t i = 0; i < id.size();) {
    starts.push_back(i);
    char32_t cp = 0;
    const std::size_t n = decode_utf8(id, i, cp);
    i += n == 0 ? 1 : n;
  }
  const std::size_t chars = starts.size();
  if (chars < 9) return std::string(id);
  std::string out(id.substr(0, starts[8]));
  out += "\xe2\x80\xa6";
  // From the 25th character on; an id of exactly 24 has none.
  if (chars > 24) out += id.substr(starts[24]);
  return out;
}

std::expected<Config, CliError> config_from_enrolment(std::string_view blob_text,
                                                      std::string_view key_text,
                                                      std::string_view device_id) {
  // The key is checked first, so a wrong key length shows even for a bad blob.
  auto key = decode_base64url_text(key_text);
  if (!key) return std::unexpected(invalid_token(kNotBase64url));
  if (key->size() != 32) return std::unexpected(invalid_token(kKeyLength));
  auto blob = decode_base64url_text(blob_text);
  if (!blob) return std::unexpected(invalid_token(kNotBase64url));
  auto plaintext = decrypt_nonce_prefixed(*key, *blob);
  if (!plaintext) return std::unexpected(invalid_token(kNotAuthentic));
  auto parsed = json::decode_text<BlobJson>(std::span<const std::uint8_t>(*plaintext));
  if (!parsed) return std::unexpected(invalid_token(kNotAuthentic));
  const BlobJson& b = *parsed;

  const std::string_view pop_pub = b.pop_pub ? trim_white_space(*b.pop_pub) : std::string_view{};
  if (pop_pub.empty() || pop_pub.size() == 64) return std::unexpected(invalid_token(kRetiredPopKey));
  if (!is_channel_key_text(pop_pub)) return std::unexpected(invalid_token(kNotAuthentic));
  const std::string_view replica_pub = trim_white_space(b.replica_pub);
  if (!replica_pub.empty() && !is_channel_key_text(replica_pub)) {
    return std::unexpected(invalid_token(kNotAuthentic));
  }
  auto agent_id = decode_hex_16_bytes(b.agent_id);
  if (!agent_id) return std::unexpected(invalid_token(kNotAuthentic));
  auto l2 = decode_hex_16_bytes(b.l2);
  if (!l2) return std::unexpected(invalid_token(kNotAuthentic));
  auto vault_id = parse_hex16_id(b.vault_id);
  if (!vault_id) return std::unexpected(invalid_token(kOldVaultId));
  const std::string_view pop = trim_white_space(b.pop);
  if (pop.empty() || pop.find('\n') != std::string_view::npos) {
    return std::unexpected(invalid_token(kEmptyPop));
  }

  Config c;
  c.vault_url = vault_url_from_host(pop);
  c.vault_gate_pub = std::string(pop_pub);
  std::transform(c.vault_gate_pub.begin(), c.vault_gate_pub.end(), c.vault_gate_pub.begin(),
                 [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
  if (!strip_trailing_slashes(trim_white_space(b.replica_host)).empty()) {
    c.replica_url = vault_url_from_host(b.replica_host);
    c.replica_gate_pub = std::string(replica_pub);
  }
  // A vault URL that every later command would refuse is refused now, by
  // that same check, before anything is written.
  for (const std::string* url : {&c.vault_url, &c.replica_url}) {
    if (url->empty()) continue;
    if (auto gate = gate_url_from_vault_url(*url); !gate) {
      return std::unexpected(invalid_token(gate.error().message));
    }
  }
  c.vault_id = format_hex16_id(*vault_id);
  c.agent_id = hex_encode<SecureString>(agent_id->span());
  c.l2 = hex_encode<SecureString>(l2->span());
  c.device_id.assign(device_id);
  return c;
}

std::expected<void, CliError> run_init_command(ArgParser& args) {
  std::optional<std::string> blob_arg;
  for (;;) {
    auto next = args.next_arg();
    if (!next) return std::unexpected(error_from_arg_error(next.error()));
    if (!next->has_value()) break;
    const ArgToken& token = **next;
    if (token.is_long("help")) {
      write_stdout(kInitUsage);
      return {};
    }
    if (token.is_value() && !blob_arg) {
      if (!is_valid_utf8(std::string_view(token.text))) {
        return std::unexpected(new_argument_error("blob: not valid UTF-8"));
      }
      blob_arg = token.text;
      continue;
    }
    return std::unexpected(new_argument_error("unexpected: " + arg_token_debug(token)));
  }

  SecureString blob;
  if (blob_arg) {
    blob.assign(*blob_arg);
  } else {
    auto line = read_enrolment_blob_line();
    if (!line) return std::unexpected(std::move(line.error()));
    blob.assign(trim_white_space(line->view()));
    if (blob.empty()) {
      return std::unexpected(
          make_error(err::PL_2006, "no blob on stdin (use: pellucor-cli init <blob>)"));
    }
  }

  auto key_line = read_enrolment_key();
  if (!key_line) return std::unexpected(std::move(key_line.error()));
  const std::string_view key = trim_white_space(key_line->view());
  if (key.empty()) {
    return std::unexpected(make_error(err::PL_2006,
                                      "no enrollment key provided (paste it when prompted, or "
                                      "pipe it as the line after the blob)"));
  }

  // The device id is drawn only once the blob has passed every check.
  std::array<std::uint8_t, 16> device{};
  auto config = config_from_enrolment(blob.view(), key, "");
  if (!config) return std::unexpected(std::move(config.error()));
  if (auto drawn = random_bytes(device); !drawn) {
    return std::unexpected(
        make_error(err::PL_2001, "RNG failure: " + format_pellucor_error_debug(drawn.error())));
  }
  config->device_id = hex_encode<SecureString>(device);
  wipe_bytes(device.data(), device.size());

  auto path = config_file_path();
  if (!path) return std::unexpected(std::move(path.error()));
  if (auto ok = check_config_path_length(*path); !ok) return std::unexpected(std::move(ok.error()));
  if (auto ok = check_path_components(*path); !ok) return std::unexpected(std::move(ok.error()));
  if (auto ok = refuse_existing_config(*path); !ok) return std::unexpected(std::move(ok.error()));
  if (const auto parent = config_parent_folder(*path); parent && !parent->empty()) {
    if (auto made = create_config_folder(*parent); !made) return std::unexpected(std::move(made.error()));
    if (auto ok = check_path_components(*parent); !ok) return std::unexpected(std::move(ok.error()));
  }
  // Asked again with the write lock held: of two enrolments at once, the
  // second finds the first one's file and refuses like any later one.
  ConfigWriteOptions exclusive;
  exclusive.under_lock = [&] { return refuse_existing_config(*path); };
  if (auto written = write_config(*path, *config, exclusive); !written) {
    return std::unexpected(std::move(written.error()));
  }

  const auto shown = config_file_path();
  print_ok("Enrolled.");
  print_arrow_field("Vault", config->vault_url);
  if (!config->replica_url.empty()) print_arrow_field("Replica", config->replica_url);
  print_arrow_field("Vault ID", config->vault_id);
  print_arrow_field("Agent", abbreviate_agent_id(config->agent_id));
  print_arrow_field("Config", shown ? *shown : *path);
  write_stdout("\n");
  print_dim("Try: pellucor-cli get \"entry name\"");
  print_dim("     pellucor-cli skill install");
  return {};
}

}  // namespace pellucor
