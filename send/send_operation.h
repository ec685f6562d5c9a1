// send_operation.h - the send operation: from the open project to
// delivered messages and the send log.
//
// send() checks the project's fields, prepares the recipient sources
// (recipients/), gathers and judges the candidates, personalises each
// accepted one's subject, bodies and unsubscribe address with the data-tag
// processor, and, by the send
// mode, sends each message at once (No Preview), one message to everyone
// (Identical), or hands the queue to the review step and sends what it
// releases (Normal, Last Recipient Only). Each message is built by the one
// MimeMessage and delivered by the SMTP client; every verdict, delivery
// and total goes to the send log "Trenk.LOG" in the log folder. At the end
// the person is offered a copy of the log. When the program settings name
// a DKIM key, it is read at the check step and signs every message.
//
// The review step (the preview window) drives this object back: it edits
// queue(), sends single messages through send_batch() and shows the log
// through view_log().
//
// Every send of a saved project keeps a journal (send/send_journal.h): the
// recipients it is going to send to, then each one's outcome as soon as
// the server has answered the end of its data. A send that did not finish
// (killed, stopped, or with messages that failed for now) is resumed with
// SendOptions::resume: the same recipients in the same order, those
// delivered or refused for good skipped and logged as such, the rest sent.
// Only the send's own recipients are sent; when the project's recipients
// changed since, the person is told so first. A message whose end of data
// went out but whose answer was never recorded may have arrived: it is
// sent again, and the log says that it may now arrive twice. That window,
// between the server's acceptance and the journal's write, is the only one
// in which a message can go twice.
//
// Each run also keeps a copy of its log beside the journals, named after
// the project and the moment it began (send/send_history.h), and tells the
// port how the send stands (Ui::send_progress) while it runs and once
// more at its end.
//
// A dry run composes every message as it would be sent and writes it into a
// folder (send/dry_run.h) instead; a test send delivers the first messages,
// personalised for their recipients, to one address instead of theirs.
// Neither keeps a journal.
//
// Not for: the windows, saving the project before a send (the "Send
// messages" command does that), or the command line's changes to the
// project (app/).
//
// A message that fails for now (send/delivery_failure.h: a 4xx reply at
// any step, a connection that could not be made or broke, a server that
// did not answer in time) is tried again on a new connection after the
// waits of send/retry_policy.h, as the settings' tries and times allow;
// every try is logged, and only the message's last outcome is journaled.
// It is never tried again once its end-of-data marker went out without an
// answer (the server may have taken it: another try could deliver it
// twice), nor after a refusal for good (5xx), a TLS failure or a login
// that cannot succeed. The send waits with the message: nothing else goes
// out meanwhile. When kRetryPauseAfter messages in a row have failed for
// now on every try, the server is given a long rest (twice the longest
// wait between tries) before the next message; when it still refuses
// after kRetryPauseLimit such pauses with nothing delivered, the send
// stops as it does for a server that cannot be reached.
//
// A send goes at the rate the command line (--rate) or the program
// setting SendRate gives, held over the whole send by a token bucket
// (send/send_rate.h): every try of a message takes a token, and a message
// that took long does not let the next ones rush to catch up. A resumed
// send keeps its distance from the last message its journal shows.
// MessagePause waits between messages, and MessagesPerConnection ends a
// kept connection after so many messages. A message's commands go out
// ahead with the end of the one before only when it will start at once.
// No Preview, which personalises and sends each recipient as it is
// gathered, learns whom it sends to next by reading the recipient sources
// ahead up to the next accepted candidate; that candidate is judged then,
// but logged, counted and personalised only after the message before has
// its outcome, as without the look-ahead (see gather()).
//
// Every wait goes through the environment's clock in slices of
// kWaitSliceMs, asking the port between them whether the person stopped
// the send.
//
// With SendSettings::connections (or SendOptions::connections) above 1, a
// batch, and No Preview as it gathers, go over that many connections to
// the configured server at once: each message is handed to a free
// connection (a "lane") and delivered on a fiber of its own
// (core/fiber.h), with its own builder and connection, while the next one
// is personalised; the lanes' waits for the server are one poll() loop in
// this thread, so nothing here runs beside anything else and nothing
// locks. The first lane's connection is the process's own. Each message
// is tried, retried, journaled, counted and judged exactly as with one
// connection; its lines go to the log in the order the messages were
// handed out (send/send_log.h's blocks), so the log still lists them in
// recipient order, each with its lines together. The rate, the pause
// between messages and the server's rules (a stop after its failures, a
// pause after its refusals) hold for the whole send: messages are handed
// out one at a time by the same checks, and a message a lane is retrying
// waits on its lane while the others go on. A stop or an abort lets the
// messages on their way end as they would alone ("Interrupted by user" at
// their next step) and hands out no more. Direct delivery, a dry run and
// Identical use one connection.
//
// Failures: a check that fails shows its message, focuses its field and
// makes send() return false before anything is sent; a message that fails
// is counted, logged with the SMTP error and kept in the queue, and makes
// send() return false at the end. When the configured server refuses the
// login, cannot be reached at all (no connection of the operation has
// been greeted yet: a wrong name or port, no network; not tried again),
// or cannot be reached or used for kServerFailureLimit messages in a
// row (refused or timed-out connections, TLS, a login refused for now),
// the send stops there: the reason is shown and logged once, and every
// message not attempted is logged as not sent. So it does when the server
// still refuses for now after the pauses described above. A line of the send log that cannot be
// written (a full disk) stops the send before its next message; send()
// then says so and returns false. Since a message's lines are written
// once it has its outcome, the message whose lines failed may have been
// sent: send() then names it. A journal that cannot be written stops
// the send the same way, since a resume could not account for what went
// out after it.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include "core/containers.h"
#include "core/fiber.h"
#include "core/string.h"
#include "mail/dkim.h"
#include "mail/mime_message.h"
#include "mail/smtp_client.h"
#include "mail/smtp_route.h"
#include "merge/tag_processor.h"
#include "recipients/candidate.h"
#include "recipients/recipient_sources.h"
#include "send/dry_run.h"
#include "send/message.h"
#include "send/send_environment.h"
#include "send/send_journal.h"
#include "send/send_log.h"
#include "send/send_options.h"
#include "send/send_plan.h"

