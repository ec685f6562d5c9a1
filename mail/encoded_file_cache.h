// encoded_file_cache.h - the base64 forms of the files that messages
// attach or embed, kept while the files stay as they are.
//
// A mailing attaches the same files to thousands of messages; reading and
// encoding each anew for every message was most of the work of composing
// one. The cache keeps the encoded form of a file under its path together
// with what the file system says of it (device, inode, size, modification
// and change times); before each use the file is looked up again, and any
// difference reads it anew. So a file that changed between two messages
// goes out with its new bytes, and one that vanished or cannot be read
// fails the message exactly as a message without the cache fails.
//
// File times have a granularity (a kernel tick, two seconds on FAT), so a
// file written twice within one tick may show the same times with other
// bytes. A file is therefore kept only once its last change lies longer in
// the past than any tick: by then any further write shows a later time.
// That is kFineSettle for a change time with a part below 10 ms (a file
// system that records fine times, stamped at kernel ticks of at most
// 10 ms), kCoarseSettle for a round one (FAT, exFAT, and the rare fine time
// that happens to be round). Files changed more recently, and anything that
// is not a regular file, are read every time, as before.
//
// What differs from reading every time: while the file is unchanged, a
// lock that another copy of the program holds on it for writing does not
// fail the message (the bytes are the same ones either way).
//
// Not for: files other than attachments and embedded files, or the
// encoding itself (base64_encode in mail/mime_message.h). Thread-safe.
//
// Failures: append_file_base64 returns false, with *out unchanged, when the
// file cannot be read or its form would not fit in a String.
#pragma once

#include <cstdint>
#include <list>
#include <mutex>
#include <unordered_map>

#include "core/string.h"

namespace tessaline {

class EncodedFileCache {
 public:
  // Nanoseconds since 1970 by the clock that file times are written with.
  using Clock = int64_t (*)();
  static int64_t system_clock();

  // Nanoseconds.
  static constexpr int64_t kFineSettle = 50000000;
  static constexpr int64_t kCoarseSettle = 3000000000;
  // kFineSettle or kCoarseSettle for a file last changed at `changed`.
  static int64_t settle_time(int64_t changed);
  // Kept forms larger than this in all are dropped, the least recently
  // used first; a single larger form is never kept.
  static constexpr int64_t kDefaultByteLimit = 64 << 20;

  explicit EncodedFileCache(int64_t byte_limit = kDefaultByteLimit) : byte_limit_(byte_limit) {}

  // Appends "\r\n", the base64 form of the file (base64_encode's lines)
  // and "\r\n" to *out. False when the path is empty, the file cannot be
  // read, or *out would pass String::kMaxLength.
  bool append_file_base64(const String& path, String* out);

  // Returns the clock installed before; null puts the system's back.
  Clock set_clock(Clock clock);
  void clear();

  // How often a file was read from disk, and how many forms are kept: what
  // tests check to see the cache at work.
  int64_t reads() const;
  int kept() const;

  // The cache the message builder uses.
  static EncodedFileCache& shared();

 private:
  struct Version {
    uint64_t device = 0;
    uint64_t inode = 0;
    int64_t size = 0;
    int64_t modified = 0;  // nanoseconds
    int64_t changed = 0;
    bool operator==(const Version&) const = default;
  };
  struct Entry {
    String path;
    Version version;
    String encoded;
  };
  static bool look_up(const String& path, Version* version);
  // With the mutex held.
  void drop(std::list<Entry>::iterator entry);
  void keep(const String& path, const Version& version, String&& encoded);

  const int64_t byte_limit_;
  mutable std::mutex mutex_;
  Clock clock_ = system_clock;
  // Most recently used first.
  std::list<Entry> entries_;
  std::unordered_map<std::string_view, std::list<Entry>::iterator> index_;
  int64_t bytes_ = 0;
  int64_t reads_ = 0;
};

}  // namespace tessaline
