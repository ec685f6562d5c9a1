#include "app/folder_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "storage/paths.h"

namespace tessaline {

FolderLock::Result FolderLock::acquire(const String& path, int time_limit_ms) {
  release();
  String folder = directory_part(path);
  if (folder.empty()) folder = ".";
  int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return Result::kNoFolder;
  // Measured on the clock, not by counting pauses: a loaded machine makes
  // each pause longer than asked.
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(time_limit_ms > 0 ? time_limit_ms : 0);
  timespec pause = {0, 20 * 1000 * 1000};
  for (;;) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
      fd_ = fd;
      return Result::kLocked;
    }
    if (errno != EWOULDBLOCK && errno != EINTR) {
      close(fd);
      return Result::kNoLocks;
    }
    if (Clock::now() >= deadline) break;
    nanosleep(&pause, nullptr);
  }
  close(fd);
  return Result::kTimedOut;
}

void FolderLock::release() {
  if (fd_ < 0) return;
  close(fd_);  // closing the last descriptor releases the lock
  fd_ = -1;
}

}  // namespace tessaline
