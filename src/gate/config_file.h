// The sealed agent configuration file: where it lives, the refusals on the
// way to it, its byte format, reading it back and replacing it atomically.
//
// Layout: "PLC1" || MAC (16) || nonce (12) || AES-128-GCM(Config JSON) || tag (16).
// The MAC is the first 16 bytes of HMAC-SHA256 over everything after it; it is
// checked before anything is decrypted. Both keys are derived from a constant
// of the program, so what protects the file is its location checks and its
// mode 0600, which every read enforces.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/channel_key.h"
#include "crypto/errors.h"
#include "crypto/secure_buffer.h"

namespace pellucor {

// The agent's configuration, in the order it is written. The three texts
// that carry key material or identify the agent are wiping strings.
struct Config {
  std::string vault_url;
  std::string vault_gate_pub;
  std::string replica_url;       // empty: no replica
  std::string replica_gate_pub;  // empty: no replica key
  std::string vault_id;
  SecureString agent_id;
  SecureString l2;
  SecureString device_id;

  bool operator==(const Config&) const = default;
};

// The bytes of the format that are not the sealed payload.
inline constexpr std::string_view kConfigMagic = "PLC1";
inline constexpr std::size_t kConfigMacBytes = 16;
inline constexpr std::size_t kConfigMinBytes = 48;

// The largest file load_config reads (and write_config writes). A real
// configuration is about 3 KB, a little over 5 KB with a replica key; the cap
// leaves room for any plausible URL while keeping a huge or endless file at
// the path from being read into memory.
inline constexpr std::size_t kConfigMaxBytes = 64 * 1024;

// How long write_config waits for another process that is writing the same
// configuration before it gives up.
inline constexpr std::chrono::milliseconds kConfigLockWait{10000};

// config_file_path returns "$XDG_CONFIG_HOME/pellucor/config" (when set and
// non-empty), else "$HOME/.config/pellucor/config". PL-2003 "cannot locate
// config: set HOME or XDG_CONFIG_HOME" when neither is set, and "XDG_CONFIG_HOME
// and HOME must be absolute paths" when the base does not start with "/".
std::expected<std::string, CliError> config_file_path();

// config_file_path_from is config_file_path over given values of the two
// variables (nullptr: unset).
std::expected<std::string, CliError> config_file_path_from(const char* xdg_config_home,
                                                           const char* home);

// check_path_components refuses (PL-2003) any symbolic link among the prefixes
// of `path`, the full path included; the walk ends quietly at the first prefix
// that does not exist. Other status failures: PL-2003 "stat {prefix}: {error}".
std::expected<void, CliError> check_path_components(const std::string& path);

// config_parent_folder returns the folder `path` lies in ("" for a bare file
// name), or nothing when the path has no parent ("/" or "").
std::optional<std::string> config_parent_folder(const std::string& path);

// check_config_path_length refuses (PL-2002 "config path is {n} bytes, more
// than the {m} the system allows for it") a configuration path that the
// system would refuse, or whose lock or temporary file beside it it would:
// asked before any folder is made, so that nothing is left behind.
std::expected<void, CliError> check_config_path_length(const std::string& path);

// create_config_folder creates `folder` and its missing ancestors, each one
// it creates with mode 0700 whatever the umask (nobody else may swap the
// files in it, nor a folder on the way to it). Existing folders are left as
// they are. PL-2002 "creating {folder} failed: {error}".
std::expected<void, CliError> create_config_folder(const std::string& folder);

// load_config finds, checks, authenticates and opens the configuration file.
// Only a regular file of at most kConfigMaxBytes is read; it is opened without
// blocking (a FIFO there must not hang every command) and its mode and kind
// are checked again on the opened file.
// Failures are PL-2003 (location, links, absence, mode, kind, size, open, read) or PL-2004
// ("config decrypt failed: ..." for the seal, "config JSON parse: ..." for
// the content).
std::expected<Config, CliError> load_config();

// load_config_at is load_config on a known path (every step after locating it).
std::expected<Config, CliError> load_config_at(const std::string& path);

struct ConfigWriteOptions {
  // How long to wait for the lock another writer holds.
  std::chrono::milliseconds lock_wait = kConfigLockWait;
  // Run with the lock held, before anything is written; its failure ends the
  // write with nothing written (init's "no configuration yet" test, made
  // again where no other writer can slip in).
  std::function<std::expected<void, CliError>()> under_lock;
};

// write_config replaces the file at `path` with `config` sealed: through a
// temporary ".<name>.tmp" created exclusively with mode 0600, flushed to disk,
// then renamed over the path (and removed again when writing or renaming it
// fails). The whole of that runs under an exclusive lock
// on ".<name>.lock" in the same folder (created once, never removed), so two
// processes writing at once take turns instead of removing each other's
// temporary file. Failures are PL-2002.
std::expected<void, CliError> write_config(const std::string& path, const Config& config,
                                           const ConfigWriteOptions& options = {});

// encode_config_json returns the compact JSON of `config` in declared order,
// the replica keys left out when empty. Wiped when released.
SecureString encode_config_json(const Config& config);

// pack_config_file returns "PLC1" || MAC || `sealed`, where `sealed` is
// nonce || ciphertext || tag under the configuration encryption key.
std::vector<std::uint8_t> pack_config_file(std::span<const std::uint8_t> sealed);

// open_config_bytes authenticates and opens a whole file image and reads the
// Config in it (the PL-2004 steps of load_config).
std::expected<Config, CliError> open_config_bytes(std::span<const std::uint8_t> file);

// parse_config_json reads the Config JSON: unknown, repeated, missing or
// non-string keys are refused with PL-2004 "config JSON parse: {error}".
std::expected<Config, CliError> parse_config_json(std::string_view json);

// parse_hex_key16 decodes `text` (hex of either case, no trimming) into 16
// bytes. PL-2004 "{field} is not valid hex" or "{field} expected 16 bytes, got N".
std::expected<SecureArray<16>, CliError> parse_hex_key16(std::string_view text,
                                                         std::string_view field);

// parse_channel_key_field parses a gate key of the configuration. PL-2004
// "{field}: {channel-key error}: make a new client blob in the vault and enrol
// again" when it is not a channel key.
std::expected<ChannelKey, CliError> parse_channel_key_field(std::string_view text,
                                                            std::string_view field);

// new_json_buffer returns an empty wiping buffer with room for 128 bytes, for
// compact JSON output.
SecureBytes new_json_buffer();

}  // namespace pellucor
