// folder_lock.h - one command-line change of the projects in a folder at a
// time.
//
// `-a` and `-e` read a project, add a line and save it. Two such runs on
// the same project at once (two web forms submitted together) would both
// read the old list, and the later save would drop the other's address.
// FolderLock takes an exclusive lock (flock) on the folder that holds the
// project for the whole read-change-save, so such runs follow one another.
// The lock is on the folder, not the file, because the project file itself
// is replaced by a new one when it is saved, and because opening it takes
// a lock of its own.
//
// Not for: the windows (a person edits one project at a time), or sends,
// which do not change the project.
//
// Failures: acquire() says kTimedOut when the lock was not granted within
// the time limit (the caller must then leave the project alone, or it
// could lose another run's change); kNoFolder when the folder cannot be
// opened (the project in it cannot be opened either, which the caller
// reports) and kNoLocks on a file system that has no locks (the caller goes
// on without, as every program there must).
#pragma once

#include "core/string.h"

namespace tessaline {

class FolderLock {
 public:
  enum class Result { kLocked, kTimedOut, kNoFolder, kNoLocks };

  FolderLock() = default;
  ~FolderLock() { release(); }
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

  // Locks the folder holding `path`, waiting up to `time_limit_ms`.
  Result acquire(const String& path, int time_limit_ms);
  void release();
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace tessaline
