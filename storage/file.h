// file.h - File, one open file with uniform error reporting.
//
// A File wraps one POSIX file descriptor. Reads and writes return false on
// failure and keep the reason as text (last_error()) for the caller to show;
// the *_or_fail forms and the counted-string readers and writers end the
// program with a fatal error instead, for callers that cannot go on. A File
// can hold the whole file in memory (load_into_memory, or the kLoadIntoMemory
// option): reads, writes and seeks then work on the image, which is written
// back when the file closes.
//
// Exclusive opens keep other Files out with a non-blocking flock(): a File
// opened without any sharing takes an exclusive lock, one that lets others
// read or write takes a shared lock, so an exclusive open fails while any
// other File (in this or another process of the program) has the file, and
// a shared open fails while one has it exclusively. The locks are advisory:
// they keep out copies of this program, not other programs.
//
// Not for: text translation (bytes go through unchanged), files of more than
// String::kMaxLength bytes in memory, sharing one File between threads.
//
// Failures: opening fails quietly (false; last_error() holds the system's
// text) unless kRequired asks for a fatal error. Positions are byte offsets
// from the start of the file.
#pragma once

#include <cstdint>

#include "core/containers.h"
#include "core/string.h"
#include "storage/file_info.h"

namespace tessaline {

class File {
 public:
  // Option bits of open().
  enum Option : unsigned {
    // The two-bit disposition field.
    kOpenOrCreate = 0x0,   // open, or create when absent
    kOpenExisting = 0x1,   // open only when present
    kCreateNew = 0x2,      // create only when absent
    kCreateOrEmpty = 0x3,  // create, or empty an existing file
    kDispositionMask = 0x3,

    kNoRead = 0x8,
    kNoWrite = 0x10,
    // A failed open is the fatal error "Failed to open required file:\r\n%s".
    kRequired = 0x20,
    // A failed first attempt is tried once more after 500 milliseconds.
    kRetry = 0x40,
    // Loads the whole file into memory after opening; when that fails, the
    // file is closed and open() fails.
    kLoadIntoMemory = 0x80,
    // Opens a fresh temporary file of this process (platform/
    // temporary_files.h) in the directory given as the name...
    kTempInDirectory = 0x100,
    // ...or in the directory part of the name. name() is then the new file's.
    kTempBesideName = 0x200,
    kShareRead = 0x400,   // others may read
    kShareWrite = 0x800,  // others may write
    kAtEnd = 0x1000,      // positions at the end after opening
    kCloseAtOnce = 0x2000,  // closes again at once: creates or touches
  };
  // Attribute bits of open() that matter here: kAttributeReadOnly gives a
  // file created by this open no write permission; the rest are ignored.
  static constexpr unsigned kNormalAttributes = kAttributeNormal;

  // The longest texts the 8- and 16-bit counted strings hold.
  static constexpr int kMaxString8 = 255;
  static constexpr int kMaxString16 = 65535;

  File() = default;
  ~File();
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // --- opening: each closes first; true on success ---
  bool open_existing(const String& name, bool read, bool write, bool exclusive);
  // Read and write access; an existing file is emptied.
  bool create(const String& name, bool exclusive);
  bool open(const String& name, unsigned options, unsigned attributes = kNormalAttributes);
  // A file that lives in memory only, under `name` for messages: it starts
  // empty, reads and writes work on its image (memory_image()), and closing
  // drops the image. Nothing reaches a disk, so building a file this way
  // cannot fail for want of space and leaves nothing behind.
  void open_in_memory(const String& name);
  // Writes a dirty memory image back and closes. False when the write-back
  // failed (last_error() says why); the file is closed either way.
  bool close();

  bool is_open() const { return fd_ >= 0 || memory_only_; }
  const String& name() const { return name_; }
  const String& last_error() const { return last_error_; }
  bool can_read() const { return can_read_; }
  bool can_write() const { return can_write_; }
  bool in_memory() const { return in_memory_; }
  bool memory_dirty() const { return memory_dirty_; }
  // The whole file while in memory.
  const String& memory_image() const { return memory_; }

  // A write to a closed File is a fatal error while this is on (the
  // default); while off it fails quietly.
  void set_report_unopened_write(bool on) { report_unopened_write_ = on; }
  // Every successful write is followed by flush() while this is on.
  void set_flush_after_write(bool on) { flush_after_write_ = on; }

  // --- reading and writing ---
  bool write(const void* bytes, int n);
  bool write(const String& text) { return write(text.c_str(), text.length()); }
  bool read(void* buffer, int n);
  // Fatal forms: "An error has occurred while writing data to a file:\n%s",
  // "An error has occurred while reading data from a file:\n%s\n\nFile: %s".
  void write_or_fail(const void* bytes, int n);
  void read_or_fail(void* buffer, int n);
  // Transfer at a position; the current position is kept.
  bool write_at(int64_t position, const void* bytes, int n);
  bool read_at(int64_t position, void* buffer, int n);
  // printf-style; the formatted bytes without terminator.
  bool write_format(const char* format, ...) __attribute__((format(printf, 2, 3)));

  // Counted strings: a little-endian length (one unsigned byte, two unsigned
  // bytes, four signed bytes) followed by that many bytes. Longer texts are
  // cut to the first 255 or 65535 bytes. Failures are fatal (see above).
  void write_string8(const String& text);
  void write_string16(const String& text);
  void write_string32(const String& text);
  void read_string8(String& text);
  void read_string16(String& text);
  void read_string32(String& text);
  // The readers without the fatal error: false with last_error() set, and
  // `text` unchanged. A length that is negative or larger than what is left
  // of the file fails before anything is allocated.
  bool try_read_string8(String& text);
  bool try_read_string16(String& text);
  bool try_read_string32(String& text);

  // --- positions ---
  bool seek(int64_t position);
  bool seek_relative(int64_t delta);
  bool seek_from_end(int64_t delta);
  int64_t tell() const;  // -1 when closed
  int64_t size() const;  // -1 when closed
  // Saves the current position and moves to a new one; pop_position()
  // returns to the saved one (an empty stack is a fatal error).
  void push_position(int64_t position);
  void pop_position();

  // Ends the file at the current position; needs write access.
  bool truncate();
  // Asks the system to put the written data on disk.
  bool flush();
  // Reads the whole file into memory and works there from now on. The
  // position is kept. Does nothing when already in memory.
  bool load_into_memory();
  // Creates (or empties) new_name and copies this file's whole contents into
  // it in 4096-byte blocks; the position is kept. False when anything could
  // not be copied, or when new_name is this very file.
  bool copy_to(const String& new_name);
  // The last-write time in local time; all zero when closed.
  FileTime get_file_time() const;

 private:
  bool open_once(const String& name, unsigned options, unsigned attributes);
  bool check_transfer(int n, bool writing);
  bool write_image_back();
  void fail_reading();
  bool read_count(int width, uint32_t& count);
  bool read_counted(String& text, int64_t count);
  void write_counted(const String& text, int width, int64_t limit);

  int fd_ = -1;
  String name_;
  Stack<int64_t> positions_;
  String memory_;
  int64_t cursor_ = 0;
  bool in_memory_ = false;
  bool memory_only_ = false;  // open_in_memory(): no descriptor behind the image
  bool memory_dirty_ = false;
  bool report_unopened_write_ = true;
  bool flush_after_write_ = false;
  bool can_read_ = false;
  bool can_write_ = false;
  String last_error_;
};

// The system's message text for an errno value ("" for 0).
String system_message(int error);

}  // namespace tessaline
