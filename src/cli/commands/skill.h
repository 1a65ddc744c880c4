// skill: prints the embedded agent skill document, or installs it into the
// skill folder of each AI agent host found under $HOME.
#pragma once

#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "cli/arg_parser.h"
#include "crypto/errors.h"

namespace pellucor {

// One AI agent host. Folders are relative to $HOME.
struct SkillTarget {
  std::string_view display_name;
  std::string_view detect_folder;
  std::string_view install_folder;
  std::string_view file_name;
};

// The hosts, in the order of detection, of the menu and of installing.
std::span<const SkillTarget> skill_targets();

// The embedded skill document, byte for byte.
std::string_view skill_document();

// install_skill_file writes the document into `home`/target.install_folder,
// refusing a symbolic link at the folder or at the file, and reports the
// path written on stderr.
std::expected<void, CliError> install_skill_file(const std::string& home, const SkillTarget& target);

std::expected<void, CliError> run_skill(ArgParser& args);

}  // namespace pellucor
