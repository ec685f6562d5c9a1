// small_disk.h - a real, small file system for the tests that fill a disk.
//
// run_on_small_disk() runs a shell script in a mount namespace of its own
// in which the folder DISK holds a fresh tmpfs of the given size: the
// script (and the program it starts) can fill it to the last byte, while
// the rest of the machine sees nothing of it and the file system is gone
// when the script ends. The script finds DISK, and any further variables
// the test gives, in its environment; whatever it wants to show the test
// afterwards it copies out of DISK. As root the namespace is made with
// `unshare -m`; otherwise inside a user namespace (`unshare -r -m`), where
// the kernel allows that. For tests only.
#pragma once

#include <utility>
#include <vector>

#include "core/string.h"
#include "tests/program_run.h"

namespace tessaline {

// Whether this machine lets a test mount its own small file system; when
// not, *why says what failed (the test is then skipped).
bool small_disk_available(String* why);

// Runs `script` with /bin/sh, DISK being an empty folder on a tmpfs of
// `size_kb` KB. The result is that of the shell.
ProgramResult run_on_small_disk(int size_kb, const String& script,
                                const std::vector<std::pair<String, String>>& environment);

}  // namespace tessaline
