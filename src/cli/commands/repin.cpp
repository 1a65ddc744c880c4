#include "cli/commands/repin.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <vector>

#include "cli/input.h"
#include "cli/terminal.h"
#include "cli/utf8.h"
#include "crypto/encoding.h"
#include "gate/config_file.h"
#include "gate/context.h"
#include "gate/os_error.h"
#include "gate/vault_text.h"

namespace pellucor {

namespace {

constexpr std::string_view kUsage =
    "Usage: pellucor-cli repin --pop-pub <hex> [--replica-pub <hex>]\n"
    "       pellucor-cli repin --keys <file>\n"
    "\n"
    "Re-pin the home POP's (and the replica's) channel key in this\n"
    "enrolment, after the POPs' keys changed. Keeps the agent's\n"
    "credentials; no new enrolment needed. Keys are 2498-hex node\n"
    "public keys (fleet.json noise_pubkey); a --keys file has one\n"
    "`<host> <hex>` per line and is matched on this enrolment's hosts.\n";

std::string ascii_lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// Splits at runs of Unicode white space.
std::vector<std::string_view> split_white_space(std::string_view text) {
  std::vector<std::string_view> tokens;
  std::size_t start = std::string_view::npos;
  for (std::size_t i = 0; i < text.size();) {
    char32_t cp = 0;
    std::size_t len = decode_utf8(text, i, cp);
    if (len == 0) len = 1;  // the file was checked as UTF-8; never reached
    const bool space = is_white_space(cp);
    if (space && start != std::string_view::npos) {
      tokens.push_back(text.substr(start, i - start));
      start = std::string_view::npos;
    } else if (!space && start == std::string_view::npos) {
      start = i;
    }
    i += len;
  }
  if (start != std::string_view::npos) tokens.push_back(text.substr(start));
  return tokens;
}

// Reads the whole key file. It holds public keys only, yet its read is
// capped like every other input: a path such as /dev/zero, or a FIFO whose
// writer never stops, must end in an error, not in exhausted memory. Whatever
// the path names (a FIFO, a device) is read, as the user asked.
std::expected<std::string, CliError> read_key_file(const std::string& path) {
  const std::string shown = "--keys " + single_line_text(path);
  auto failure = [&](std::string why) { return std::unexpected(new_argument_error(shown + ": " + why)); };
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return failure(os_error_text(errno));
  auto bytes = read_fd_capped(fd);
  ::close(fd);
  if (!bytes) return failure(os_error_text(bytes.error()));
  if (bytes->size() > MAX_INPUT_BYTES) return std::unexpected(input_too_large_error(shown));
  std::string text(bytes->begin(), bytes->end());
  if (!is_valid_utf8(text)) return failure("stream did not contain valid UTF-8");
  return text;
}

bool has_replica(const Config& config) { return !trim_white_space(config.replica_url).empty(); }

// Only an existing regular file is rewritten, never one through a link.
std::expected<void, CliError> check_rewritable(const std::string& path) {
  struct stat link {}, target {};
  if (::lstat(path.c_str(), &link) != 0 || S_ISLNK(link.st_mode) || ::stat(path.c_str(), &target) != 0 ||
      !S_ISREG(target.st_mode)) {
    return std::unexpected(make_error(err::PL_2002, "no config file at " + single_line_text(path) + " to rewrite"));
  }
  return {};
}

// Everything but the two keys repin replaces.
bool same_enrolment(const Config& a, const Config& b) {
  return a.vault_url == b.vault_url && a.replica_url == b.replica_url && a.vault_id == b.vault_id &&
         a.agent_id == b.agent_id && a.l2 == b.l2 && a.device_id == b.device_id;
}

}  // namespace

std::expected<NodeKeyMap, CliError> parse_node_key_file(std::string_view text) {
  NodeKeyMap keys;
  std::size_t number = 0;
  while (!text.empty()) {
    ++number;
    const std::size_t lf = text.find('\n');
    std::string_view line = text.substr(0, lf);
    text = lf == std::string_view::npos ? std::string_view{} : text.substr(lf + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    line = line.substr(0, line.find('#'));
    line = trim_white_space(line);
    if (line.empty()) continue;
    const auto tokens = split_white_space(line);
    if (tokens.size() != 2) {
      return std::unexpected(
          new_argument_error("--keys line " + std::to_string(number) + ": want `<host> <hex>`"));
    }
    const std::string label = "--keys line " + std::to_string(number) + " (" + std::string(tokens[0]) + ")";
    auto key = parse_node_key_option(label, tokens[1]);
    if (!key) return std::unexpected(std::move(key.error()));
    keys[ascii_lower(tokens[0])] = std::move(*key);
  }
  return keys;
}

std::expected<void, CliError> run_repin(ArgParser& args) {
  std::optional<std::string> pop_pub;
  std::optional<std::string> replica_pub;
  std::optional<NodeKeyMap> key_file;

  for (;;) {
    auto next = args.next_arg();
    if (!next) return std::unexpected(error_from_arg_error(next.error()));
    if (!next->has_value()) break;
    const ArgToken& token = **next;
    if (token.is_long("help")) {
      write_stdout(kUsage);
      return {};
    }
    if (token.is_long("pop-pub") || token.is_long("replica-pub")) {
      const std::string label = "--" + token.text;
      auto value = option_value_string_twin(args, label);
      if (!value) return std::unexpected(std::move(value.error()));
      auto key = parse_node_key_option(label, *value);
      if (!key) return std::unexpected(std::move(key.error()));
      (token.text == "pop-pub" ? pop_pub : replica_pub) = std::move(*key);
      continue;
    }
    if (token.is_long("keys")) {
      auto path = option_value_string_twin(args, "--keys");
      if (!path) return std::unexpected(std::move(path.error()));
      auto text = read_key_file(*path);
      if (!text) return std::unexpected(std::move(text.error()));
      auto parsed = parse_node_key_file(*text);
      if (!parsed) return std::unexpected(std::move(parsed.error()));
      key_file = std::move(*parsed);
      continue;
    }
    return std::unexpected(new_argument_error("unexpected: " + arg_token_debug(token)));
  }

  auto loaded = load_config();
  if (!loaded) return std::unexpected(std::move(loaded.error()));
  Config config = std::move(*loaded);
  const bool replica = has_replica(config);

  if (key_file) {
    if (pop_pub || replica_pub) {
      return std::unexpected(new_argument_error("give --keys or --pop-pub/--replica-pub, not both"));
    }
    const std::string home = ascii_lower(url_host(config.vault_url));
    auto found = key_file->find(home);
    if (found == key_file->end()) {
      return std::unexpected(
          new_argument_error("--keys has no key for this enrolment's home POP " + single_line_text(home)));
    }
    pop_pub = found->second;
    if (replica) {
      const std::string host = ascii_lower(url_host(config.replica_url));
      auto r = key_file->find(host);
      if (r == key_file->end()) {
        return std::unexpected(
            new_argument_error("--keys has no key for this enrolment's replica " + single_line_text(host)));
      }
      replica_pub = r->second;
    }
  }
  if (!pop_pub) return std::unexpected(new_argument_error("--pop-pub or --keys is required"));
  if (replica_pub && !replica) {
    return std::unexpected(new_argument_error("--replica-pub given, but this enrolment has no replica"));
  }
  if (replica && !replica_pub) {
    return std::unexpected(new_argument_error("this enrolment has a replica (" + single_line_text(config.replica_url) +
                                              "): give --replica-pub too, or use --keys"));
  }

  config.vault_gate_pub = *pop_pub;
  if (replica_pub) config.replica_gate_pub = *replica_pub;

  auto path = config_file_path();
  if (!path) return std::unexpected(std::move(path.error()));
  if (auto ok = check_path_components(*path); !ok) return std::unexpected(std::move(ok.error()));
  if (auto ok = check_rewritable(*path); !ok) return ok;
  // The file is read again once no other writer can change it: what was
  // read above may be stale by now. Keys another repin wrote meanwhile give
  // way to these, as if it had come first; a file removed meanwhile is not
  // made anew, and another enrolment put in its place is left as it is (the
  // keys were checked against this one).
  ConfigWriteOptions exclusive;
  exclusive.under_lock = [&]() -> std::expected<void, CliError> {
    if (auto ok = check_rewritable(*path); !ok) return ok;
    auto now = load_config_at(*path);
    if (!now) return std::unexpected(std::move(now.error()));
    if (!same_enrolment(*now, config)) {
      return std::unexpected(make_error(err::PL_2002, "config at " + single_line_text(*path) +
                                                          " changed to another enrolment while repin waited "
                                                          "\xe2\x80\x94 refuse to overwrite it (run repin again)"));
    }
    return {};
  };
  if (auto ok = write_config(*path, config, exclusive); !ok) return std::unexpected(std::move(ok.error()));

  // The hosts come from the enrolment blob: filtered like any vault text,
  // and kept to the one line.
  const auto shown_host = [](std::string_view url) {
    return std::string(sanitize_one_line(url_host(url)).view());
  };
  std::string line = "repinned: home " + shown_host(config.vault_url);
  if (replica) line += ", replica " + shown_host(config.replica_url);
  write_stdout(line + "\n");
  return {};
}

}  // namespace pellucor