namespace tessaline {

class SendOperation {
 public:
  // The send modes (project field `SendMode`).
  static constexpr int kNormal = 100;
  static constexpr int kNoPreview = 101;
  static constexpr int kIdentical = 102;
  static constexpr int kLastRecipientOnly = 103;
  static constexpr int kServerFailureLimit = 3;
  // Messages in a row that failed for now on every try before the send
  // pauses; pauses with nothing delivered before it stops.
  static constexpr int kRetryPauseAfter = 3;
  static constexpr int kRetryPauseLimit = 2;
  static constexpr int64_t kWaitSliceMs = 200;

  struct Counters {
    int candidates = 0;
    int rejected = 0;
    int attempted = 0;
    int errors = 0;
    int64_t bytes_sent = 0;
    int64_t start_ms = 0;  // of the current sending phase
  };

  explicit SendOperation(SendEnvironment& environment);
  ~SendOperation();
  SendOperation(const SendOperation&) = delete;
  SendOperation& operator=(const SendOperation&) = delete;

  // Runs the whole operation. True when it ended with no failed message
  // (also after a No at the last-chance question, an abort while
  // gathering, when no recipient qualified, and for a resume that finds
  // nothing to resume); false when a check stopped it, a message failed,
  // or another operation is running.
  bool send(const SendOptions& options = SendOptions());

  // The journal of the project's last send, read whole, and its path.
  // False when the project has no file or no send was journaled yet.
  bool last_send(String* path, JournalState* state);

