// atomic_write.h - replacing a file's contents so that a crash cannot lose it.
//
// The new contents go to a temporary file in the same folder (named after
// this process, platform/temporary_files.h, so that a later run clears it
// away should this one be killed), which is flushed to disk and then
// renamed over the old file: at every moment the file on disk is either
// the whole old version or the whole new one. A link is followed, so the
// file it names is replaced, not the link. The file
// keeps its permission bits; a new file gets the usual ones (0666 less the
// umask).
//
// Not for: files that are written piece by piece and must stay open.
//
// Failures: false with the system's error text; the old file is untouched
// and no temporary file is left behind.
#pragma once

#include "core/string.h"

namespace tessaline {

bool write_file_atomically(const String& path, const char* bytes, int n, String& error);

inline bool write_file_atomically(const String& path, const String& contents, String& error) {
  return write_file_atomically(path, contents.c_str(), contents.length(), error);
}

}  // namespace tessaline
