#include "storage/file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <cstring>
#include <thread>

#include "core/fatal_error.h"
#include "platform/temporary_files.h"
#include "storage/paths.h"

namespace tessaline {

namespace {

constexpr const char* kUnit = "gfile";
constexpr const char* kTooLargeForMemory = "The file is too large to hold in memory";
constexpr const char* kInUse = "The file is being used by another process.";

// strerror_r comes in two flavours; both end up here.
[[maybe_unused]] const char* message_of(int result, const char* buffer) {
  return result == 0 ? buffer : "";
}
[[maybe_unused]] const char* message_of(const char* result, const char*) { return result; }

// Writes all n bytes unless the system refuses; `written` says how many went.
bool write_all(int fd, const char* bytes, int64_t n, int64_t& written) {
  written = 0;
  while (written < n) {
    ssize_t r = ::write(fd, bytes + written, static_cast<size_t>(n - written));
    if (r < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (r == 0) break;
    written += r;
  }
  return true;
}

// Reads up to n bytes, stopping early only at the end of the file.
bool read_all(int fd, char* buffer, int64_t n, int64_t& got) {
  got = 0;
  while (got < n) {
    ssize_t r = ::read(fd, buffer + got, static_cast<size_t>(n - got));
    if (r < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (r == 0) break;
    got += r;
  }
  return true;
}

}  // namespace

String system_message(int error) {
  if (error == 0) return String();
  char buffer[256] = "";
  return String(message_of(strerror_r(error, buffer, sizeof buffer), buffer));
}

File::~File() { close(); }

// --- opening ----------------------------------------------------------------

bool File::open_existing(const String& name, bool read, bool write, bool exclusive) {
  unsigned options = kOpenExisting;
  if (!read) options |= kNoRead;
  if (!write) options |= kNoWrite;
  if (!exclusive) options |= kShareRead | kShareWrite;
  return open(name, options);
}

bool File::create(const String& name, bool exclusive) {
  return open(name, kCreateOrEmpty | (exclusive ? 0u : kShareRead | kShareWrite));
}

bool File::open(const String& name, unsigned options, unsigned attributes) {
  close();
  last_error_.clear();
  auto attempt = [&] {
    if (!open_once(name, options, attributes)) return false;
    if ((options & kLoadIntoMemory) && !load_into_memory()) {
      String reason = last_error_;
      close();
      last_error_ = reason;
      return false;
    }
    return true;
  };
  bool opened = attempt();
  if (!opened && (options & kRetry)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    opened = attempt();
  }
  if (!opened) {
    if (options & kRequired) FatalError("Failed to open required file:\r\n%s", name.c_str());
    return false;
  }
  if (options & kAtEnd) seek_from_end(0);
  if (options & kCloseAtOnce) close();
  return true;
}

void File::open_in_memory(const String& name) {
  close();
  last_error_.clear();
  name_ = name;
  memory_only_ = in_memory_ = true;
  can_read_ = can_write_ = true;
}

bool File::open_once(const String& name, unsigned options, unsigned attributes) {
  bool read = !(options & kNoRead);
  bool write = !(options & kNoWrite);
  unsigned disposition = options & kDispositionMask;
  bool temporary = (options & (kTempInDirectory | kTempBesideName)) != 0;
  bool empty_it = !temporary && disposition == kCreateOrEmpty;
  String path = name;
  int fd;

  if (temporary) {
    String directory = (options & kTempInDirectory) ? name : directory_part(name);
    fd = create_temporary_file(directory, &path);
  } else {
    // Emptying needs a descriptor that may write even when the caller does
    // not ask to; it happens only once the lock is held.
    int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    if (read && (write || empty_it)) flags |= O_RDWR;
    else if (write || empty_it) flags |= O_WRONLY;
    else flags |= O_RDONLY;
    if (disposition == kCreateNew) flags |= O_CREAT | O_EXCL;
    else if (disposition != kOpenExisting) flags |= O_CREAT;
    mode_t mode = (attributes & kAttributeReadOnly) ? 0444 : 0666;
    fd = ::open(name.c_str(), flags, mode);
  }
  if (fd < 0) {
    last_error_ = system_message(errno);
    return false;
  }

  auto fail = [&](const String& reason) {
    ::close(fd);
    last_error_ = reason;
    return false;
  };
  struct stat info {};
  if (fstat(fd, &info) != 0) return fail(system_message(errno));
  // A directory opens on Linux, but it is no file to read or write.
  if (S_ISDIR(info.st_mode)) return fail(system_message(EISDIR));
  // O_NONBLOCK only kept a FIFO without a writer from hanging the open.
  if (!temporary) {
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  }

  bool shared = (options & (kShareRead | kShareWrite)) != 0;
  if (flock(fd, (shared ? LOCK_SH : LOCK_EX) | LOCK_NB) != 0) {
    // File systems without locks still open: the lock only keeps out other
    // copies of the program, and failing every open there would be worse.
    if (errno == EWOULDBLOCK) return fail(kInUse);
    if (errno != ENOLCK && errno != EINVAL && errno != EOPNOTSUPP) {
      return fail(system_message(errno));
    }
  }
  if (empty_it && ftruncate(fd, 0) != 0) return fail(system_message(errno));

  fd_ = fd;
  name_ = path;
  can_read_ = read;
  can_write_ = write;
  return true;
}

bool File::close() {
  bool ok = true;
  if (fd_ >= 0) {
    if (in_memory_) {
      in_memory_ = false;
      if (memory_dirty_) ok = write_image_back();
    }
    int result = ::close(fd_);
    TESSALINE_CHECK(result == 0 || errno != EBADF, kUnit);
    if (result != 0 && ok) {
      last_error_ = system_message(errno);
      ok = false;
    }
    fd_ = -1;
  }
  positions_.clear();
  memory_.clear();
  cursor_ = 0;
  in_memory_ = memory_dirty_ = memory_only_ = false;
  can_read_ = can_write_ = false;
  return ok;
}

bool File::write_image_back() {
  int64_t written = 0;
  if (lseek(fd_, 0, SEEK_SET) < 0 || !write_all(fd_, memory_.c_str(), memory_.length(), written) ||
      ftruncate(fd_, memory_.length()) != 0) {
    last_error_ = system_message(errno);
    return false;
  }
  if (written < memory_.length()) {
    last_error_ = "Not all data could be written";
    return false;
  }
  memory_dirty_ = false;
  return true;
}

// --- reading and writing ----------------------------------------------------

bool File::write(const void* bytes, int n) {
  if (n == 0) return true;
  if (n < 0) {
    last_error_ = "Illegal block size";
    return false;
  }
  if (!bytes) {
    last_error_ = "NULL block pointer";
    return false;
  }
  // Closing clears the access flags, so a closed File is told apart before
  // the access test: a write to it is the caller's fault, not a refusal.
  if (!is_open()) {
    if (report_unopened_write_) FatalError("Write to unopened File:\n%s", name_.c_str());
    last_error_ = "File not open";
    return false;
  }
  if (!can_write_) {
    last_error_ = "Write access denied";
    return false;
  }

  if (in_memory_) {
    int64_t end = cursor_ + n;
    if (end > String::kMaxLength) {
      last_error_ = kTooLargeForMemory;
      return false;
    }
    int old_length = memory_.length();
    if (end > old_length) {
      memory_.set_length(static_cast<int>(end));
      // A cursor moved past the end leaves a gap that reads as zeros, as it
      // does in a file.
      if (cursor_ > old_length) {
        std::memset(memory_.data() + old_length, 0, static_cast<size_t>(cursor_ - old_length));
      }
    }
    std::memcpy(memory_.data() + cursor_, bytes, static_cast<size_t>(n));
    cursor_ = end;
    memory_dirty_ = true;
    return true;
  }

  int64_t written = 0;
  if (!write_all(fd_, static_cast<const char*>(bytes), n, written)) {
    last_error_ = system_message(errno);
    return false;
  }
  if (flush_after_write_) flush();
  if (written < n) {
    last_error_ = "Not all data could be written";
    return false;
  }
  return true;
}

bool File::read(void* buffer, int n) {
  if (n == 0) return true;
  if (n < 0) {
    last_error_.format("Illegal block size %d", n);
    return false;
  }
  if (!buffer) {
    last_error_ = "NULL block pointer";
    return false;
  }
  if (!is_open()) {
    last_error_ = "File not open";
    return false;
  }
  if (!can_read_) {
    last_error_ = "Read access denied";
    return false;
  }

  if (in_memory_) {
    if (cursor_ > memory_.length() || memory_.length() - cursor_ < n) {
      last_error_ = "Read past end of file";
      return false;
    }
    std::memcpy(buffer, memory_.c_str() + cursor_, static_cast<size_t>(n));
    cursor_ += n;
    return true;
  }

  int64_t got = 0;
  if (!read_all(fd_, static_cast<char*>(buffer), n, got)) {
    last_error_ = system_message(errno);
    return false;
  }
  if (got < n) {
    last_error_ = "Read past end of file";
    return false;
  }
  return true;
}

void File::write_or_fail(const void* bytes, int n) {
  if (!write(bytes, n)) {
    FatalError("An error has occurred while writing data to a file:\n%s", last_error_.c_str());
  }
}

void File::fail_reading() {
  FatalError("An error has occurred while reading data from a file:\n%s\n\nFile: %s",
             last_error_.c_str(), name_.c_str());
}

void File::read_or_fail(void* buffer, int n) {
  if (!read(buffer, n)) fail_reading();
}

bool File::write_at(int64_t position, const void* bytes, int n) {
  int64_t saved = tell();
  if (!seek(position)) return false;
  bool ok = write(bytes, n);
  seek(saved);
  return ok;
}

bool File::read_at(int64_t position, void* buffer, int n) {
  int64_t saved = tell();
  if (!seek(position)) return false;
  bool ok = read(buffer, n);
  seek(saved);
  return ok;
}

bool File::write_format(const char* format, ...) {
  String text;
  va_list args;
  va_start(args, format);
  text.append_vformat(format, args);
  va_end(args);
  return write(text);
}

// --- counted strings --------------------------------------------------------

void File::write_counted(const String& text, int width, int64_t limit) {
  int64_t n = text.length() < limit ? text.length() : limit;
  unsigned char header[4];
  for (int i = 0; i < width; ++i) header[i] = static_cast<unsigned char>(n >> (8 * i));
  write_or_fail(header, width);
  write_or_fail(text.c_str(), static_cast<int>(n));
}

void File::write_string8(const String& text) { write_counted(text, 1, kMaxString8); }
void File::write_string16(const String& text) { write_counted(text, 2, kMaxString16); }
void File::write_string32(const String& text) { write_counted(text, 4, String::kMaxLength); }

bool File::read_count(int width, uint32_t& count) {
  unsigned char header[4] = {};
  if (!read(header, width)) return false;
  count = 0;
  for (int i = 0; i < width; ++i) count |= static_cast<uint32_t>(header[i]) << (8 * i);
  return true;
}

bool File::read_counted(String& text, int64_t count) {
  // The length comes from the file: it must fit in what is left of it
  // before anything is allocated for it.
  if (count > size() - tell()) {
    last_error_ = "Read past end of file";
    return false;
  }
  String value;
  if (count > 0) {
    value.set_length(static_cast<int>(count));
    if (!read(value.data(), static_cast<int>(count))) return false;
  }
  text = std::move(value);
  return true;
}

bool File::try_read_string8(String& text) {
  uint32_t count;
  return read_count(1, count) && read_counted(text, count);
}

bool File::try_read_string16(String& text) {
  uint32_t count;
  return read_count(2, count) && read_counted(text, count);
}

bool File::try_read_string32(String& text) {
  uint32_t count;
  if (!read_count(4, count)) return false;
  auto length = static_cast<int32_t>(count);
  if (length < 0) {
    last_error_.format("Illegal block size %d", length);
    return false;
  }
  return read_counted(text, length);
}

void File::read_string8(String& text) {
  if (!try_read_string8(text)) fail_reading();
}
void File::read_string16(String& text) {
  if (!try_read_string16(text)) fail_reading();
}
void File::read_string32(String& text) {
  if (!try_read_string32(text)) fail_reading();
}

// --- positions --------------------------------------------------------------

bool File::seek(int64_t position) {
  if (!is_open()) {
    last_error_ = "File not open";
    return false;
  }
  if (position < 0) {
    last_error_.format("Illegal position %lld", static_cast<long long>(position));
    return false;
  }
  if (in_memory_) {
    cursor_ = position;
    return true;
  }
  if (lseek(fd_, position, SEEK_SET) < 0) {
    last_error_ = system_message(errno);
    return false;
  }
  return true;
}

bool File::seek_relative(int64_t delta) { return is_open() ? seek(tell() + delta) : seek(-1); }

bool File::seek_from_end(int64_t delta) { return is_open() ? seek(size() + delta) : seek(-1); }

int64_t File::tell() const {
  if (!is_open()) return -1;
  if (in_memory_) return cursor_;
  return lseek(fd_, 0, SEEK_CUR);
}

int64_t File::size() const {
  if (!is_open()) return -1;
  if (in_memory_) return memory_.length();
  struct stat info {};
  if (fstat(fd_, &info) != 0) return -1;
  return info.st_size;
}

void File::push_position(int64_t position) {
  positions_.push(tell());
  seek(position);
}

void File::pop_position() {
  TESSALINE_CHECK(!positions_.empty(), kUnit);
  seek(positions_.pop());
}

// --- whole-file operations --------------------------------------------------

bool File::truncate() {
  if (!is_open()) {
    last_error_ = "File not open";
    return false;
  }
  if (!can_write_) {
    last_error_ = "Write access denied";
    return false;
  }
  if (in_memory_) {
    if (cursor_ > String::kMaxLength) {
      last_error_ = kTooLargeForMemory;
      return false;
    }
    int old_length = memory_.length();
    memory_.set_length(static_cast<int>(cursor_));
    if (cursor_ > old_length) {
      std::memset(memory_.data() + old_length, 0, static_cast<size_t>(cursor_ - old_length));
    }
    memory_dirty_ = true;
    return true;
  }
  if (ftruncate(fd_, tell()) != 0) {
    last_error_ = system_message(errno);
    return false;
  }
  return true;
}

bool File::flush() {
  if (!is_open()) return false;
  if (in_memory_) return true;
  // Pipes and terminals have nothing to put on disk.
  if (fdatasync(fd_) != 0 && errno != EINVAL && errno != EROFS) {
    last_error_ = system_message(errno);
    return false;
  }
  return true;
}

bool File::load_into_memory() {
  if (!is_open()) {
    last_error_ = "File not open";
    return false;
  }
  // The image already holds the newest bytes; reading the disk again would
  // throw away writes not yet stored.
  if (in_memory_) return true;
  if (!can_read_) {
    last_error_ = "Read access denied";
    return false;
  }
  int64_t length = size();
  int64_t position = tell();
  if (length < 0 || position < 0) {
    last_error_ = system_message(errno);
    return false;
  }
  if (length > String::kMaxLength) {
    last_error_ = kTooLargeForMemory;
    return false;
  }
  String image;
  if (length > 0) {
    image.set_length(static_cast<int>(length));
    int64_t got = 0;
    if (lseek(fd_, 0, SEEK_SET) < 0 || !read_all(fd_, image.data(), length, got)) {
      last_error_ = system_message(errno);
      lseek(fd_, position, SEEK_SET);
      return false;
    }
    // The file shrank since it was measured: the image is what is there.
    image.set_length(static_cast<int>(got));
  }
  memory_ = std::move(image);
  cursor_ = position;
  in_memory_ = true;
  memory_dirty_ = false;
  return true;
}

bool File::copy_to(const String& new_name) {
  if (!is_open()) {
    last_error_ = "File not open";
    return false;
  }
  // Creating the target would empty it, and with it this file.
  struct stat mine {}, theirs {};
  if (fstat(fd_, &mine) == 0 && stat(new_name.c_str(), &theirs) == 0 &&
      mine.st_dev == theirs.st_dev && mine.st_ino == theirs.st_ino) {
    last_error_ = "A file cannot be copied onto itself";
    return false;
  }
  File target;
  if (!target.open(new_name, kCreateOrEmpty | kShareRead | kShareWrite)) {
    last_error_ = target.last_error();
    return false;
  }
  int64_t saved = tell();
  bool ok = seek(0);
  char block[4096];
  for (int64_t left = size(); ok && left > 0;) {
    int n = left < static_cast<int64_t>(sizeof block) ? static_cast<int>(left)
                                                      : static_cast<int>(sizeof block);
    if (!read(block, n)) {
      ok = false;
    } else if (!target.write(block, n)) {
      last_error_ = target.last_error();
      ok = false;
    }
    left -= n;
  }
  seek(saved);
  if (!target.close() && ok) {
    last_error_ = target.last_error();
    ok = false;
  }
  return ok;
}

FileTime File::get_file_time() const {
  struct stat info {};
  if (!is_open() || fstat(fd_, &info) != 0) return FileTime();
  return FileTime::from_local(info.st_mtim.tv_sec);
}

}  // namespace tessaline