  // The log view: with `ask`, the completion prompt first ("Operation
  // Complete"; the no-recipient form with `no_recipient`), which shows
  // nothing in a command-line run without errors. Then a copy of the log,
  // "TempLog.TXT", is opened with the desktop's program for it.
  void view_log(bool ask, bool no_recipient);

  // --- for the review step, while send() runs ---
  MessageQueue& queue() { return queue_; }
  // Sends the messages of `batch` as one batch of the current operation:
  // a sending phase with its log heading, the send loop (delivered
  // messages leave `batch`), the totals and the completion prompt.
  void send_batch(MessageQueue& batch);
  // The files the HTML body embeds (the project's html_attach, expanded at
  // the checks; empty when the project has no HTML body), which the
  // preview shows in the rendered message.
  const Vector<String>& embedded_files() const { return embedded_files_; }

  const Counters& counters() const { return counters_; }
  SendLog& log() { return log_; }
  MimeMessage& builder() { return builder_; }
  TagProcessor& tags() { return *tags_; }

 private:
  class MergeFields;
  class DatabaseRow;
  // Holds the log over the lines of one message (send/send_log.h), and
  // releases them with release_log().
  class LogHold;
  // The outermost release of a hold: when its write fails for a message
  // that was sent, that message is named where the send says why it
  // stopped.
  void release_log();

  bool operate();
  bool check_project();
  bool read_body(const char* use_file, const char* file, const char* use_text,
                 const char* text, const char* message, String* body);
  bool check_files();
  bool check_unsubscribe();
  bool load_signer();
  bool personalise(Message& record);
  bool connect_now();
  bool gather();
  // A candidate of the recipient sources as the gathering reads it, judged.
  struct Candidate {
    RecipientSources::Next next = RecipientSources::Next::kEnd;
    String text;
    String error;
    Verdict verdict = Verdict::kSkipped;
    ParsedAddress parsed;
  };
  // The next candidate: the first one read ahead, or a new one.
  void next_candidate(Candidate* candidate);
  Candidate read_candidate();
  // No Preview: the recipient of the message that will be sent after the
  // current one (with `skip`, of the one that many after that), read ahead
  // from the sources; false when none is known (the end of the sources or
  // of the limit, a stopped send, or none within kReadAheadLimit
  // candidates).
  bool next_gathered(String* recipient, int skip = 0);
  static constexpr size_t kReadAheadLimit = 1000;
  void set_basic_tags(const String& candidate, const ParsedAddress& parsed, int index);
  void finish();
  void finish_identical();
  void finish_previewed();

  void begin_sending_phase();
  void send_loop(MessageQueue& batch, bool identical);
  bool deliver(Message& record, bool identical, const String& shown);
  // One try of the message as deliver() set it up: written into the dry
  // run's folder, or sent (through the project's server when direct
  // delivery failed).
  bool try_once(String* written);
  // After a try that failed: the wait before the next one, or -1 when the
  // message is not tried again; logs the failure of the try and why.
  // `first_failure_ms` is set at the first failure.
  int64_t next_try_wait(int tries, int64_t* first_failure_ms, bool* exhausted,
                        SmtpFailure smtp_failure);
  // Waits `ms` through the environment; the progress window and the send's
  // line say `before` + the time left + `after` meanwhile. False when the
  // person stopped the send during the wait.
  bool wait(int64_t ms, const String& before, const String& after = String());
  // After a message's last try: the third message in a row that failed
  // for now on every try pauses the send, or after kRetryPauseLimit pauses
  // stops it.
  void judge_retries(bool sent, bool exhausted);
  // Before the next message: the pause judge_retries() asked for, the
  // pause between messages and the wait for the rate.
  void hold_back();
  // Waits for the rate's next token and takes it; false when the person
  // stopped the send during the wait.
  bool take_rate_token();
  // The pause of a server that keeps refusing for now.
  void rest_server();
  // A resume: the first message keeps the rate's distance from the last
  // outcome of the journal.
  void seed_rate_gate();
  // The next message may start the moment this one ends: no pause, no
  // wait for the rate, no new connection due.
  bool next_starts_at_once();
  // After a try on a kept connection: one that has carried
  // MessagesPerConnection messages is ended.
  void count_connection_use();
  void write_totals(bool identical);

