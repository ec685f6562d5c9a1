// send_environment.h - what the send operation needs of the application
// around it.
//
// The send operation (send/send_operation.h) lives below the application:
// it may not see app/ or any window. The application gives it one
// SendEnvironment: the open project, the user-interaction port, the program
// settings it reads and writes, the database connection, the folder of the
// send log, the command-line and running flags, a clock and a way to wait
// by it, a source of jitter, and the review
// step of the Normal and Last Recipient Only modes. The application owns
// one SendOperation built on its environment (SendOperation(environment))
// and calls its send(), which returns bool, from the "Send messages"
// command and from an unattended command-line run, and its
// view_log(false, false) from "View last send log". Tests
// implement the environment in memory, with a RecordingUi and a review
// step that releases or aborts the queue.
//
// Not for: the project's storage, or the preview window itself (the review
// step is where the windows plug it in).
//
// Failures: none of its own; each member says what its answer means.
#pragma once

#include <cstdint>

#include "core/string.h"
#include "core/ui.h"
#include "mail/dkim.h"
#include "recipients/project_values.h"
#include "send/send_settings.h"

namespace tessaline {

class Database;
class SendOperation;

class SendEnvironment {
 public:
  virtual ~SendEnvironment() = default;

  // The open project (ProjectValues::is_open() false when there is none).
  virtual ProjectValues& project() = 0;
  // Every box, question, progress window and focus change of a send.
  virtual Ui& ui() = 0;

  // --- program settings ---
  // The text of the Send folder's "SMTP server:" box, which shows the
  // program setting SMTP_Server (a command-line run: the setting itself).
  virtual String smtp_server_field() = 0;
  // The sending phase has set the mail layer's SMTP_Server and SMTP_Port
  // (mail/smtp_server.h) to these values: keep them as the program's
  // settings and show them in the Send folder.
  virtual void store_smtp_settings(const String& server, int port) = 0;
  // The command line's --server HOST[:PORT] and --account NAME of this run
  // (empty: not given). They win over the project and the settings for
  // this run only, and are never stored.
  virtual String server_option() { return String(); }
  virtual String account_option() { return String(); }

  // The program settings that name the DKIM signing key (mail/dkim.h);
  // none set: messages go out unsigned.
  virtual DkimSettings dkim_settings() { return DkimSettings(); }
  // The open project's file, for the journal of its sends
  // (send/send_journal.h); empty while the project has no file, whose sends
  // keep no journal and cannot be resumed.
  virtual String project_file() { return String(); }
  // The program settings of delivery.
  virtual SendSettings send_settings() { return SendSettings(); }

  // The program's one database connection (db/database.h), open or not;
  // null when the ODBC driver manager could not be loaded.
  virtual Database* database() = 0;

  // The folder of "Trenk.LOG" and "TempLog.TXT", created when missing
  // (the per-user state folder, platform/user_folders.h). False with the
  // system's error text when it cannot be made.
  virtual bool log_folder(String& folder, String& error) = 0;

  // True while a send started from the command line runs: no last-chance
  // question is asked, and the completion prompt shows only after a
  // failed message.
  virtual bool command_line_run() = 0;

  // The program-wide flag that one operation (a send, a removal of
  // recipients) is running; a second send returns false at once.
  virtual bool operation_running() = 0;
  virtual void set_operation_running(bool running) = 0;

  // A monotonic clock in milliseconds, for the elapsed time of a sending
  // phase (tests pin it, so the totals in the log are exact).
  virtual int64_t milliseconds() = 0;
  // Waits `ms` milliseconds: the waits between the tries of a message, the
  // pauses of a send held back by its server, and the spacing of its rate
  // (send/retry_policy.h, send/send_rate.h). The send waits in short slices
  // and asks the port between them whether the person stopped it, so one
  // call is never long. After it, milliseconds() has moved on by at least
  // `ms` (tests move their clock instead of sleeping).
  virtual void sleep_ms(int64_t ms) = 0;
  // A number in [0, 1), drawn anew at each call: where a wait between tries
  // falls within its jitter. Tests script it.
  virtual double unit_random() = 0;
  // The time of day in milliseconds since 1970 UTC, as the send journal
  // records it: a resumed send keeps its rate's distance from the last
  // message the journal shows.
  virtual int64_t wall_clock_ms();

  // The review step of the Normal and Last Recipient Only modes: shows the
  // queue (operation.queue()) for reading and editing, captioned
  // "Preview", and returns true when the person releases it for sending,
  // false when they abort. `has_text_body` and `has_html_body` say which
  // bodies the project has. The step may send single messages itself
  // through operation.send_batch() and show the log (view_log()).
  virtual bool review(SendOperation& operation, bool has_text_body, bool has_html_body) = 0;

  // Opens a document with the desktop's program for it
  // (platform/open_document.h); the log view opens its copy with it.
  // False when no program could be started.
  virtual bool open_document(const String& path) = 0;
};

}  // namespace tessaline
