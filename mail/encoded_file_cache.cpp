#include "mail/encoded_file_cache.h"

#include <sys/stat.h>

#include <ctime>

#include "storage/paths.h"
#include "mail/mime_message.h"

namespace tessaline {

namespace {

constexpr int64_t kNanoseconds = 1000000000;

int64_t nanoseconds(const timespec& t) { return t.tv_sec * kNanoseconds + t.tv_nsec; }

// Whether "\r\n", the form of `size` bytes and "\r\n" still fit behind
// `length` bytes: an estimate on the high side, so that the check can come
// before the encoding.
bool fits(int length, int64_t size) {
  int64_t encoded = size * 4 / 3 + size / 18 * 2 + 16;
  return length + encoded + 4 <= String::kMaxLength;
}

void append_part(String* out, const String& encoded) {
  out->append("\r\n");
  out->append(encoded);
  out->append("\r\n");
}

}  // namespace

int64_t EncodedFileCache::system_clock() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return nanoseconds(now);
}

int64_t EncodedFileCache::settle_time(int64_t changed) {
  constexpr int64_t kRound = 10000000;  // 10 ms
  return changed % kRound != 0 ? kFineSettle : kCoarseSettle;
}

EncodedFileCache& EncodedFileCache::shared() {
  static EncodedFileCache cache;
  return cache;
}

// Only regular files count: a FIFO or a device gives other bytes each time.
bool EncodedFileCache::look_up(const String& path, Version* version) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  version->device = info.st_dev;
  version->inode = info.st_ino;
  version->size = info.st_size;
  version->modified = nanoseconds(info.st_mtim);
  version->changed = nanoseconds(info.st_ctim);
  return true;
}

bool EncodedFileCache::append_file_base64(const String& path, String* out) {
  if (path.empty()) return false;
  Version before;
  const bool regular = look_up(path, &before);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = index_.find(path.view());
    if (found != index_.end()) {
      auto entry = found->second;
      if (regular && entry->version == before) {
        if (!fits(out->length(), before.size)) return false;
        entries_.splice(entries_.begin(), entries_, entry);
        append_part(out, entry->encoded);
        return true;
      }
      drop(entry);
    }
  }

  String bytes;
  if (!read_whole_file(path, bytes)) return false;
  const int64_t size = bytes.length();
  if (!fits(out->length(), size)) return false;
  base64_encode(&bytes);
  append_part(out, bytes);

  // Kept only when nothing changed the file while it was read, and its
  // last change is old enough that a later one shows in its times.
  Version after;
  std::lock_guard<std::mutex> lock(mutex_);
  ++reads_;
  if (regular && look_up(path, &after) && after == before && after.size == size &&
      after.changed < clock_() - settle_time(after.changed)) {
    keep(path, after, std::move(bytes));
  }
  return true;
}

void EncodedFileCache::drop(std::list<Entry>::iterator entry) {
  bytes_ -= entry->encoded.length();
  index_.erase(entry->path.view());
  entries_.erase(entry);
}

void EncodedFileCache::keep(const String& path, const Version& version, String&& encoded) {
  auto found = index_.find(path.view());
  if (found != index_.end()) drop(found->second);
  if (encoded.length() > byte_limit_) return;
  entries_.push_front(Entry{path, version, std::move(encoded)});
  index_.emplace(entries_.front().path.view(), entries_.begin());
  bytes_ += entries_.front().encoded.length();
  while (bytes_ > byte_limit_) drop(std::prev(entries_.end()));
}

EncodedFileCache::Clock EncodedFileCache::set_clock(Clock clock) {
  std::lock_guard<std::mutex> lock(mutex_);
  Clock previous = clock_;
  clock_ = clock ? clock : system_clock;
  return previous;
}

void EncodedFileCache::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  index_.clear();
  entries_.clear();
  bytes_ = 0;
}

int64_t EncodedFileCache::reads() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return reads_;
}

int EncodedFileCache::kept() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(entries_.size());
}

}  // namespace tessaline
