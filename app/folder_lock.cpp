#include "app/folder_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "storage/paths.h"

namespace tessaline {

bool FolderLock::acquire(const String& path, int time_limit_ms) {
  release();
  String folder = directory_part(path);
  if (folder.empty()) folder = ".";
  int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  timespec pause = {0, 20 * 1000 * 1000};
  for (int waited = 0;; waited += 20) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
      fd_ = fd;
      return true;
    }
    if ((errno != EWOULDBLOCK && errno != EINTR) || waited >= time_limit_ms) break;
    nanosleep(&pause, nullptr);
  }
  close(fd);
  return false;
}

void FolderLock::release() {
  if (fd_ < 0) return;
  close(fd_);  // closing the last descriptor releases the lock
  fd_ = -1;
}

}  // namespace tessaline
