#include "storage/find_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>

#include <cstring>

#include "core/fatal_error.h"
#include "storage/paths.h"

namespace tessaline {

namespace {

struct Search {
  String directory;
  Vector<String> names;
  int next = 0;
};

thread_local Vector<Search> searches;

bool has_wildcards(const String& component) { return component.find_any("*?") >= 0; }

// An fnmatch() pattern in which only "*" and "?" are special: "[" becomes
// the bracket "[[]" (with FNM_NOESCAPE, "\" is plain already).
String fnmatch_pattern(const String& component) {
  String result;
  for (char c : component) {
    if (c == '[') result += "[[]";
    else result += c;
  }
  return result;
}

void fill(Search& search, const String& pattern) {
  search.directory = directory_part(pattern);
  String component = file_part(pattern);
  if (component.empty()) return;

  if (!has_wildcards(component)) {
    // One name: no need to read the whole folder.
    struct stat info {};
    if (lstat(join_path(search.directory, component).c_str(), &info) == 0) {
      search.names.append(component);
    }
    return;
  }

  DIR* folder = opendir(search.directory.empty() ? "." : search.directory.c_str());
  if (!folder) return;
  String wanted = fnmatch_pattern(component);
  while (struct dirent* entry = readdir(folder)) {
    if (entry->d_name[0] && fnmatch(wanted.c_str(), entry->d_name, FNM_NOESCAPE) == 0) {
      search.names.append(entry->d_name);
    }
  }
  closedir(folder);
  search.names.sort([](const String& a, const String& b) { return a.compare(b); });
}

FileTime time_of(const struct statx_timestamp& t) { return FileTime::from_universal(t.tv_sec); }

// Describes one entry; false when it vanished since the folder was read.
bool describe(const String& directory, const String& name, FileInfo& info) {
  String path = join_path(directory, name);
  struct statx x {};
  const unsigned mask = STATX_BASIC_STATS | STATX_BTIME;
  // A link to nothing is described as the link itself.
  if (statx(AT_FDCWD, path.c_str(), AT_STATX_SYNC_AS_STAT, mask, &x) != 0 &&
      statx(AT_FDCWD, path.c_str(), AT_STATX_SYNC_AS_STAT | AT_SYMLINK_NOFOLLOW, mask, &x) != 0) {
    return false;
  }
  info.attributes = attributes_from_mode(x.stx_mode);
  info.last_access = time_of(x.stx_atime);
  info.last_write = time_of(x.stx_mtime);
  info.creation = time_of((x.stx_mask & STATX_BTIME) ? x.stx_btime : x.stx_mtime);
  info.name = name;
  info.short_name = name;
  info.size = info.is_directory() ? 0 : x.stx_size;
  return true;
}

}  // namespace

bool begin_find_file(const String& pattern, FileInfo& info) {
  fill(searches.append(), pattern);
  return next_find_file(info);
}

bool next_find_file(FileInfo& info) {
  if (searches.empty()) return false;
  Search& search = searches.last();
  while (search.next < search.names.count()) {
    const String& name = search.names[search.next++];
    if (describe(search.directory, name, info)) return true;
  }
  return false;
}

void end_find_file() {
  if (searches.empty()) FatalError("Too many calls to end_find_file()");
  searches.remove(searches.count() - 1);
}

uint64_t list_files(const String& pattern, Vector<String>& names, bool skip_directories) {
  uint64_t total = 0;
  FileInfo info;
  for (bool found = begin_find_file(pattern, info); found; found = next_find_file(info)) {
    if (info.name == "." || info.name == "..") continue;
    if (skip_directories && info.is_directory()) continue;
    names.append(info.name);
    total += info.size;
  }
  end_find_file();
  return total;
}

}  // namespace tessaline
