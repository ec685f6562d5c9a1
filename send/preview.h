// preview.h - SendPreview, what the preview window does with the queue of a
// send in the Normal and Last Recipient Only modes.
//
// The review step (send/send_environment.h) shows every personalised
// message before it goes out. SendPreview holds everything that window
// decides: which message is selected, the four boxes the person edits
// (text body, HTML body, CC, attachments) and their write-back into the
// selected Message before the selection moves, the check of every CC list
// and attachment, discarding a message, sending one message to its
// recipient alone or a test copy to any address (through the operation's
// own sending phase, so the log and totals are those of any batch), the
// log view, and whether the window is closed and with what result. The
// window only shows fields() and the selection, forwards its commands, and
// closes when closed() turns true; so every rule here is tested through
// the recording port without a display.
//
// Not for: the widgets, their placement, the window's remembered position
// (toolkit/), or sending the released queue (SendOperation does that when
// the review step returns result_send()).
//
// Failures: a CC list or attachment that does not pass stops the command
// that checked it: its message is shown, the message it belongs to is
// selected and nothing is sent. A single or test send that fails is logged
// and counted by the operation like any message and leaves the queue as it
// was.
#pragma once

#include "core/string.h"
#include "core/ui.h"
#include "recipients/project_values.h"
#include "send/message.h"

namespace tessaline {

class SendOperation;

// The key the preview window answers to in Ui::focus_field() for its
// Attachments box.
inline constexpr char kPreviewAttachmentsBox[] = "preview attachments";

// The four boxes of the window, as they now stand.
struct PreviewFields {
  String text_body;
  String html_body;
  String cc;
  String attachments;
};

class SendPreview {
 public:
  // The attachment line a failed check points at: its line number in the
  // Attachments box (from 0, blank lines counted) and its trimmed text.
  struct MarkedLine {
    int line = -1;  // -1: nothing marked
    String text;
  };

  // Works on operation.queue(); the first message is selected. `project`
  // gives the test send its proposed address.
  SendPreview(SendOperation& operation, Ui& ui, const ProjectValues& project,
              bool has_text_body, bool has_html_body);

  // The window hides the box of a body the project does not have.
  bool has_text_body() const { return has_text_body_; }
  bool has_html_body() const { return has_html_body_; }

  // --- the list and the selection ---
  const MessageQueue& queue() const;
  // The selected entry, or -1 for none.
  int selected() const { return selected_; }
  // Writes the boxes back into the selected message, then selects entry
  // `index`: below 0 selects the last, at or past the end the first.
  void select(int index);
  // Writes the boxes back, then leaves nothing selected: the text body,
  // HTML body and attachments boxes are emptied.
  void deselect();

  // The boxes. The window writes each edit here and shows them again after
  // every command.
  PreviewFields& fields() { return fields_; }
  const MarkedLine& marked_line() const { return marked_; }

  // The file an address in the HTML body names when it is one of the
  // message's embedded files: "cid:" (in any case) followed by the name of
  // the file as the message's part carries it (without its folder, letter
  // case counting); "" for any other address. What the rendered view of
  // the HTML may load is exactly this, so it shows what the recipient's
  // mail program can show and fetches nothing from elsewhere.
  String embedded_file(const String& address) const;

  // --- the window's state ---
  bool closed() const { return closed_; }
  // True once the person released the queue for sending; false at first.
  bool result_send() const { return result_send_; }

  // --- commands ---
  // "Verify all attachments": says "All attachments appear valid." when
  // every CC list and attachment passes. True when they pass.
  bool verify_attachments();
  // "Send Messages": checks, then closes with the result send.
  void send_messages();
  // "Abort": closes; the result stays as it is.
  void abort();
  // "Discard Message": drops the selected message; an empty queue closes
  // the window.
  void discard_message();
  // "Send to this recipient only": sends a copy of the selected message to
  // its recipient now; the message stays queued.
  void send_to_recipient_only();
  // "Test" and "Test send this message to yourself": asks for an address
  // and sends a copy of the selected message there.
  void test_send();
  // "View Log".
  void view_log();

 private:
  void write_back();
  void show_selected();
  // Every message's CC list, then every attachment line; false when one
  // fails (shown, and its message selected).
  bool verify(bool say_valid);
  void send_copy(const Message& copy);

  SendOperation& operation_;
  Ui& ui_;
  const ProjectValues& project_;
  bool has_text_body_;
  bool has_html_body_;
  int selected_ = -1;
  PreviewFields fields_;
  MarkedLine marked_;
  bool closed_ = false;
  bool result_send_ = false;
};

}  // namespace tessaline
