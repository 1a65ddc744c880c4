// init: enrol this agent from a sealed enrolment blob and its 32-byte key,
// and write the sealed agent configuration file.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "cli/arg_parser.h"
#include "crypto/errors.h"
#include "crypto/secure_buffer.h"
#include "gate/config_file.h"

namespace pellucor {

// The usage text printed by `init --help`.
extern const std::string_view kInitUsage;

// run_init_command enrols the agent: blob from the argument or the first line
// of stdin, key typed with echo off or piped as the next line; opens and
// checks the blob, writes the configuration (never over an existing one) and
// prints a summary.
std::expected<void, CliError> run_init_command(ArgParser& args);

// The enrolment blob's plaintext, as the vault writes it.
struct BlobJson {
  std::string agent_id;
  std::string l2;
  std::string vault_id;
  std::string pop;
  std::optional<std::string> pop_pub;
  std::string replica_host;
  std::string replica_pub;

  ~BlobJson();
};

// config_from_enrolment opens `blob` with `key` (both base64url texts),
// checks every value and returns the Config to write, with `device_id`
// as given. Fails with PL-2001 and the message of the first failing check;
// the vault URL and the replica URL made from the blob's hosts must pass
// gate_url_from_vault_url, whose message is kept.
std::expected<Config, CliError> config_from_enrolment(std::string_view blob, std::string_view key,
                                                      std::string_view device_id);

// refuse_existing_config: enrolment never replaces anything at the
// configuration path. Fails with PL-2002 when something is there: a symbolic
// link (dangling or not) with the symlink text, anything else with "config
// already exists"; nothing there (or an lstat that fails) passes.
std::expected<void, CliError> refuse_existing_config(const std::string& path);

// abbreviate_agent_id: "(empty)", the whole id below 9 characters, else the
// first 8, "…" and, from 24 characters on, the characters from the 25th on.
std::string abbreviate_agent_id(std::string_view id);

}  // namespace pellucor
