// The two informational outputs: the help (banner, commands, usage notes)
// and the version lines.
#pragma once

#include <string>
#include <string_view>

namespace pellucor {

inline constexpr std::string_view PROGRAM_VERSION = "1.7.3";

// help_text returns the whole help, styled when `colour` is true; without
// colour it is the same text with every escape sequence left out.
std::string help_text(bool colour);

// version_text returns the two version lines: the program version, then the
// cryptographic library actually linked and whether it runs in FIPS mode.
std::string version_text(bool colour);

// crypto_version_line returns the second version line (with its line feed):
// "crypto: <OpenSSL version>, FIPS mode on" or
// "crypto: <OpenSSL version>, NOT the validated FIPS module".
std::string crypto_version_line();

// print_help / print_version write those texts on stdout, deciding colour once.
void print_help();
void print_version();

}  // namespace pellucor
