// temporary_files.h - the program's own temporary files, and the clearing
// away of those that a killed run left behind.
//
// A file the program writes whole is first written to a temporary file in
// the folder of its final place and then renamed over it
// (platform/atomic_write.h, the copies of storage/paths.h). A run killed in
// the middle leaves that temporary file behind. So every temporary file is
// named after its writer:
//
//   .tessaline-PID-HOST-XXXXXX
//
// (PID the writing process, HOST this machine's name with anything but
// letters, digits, ".", "-" and "_" as "_", XXXXXX six random characters),
// and the first time a process makes a temporary file in a folder, it removes
// the temporary files there whose writer no longer runs: a name of this
// form, a plain file, written on this host by a process that does not
// exist any more. Files of a process that still runs (or whose number has
// been taken by another process), of another host sharing the folder, and
// every file not named so, are left alone.
//
// Not for: temporary folders, or files meant to outlive the process.
//
// Failures: create_temporary_file() returns -1 with errno set, as open()
// does. Clearing away is best effort: an entry that cannot be examined or
// removed stays, and nothing is reported.
#pragma once

#include <string_view>

#include "core/string.h"

namespace tessaline {

// The name of a new temporary file of this process, without its folder,
// still ending in "XXXXXX" for mkstemp-style completion.
String temporary_name_pattern();

// True when `name` (without its folder) is a temporary file name of this
// program; *pid and *host receive its writer.
bool parse_temporary_name(std::string_view name, long* pid, String* host);

// This machine's name as it appears in temporary file names.
String temporary_host_name();

// Creates a new, empty temporary file in `folder` (the current folder when
// empty), open for reading and writing and closed on exec, after clearing
// away the folder's stale temporary files (once per folder and process).
// Returns the descriptor and sets *path, or -1.
int create_temporary_file(const String& folder, String* path);

// Removes the stale temporary files of `folder` (see above) now; returns
// how many it removed.
int remove_stale_temporary_files(const String& folder);

}  // namespace tessaline
