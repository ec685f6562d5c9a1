// send_log.cpp - the send log file and its texts.
#include "send/send_log.h"

#include "core/fiber.h"
#include "core/text_format.h"

namespace tessaline {

namespace {
// The block of the message the running fiber carries.
FiberLocal<SendLog::Block> fiber_block;
}  // namespace

bool SendLog::create(const String& path, String* error) {
  path_ = path;
  holds_ = 0;
  blocks_on_ = false;
  blocks_.clear();
  unwritten_label_.clear();
  held_ = String();
  if (copy_.is_open()) copy_.close();
  write_failed_ = false;
  write_error_.clear();
  if (!file_.create(path, /*exclusive=*/true)) {
    if (error) *error = file_.last_error();
    return false;
  }
  // A write after close() is a quiet failure, not a fatal error.
  file_.set_report_unopened_write(false);
  return true;
}

void SendLog::keep_copy(const String& path) {
  if (copy_.create(path, /*exclusive=*/false)) copy_.set_report_unopened_write(false);
}

bool SendLog::write(const String& text) {
  if (blocks_on_) {
    if (write_failed_) return false;
    Block* block = fiber_block.get();
    (block ? *block : blocks_.back()).text += text;
    return true;
  }
  if (holds_ > 0) {
    if (write_failed_) return false;
    held_ += text;
    return true;
  }
  return write_now(text);
}

bool SendLog::write_now(const String& text) {
  // Nothing goes in behind a gap: what the log holds stays true.
  if (write_failed_) return false;
  if (hook_) hook_(false, text.view());
  if (!file_.write(text)) {
    write_failed_ = true;
    write_error_ = file_.last_error();
  }
  if (copy_.is_open() && !write_failed_ && hook_) hook_(true, text.view());
  if (copy_.is_open() && (write_failed_ || !copy_.write(text))) copy_.close();
  return !write_failed_;
}

bool SendLog::flush() {
  if (blocks_on_ || held_.empty()) return !write_failed_;
  String text = std::move(held_);
  held_ = String();
  return write_now(text);
}

bool SendLog::release() {
  if (holds_ > 0 && --holds_ > 0) return !write_failed_;
  return flush();
}

bool SendLog::write(const char* text) { return write(String(text)); }

bool SendLog::copy_to(const String& path) { return file_.is_open() && file_.copy_to(path); }

void SendLog::begin_blocks() {
  if (blocks_on_) return;
  flush();
  blocks_on_ = true;
  blocks_.emplace_back();
}

SendLog::Block* SendLog::hand_over() {
  Block* block = &blocks_.back();
  blocks_.emplace_back();
  return block;
}

void SendLog::use_block(Block* block) { fiber_block.set(block); }

bool SendLog::close_block(Block* block) {
  block->complete = true;
  write_complete_blocks();
  return !write_failed_;
}

void SendLog::write_complete_blocks() {
  while (!blocks_.empty() && blocks_.front().complete) {
    Block& block = blocks_.front();
    const bool failed_before = write_failed_;
    if (!block.text.empty() && !write_now(block.text) && !failed_before) {
      unwritten_label_ = block.label;
    }
    blocks_.pop_front();
  }
}

void SendLog::end_blocks() {
  if (!blocks_on_) return;
  // Every block is written; one never closed (a send cut short) too.
  for (Block& block : blocks_) block.complete = true;
  write_complete_blocks();
  blocks_on_ = false;
}

void SendLog::close() {
  end_blocks();
  holds_ = 0;
  flush();
  if (file_.is_open()) file_.close();
  if (copy_.is_open()) copy_.close();
}

String log_heading(const String& date_time) {
  String heading = "Send operation performed on " + date_time;
  String text = "\r\n" + heading + "\r\n";
  text.insert(text.length(), '-', heading.length());
  text += "\r\n";
  return text;
}

String totals_text(bool identical, int attempted, int errors, int64_t elapsed_ms,
                   int64_t bytes_sent) {
  String text;
  if (!identical) text.format("\r\n%d sent successfully, %d errors\r\n", attempted - errors, errors);
  text += "\r\nTotal elapsed time: " + format_duration(elapsed_ms);
  text += "\r\nTotal bytes sent: " + format_size(bytes_sent);
  if (bytes_sent >= 1 && elapsed_ms > 0) {
    text += " (" + format_size(bytes_sent * 1000 / elapsed_ms) + " per second)";
  }
  text += "\r\n";
  return text;
}

}  // namespace tessaline
