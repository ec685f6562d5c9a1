// usage.h - the texts of `--help` and `--version`.
//
// Kept apart from the command-line parser so that the words users read are
// in one place and tests can compare them.
#pragma once

namespace tessaline {

// The text `tessaline-mailer --help` prints, ending in a line break.
const char* usage_text();

// "Tessaline Mailer 6.0".
const char* version_text();

}  // namespace tessaline
