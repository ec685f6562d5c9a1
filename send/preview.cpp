// preview.cpp - SendPreview: the selection, the checks and the commands of
// the preview window.
#include "send/preview.h"

#include "storage/file.h"
#include "storage/paths.h"
#include "recipients/candidate.h"
#include "send/send_operation.h"

namespace tessaline {

namespace {

constexpr char kWhite[] = " \t\r\n";

// Opened for reading as it will be attached: a directory is not a file,
// and a pattern is taken as a name (the send expands patterns, but a line
// that names nothing is what this check is for).
bool readable_file(const String& path) {
  File file;
  if (!file.open_existing(path, true, false, false)) return false;
  file.close();
  return true;
}

}  // namespace

SendPreview::SendPreview(SendOperation& operation, Ui& ui, const ProjectValues& project,
                         bool has_text_body, bool has_html_body)
    : operation_(operation),
      ui_(ui),
      project_(project),
      has_text_body_(has_text_body),
      has_html_body_(has_html_body) {
  selected_ = operation_.queue().empty() ? -1 : 0;
  show_selected();
}

const MessageQueue& SendPreview::queue() const { return operation_.queue(); }

void SendPreview::write_back() {
  MessageQueue& queue = operation_.queue();
  if (selected_ < 0 || selected_ >= queue.count()) return;
  Message& message = queue[selected_];
  message.text_body = fields_.text_body;
  message.html_body = fields_.html_body;
  message.cc = fields_.cc;
  message.attachments = fields_.attachments;
}

void SendPreview::show_selected() {
  marked_ = MarkedLine();
  const MessageQueue& queue = operation_.queue();
  if (selected_ < 0 || selected_ >= queue.count()) {
    selected_ = -1;
    // The CC box keeps its text: only the boxes of a message's own
    // content are emptied.
    fields_.text_body.clear();
    fields_.html_body.clear();
    fields_.attachments.clear();
    return;
  }
  const Message& message = queue[selected_];
  fields_.text_body = message.text_body;
  fields_.html_body = message.html_body;
  fields_.cc = message.cc;
  fields_.attachments = message.attachments;
}

void SendPreview::select(int index) {
  write_back();
  int count = operation_.queue().count();
  if (count == 0) {
    selected_ = -1;
  } else if (index < 0) {
    selected_ = count - 1;
  } else if (index >= count) {
    selected_ = 0;
  } else {
    selected_ = index;
  }
  show_selected();
}

void SendPreview::deselect() {
  write_back();
  selected_ = -1;
  show_selected();
}

bool SendPreview::verify(bool say_valid) {
  MessageQueue& queue = operation_.queue();
  for (int i = 0; i < queue.count(); ++i) {
    if (!check_cc_list(queue[i].cc.view(), ui_)) {
      select(i);
      return false;
    }
    LineCursor lines(queue[i].attachments);
    String line;
    for (int n = 0; lines.next(&line); ++n) {
      line.trim(kWhite);
      if (line.empty() || readable_file(line)) continue;
      select(i);
      marked_.line = n;
      marked_.text = line;
      show_error(ui_, "This attachment does not exist:\n" + line);
      ui_.focus_field(kPreviewAttachmentsBox);
      return false;
    }
  }
  if (say_valid) ui_.information_box("All attachments appear valid.", "Verify Attachments");
  return true;
}

bool SendPreview::verify_attachments() {
  // What is checked is what the boxes show, not what they showed when the
  // message was selected.
  write_back();
  return verify(true);
}

void SendPreview::send_messages() {
  write_back();
  if (!verify(false)) return;
  result_send_ = true;
  closed_ = true;
}

void SendPreview::abort() { closed_ = true; }

void SendPreview::discard_message() {
  MessageQueue& queue = operation_.queue();
  if (selected_ < 0 || selected_ >= queue.count()) return;
  queue.remove(selected_);
  // Nothing is selected afterwards, so the next message is never taken
  // for the one just discarded.
  selected_ = -1;
  show_selected();
  if (queue.empty()) closed_ = true;
}

void SendPreview::send_copy(const Message& copy) {
  // A queue of its own: what the send loop delivers leaves it, and the
  // selected message stays where it is.
  MessageQueue single;
  single.append(copy);
  operation_.send_batch(single);
}

void SendPreview::send_to_recipient_only() {
  MessageQueue& queue = operation_.queue();
  if (queue.empty() || selected_ < 0) {
    ui_.beep();
    return;
  }
  write_back();
  if (!verify(false)) return;
  // The copy keeps its entry in the send's plan: it goes to that
  // recipient, and the journal records it as theirs.
  send_copy(queue[selected_]);
}

void SendPreview::test_send() {
  MessageQueue& queue = operation_.queue();
  if (queue.empty() || selected_ < 0) return;
  write_back();
  if (!verify(false)) return;
  String address = project_.text(kFieldReply);
  if (address.empty()) address = project_.text(kFieldFrom);
  if (!ui_.input_text("This will send the current message to your own email address.  This "
                      "allows you to make sure everything works the way you expect.\n\n"
                      "Enter your email address here:",
                      "Test Send", address, 80)) {
    return;
  }
  Message copy = queue[selected_];
  copy.recipient = address;
  // Not a message of the send's plan: the journal must not count it as
  // the recipient's.
  copy.plan_index = -1;
  send_copy(copy);
}

void SendPreview::view_log() { operation_.view_log(false, false); }

String SendPreview::embedded_file(const String& address) const {
  constexpr char kScheme[] = "cid:";
  if (!address.starts_with_ignore_case(kScheme)) return String();
  String name = address.substr(static_cast<int>(sizeof kScheme) - 1);
  if (name.empty()) return String();
  for (const String& path : operation_.embedded_files()) {
    if (file_part(path) == name) return path;
  }
  return String();
}

}  // namespace tessaline
