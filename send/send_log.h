// send_log.h - the send log "Trenk.LOG": who was sent to, who was
// rejected and why, and the totals of each batch.
//
// The log is created anew by every send operation (the previous one is
// replaced) and held open, exclusively, until the operation ends. Every
// piece of text goes straight to the file with one write, never into a
// buffer of this process, so a send that is killed still leaves a log
// that shows exactly whom it had sent to. The texts themselves are made
// by the functions below, byte for byte in the log's format (CR LF line
// ends).
//
// Not for: showing the log (send_operation.h copies it to "TempLog.TXT"
// and opens the copy).
//
// Failures: create() returns false with the system's text. A write that
// fails (a full disk, a file size limit) returns false and is remembered
// with the system's text (write_failed(), write_error()); the send
// operation then stops before its next message, since the log is the
// person's only record of whom it sent to.
#pragma once

#include <cstdint>

#include "core/string.h"
#include "storage/file.h"

namespace tessaline {

inline constexpr char kSendLogName[] = "Trenk.LOG";
inline constexpr char kLogViewName[] = "TempLog.TXT";

class SendLog {
 public:
  bool create(const String& path, String* error);
  // Writes everything from now on to a second file too: the copy of this
  // log that is kept after the next operation has replaced it. A copy that
  // cannot be written is given up quietly; the log goes on.
  void keep_copy(const String& path);
  bool is_open() const { return file_.is_open(); }
  const String& path() const { return path_; }
  // False when the text could not be written whole, now or before. After
  // a failed write nothing more is written, so that the log never holds
  // text behind a gap.
  bool write(const String& text);
  bool write(const char* text);
  bool write_failed() const { return write_failed_; }
  // Why the first failed write failed.
  const String& write_error() const { return write_error_; }
  // Copies what has been written so far to `path` (the log itself stays
  // open and unshared).
  bool copy_to(const String& path);
  void close();

 private:
  File file_;
  File copy_;
  String path_;
  bool write_failed_ = false;
  String write_error_;
};

// "\r\nSend operation performed on <date and time>\r\n", a row of "-" as
// long as the heading without its leading CR LF, and CR LF.
String log_heading(const String& date_time);

// The totals of one batch, ending in CR LF: unless identical, "\r\n<n> sent
// successfully, <e> errors\r\n"; then "\r\nTotal elapsed time: <duration>",
// "\r\nTotal bytes sent: <size>", " (<size> per second)" when anything was
// sent in a measurable time, and "\r\n".
String totals_text(bool identical, int attempted, int errors, int64_t elapsed_ms,
                   int64_t bytes_sent);

}  // namespace tessaline
