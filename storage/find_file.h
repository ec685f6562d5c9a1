// find_file.h - wildcard searches in one folder.
//
// A pattern is a path whose last component may hold the wildcards "*" (any
// run of characters) and "?" (one character); every other character,
// "[" and "\" included, stands for itself, and matching is case-sensitive.
// The folder part holds no wildcards. A search reads the whole folder when
// it begins and returns the matches sorted by name (byte order), so the
// same folder always lists the same way. "*" matches names that begin with
// "." as well, "." and ".." among them.
//
// Searches nest: begin_find_file() opens a search level even when it finds
// nothing, and every begin_find_file() is paired with one end_find_file(),
// which resumes the enclosing search. The levels belong to the calling
// thread.
//
// Not for: recursive searches, wildcards in folder names.
//
// Failures: a folder that cannot be read finds nothing. end_find_file()
// without an open search is the fatal error "Too many calls to
// end_find_file()".
#pragma once

#include <cstdint>

#include "core/containers.h"
#include "core/string.h"
#include "storage/file_info.h"

namespace tessaline {

// Opens a search level and describes its first match; false when nothing
// matches.
bool begin_find_file(const String& pattern, FileInfo& info);
// The next match of the innermost search; false when there is none.
bool next_find_file(FileInfo& info);
// Closes the innermost search.
void end_find_file();

// Appends the name (without folder) of every match except "." and "..",
// leaving out folders when asked, and returns the total size of what it
// appended in bytes.
uint64_t list_files(const String& pattern, Vector<String>& names, bool skip_directories);

}  // namespace tessaline
