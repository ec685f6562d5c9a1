// send_log.h - the send log "Trenk.LOG": who was sent to, who was
// rejected and why, and the totals of each batch.
//
// The log is created anew by every send operation (the previous one is
// replaced) and held open, exclusively, until the operation ends. The
// texts themselves are made by the functions below, byte for byte in the
// log's format (CR LF line ends).
//
// A message's lines are written together, once it has its outcome: the
// send operation holds the log (hold() ... release()) from the first line
// about a message (No Preview: its "accepted" line) to its outcome, and
// the whole text then goes to the log, and to the kept copy, with one
// write each. Outside a hold every piece of text goes straight to the
// file with one write. The log's bytes are the same either way; what
// changes is only what a killed send leaves: no "Sending X :" without an
// outcome, but no line at all for the message that was on its way. That
// message is the send journal's to account for (send/send_journal.h): it
// records the end of the data going out before it does and the outcome
// after, and a resume says in this log that such a message may arrive
// twice. So the log of a killed send shows whom it had sent to, and what
// became of each, up to the message in flight. A message that is tried
// again after a wait has the lines of each try written before the wait
// (flush()), so that the log says why the send waits: one write per try.
//
// Not for: showing the log (send_operation.h copies it to "TempLog.TXT"
// and opens the copy).
//
// Failures: create() returns false with the system's text. A write that
// fails (a full disk, a file size limit) returns false and is remembered
// with the system's text (write_failed(), write_error()); the send
// operation then stops before its next message, since the log is the
// person's only record of whom it sent to. A write held back fails only
// when it is released: the message it was about has gone (or failed) by
// then, and the send operation names it when it says why it stopped.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string_view>

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
  // From hold() to its release() the texts written are kept back and then
  // written with one write to each file; holds nest, and only the
  // outermost release() writes. A write while held returns false only
  // after a failed write before it. release() returns false when the kept
  // text could not be written; close() releases what is held.
  void hold() { ++holds_; }
  bool release();
  bool held() const { return holds_ > 0; }
  // Writes what a hold has kept back so far; the hold goes on.
  bool flush();
  // --- several messages on their way at once ---
  // A send over several connections has a message on its way on each, on
  // a fiber of its own (core/fiber.h). From begin_blocks() to end_blocks()
  // every text goes to a block: the one the running fiber was given
  // (use_block()), or, for the code outside the fibers, the open block at
  // the end. hand_over() gives that open block to the message about to go
  // (the lines written so far about it, such as "Sending X :", stay at its
  // start) and opens the next; close_block() says the message's lines are
  // complete. Blocks reach the file in the order they were opened, each
  // with one write, as soon as every block before it is complete: so the
  // log lists the messages in the order they were sent off, each with its
  // lines together, exactly as with one connection. flush() writes nothing
  // meanwhile: the lines of a message that waits to be tried again wait
  // with it.
  struct Block {
    String text;
    // Named where the send says why it stopped, when this block is the
    // first that could not be written (a message that was sent).
    String label;
    bool complete = false;
  };
  void begin_blocks();
  bool in_blocks() const { return blocks_on_; }
  Block* hand_over();
  void use_block(Block* block);  // for the running fiber
  // False when the log could not be written, now or before.
  bool close_block(Block* block);
  // Completes the open block and writes every block that is left.
  void end_blocks();
  // The label of the first block whose write failed; empty when none.
  const String& unwritten_label() const { return unwritten_label_; }

  // Called with each write that goes to a file, and which file (the kept
  // copy or the log); for tests, which count them.
  using WriteHook = std::function<void(bool copy, std::string_view text)>;
  void set_write_hook(WriteHook hook) { hook_ = std::move(hook); }
  bool write_failed() const { return write_failed_; }
  // Why the first failed write failed.
  const String& write_error() const { return write_error_; }
  // Copies what has been written so far to `path` (the log itself stays
  // open and unshared).
  bool copy_to(const String& path);
  void close();

 private:
  bool write_now(const String& text);
  void write_complete_blocks();

  File file_;
  File copy_;
  String path_;
  bool write_failed_ = false;
  String write_error_;
  int holds_ = 0;
  String held_;
  WriteHook hook_;
  bool blocks_on_ = false;
  std::deque<Block> blocks_;  // a deque: a block stays where it is
  String unwritten_label_;
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
