// program_path.h - where the running program lies.
//
// Not for: finding data folders (the program keeps its files in the
// per-user folders, not beside itself).
//
// Failures: "" when the system does not say (no /proc).
#pragma once

#include "core/string.h"

namespace tessaline {

// The absolute path of the running executable, from /proc/self/exe.
String program_path();

}  // namespace tessaline
