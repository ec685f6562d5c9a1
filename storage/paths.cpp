#include "storage/paths.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "platform/atomic_write.h"
#include "platform/temporary_files.h"
#include "storage/file.h"

namespace tessaline {

// --- path text --------------------------------------------------------------

bool is_absolute(const String& path) { return path.first() == '/'; }

bool make_absolute(String& path, const String& base) {
  if (path.empty() || !is_absolute(base) || is_absolute(path)) return false;
  String result = base;
  if (!result.ends_with("/")) result += '/';
  result += path;
  path = std::move(result);
  return true;
}

String directory_part(const String& path) {
  int slash = path.rfind('/');
  if (slash < 0) return String();
  return slash == 0 ? String("/") : path.substr(0, slash);
}

String file_part(const String& path) { return path.substr(path.rfind('/') + 1); }

int extension_position(const String& path) {
  int dot = path.rfind('.');
  return dot > path.rfind('/') ? dot : -1;
}

String add_extension(const String& path, const char* extension) {
  String result = path;
  if (!extension || !*extension) return result;
  if (*extension != '.') result += '.';
  result += extension;
  return result;
}

String change_extension(const String& path, const char* extension) {
  int dot = extension_position(path);
  return add_extension(dot < 0 ? path : path.substr(0, dot), extension);
}

String default_extension(const String& path, const char* extension) {
  return extension_position(path) < 0 ? add_extension(path, extension) : path;
}

String join_path(const String& directory, const String& name) {
  if (directory.empty()) return name;
  if (name.empty()) return directory;
  String result = directory;
  if (name.first() == '/') {
    if (result.ends_with("/")) result.remove_last(1);
  } else if (!result.ends_with("/")) {
    result += '/';
  }
  result += name;
  return result;
}

// --- whole files ------------------------------------------------------------

namespace {

constexpr unsigned kShared = File::kShareRead | File::kShareWrite;
constexpr unsigned kReadShared = File::kOpenExisting | File::kNoWrite | kShared;

// The path a write to `name` lands on: the target of a symbolic link, so
// that replacing the file keeps the link.
String real_target(const String& name) {
  char* resolved = realpath(name.c_str(), nullptr);
  if (!resolved) return name;
  String result(resolved);
  free(resolved);
  return result;
}

// Puts a finished temporary file in the place of `target`: with the old
// file's permissions when there is one, without replacing anything when
// `replace` is false.
bool put_in_place(const String& temporary, const String& target, mode_t mode, bool replace) {
  chmod(temporary.c_str(), mode);
  int result;
  if (replace) {
    result = rename(temporary.c_str(), target.c_str());
  } else {
    result = renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE);
    if (result != 0 && (errno == EINVAL || errno == ENOSYS)) {
      // A file system without the no-replace rename: test, then rename.
      struct stat info {};
      if (lstat(target.c_str(), &info) == 0) {
        errno = EEXIST;
      } else {
        result = rename(temporary.c_str(), target.c_str());
      }
    }
  }
  if (result != 0) {
    int saved = errno;
    unlink(temporary.c_str());
    errno = saved;
    return false;
  }
  return true;
}

}  // namespace

bool read_whole_file(const String& name, String& contents) {
  File file;
  if (!file.open(name, kReadShared)) return false;
  int64_t size = file.size();
  if (size < 0 || size > String::kMaxLength) return false;
  String bytes;
  if (size > 0) {
    bytes.set_length(static_cast<int>(size));
    if (!file.read(bytes.data(), static_cast<int>(size))) return false;
  }
  contents = std::move(bytes);
  return true;
}

bool write_whole_file(const String& name, const void* bytes, int n) {
  if (name.empty() || n < 0 || (n > 0 && !bytes)) return false;
  // A full disk or a crash while writing leaves the old file whole.
  String error;
  return write_file_atomically(name, static_cast<const char*>(bytes), n, error);
}

bool files_identical(const String& a, const String& b) {
  File first, second;
  if (!first.open(a, kReadShared) || !second.open(b, kReadShared)) return false;
  int64_t size = first.size();
  if (size < 0 || size != second.size()) return false;
  constexpr int kBlock = 16384;
  static thread_local char block_a[kBlock], block_b[kBlock];
  for (int64_t left = size; left > 0;) {
    int n = left < kBlock ? static_cast<int>(left) : kBlock;
    if (!first.read(block_a, n) || !second.read(block_b, n)) return false;
    if (std::memcmp(block_a, block_b, static_cast<size_t>(n)) != 0) return false;
    left -= n;
  }
  return true;
}

bool copy_file(const String& from, const String& to, bool fail_if_exists) {
  if (from.empty() || to.empty()) return false;
  File source;
  if (!source.open(from, kReadShared)) return false;
  struct stat info {};
  if (stat(from.c_str(), &info) != 0) return false;
  String target = real_target(to);
  if (fail_if_exists && access(target.c_str(), F_OK) == 0) return false;
  // The copy is made beside the target and renamed over it when whole, so
  // that a failed copy never leaves a damaged target (nor empties the
  // source when both names are one file).
  String temporary = temp_file_name(directory_part(target));
  if (temporary.empty()) return false;
  if (!source.copy_to(temporary)) {
    unlink(temporary.c_str());
    return false;
  }
  return put_in_place(temporary, target, info.st_mode & 07777, !fail_if_exists);
}

bool delete_file(const String& name) {
  struct stat info {};
  if (lstat(name.c_str(), &info) == 0 && S_ISREG(info.st_mode)) set_read_only(name, false);
  return unlink(name.c_str()) == 0;
}

bool set_read_only(const String& name, bool on) {
  struct stat info {};
  if (stat(name.c_str(), &info) != 0) return false;
  mode_t mode = info.st_mode & 07777;
  mode_t wanted = on ? (mode & ~(S_IWUSR | S_IWGRP | S_IWOTH)) : (mode | S_IWUSR);
  if (wanted == mode) return true;
  return chmod(name.c_str(), wanted) == 0;
}

uint32_t file_attributes(const String& name) {
  struct stat info {};
  // A link to nothing is still an entry of its folder.
  if (stat(name.c_str(), &info) != 0 && lstat(name.c_str(), &info) != 0) {
    return kNoFileAttributes;
  }
  return attributes_from_mode(info.st_mode);
}

bool directory_exists(const String& path) {
  // The test a change of the current directory makes, without changing it
  // (the current directory belongs to the whole process).
  struct stat info {};
  return !path.empty() && stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
         access(path.c_str(), X_OK) == 0;
}

// --- places -----------------------------------------------------------------

String program_directory() { return directory_part(program_path()); }

String current_directory() {
  char* path = getcwd(nullptr, 0);
  if (!path) return String();
  String result(path);
  free(path);
  return result;
}

String temp_file_name(const String& directory) {
  String path;
  int fd = create_temporary_file(directory, &path);
  if (fd < 0) return String();
  close(fd);
  return path;
}

}  // namespace tessaline
