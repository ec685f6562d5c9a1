// program_run.h - runs the real tessaline-mailer for end-to-end tests.
//
// The program is started directly (no shell) with the given arguments, in
// the given working directory, with TESSALINE_HOME and any further
// variables set, standard input from a file or /dev/null, and without
// DISPLAY or WAYLAND_DISPLAY unless the test sets them. Its standard output
// and standard error are collected; standard error is a pipe, or a
// pseudo-terminal of a given width when the test asks for one. A run that outlives the time limit is
// killed by its process id and reported as exit status -1, so a hanging
// program fails the test instead of hanging it. For tests only.
#pragma once

#include <sys/types.h>

#include <functional>
#include <utility>
#include <vector>

#include "core/string.h"

namespace tessaline {

struct ProgramResult {
  int status = -1;  // the exit status; -1 killed by a signal or the time limit
  String out;
  String err;
};

struct ProgramRun {
  std::vector<String> args;  // after the program name
  String directory;          // working directory; empty: the test's own
  String home;               // TESSALINE_HOME
  String input_file;         // standard input; empty: /dev/null
  std::vector<std::pair<String, String>> environment;  // further variables
  int time_limit_seconds = 120;
  // More than 0: standard error is a pseudo-terminal this many columns
  // wide, passing bytes as they are (no line-end translation).
  int terminal_columns = 0;
  const char* program = nullptr;  // null: tessaline-mailer
  // Called with the process id once the program runs, on a thread of its
  // own, while the output is being collected (to signal the program).
  std::function<void(pid_t)> started;
};

// The tessaline-mailer of this build.
const char* program_path_for_tests();

ProgramResult run_program(const ProgramRun& run);

}  // namespace tessaline
