// repin: replaces the pinned channel keys of this enrolment after the vault's
// node keys changed, keeping every other part of the configuration.
#pragma once

#include <expected>
#include <map>
#include <string>
#include <string_view>

#include "cli/arg_parser.h"
#include "crypto/errors.h"

namespace pellucor {

// A key file: one "<host> <hex>" a line, "#" starts a comment. Hosts are
// lower-cased; a host given twice keeps its last key.
using NodeKeyMap = std::map<std::string, std::string>;

// parse_node_key_file reads the key file's text; PL-2000 naming the line on
// any malformed line or key.
std::expected<NodeKeyMap, CliError> parse_node_key_file(std::string_view text);

std::expected<void, CliError> run_repin(ArgParser& args);

}  // namespace pellucor
