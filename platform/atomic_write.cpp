#include "platform/atomic_write.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/temporary_files.h"

namespace tessaline {

namespace {

bool fail(String& error, const char* what, const String& path) {
  error.format("%s %s: %s", what, path.c_str(), std::strerror(errno));
  return false;
}

String folder_of(const String& path) {
  int slash = path.rfind('/');
  if (slash < 0) return String(".");
  if (slash == 0) return String("/");
  return path.substr(0, slash);
}

mode_t new_file_mode() {
  mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

}  // namespace

bool write_file_atomically(const String& given_path, const char* bytes, int n, String& error) {
  String path = given_path;
  struct stat info;
  bool exists = lstat(path.c_str(), &info) == 0;
  if (exists && S_ISLNK(info.st_mode)) {
    char target[PATH_MAX];
    if (!realpath(path.c_str(), target)) return fail(error, "Cannot follow the link", path);
    path = target;
    exists = stat(path.c_str(), &info) == 0;
  }
  mode_t mode = exists ? (info.st_mode & 07777) : new_file_mode();

  String temp;
  int fd = create_temporary_file(folder_of(path), &temp);
  if (fd < 0) return fail(error, "Cannot create a temporary file beside", path);
  bool ok = true;
  for (int done = 0; ok && done < n;) {
    ssize_t written = ::write(fd, bytes + done, static_cast<size_t>(n - done));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) ok = fail(error, "Cannot write", path);
    else done += static_cast<int>(written);
  }
  // The texts name the file the person knows, not the temporary one.
  if (ok && fchmod(fd, mode) != 0) ok = fail(error, "Cannot set the permissions of", path);
  if (ok && fsync(fd) != 0) ok = fail(error, "Cannot write", path);
  if (::close(fd) != 0 && ok) ok = fail(error, "Cannot write", path);
  if (ok && rename(temp.c_str(), path.c_str()) != 0) ok = fail(error, "Cannot replace", path);
  if (!ok) {
    unlink(temp.c_str());
    return false;
  }
  // The rename itself reaches the disk with the folder's entry.
  int folder = ::open(folder_of(path).c_str(), O_RDONLY | O_DIRECTORY);
  if (folder >= 0) {
    fsync(folder);
    ::close(folder);
  }
  return true;
}

}  // namespace tessaline