  // --- several connections at once ---
  struct Lane;
  // The lane the running fiber delivers for.
  static FiberLocal<Lane> lane_of_fiber;
  // The connections this batch goes over: 1 unless more are asked for
  // and the batch can use them.
  int lanes_for(bool identical) const;
  // Hands the message to the free lane that lane_for() gave and starts it.
  void dispatch(Lane& lane, const Message& record, const String& shown, char* delivered);
  // The lane for the next message, waiting for one to be free: the lane
  // that sent its commands ahead, if one did.
  Lane& lane_for(const Message& record);
  // A new lane, its connection labelled in the trace.
  Lane& add_lane();
  // Runs the lanes' fibers until `done` (null: until all have ended);
  // false when they all ended first.
  bool run_lanes_until(const std::function<bool()>& done);
  bool lanes_idle() const;
  // A lane's commands sent ahead: for the message with this number (in the
  // order messages are handed out), to this recipient.
  struct Promise {
    Lane* lane;
    int64_t number;
    String recipient;
  };
  // The envelope of the next message no lane has sent ahead yet, for a
  // lane whose message is about to end; false when none is known.
  bool promise_next(Lane& lane, Envelope* envelope);
  // The envelope a message to `recipient` with the CC list `cc` has in
  // this send (a test send's goes to the test address).
  Envelope envelope_for(const String& recipient, const String& cc) const;
  // The recipient and CC list of the message `k` after the next one to be
  // handed out (0: that one).
  bool upcoming(int k, String* recipient, String* cc);
  // A lane whose try failed has nothing sent ahead any more.
  void forget_promises(const Lane& lane);
  void run_lane(Lane& lane);
  // Until every lane's message has its outcome.
  void drain_lanes();
  // Ends every lane's connection and the lanes.
  void close_lanes();
  // The builder and the count of messages on the connection of the
  // running lane, or of the one connection.
  MimeMessage& current_builder();
  int& on_connection();

  bool progress(double fraction);
  void open_progress(const String& caption, const String& text, bool can_abort);
  void close_progress();

  // True once a line of the log could not be written: the send then
  // sends nothing more, since the log is the person's only record of whom
  // it sent to. send() reports it at the end.
  bool log_stopped() const { return log_.write_failed() || journal_.failed(); }
  bool fail(const String& message, const char* field);
  void choose_route();
  void store_smtp_fields();
  // After a message went (or failed to go) through the configured server:
  // a login that cannot succeed, or the third failure in a row to reach
  // or use the server, stops the send.
  // `unreached`: the message failed to connect to a server this
  // operation has never reached.
  void judge_server(SmtpFailure failure, bool unreached);
  // This message's failure was a connection to the configured server,
  // which this operation has never reached, that could not be made.
  bool never_reached(const MimeMessage& message) const;
  void log_not_sent(const String& recipient);
  void give_attachments(MessageQueue& batch);
  void open_log(const String& folder, const String& project);

  // --- the journal ---
  // The first pass of a No Preview send: the recipients the gathering is
  // going to accept, judged as it will judge them, then the sources made
  // ready again.
  bool make_plan(Vector<String>* plan);
  // Starts (or, resuming, continues) the journal with this plan; the
  // matcher then maps each gathered recipient to its plan entry.
  bool start_journal(const Vector<String>& plan);
  // The plan entry of a gathered, accepted recipient; false when it is
  // not to be sent (delivered before, or not part of the resumed send),
  // which has then been logged.
  bool take_plan_entry(const String& recipient, int* plan_index);
  void tell_plan_changes(const PlanMatcher& matcher);
  // `number` receives the journal's number of the last outcome written.
  void journal_outcome(const Vector<int>& indices, bool sent, int tries, int64_t* number);
  void finish_journal();
  bool journaling() const { return journal_.is_open(); }
  void report_progress(bool finished = false);
  void add_attachments(const String& specifications);
  bool log_path(const char* name, String* path);

