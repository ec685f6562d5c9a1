// paths.h - paths, whole files and the file system's own operations.
//
// Paths are POSIX paths: "/" separates, and a path is absolute when it
// begins with "/". There are no drive letters; "." and ".." are left as they
// are (nothing here resolves or normalises a path). Drive letters have no
// counterpart, so there are no drive queries and no system folder here.
//
// Not for: wildcard searches (find_file.h), lists of file specifications
// (file_specs.h), opening documents (platform/open_document.h).
//
// Failures: functions return false, -1, an empty String or
// kNoFileAttributes; none of them is fatal.
#pragma once

#include <cstdint>

#include "core/string.h"
#include "platform/program_path.h"
#include "storage/file_info.h"

namespace tessaline {

// --- path text ---
bool is_absolute(const String& path);
// Puts a relative path below the base directory. False, with the path
// unchanged, when the path is empty or already absolute, or when the base
// is not absolute.
bool make_absolute(String& path, const String& base);
// Everything before the last "/"; the root keeps its "/" ("/file" gives
// "/"); "" when there is no "/".
String directory_part(const String& path);
// Everything after the last "/".
String file_part(const String& path);
// The index of the last "." after the last "/", or -1.
int extension_position(const String& path);
// Appends the extension, with a "." in front unless it has one.
String add_extension(const String& path, const char* extension);
// Replaces the extension (or adds one where there is none); an empty
// extension removes it.
String change_extension(const String& path, const char* extension);
// Adds the extension only when the file part has none.
String default_extension(const String& path, const char* extension);
// The name below the directory, with exactly one "/" between them where the
// name starts with one; an empty side yields the other.
String join_path(const String& directory, const String& name);

// --- whole files ---
// All bytes of the file; false when it cannot be opened or read.
bool read_whole_file(const String& name, String& contents);
// Replaces the file's contents with the bytes, atomically (see
// platform/atomic_write.h); false on any failure, the old file then intact.
bool write_whole_file(const String& name, const void* bytes, int n);
// True only when both files open, have the same size and the same bytes.
bool files_identical(const String& a, const String& b);
// Copies the file's bytes and permissions. With fail_if_exists, an existing
// target is left alone and the copy fails; without it the target is
// replaced as a whole (a new file renamed over it), so a failed copy leaves
// the old target intact. False for an empty name on either side.
bool copy_file(const String& from, const String& to, bool fail_if_exists);
// Deletes the file, read-only or not.
bool delete_file(const String& name);
// Sets or clears the read-only state: setting removes every write
// permission, clearing gives the owner write permission. True when the
// state is as asked afterwards.
bool set_read_only(const String& name, bool on);
// The attribute bits of file_info.h, or kNoFileAttributes when absent.
uint32_t file_attributes(const String& name);
// True for a directory that could be made the current directory.
bool directory_exists(const String& path);

// --- places ---
// The directory the running program lies in (program_path() is in
// platform/program_path.h).
String program_directory();
String current_directory();
// Creates a fresh temporary file of this process in the directory (the
// current one when empty; named as platform/temporary_files.h says, so
// that a later run clears it away should this one be killed) and returns
// its path; "" when none could be made. The caller deletes it.
String temp_file_name(const String& directory);

}  // namespace tessaline
