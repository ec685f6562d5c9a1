// send_options.h - what one send operation is asked to do beyond the
// project's own send: continue the last send, compose into a folder, send
// to a test address, stop after some recipients, go at a rate. The command line fills
// them in (app/command_line.h); the window's "Resume last send" sets
// `resume`.
//
// Not for: the project's fields, the program settings
// (send/send_settings.h).
//
// Failures: none; plain data.
#pragma once

#include "core/string.h"
#include "send/send_rate.h"

namespace tessaline {

// What one send operation is asked to do beyond the project's own send.
struct SendOptions {
  // Continue the project's last send, which did not finish.
  bool resume = false;
  // Compose each message into this folder instead of sending it.
  String dry_run_folder;
  // Deliver each message to this address instead of its recipient (no CC);
  // unless `limit` says otherwise, only the first message.
  String test_address;
  // Stop after this many accepted recipients (0: all).
  int limit = 0;
  // Keep a journal (off for a send to one address given on the command
  // line, which is not the project's mailing).
  bool journal = true;
  // At most this many messages per period (--rate), instead of the
  // program setting SendRate; a resume may be given one too.
  bool rate_given = false;
  SendRate rate;
  // Connections that deliver at once (--connections), instead of the
  // program setting; 0 when not given.
  int connections = 0;
};

}  // namespace tessaline
