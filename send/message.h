// message.h - Message, one queued, personalised message of a send, and the
// queue that holds them.
//
// The send operation gathers one Message per accepted recipient, the
// preview window shows and edits the queue, and the send loop consumes it:
// a message that was delivered leaves the queue, one that failed stays.
//
// Not for: the MIME form of a message (mail/mime_message.h).
//
// Failures: none; plain data.
#pragma once

#include "core/containers.h"
#include "core/string.h"

namespace tessaline {

struct Message {
  String recipient;    // the cleaned candidate text
  String subject;      // personalised, one line
  String text_body;    // personalised
  String html_body;    // personalised
  String unsubscribe;  // personalised: mailto: and https: URLs, blank-separated
  String cc;           // the CC text, as typed in the project (or the preview)
  String attachments;  // file specifications, one per line
  // Its entry in the plan of the send's journal; -1 for a message outside
  // the plan (a test send, a send that keeps no journal).
  int plan_index = -1;
};

using MessageQueue = Vector<Message>;

}  // namespace tessaline