  SendEnvironment& env_;
  ProjectValues& project_;
  Ui& ui_;
  std::unique_ptr<MergeFields> merge_fields_;
  std::unique_ptr<TagProcessor> tags_;
  std::unique_ptr<DatabaseRow> row_;
  MimeMessage builder_;
  MessageQueue queue_;
  Counters counters_;
  SendLog log_;
  std::unique_ptr<RecipientSources> sources_;

  // The state of one operation.
  int mode_ = kNormal;
  bool recycling_ = false;
  bool progress_open_ = false;
  bool aborted_ = false;  // the gathering was aborted
  String text_body_;
  String html_body_;
  std::unique_ptr<DkimSigner> signer_;  // null: messages go out unsigned
  Vector<String> embedded_files_;
  double step_ = 0;  // of the progress bar: 1 / number of messages
  double base_ = 0;  // messages done / number of messages

  // The server of this operation (mail/smtp_route.h), chosen at the checks.
  SmtpRoute route_;
  bool route_chosen_ = false;
  String route_error_;
  int server_failures_ = 0;  // messages in a row the configured server failed
  // The configured server greeted one of this operation's connections;
  // until then a connection that cannot be made is not tried again.
  bool server_reached_ = false;
  int exhausted_in_row_ = 0;  // messages in a row that failed for now on every try
  int retry_pauses_ = 0;      // pauses since a message was last delivered
  bool pause_pending_ = false;  // the next message waits for the server first
  SendRate rate_;              // of this send
  RateGate gate_;
  int on_connection_ = 0;      // messages tried on the kept connection
  int messages_started_ = 0;   // in this operation
  bool stopped_ = false;     // the send stopped: the rest is not sent

  SendOptions options_;
  SendSettings settings_;
  String history_folder_;  // of kept sends; empty when it cannot be made
  String run_stem_;        // the names of this run's kept files
  String run_log_name_;
  int64_t run_start_ms_ = 0;  // wall clock, for the journal
  bool resuming_ = false;
  bool journal_unavailable_ = false;  // it could not be made: nothing was sent
  bool resume_told_ = false;
  JournalState resumed_;   // the journal a resume continues
  String journal_path_;
  JournalWriter journal_;
  std::unique_ptr<PlanMatcher> matcher_;
  Vector<String> plan_;    // No Preview: the first pass's recipients
  int plan_count_ = 0;     // entries of the journal's plan, added ones too
  Vector<int> identical_indices_;  // Identical: the plan entries of its one message
  Vector<int> queued_in_run_;      // Normal: plan entries queued by this run
  Vector<JournalOutcome> outcomes_;  // of each plan entry, as the journal now has it
  // The gathering's state that the look-ahead of No Preview reads.
  std::deque<Candidate> ahead_;  // read and judged, not yet gathered
  int accepted_ = 0;             // accepted candidates gathered so far
  bool eliminate_ = false;
  String gather_cc_;
  String sent_held_;   // a message sent whose lines the log holds back
  String unrecorded_;  // a message sent whose lines could not be written
  DryRunFolder dry_run_;
  bool dry_run_active_ = false;
  SendProgress status_;
  int message_percent_ = -1;
  String progress_text_;  // of the progress window, for the message on its way
  bool large_message_ = false;

  int lanes_wanted_ = 1;  // of this send, by the settings and the command line
  std::unique_ptr<FiberLoop> loop_;  // while lanes exist
  std::vector<std::unique_ptr<Lane>> lanes_;
  std::deque<Promise> promised_;   // in the order of their numbers
  int64_t handed_ = 0;             // messages handed to lanes in this phase
  const Message* pending_ = nullptr;  // the message about to be handed out
  MessageQueue* lanes_batch_ = nullptr;  // a batch's records, or null (No Preview)
  int batch_next_ = 0;  // the batch's first record after the pending one
};

}  // namespace tessaline
