// send_settings.h - the program settings that shape how a send keeps
// its records, delivers, tries again, and how fast it goes.
//
// The application reads them from the program's settings (app/settings.h,
// where each has its name, its caption and its documented default) and
// hands them to the send through SendEnvironment::send_settings().
// The defaults below are those a person gets without setting anything.
//
// Not for: the server, port and time limit (mail/smtp_server.h), project
// fields.
//
// Failures: none; plain data.
#pragma once

#include "send/retry_policy.h"
#include "send/send_rate.h"

namespace tessaline {

struct SendSettings {
  // How many kept send logs and journals stay in the folder of kept sends
  // (send/send_history.h); each project's last journal stays as well.
  int kept_sends = 50;
  // How many outcomes may be written but not yet on the disk
  // (JournalWriter) when the end of the next message goes out: 0, none.
  int journal_sync_window = 0;
  // The journal itself; only a benchmark turns it off, to see its cost.
  bool journal = true;
  // The tries of a message that failed for now, and the waits between
  // them (send/retry_policy.h).
  RetrySettings retry;
  // At most this many messages per period over the whole send; the
  // command line's --rate wins over it (send/send_rate.h).
  SendRate rate;
  // A kept connection is ended, and the next message opens a new one,
  // after this many messages (0: no limit).
  int messages_per_connection = 0;
  // A wait of this many milliseconds between one message and the next.
  int message_pause_ms = 0;
  // Connections to the configured server that deliver at once (1 to
  // kMostConnections); the command line's --connections wins over it.
  int connections = 1;
};

inline constexpr int kMostConnections = 32;

}  // namespace tessaline
