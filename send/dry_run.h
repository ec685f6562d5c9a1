// dry_run.h - the folder of a dry run: every message of a send composed
// exactly as it would be sent, written as a file instead of going out.
//
// Message n (from 1) becomes two files, numbered with at least six digits
// so that they list in order:
//   000001.eml        the text a server receives after DATA: the composed
//                     message and the line end that ends its data
//   000001.envelope   the envelope, as the SMTP dialogue would give it:
//                     "MAIL FROM:<address>" and one "RCPT TO:<address>"
//                     per recipient (CC included), CR LF after each
// A message is composed as for a server that takes 8-bit text (8BITMIME),
// as nearly every server does.
//
// Not for: sending, the send log (the send operation writes it as for a
// send).
//
// Failures: open() refuses a folder that cannot be made or that holds
// files already (an earlier dry run's files would mix with this one's),
// with a text that says so. write() fails like a send that cannot compose
// the message (MimeMessage::error has the code and text), or with the
// system's text when a file cannot be written.
#pragma once

#include "core/string.h"
#include "mail/mime_message.h"

namespace tessaline {

class DryRunFolder {
 public:
  bool open(const String& folder, String* error);
  const String& folder() const { return folder_; }
  // Composes the message and writes its two files; *name is the .eml
  // file's name. message.message_size is set as a send sets it.
  bool write(MimeMessage& message, String* name);
  int written() const { return count_; }

 private:
  String folder_;
  int count_ = 0;
};

// The envelope file's text for a message.
String envelope_text(const MimeMessage& message);

}  // namespace tessaline
