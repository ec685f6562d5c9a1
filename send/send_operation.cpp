// send_operation.cpp - the send operation, its send loop and its log.
#include "send/send_operation.h"

#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <optional>

#include "core/date.h"
#include "core/fatal_error.h"
#include "core/text_format.h"
#include "core/var.h"
#include "storage/file_specs.h"
#include "storage/paths.h"
#include "mail/smtp_client.h"
#include "mail/smtp_route.h"
#include "mail/smtp_server.h"
#include "db/database.h"
#include "send/delivery_failure.h"
#include "send/line_wrap.h"
#include "send/send_history.h"

namespace tessaline {

namespace {

constexpr char kWhite[] = " \t\r\n";

String trimmed(String text) {
  text.trim(kWhite);
  return text;
}

// A personalised subject on one line: each line break (CR LF and LF CR
// counting as one) becomes a blank, so that no value adds a header line.
void make_one_line(String& text) {
  if (text.find_any("\r\n") < 0) return;
  String line;
  const int n = text.length();
  for (int i = 0; i < n; ++i) {
    char c = text[i];
    if (c != '\r' && c != '\n') {
      line.append(c);
      continue;
    }
    char pair = c == '\r' ? '\n' : '\r';
    if (i + 1 < n && text[i + 1] == pair) ++i;
    line.append(' ');
  }
  text = std::move(line);
}

// The pieces of the unsubscribe field between blanks and line breaks,
// read as a person wrote them: a blank inside a data tag does not end a
// piece.
Vector<String> unsubscribe_pieces(const String& text) {
  Vector<String> pieces;
  String piece;
  const std::string_view v = text.view();
  for (size_t i = 0; i < v.size(); ++i) {
    if (v.substr(i, 2) == "[[") {
      size_t close = v.find("]]", i + 2);
      size_t end = close == std::string_view::npos ? v.size() : close + 2;
      piece.append(v.substr(i, end - i));
      i = end - 1;
    } else if (is_white(v[i])) {
      if (!piece.empty()) pieces.append(std::move(piece));
      piece = String();
    } else {
      piece.append(v[i]);
    }
  }
  if (!piece.empty()) pieces.append(std::move(piece));
  return pieces;
}

DateTime local_date_time(int64_t ms) {
  time_t t = static_cast<time_t>(ms / 1000);
  struct tm local {};
  localtime_r(&t, &local);
  DateTime when;
  when.date = make_date(local.tm_mon + 1, local.tm_mday, local.tm_year + 1900);
  when.hour = local.tm_hour;
  when.minute = local.tm_min;
  when.second = local.tm_sec > 59 ? 59 : local.tm_sec;
  return when;
}

// A wait as the log and the progress window tell it: "23 s", "2 min 5 s",
// "20 min"; rounded up to the second.
String wait_text(int64_t ms) {
  int64_t seconds = (ms + 999) / 1000;
  if (seconds < 60) return String::formatted("%d s", static_cast<int>(seconds));
  int minutes = static_cast<int>(seconds / 60);
  int rest = static_cast<int>(seconds % 60);
  return rest == 0 ? String::formatted("%d min", minutes)
                   : String::formatted("%d min %d s", minutes, rest);
}

// A message this large shows its own progress within the send's.
constexpr int64_t kLargeMessageBytes = 1 << 20;

int64_t file_size(const String& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : 0;
}

}  // namespace

// One of the connections of a send over several: its SMTP connection (the
// first lane's is the process's own), its builder, and the message it
// carries while `busy`.
struct SendOperation::Lane {
  Connection own;
  Connection* connection = &own;
  MimeMessage builder;
  bool busy = false;
  int on_connection = 0;  // messages tried on its kept connection
  int64_t last_outcome = 0;  // the journal's number of its last outcome
  Message record;
  String shown;
  SendLog::Block* block = nullptr;  // the message's lines
  char* delivered = nullptr;        // set when it was delivered
};

FiberLocal<SendOperation::Lane> SendOperation::lane_of_fiber;

// The project fields the data-tag processor reads.
class SendOperation::MergeFields : public MergeProject {
 public:
  explicit MergeFields(ProjectValues& project) : project_(project) {}
  int send_mode() override {
    int mode = 0;
    return project_.number(kFieldSendMode, &mode) ? mode : 0;
  }
  String identity_column() override { return project_.text(kFieldIdentityColumn); }
  bool body_from_file(bool html) override {
    return project_.flag(html ? kFieldUseHtmlFile : kFieldUseBodyFile);
  }

 private:
  ProjectValues& project_;
};

// The current row of the recipients' query, for the data tags.
class SendOperation::DatabaseRow : public MergeRow {
 public:
  DatabaseRow(Database& database, DBTable& table) : database_(database), table_(table) {}
  bool has_column(const String& name) override { return database_.has_column(name); }
  bool read_column(const String& name, Var& value) override {
    return database_.bulk_get(name, value);
  }
  bool writable() override { return true; }
  bool write_column(const String& identity_column, int32_t identity, const String& column,
                    const Var& value) override {
    // The recipients' query stays open on its own statement meanwhile.
    if (!database_.push_statement()) return false;
    Database::clear_indices(table_);
    Database::add_index(table_, identity_column);
    bool written = database_.set(value, &table_, column, DBClause{identity});
    Database::clear_indices(table_);
    String error = database_.last_error();
    database_.pop_statement();
    if (!written) {
      error_ = error;
      return false;
    }
    return database_.bulk_modify(column, value);
  }
  String last_error() override { return error_.empty() ? database_.last_error() : error_; }

 private:
  Database& database_;
  DBTable& table_;
  String error_;
};

class SendOperation::LogHold {
 public:
  explicit LogHold(SendOperation& operation) : operation_(operation) {
    operation_.log_.hold();
  }
  ~LogHold() { operation_.release_log(); }
  LogHold(const LogHold&) = delete;
  LogHold& operator=(const LogHold&) = delete;

 private:
  SendOperation& operation_;
};

void SendOperation::release_log() {
  const bool failed_before = log_.write_failed();
  const bool written = log_.release();
  if (log_.held()) return;
  if (!written && !failed_before && !sent_held_.empty()) unrecorded_ = sent_held_;
  sent_held_.clear();
}

SendOperation::SendOperation(SendEnvironment& environment)
    : env_(environment),
      project_(environment.project()),
      ui_(environment.ui()),
      merge_fields_(std::make_unique<MergeFields>(environment.project())),
      tags_(std::make_unique<TagProcessor>(environment.ui(), *merge_fields_)) {}

SendOperation::~SendOperation() = default;

// --- the outer member ---------------------------------------------------------

bool SendOperation::log_path(const char* name, String* path) {
  String folder, error;
  if (!env_.log_folder(folder, error)) return false;
  *path = join_path(folder, name);
  return true;
}

bool SendOperation::last_send(String* path, JournalState* state) {
  String project = env_.project_file();
  String folder, error;
  if (project.empty() || !env_.log_folder(folder, error)) return false;
  return SendHistory(join_path(folder, kSendHistoryFolder))
      .last_send(project_identity(project), path, state);
}

bool SendOperation::send(const SendOptions& options) {
  if (env_.operation_running()) return false;
  String folder, error;
  if (!env_.log_folder(folder, error)) {
    show_error(ui_, "Unable to create the folder of the send log:\n" + error);
    return false;
  }
  options_ = options;
  sent_held_.clear();
  unrecorded_.clear();
  settings_ = env_.send_settings();
  rate_ = options.rate_given ? options.rate : settings_.rate;
  lanes_wanted_ = std::clamp(options.connections > 0 ? options.connections : settings_.connections,
                             1, kMostConnections);
  gate_ = RateGate(rate_);
  status_ = SendProgress();
  resuming_ = false;
  resumed_ = JournalState();
  journal_path_.clear();
  matcher_.reset();
  plan_.clear();
  plan_count_ = 0;
  identical_indices_.clear();
  queued_in_run_.clear();
  if (!options_.test_address.empty() && options_.limit <= 0) options_.limit = 1;
  dry_run_active_ = !options_.dry_run_folder.empty();
  if (dry_run_active_ && !dry_run_.open(options_.dry_run_folder, &error)) {
    show_error(ui_, error);
    return false;
  }

  String project = env_.project_file();
  SendHistory history(join_path(folder, kSendHistoryFolder));
  history_folder_ = history.make(&error) ? history.folder() : String();
  if (options_.resume) {
    if (history_folder_.empty() || !last_send(&journal_path_, &resumed_) ||
        !resumed_.unfinished()) {
      ui_.information_box("This project has no unfinished send to resume.", "Resume last send");
      return true;
    }
    resuming_ = true;
    // The resumed send keeps the limit it began with.
    options_.limit = resumed_.identity.limit;
  }

  open_log(folder, project);
  if (!log_.is_open()) return false;
  if (resuming_) seed_rate_gate();
  journal_unavailable_ = false;
  resume_told_ = false;
  env_.set_operation_running(true);
  bool result = operate() && !journal_unavailable_;
  close_lanes();
  env_.set_operation_running(false);
  close_progress();
  sources_.reset();
  row_.reset();
  finish_journal();
  log_.close();
  if (smtp_connection().is_open()) quit();
  forget_smtp_secret();
  if (!history_folder_.empty()) SendHistory(history_folder_).prune(settings_.kept_sends);
  // The send stopped at the first line the log could not take (see
  // log_stopped()): the person must know why, and that it did not all go.
  if (unrecorded_.empty()) unrecorded_ = log_.unwritten_label();
  if (log_.write_failed()) {
    show_error(ui_, "The send log could not be written:\n" + log_.path() + "\n" +
                        log_.write_error() +
                        "\n\nThe send was stopped so that no message goes out without its "
                        "record; the recipients after the last one in the log were not sent" +
                        (unrecorded_.empty() ? String(".")
                                             : ", but for the message to " + unrecorded_ +
                                                   ", which was sent before its lines could be "
                                                   "written."));
    result = false;
  } else if (journal_.failed()) {
    show_error(ui_, "The send journal could not be written:\n" + journal_path_ + "\n" +
                        journal_.error() +
                        "\n\nThe send was stopped so that no message goes out that a resume "
                        "could not account for; the log shows the last recipient sent.");
    result = false;
  }
  if (dry_run_active_) {
    status_.headline = result ? "Dry run complete" : "Dry run incomplete";
  } else if (!options_.test_address.empty()) {
    status_.headline = result ? "Test send complete" : "Test send incomplete";
  } else {
    status_.headline = result ? "Send complete" : "Send incomplete";
  }
  report_progress(true);
  return result;
}

void SendOperation::open_log(const String& folder, const String& project) {
  String error;
  // Another copy of the program that is sending holds the log.
  String path = join_path(folder, kSendLogName);
  if (!log_.create(path, &error)) {
    show_error(ui_, "Unable to create the send log:\n" + path + "\n" + error);
    return;
  }
  run_start_ms_ = env_.wall_clock_ms();
  run_stem_ = SendHistory::stem(project.empty() ? String("project") : project, local_now());
  run_log_name_.clear();
  String copy;
  if (!history_folder_.empty() &&
      SendHistory(history_folder_).create_unique(run_stem_, kKeptLogExtension, &copy, &error)) {
    log_.keep_copy(copy);
    run_log_name_ = file_part(copy);
  }
}

// --- checks --------------------------------------------------------------------

bool SendOperation::fail(const String& message, const char* field) {
  show_error(ui_, message);
  if (field) ui_.focus_field(field);
  return false;
}

bool SendOperation::read_body(const char* use_file, const char* file, const char* use_text,
                              const char* text, const char* message, String* body) {
  body->clear();
  if (project_.flag(use_file)) {
    String name = project_.text(file);
    if (!read_whole_file(name, *body)) return fail(message + name, file);
  }
  if (project_.flag(use_text)) *body = project_.text(text);
  return true;
}

void SendOperation::choose_route() {
  RouteSources sources = smtp_route_sources();
  sources.server_option = env_.server_option();
  sources.account_option = env_.account_option();
  sources.project_account = project_.text(kFieldSmtpAccount);
  int number = 0;
  sources.project_security = project_.number(kFieldSmtpSecurity, &number) ? number : 0;
  sources.project_port = project_.number(kFieldSmtpPort, &number) ? number : 0;
  sources.server_field = env_.smtp_server_field();
  route_chosen_ = choose_smtp_route(sources, &route_, &route_error_);
}

bool SendOperation::check_project() {
  // The account may give the From address, so the server is chosen first;
  // its problems are told where the server is checked.
  choose_route();
  if (project_.text(kFieldFrom).empty() && route_.from.empty()) {
    return fail("You must enter the originating email address.", kFieldFrom);
  }
  String cc = project_.text(kFieldCc);
  if (!cc.empty() && !check_cc_list(cc, ui_)) {
    ui_.focus_field(kFieldCc);
    return false;
  }
  if (!check_unsubscribe()) return false;
  if (!route_chosen_) {
    const char* field = env_.account_option().empty() && !project_.text(kFieldSmtpAccount).empty()
                            ? kFieldSmtpAccount
                            : nullptr;
    return fail(route_error_, field);
  }
  if (route_.host.empty()) {
    return fail("You must enter the name of the SMTP server.", kFieldSmtpServer);
  }
  // A port beyond 65535 would be cut to another port.
  int port = 0;
  if (!project_.number(kFieldSmtpPort, &port) || port <= 0 || port > 65535) {
    return fail("You must enter the port number of the SMTP server.", kFieldSmtpPort);
  }
  if (!project_.number(kFieldSendMode, &mode_) || mode_ < kNormal ||
      mode_ > kLastRecipientOnly) {
    return fail("You must choose the send mode.", kFieldSendMode);
  }
  if (project_.flag(kFieldUseDatabase)) {
    if (project_.text(kFieldDbName).empty()) {
      return fail("You must enter a database name.", kFieldDbName);
    }
    if (project_.text(kFieldTableName).empty()) {
      return fail("You must enter a database table name.", kFieldTableName);
    }
    if (project_.text(kFieldRecipientColumn).empty()) {
      return fail("You must enter a recipient column.", kFieldRecipientColumn);
    }
  }
  if (!read_body(kFieldUseBodyFile, kFieldBodyFile, kFieldUseBodyText, kFieldBody,
                 "Unable to open text body file:\n", &text_body_) ||
      !read_body(kFieldUseHtmlFile, kFieldHtmlFile, kFieldUseHtmlText, kFieldHtmlBody,
                 "Unable to open HTML body file:\n", &html_body_)) {
    return false;
  }
  return check_files() && load_signer();
}

bool SendOperation::check_unsubscribe() {
  for (String piece : unsubscribe_pieces(project_.text(kFieldUnsubscribe))) {
    piece.strip_enclosing('<', '>');
    if (!piece.starts_with_ignore_case("mailto:") && !piece.starts_with_ignore_case("https:")) {
      return fail("The unsubscribe address must be a \"mailto:\" or an \"https:\" address:\n" +
                      piece,
                  kFieldUnsubscribe);
    }
  }
  return true;
}

bool SendOperation::load_signer() {
  signer_.reset();
  DkimSettings settings = env_.dkim_settings();
  if (!settings.wanted()) return true;
  String error;
  signer_ = DkimSigner::load(settings, &error);
  if (!signer_) return fail(error, nullptr);
  return true;
}

bool SendOperation::check_files() {
  embedded_files_.clear();
  String messages;
  String embedded = project_.text(kFieldHtmlAttach);
  bool has_html = project_.flag(kFieldUseHtmlFile) || project_.flag(kFieldUseHtmlText);
  if (!embedded.empty() && has_html) {
    expand_file_specs(embedded, embedded_files_, String(), &messages);
    if (!messages.empty()) return fail(messages, kFieldHtmlAttach);
  }
  Vector<String> attached;
  expand_file_specs(project_.text(kFieldAttachments), attached, String(), &messages);
  if (!messages.empty()) {
    return fail("The following problems occurred with your attachments:\n\n" + messages,
                kFieldAttachments);
  }
  return true;
}

// --- the operation ----------------------------------------------------------------

bool SendOperation::operate() {
  if (!project_.is_open()) {
    ui_.beep();
    return false;
  }
  queue_.clear();
  // An operation that ends before it sends anything reports on itself,
  // not on the failures of an earlier send of this program run.
  counters_ = Counters();
  server_failures_ = 0;
  server_reached_ = false;
  exhausted_in_row_ = 0;
  retry_pauses_ = 0;
  pause_pending_ = false;
  on_connection_ = 0;
  messages_started_ = 0;
  stopped_ = false;
  if (!check_project()) return false;

  sources_ = std::make_unique<RecipientSources>(project_, ui_, env_.database());
  if (!sources_->prepare()) return false;
  // No Preview sends as it gathers: the recipients it is going to send to
  // are found by a pass of their own first, for the journal's plan and the
  // progress's total.
  if (mode_ == kNoPreview && !make_plan(&plan_)) return false;
  if (resuming_) {
    Vector<String> texts;
    for (const JournalEntry& entry : resumed_.entries) texts.append(entry.recipient);
    matcher_ = std::make_unique<PlanMatcher>(texts);
    if (mode_ == kNoPreview) {
      // Told before anything is sent.
      PlanMatcher probe(texts);
      for (const String& recipient : plan_) probe.take(recipient);
      tell_plan_changes(probe);
    }
  }
  row_.reset();
  if (sources_->from_database() && sources_->table()) {
    row_ = std::make_unique<DatabaseRow>(*env_.database(), *sources_->table());
  }

  // A dry run talks to no server.
  recycling_ = (mode_ == kNormal || mode_ == kNoPreview) && !project_.flag(kFieldDirectDelivery) &&
               project_.flag(kFieldRecycle) && !dry_run_active_;
  if (recycling_ && !connect_now()) return false;

  counters_.candidates = 0;
  counters_.rejected = 0;

  if (!env_.command_line_run()) {
    if (mode_ == kNoPreview &&
        !ui_.ask_yes_no("You have selected the \"No Preview\" mode.  This is your last chance "
                        "to stop the operation.\n\nDo you wish to begin sending messages?",
                        "Send Messages")) {
      return true;
    }
    if (mode_ == kIdentical &&
        !ui_.ask_yes_no("You have selected the \"Identical\" mode.  A single message will be "
                        "sent, addressed to all recipients.  This is your last chance to stop "
                        "the operation.\n\nDo you wish to begin sending the message?",
                        "Send Messages")) {
      return true;
    }
  }

  if (mode_ == kNoPreview) {
    if (!start_journal(plan_)) return false;
    begin_sending_phase();
  } else if (mode_ == kIdentical) {
    builder_.recipients.clear();
  } else {
    open_progress(application_name, "Gathering recipients...", true);
  }

  const bool gathered = gather();
  // No Preview's last messages may still be on their way.
  drain_lanes();
  if (!gathered || log_stopped()) return false;
  if (aborted_) return true;
  log_.write(String::formatted("%d recipients, %d rejected\r\n", counters_.candidates,
                               counters_.rejected));
  finish();
  return counters_.errors == 0;
}

// --- the journal -----------------------------------------------------------------

bool SendOperation::make_plan(Vector<String>* plan) {
  plan->clear();
  bool eliminate = project_.flag(kFieldEliminateDuplicates);
  String candidate, error;
  while (options_.limit <= 0 || plan->count() < options_.limit) {
    RecipientSources::Next next = sources_->next(&candidate, &error);
    // The gathering meets the same end, and reports it.
    if (next == RecipientSources::Next::kEnd || next == RecipientSources::Next::kReadError ||
        next == RecipientSources::Next::kFileError) {
      break;
    }
    if (next == RecipientSources::Next::kFaultyRow) continue;
    ParsedAddress parsed;
    if (judge_candidate(candidate, sources_->addresses(), eliminate, &parsed) ==
        Verdict::kAccepted) {
      plan->append(candidate);
    }
  }
  return sources_->prepare();
}

bool SendOperation::start_journal(const Vector<String>& plan) {
  if (resuming_) {
    plan_count_ = resumed_.entries.count();
  } else {
    if (mode_ == kNoPreview) matcher_ = std::make_unique<PlanMatcher>(plan);
    plan_count_ = plan.count();
  }
  status_.total = plan_count_;
  outcomes_.clear();
  for (int i = 0; i < plan_count_; ++i) {
    outcomes_.append(resuming_ ? resumed_.entries[i].outcome : JournalOutcome::kNone);
  }
  if (resuming_) {
    for (const JournalEntry& entry : resumed_.entries) status_.skipped += is_final(entry.outcome);
    status_.done = status_.skipped;
  }

  bool keep = settings_.journal && options_.journal && !dry_run_active_ &&
              options_.test_address.empty() && !history_folder_.empty() &&
              (resuming_ || !env_.project_file().empty());
  if (!keep || journal_.is_open()) return true;
  journal_.set_sync_window(settings_.journal_sync_window);
  journal_.set_connections(mode_ == kIdentical ? 1 : lanes_for(false));
  JournalRun run;
  run.start_ms = run_start_ms_;
  run.resumed = resuming_;
  run.log_name = run_log_name_;
  if (resuming_) {
    if (journal_.reopen(journal_path_, resumed_, run)) return true;
  } else {
    JournalIdentity identity;
    identity.send_id = make_send_id();
    identity.start_ms = run_start_ms_;
    identity.send_mode = mode_;
    identity.limit = options_.limit;
    identity.project = project_identity(env_.project_file());
    String error;
    if (SendHistory(history_folder_).create_unique(run_stem_, kJournalExtension, &journal_path_,
                                                   &error) &&
        journal_.create(journal_path_, identity, run, plan)) {
      return true;
    }
    if (!journal_.failed()) {
      show_error(ui_, "Unable to create the send journal in:\n" + history_folder_ + "\n" + error +
                          "\n\nNothing was sent: without its journal the send could not be "
                          "resumed.");
      return false;
    }
  }
  show_error(ui_, "Unable to write the send journal:\n" + journal_path_ + "\n" + journal_.error() +
                      "\n\nNothing was sent: without its journal the send could not be resumed.");
  return false;
}

bool SendOperation::take_plan_entry(const String& recipient, int* plan_index) {
  *plan_index = -1;
  if (!matcher_) return true;
  int index = matcher_->take(recipient);
  if (!resuming_) {
    // Met now and not by the first pass (the sources changed in between):
    // it joins the plan.
    if (index < 0 && journaling()) {
      index = plan_count_++;
      journal_.add_plan(index, recipient.view());
      outcomes_.append(JournalOutcome::kNone);
      status_.total = plan_count_;
    }
    *plan_index = index;
    return true;
  }
  const char* why = nullptr;
  if (index < 0) {
    why = "not a recipient of the send being resumed";
  } else {
    switch (resumed_.entries[index].outcome) {
      case JournalOutcome::kDelivered:
        why = "delivered earlier in this send";
        break;
      case JournalOutcome::kRefused:
        why = "refused for good earlier in this send";
        break;
      case JournalOutcome::kDropped:
        why = "taken out of this send earlier";
        break;
      default:
        break;
    }
  }
  if (why) {
    log_.write("Skipped " + recipient + " : " + why + "\r\n");
    return false;
  }
  *plan_index = index;
  return true;
}

void SendOperation::tell_plan_changes(const PlanMatcher& matcher) {
  String changes = plan_change_text(matcher);
  if (changes.empty()) return;
  log_.write(changes + "\r\n");
  ui_.information_box(changes, "Resume last send");
}

void SendOperation::journal_outcome(const Vector<int>& indices, bool sent, int tries,
                                    int64_t* number) {
  MimeMessage& message = current_builder();
  JournalOutcome outcome = JournalOutcome::kDelivered;
  if (!sent) {
    DeliveryFailure failure = classify_delivery_failure(message.error_code, message.reply_code);
    // The server may hold it: the attempt stays its last record, and a
    // resume sends it again saying so.
    if (failure.may_be_delivered) return;
    outcome = failure.refused_message ? JournalOutcome::kRefused : JournalOutcome::kFailed;
  }
  int64_t now = env_.wall_clock_ms();
  for (int index : indices) {
    if (index < outcomes_.count()) outcomes_[index] = outcome;
    if (!journal_.outcome(index, outcome, tries, message.reply_code, sent ? 0 : message.error_code,
                          now, number)) {
      return;
    }
  }
}

void SendOperation::finish_journal() {
  if (!journal_.is_open()) return;
  // A message the review step had, that neither went out nor is still
  // waiting, was discarded by the person.
  if (!queued_in_run_.empty()) {
    Vector<char> waiting;
    waiting.set_count(plan_count_);
    for (int i = 0; i < plan_count_; ++i) waiting[i] = 0;
    for (const Message& m : queue_) {
      if (m.plan_index >= 0 && m.plan_index < plan_count_) waiting[m.plan_index] = 1;
    }
    for (int index : queued_in_run_) {
      if (!waiting[index] && !is_final(outcomes_[index])) {
        journal_.outcome(index, JournalOutcome::kDropped, 0, 0, 0, env_.wall_clock_ms());
      }
    }
  }
  journal_.end_run(env_.wall_clock_ms());
  journal_.close();
}

void SendOperation::report_progress(bool finished) {
  status_.rejected = counters_.rejected;
  status_.finished = finished;
  if (finished) status_.log_path = log_.path();
  ui_.send_progress(status_);
}

bool SendOperation::connect_now() {
  // The connection goes to the server the project names now, not to the
  // one an earlier send left in the settings.
  store_smtp_fields();
  open_progress(application_name, "Connecting to server...", false);
  String error;
  bool connected = smtp_connect(String(), &error);
  close_progress();
  if (!connected) show_error(ui_, error);
  server_reached_ = connected;
  return connected;
}

// No Preview reads the sources ahead while a message goes out (see
// next_gathered()). A candidate read ahead was only read and judged: its
// line, its counting, its plan entry and its personalisation come here,
// after the message before it has its outcome, exactly as they would
// without the look-ahead. Nothing is personalised ahead, because data tags
// write to the database and set variables, and a message the send stops
// before must not have run its tags. Reading and judging ahead changes
// nothing that a tag could see: the candidate read ahead is the last one
// read when it is personalised (its row is the current one), the
// message before was personalised before the read, and sending it touches
// neither the sources nor the duplicate table, whose judgements come in
// the sources' order either way.
void SendOperation::next_candidate(Candidate* candidate) {
  if (ahead_.empty()) {
    *candidate = read_candidate();
    return;
  }
  *candidate = std::move(ahead_.front());
  ahead_.pop_front();
}

SendOperation::Candidate SendOperation::read_candidate() {
  Candidate c;
  c.next = sources_->next(&c.text, &c.error);
  if (c.next == RecipientSources::Next::kCandidate) {
    c.verdict = judge_candidate(c.text, sources_->addresses(), eliminate_, &c.parsed);
  }
  return c;
}

bool SendOperation::next_gathered(String* recipient, int skip) {
  if (mode_ != kNoPreview || stopped_ || log_stopped()) return false;
  int accepted = accepted_;
  for (size_t i = 0;; ++i) {
    if (i == ahead_.size()) {
      // The gathering reads no candidate beyond the limit, nor does this.
      if (i >= kReadAheadLimit || (options_.limit > 0 && accepted >= options_.limit)) {
        return false;
      }
      ahead_.push_back(read_candidate());
    }
    const Candidate& c = ahead_[i];
    if (c.next == RecipientSources::Next::kFaultyRow) continue;
    if (c.next != RecipientSources::Next::kCandidate) return false;
    if (c.verdict != Verdict::kAccepted) continue;
    ++accepted;
    // A resume skips what its journal has done; the plan entry this one
    // will take comes after those the candidates before it of the same
    // text take.
    if (resuming_ && matcher_) {
      int earlier = 0;
      for (size_t k = 0; k < i; ++k) {
        earlier += ahead_[k].next == RecipientSources::Next::kCandidate &&
                   ahead_[k].verdict == Verdict::kAccepted && ahead_[k].text == c.text;
      }
      int index = matcher_->peek(c.text, earlier);
      if (index < 0) continue;
      JournalOutcome outcome = resumed_.entries[index].outcome;
      if (outcome == JournalOutcome::kDelivered || outcome == JournalOutcome::kRefused ||
          outcome == JournalOutcome::kDropped) {
        continue;
      }
    }
    if (skip-- > 0) continue;
    *recipient = c.text;
    return true;
  }
}

bool SendOperation::gather() {
  tags_->clear_variables();
  aborted_ = false;
  bool previewed = mode_ == kNormal || mode_ == kLastRecipientOnly;
  eliminate_ = project_.flag(kFieldEliminateDuplicates);
  gather_cc_ = project_.text(kFieldCc);
  const String& cc = gather_cc_;
  ahead_.clear();
  int index = 1;
  accepted_ = 0;
  Candidate read;
  for (;;) {
    if (log_stopped()) {
      close_progress();
      return false;
    }
    if (previewed && ui_.progress_aborted()) {
      close_progress();
      aborted_ = true;
      return true;
    }
    if (mode_ == kNoPreview || mode_ == kIdentical) queue_.clear();
    if (options_.limit > 0 && accepted_ >= options_.limit) {
      log_.write(String::formatted("The send stops after its first %d recipients.\r\n",
                                   options_.limit));
      break;
    }
    next_candidate(&read);
    String& candidate = read.text;
    const String& error = read.error;
    RecipientSources::Next next = read.next;
    if (next == RecipientSources::Next::kEnd) break;
    if (next == RecipientSources::Next::kReadError) {
      log_.write(error);
      break;
    }
    if (next == RecipientSources::Next::kFileError) {
      // The rest of the recipients cannot be known: the send stops, as it
      // does at a body that fails, and the log says where.
      log_.write(error + "\r\n");
      close_progress();
      show_error(ui_, error);
      return false;
    }
    if (next == RecipientSources::Next::kFaultyRow) {
      clean_candidate(candidate);
      ++counters_.candidates;
      ++counters_.rejected;
      log_.write(candidate + ": " + error + "\r\n");
      continue;
    }
    const ParsedAddress& parsed = read.parsed;
    Verdict verdict = read.verdict;
    if (verdict == Verdict::kSkipped) continue;
    ++counters_.candidates;
    // No Preview: the candidate's line, its message's and its outcome's go
    // to the log together.
    std::optional<LogHold> held;
    if (mode_ == kNoPreview && verdict == Verdict::kAccepted) held.emplace(*this);
    log_.write(verdict_log_line(candidate, verdict));
    if (verdict != Verdict::kAccepted) {
      ++counters_.rejected;
      continue;
    }
    ++accepted_;
    if (stopped_ && mode_ == kNoPreview) {
      // Not personalised either: its data tags might write to the database.
      log_not_sent(candidate);
      ++index;
      continue;
    }
    int plan_index = -1;
    if (!take_plan_entry(candidate, &plan_index)) {
      // Its -Index- stays as the send first gave it to the later ones.
      if (mode_ != kIdentical) ++index;
      continue;
    }
    Message& record = queue_.append();
    record.recipient = candidate;
    record.plan_index = plan_index;
    record.cc = cc;
    set_basic_tags(candidate, parsed, index);
    if (!personalise(record)) {
      close_progress();
      return false;
    }
    switch (mode_) {
      case kNoPreview:
        give_attachments(queue_);
        send_loop(queue_, false);
        break;
      case kIdentical:
        builder_.add_recipient(record.recipient);
        if (plan_index >= 0) identical_indices_.append(plan_index);
        ++counters_.attempted;
        continue;  // the index stays
      case kLastRecipientOnly:
        while (queue_.count() > 2) queue_.remove(0);
        break;
      default:
        break;
    }
    ++index;
  }
  return true;
}

bool SendOperation::personalise(Message& record) {
  record.subject = project_.text(kFieldSubject);
  record.text_body = text_body_;
  record.html_body = html_body_;
  record.unsubscribe = project_.text(kFieldUnsubscribe);
  // The database row, or the row of a recipient file with columns.
  MergeRow* row = row_ ? row_.get() : sources_->file_row();
  if (!tags_->process_tags(TagText::kSubject, record.subject, row) ||
      !tags_->process_tags(TagText::kTextBody, record.text_body, row) ||
      !tags_->process_tags(TagText::kHtmlBody, record.html_body, row) ||
      !tags_->process_tags(TagText::kUnsubscribe, record.unsubscribe, row)) {
    return false;
  }
  make_one_line(record.subject);
  return true;
}

void SendOperation::set_basic_tags(const String& candidate, const ParsedAddress& parsed,
                                   int index) {
  tags_->set_variable("-Recipient-", Var::of_text(candidate.c_str()));
  tags_->set_variable("-FullName-", Var::of_text(parsed.display.c_str()));
  tags_->set_variable("-FirstName-", Var::of_text(parsed.first_name.c_str()));
  tags_->set_variable("-LastName-", Var::of_text(parsed.last_name.c_str()));
  tags_->set_variable("-Email-", Var::of_text(parsed.address.c_str()));
  tags_->set_variable("-Now-", Var::of_date_time(local_now()));
  tags_->set_variable("-Index-", Var::of_int(index));
}

void SendOperation::finish() {
  switch (mode_) {
    case kNoPreview:
      write_totals(false);
      break;
    case kIdentical:
      finish_identical();
      break;
    case kLastRecipientOnly:
      while (queue_.count() > 1) queue_.remove(0);
      finish_previewed();
      break;
    default:
      finish_previewed();
      break;
  }
}

void SendOperation::finish_identical() {
  if (builder_.recipients.empty()) {
    log_.write("\r\nNo recipients qualified.");
    view_log(true, true);
    return;
  }
  queue_.clear();
  Message& record = queue_.append();
  record.subject = project_.text(kFieldSubject);
  make_one_line(record.subject);
  record.text_body = text_body_;
  record.html_body = html_body_;
  record.unsubscribe = project_.text(kFieldUnsubscribe);
  if (resuming_) tell_plan_changes(*matcher_);
  if (!resuming_) {
    for (int i = 0; i < builder_.recipients.count(); ++i) identical_indices_.append(i);
  }
  if (!start_journal(builder_.recipients)) {
    journal_unavailable_ = true;
    return;
  }
  begin_sending_phase();
  give_attachments(queue_);
  send_loop(queue_, true);
  write_totals(true);
}

void SendOperation::finish_previewed() {
  close_progress();
  if (queue_.empty()) {
    log_.write("\r\nNo recipients qualified.");
    view_log(true, true);
    return;
  }
  // The preview may change a message's attachments: they are given once,
  // before it first opens, and not again before each batch.
  give_attachments(queue_);
  bool has_text = project_.flag(kFieldUseBodyFile) || project_.flag(kFieldUseBodyText);
  bool has_html = project_.flag(kFieldUseHtmlFile) || project_.flag(kFieldUseHtmlText);
  if (resuming_) tell_plan_changes(*matcher_);
  bool released = false;
  while (!queue_.empty() && !log_stopped()) {
    if (!env_.review(*this, has_text, has_html) || queue_.empty()) {
      log_.write("\r\nAborted by user\r\n");
      return;
    }
    // The send's plan is what the person released the first time.
    if (!released) {
      released = true;
      Vector<String> plan;
      for (int i = 0; i < queue_.count(); ++i) {
        if (!resuming_) queue_[i].plan_index = i;
        plan.append(queue_[i].recipient);
        queued_in_run_.append(queue_[i].plan_index);
      }
      if (!start_journal(plan)) {
        journal_unavailable_ = true;
        return;
      }
    }
    send_batch(queue_);
  }
}

// --- sending -------------------------------------------------------------------------

void SendOperation::store_smtp_fields() {
  String server = trimmed(env_.smtp_server_field());
  int port = 0;
  project_.number(kFieldSmtpPort, &port);
  // The mail layer gets the route, which may come from the command line or
  // an account; the settings keep what the Send folder shows.
  set_smtp_route(route_);
  env_.store_smtp_settings(server, port);
}

void SendOperation::begin_sending_phase() {
  store_smtp_fields();
  counters_.attempted = 0;
  counters_.errors = 0;
  counters_.bytes_sent = 0;
  builder_.progress = [this](double fraction) { return progress(fraction); };
  builder_.from = project_.text(kFieldFrom);
  if (builder_.from.empty()) builder_.from = route_.from;
  builder_.reply_to = project_.text(kFieldReply);
  builder_.dkim = signer_.get();
  int encoding = MimeMessage::k7Bit;
  project_.number(kFieldEncoding, &encoding);
  builder_.encoding = encoding;
  builder_.clear_embedded_files();
  for (const String& path : embedded_files_) builder_.add_embedded_file(path);
  builder_.extra_headers.clear();
  progress_text_ = "Sending...";
  open_progress(application_name, progress_text_, true);
  log_.write(log_heading(now_text()));
  if (dry_run_active_) {
    log_.write("Dry run: nothing is sent; each message is written to " +
               dry_run_.folder() + "\r\n");
  }
  if (resuming_ && !resume_told_) {
    resume_told_ = true;
    log_.write("Resuming the send begun on " +
               format_date_time(local_date_time(resumed_.identity.start_ms), nullptr) +
               String::formatted(": %d of its %d recipients were done before.\r\n",
                                 status_.skipped, plan_count_));
  }
  counters_.start_ms = env_.milliseconds();
}

void SendOperation::send_batch(MessageQueue& batch) {
  begin_sending_phase();
  send_loop(batch, false);
  write_totals(false);
}

void SendOperation::give_attachments(MessageQueue& batch) {
  String attachments = project_.text(kFieldAttachments);
  for (Message& record : batch) record.attachments = attachments;
}

void SendOperation::add_attachments(const String& specifications) {
  MimeMessage& builder = current_builder();
  builder.clear();
  LineCursor lines(specifications);
  String line;
  while (lines.next(&line)) {
    line.trim(kWhite);
    if (line.empty()) continue;
    // A line may be a wildcard pattern; one that names nothing (any more)
    // goes in as it is, so that the message fails naming it.
    Vector<String> paths;
    expand_file_specs(line, paths, String());
    if (paths.empty()) {
      builder.add(line);
    } else {
      for (const String& path : paths) builder.add(path);
    }
  }
}

bool SendOperation::progress(double fraction) {
  ui_.set_progress_fraction(base_ + step_ * fraction);
  // A large message shows how far it has gone, at each whole percent.
  if (large_message_) {
    int percent = static_cast<int>(fraction * 100);
    if (percent != message_percent_) {
      message_percent_ = percent;
      status_.message_fraction = fraction;
      report_progress();
    }
  }
  return ui_.progress_aborted();
}

void SendOperation::send_loop(MessageQueue& batch, bool identical) {
  int total = batch.count();
  if (total == 0) return;
  step_ = 1.0 / total;
  int length = 0;
  if (!project_.number(kFieldLineLength, &length) || length < kMinLineLength) {
    length = kMinLineLength;
  }
  // Over several connections the messages are handed out in turn and
  // those delivered leave `batch` once all have their outcomes; No
  // Preview, which hands out one at a time as it gathers, waits for them
  // at the end of the gathering.
  const bool lanes = lanes_for(identical) > 1;
  const bool streaming = lanes && mode_ == kNoPreview;
  std::vector<char> lane_delivered(lanes && !streaming ? total : 0, 0);
  if (lanes) {
    log_.begin_blocks();
    lanes_batch_ = streaming ? nullptr : &batch;
  }
  int at = 0;  // the record in `batch`: delivered ones leave it
  for (int n = 1; n <= total; ++n) {
    if (lanes) at = n - 1;
    Message& record = batch[at];
    if (lanes) {
      // Lanes that finish meanwhile send this one's commands ahead.
      pending_ = &record;
      batch_next_ = at + 1;
    }
    base_ = static_cast<double>(n - 1) / total;
    if (!identical) {
      progress_text_ = String::formatted("#%d of %d: %s", n, total, record.recipient.c_str());
      ui_.set_progress_text(progress_text_);
    }
    ui_.set_progress_fraction(base_);
    if (log_stopped()) break;
    if (!stopped_) hold_back();
    // Over several connections it waits for a free one first, so that
    // what the messages on their way end in (a server that stops the
    // send, an abort) is known before it goes.
    Lane* lane = lanes && !stopped_ && !ui_.progress_aborted() ? &lane_for(record) : nullptr;
    if (ui_.progress_aborted()) {
      for (int k = at; k < batch.count(); ++k) {
        log_.write(batch[k].recipient + "\r\nUser aborted: message not sent\r\n\r\n");
      }
      break;
    }
    if (stopped_) {
      for (int k = at; k < batch.count(); ++k) log_not_sent(batch[k].recipient);
      break;
    }
    wrap_lines(record.text_body, length);
    // The message's lines go to the log with one write, once it has its
    // outcome.
    LogHold held(*this);
    String shown = identical ? String("to all recipients") : record.recipient;
    if (!options_.test_address.empty()) {
      shown = options_.test_address + " (test of " + shown + ")";
    }
    if (resuming_ && !identical && record.plan_index >= 0 &&
        resumed_.entries[record.plan_index].in_flight) {
      log_.write(record.recipient + " may receive this message twice: the end of its data went "
                                    "out before the send was interrupted, and the server's "
                                    "answer was never recorded.\r\n");
    }
    if (!log_.write("Sending " + shown + " :")) break;
    if (lane) {
      dispatch(*lane, record, shown, streaming ? nullptr : &lane_delivered[at]);
      continue;
    }
    // On a kept connection the next message's envelope can go out with
    // this one's end marker; it goes to the next record, as deliver() will
    // address it.
    // No Preview has one message in its batch: the next one is the next
    // recipient the gathering will accept.
    builder_.next_envelope = nullptr;
    const Message* next = at + 1 < batch.count() ? &batch[at + 1] : nullptr;
    if (recycling_ && !identical && (next || mode_ == kNoPreview)) {
      builder_.next_envelope = [this, next](Envelope* envelope) {
        // Commands sent ahead of a wait would hold the server in its data
        // phase meanwhile.
        if (!next_starts_at_once()) return false;
        String recipient = next ? next->recipient : String();
        if (!next && !next_gathered(&recipient)) return false;
        *envelope = envelope_for(recipient, next ? next->cc : gather_cc_);
        return true;
      };
    }
    bool delivered = deliver(record, identical, shown);
    builder_.next_envelope = nullptr;
    if (delivered) {
      batch.remove(at);
    } else {
      ++at;
    }
    if (!recycling_) quit();
  }
  pending_ = nullptr;
  if (!lanes || streaming) return;
  drain_lanes();
  for (int k = total - 1; k >= 0; --k) {
    if (lane_delivered[k]) batch.remove(k);
  }
}

// --- several connections at once ---------------------------------------------------

int SendOperation::lanes_for(bool identical) const {
  // A recipient's own mail host, a folder and one message to everyone
  // have nothing to share out.
  if (identical || dry_run_active_ || project_.flag(kFieldDirectDelivery)) return 1;
  return lanes_wanted_;
}

MimeMessage& SendOperation::current_builder() {
  Lane* lane = lane_of_fiber.get();
  return lane ? lane->builder : builder_;
}

int& SendOperation::on_connection() {
  Lane* lane = lane_of_fiber.get();
  return lane ? lane->on_connection : on_connection_;
}

bool SendOperation::run_lanes_until(const std::function<bool()>& done) {
  // The port is asked meanwhile, so that a window stays painted and a stop
  // is seen.
  return loop_->run_until(done, [this] { ui_.progress_aborted(); });
}

bool SendOperation::lanes_idle() const {
  for (const auto& lane : lanes_) {
    if (lane->busy) return false;
  }
  return true;
}

SendOperation::Lane& SendOperation::add_lane() {
  lanes_.push_back(std::make_unique<Lane>());
  Lane& lane = *lanes_.back();
  // The first lane goes over the process's connection, which the send may
  // have opened already.
  if (lanes_.size() == 1) lane.connection = &smtp_connection();
  // The trace says which connection each line is about.
  lane.connection->trace_label = String::formatted("[%zu] ", lanes_.size());
  return lane;
}

SendOperation::Lane& SendOperation::lane_for(const Message& record) {
  if (!loop_) loop_ = std::make_unique<FiberLoop>();
  if (lanes_.empty()) add_lane();
  auto promises_of = [this](const Lane& lane) {
    int n = 0;
    for (const Promise& p : promised_) n += p.lane == &lane;
    return n;
  };
  for (;;) {
    while (!promised_.empty() && promised_.front().number < handed_) promised_.pop_front();
    // The lane that sent this message's commands ahead takes it once its
    // own message is done; a promise for another recipient (the sources
    // changed their mind) is no promise.
    if (!promised_.empty() && promised_.front().number == handed_) {
      Lane* lane = promised_.front().lane;
      if (promised_.front().recipient != record.recipient) {
        promised_.pop_front();
        continue;
      }
      if (!lane->busy) {
        promised_.pop_front();
        return *lane;
      }
      // Its message is about to end.
      const bool changed = run_lanes_until([&] {
        return !lane->busy || promised_.empty() || promised_.front().lane != lane ||
               promised_.front().number != handed_;
      });
      if (!changed) FatalError("A connection of the send never finished its message");
      continue;
    } else {
      // A free lane that waits for no message of its own, else a new one.
      for (auto& lane : lanes_) {
        if (!lane->busy && promises_of(*lane) == 0) return *lane;
      }
      if (static_cast<int>(lanes_.size()) < lanes_wanted_) return add_lane();
      // Else one that waits for a later message gives that up: its
      // connection starts again when it finds that the commands it sent
      // ahead are not this message's.
      for (auto& lane : lanes_) {
        if (!lane->busy) {
          forget_promises(*lane);
          return *lane;
        }
      }
    }
    // Until a lane is free or a promise comes or goes.
    const size_t promises = promised_.size();
    const bool changed = run_lanes_until([&] {
      if (promised_.size() != promises) return true;
      for (auto& lane : lanes_) {
        if (!lane->busy) return true;
      }
      return false;
    });
    if (!changed) FatalError("No connection of the send became free");
  }
}

void SendOperation::dispatch(Lane& lane, const Message& record, const String& shown,
                             char* delivered) {
  pending_ = nullptr;
  ++handed_;
  lane.busy = true;
  lane.record = record;
  lane.shown = shown;
  lane.delivered = delivered;
  // The phase's sender, encoding, signer and embedded files; the rest is
  // the message's own, set by deliver().
  lane.builder = builder_;
  lane.builder.next_envelope = nullptr;
  if (recycling_) {
    lane.builder.next_envelope = [this, &lane](Envelope* envelope) {
      return promise_next(lane, envelope);
    };
  }
  lane.block = log_.hand_over();
  if (!loop_->start([this, &lane] { run_lane(lane); })) {
    // No stack for a fiber: the message goes here and now, and the code
    // outside the fibers takes its own connection back.
    run_lane(lane);
    lane_of_fiber.set(nullptr);
    use_smtp_connection(nullptr);
    return;
  }
  // It runs until its first wait, so that its connection is on its way
  // while the next message is made.
  loop_->run_ready();
}

bool SendOperation::promise_next(Lane& lane, Envelope* envelope) {
  // Commands sent ahead of a wait would hold the server in its data phase
  // meanwhile.
  if (!next_starts_at_once() || stopped_ || log_stopped()) return false;
  const int64_t number =
      promised_.empty() ? handed_ : std::max(handed_, promised_.back().number + 1);
  String recipient, cc;
  if (!upcoming(static_cast<int>(number - handed_), &recipient, &cc)) return false;
  *envelope = envelope_for(recipient, cc);
  promised_.push_back(Promise{&lane, number, recipient});
  return true;
}

Envelope SendOperation::envelope_for(const String& recipient, const String& cc) const {
  Envelope envelope;
  envelope.from = builder_.from;
  envelope.encoding = builder_.encoding;
  // A test goes to its one address, without the CC list.
  envelope.recipients = options_.test_address.empty()
                            ? envelope_recipients(recipient, cc)
                            : envelope_recipients(options_.test_address, String());
  return envelope;
}

bool SendOperation::upcoming(int k, String* recipient, String* cc) {
  if (pending_) {
    if (k == 0) {
      *recipient = pending_->recipient;
      *cc = pending_->cc;
      return true;
    }
    --k;
  }
  if (lanes_batch_) {
    const int i = batch_next_ + k;
    if (i >= lanes_batch_->count()) return false;
    *recipient = (*lanes_batch_)[i].recipient;
    *cc = (*lanes_batch_)[i].cc;
    return true;
  }
  *cc = gather_cc_;
  return mode_ == kNoPreview && next_gathered(recipient, k);
}

void SendOperation::forget_promises(const Lane& lane) {
  for (size_t i = 0; i < promised_.size();) {
    if (promised_[i].lane == &lane) {
      promised_.erase(promised_.begin() + static_cast<long>(i));
    } else {
      ++i;
    }
  }
}

void SendOperation::run_lane(Lane& lane) {
  use_smtp_connection(lane.connection);
  lane_of_fiber.set(&lane);
  log_.use_block(lane.block);
  const bool sent = deliver(lane.record, false, lane.shown);
  if (!recycling_) quit();
  if (lane.delivered) *lane.delivered = sent;
  log_.use_block(nullptr);
  log_.close_block(lane.block);
  lane.block = nullptr;
  lane.busy = false;
}

void SendOperation::drain_lanes() {
  if (loop_) run_lanes_until(nullptr);
  // Every message has its outcome: what follows goes straight to the log.
  log_.end_blocks();
}

void SendOperation::close_lanes() {
  drain_lanes();
  promised_.clear();
  handed_ = 0;
  pending_ = nullptr;
  lanes_batch_ = nullptr;
  for (auto& lane : lanes_) {
    use_smtp_connection(lane->connection);
    quit();
    lane->connection->trace_label.clear();
  }
  use_smtp_connection(nullptr);
  lanes_.clear();
  loop_.reset();
}

bool SendOperation::deliver(Message& record, bool identical, const String& shown) {
  MimeMessage& message = current_builder();
  if (!identical) {
    message.recipients.clear();
    message.add_recipient(options_.test_address.empty() ? record.recipient
                                                         : options_.test_address);
    ++counters_.attempted;
  }
  ++messages_started_;
  // A test goes to its one address: the project's CC list is left out.
  message.set_cc(options_.test_address.empty() ? record.cc : String());
  message.subject = record.subject;
  message.set_unsubscribe(record.unsubscribe);
  message.text_body = record.text_body;
  message.html_body = record.html_body;
  add_attachments(record.attachments);
  const bool direct = project_.flag(kFieldDirectDelivery) && !identical;

  Vector<int> indices;
  if (identical) {
    indices = identical_indices_;
  } else if (record.plan_index >= 0) {
    indices.append(record.plan_index);
  }
  bool journaled = journaling() && !indices.empty();
  bool attempt_recorded = false;  // this try's end of data is in the journal
  message.before_end_of_data = nullptr;
  if (journaled) {
    message.before_end_of_data = [this, indices, &attempt_recorded] {
      // On one of several connections, that connection's last outcome is
      // the one to wait for (send/send_journal.h).
      const Lane* lane = lane_of_fiber.get();
      for (int index : indices) {
        if (!journal_.attempt(index, lane ? lane->last_outcome : -1)) return false;
      }
      attempt_recorded = true;
      return true;
    };
  }
  status_.recipient = identical ? String("all recipients") : record.recipient;
  status_.message_fraction = -1;
  message_percent_ = -1;
  int64_t size = record.text_body.length() + record.html_body.length();
  for (const String& path : message.attachments) size += file_size(path);
  for (const String& path : message.embedded_files) size += file_size(path);
  large_message_ = size >= kLargeMessageBytes;
  report_progress();

  bool sent = false;
  bool exhausted = false;  // failed for now on every try it was given
  String written;
  int tries = 0;
  int64_t first_failure_ms = -1;
  const int most = std::max(1, settings_.retry.tries);
  // Read at once: on a lane, another lane's message may go through the
  // client while this one waits.
  SmtpFailure smtp_failure = SmtpFailure::kNone;
  for (;;) {
    ++tries;
    message.direct_delivery = direct;
    if (tries > 1 &&
        !log_.write("Sending " + shown + String::formatted(" (try %d of %d) :", tries, most))) {
      break;
    }
    sent = try_once(&written);
    smtp_failure = last_smtp_failure();
    // Any reply at all says the server is there.
    if (!message.direct_delivery && !dry_run_active_ && (sent || message.reply_code != 0)) {
      server_reached_ = true;
    }
    if (sent) break;
    if (Lane* lane = lane_of_fiber.get()) forget_promises(*lane);
    if (dry_run_active_) {
      log_.write("\r\n" + message.error + "\r\n\r\n");
      break;
    }
    int64_t wait_ms = next_try_wait(tries, &first_failure_ms, &exhausted, smtp_failure);
    if (wait_ms < 0) break;
    // The server answered this end of data with a refusal for now: a kill
    // during the wait leaves nothing in flight for a resume to warn of.
    if (attempt_recorded) {
      for (int index : indices) journal_.answered(index);
      attempt_recorded = false;
    }
    // A new connection for the next try: the server may be one that ends
    // connections it refused on, and nothing is kept waiting meanwhile.
    quit();
    on_connection() = 0;
    // The log says why the send waits while it does.
    log_.flush();
    if (!wait(wait_ms, String::formatted("retry %d of %d in ", tries + 1, most)) ||
        !take_rate_token()) {
      log_.write("User aborted while waiting to try again: message not sent\r\n\r\n");
      break;
    }
    if (log_stopped()) break;
  }
  message.before_end_of_data = nullptr;
  if (journaled) {
    int64_t number = -1;
    journal_outcome(indices, sent, tries, &number);
    Lane* lane = lane_of_fiber.get();
    if (lane && number >= 0) lane->last_outcome = number;
  }

  int recipients = indices.empty() ? 1 : indices.count();
  status_.done += recipients;
  status_.message_fraction = -1;
  large_message_ = false;
  if (sent) {
    if (log_.in_blocks()) {
      lane_of_fiber.get()->block->label = record.recipient;
    } else if (log_.held()) {
      sent_held_ = identical ? String("all recipients") : record.recipient;
    }
    status_.sent += recipients;
    counters_.bytes_sent += message.message_size;
    log_.write(dry_run_active_ ? " written to " + written + "\r\n" : String(" success\r\n"));
  } else {
    if (classify_delivery_failure(message.error_code, message.reply_code).refused_message) {
      status_.refused += recipients;
    } else {
      status_.failed += recipients;
    }
    ++counters_.errors;
    // An unattended run has no log window: the person reads why here.
    if (env_.command_line_run()) {
      ui_.information_box(message.error,
                          "Not sent to " + (identical ? String("all recipients") : record.recipient));
    }
  }
  report_progress();
  // Only the configured server's failures say that the next message will
  // fail too; a recipient's own mail host says nothing about the others.
  if (!message.direct_delivery && !dry_run_active_) {
    judge_server(smtp_failure, !sent && never_reached(message));
    judge_retries(sent, exhausted);
  }
  return sent;
}

bool SendOperation::try_once(String* written) {
  MimeMessage& message = current_builder();
  if (dry_run_active_) return dry_run_.write(message, written);
  bool sent = send_message(message);
  if (!sent && message.direct_delivery && !route_.host.empty()) {
    // Through the project's own server; a connection the failed attempt
    // may have left to the recipient's server is not reused for it.
    message.direct_delivery = false;
    quit();
    sent = send_message(message);
  }
  if (!message.direct_delivery) count_connection_use();
  return sent;
}

void SendOperation::count_connection_use() {
  if (settings_.messages_per_connection <= 0) return;
  if (!smtp_connection().is_open()) {
    on_connection() = 0;
    return;
  }
  if (++on_connection() >= settings_.messages_per_connection) {
    quit();
    on_connection() = 0;
  }
}

bool SendOperation::next_starts_at_once() {
  if (settings_.message_pause_ms > 0) return false;
  // This message counts once its try ends.
  if (settings_.messages_per_connection > 0 &&
      on_connection() + 1 >= settings_.messages_per_connection) {
    return false;
  }
  return !rate_.limited() || gate_.wait_ms(env_.milliseconds()) == 0;
}

bool SendOperation::take_rate_token() {
  if (!rate_.limited()) return true;
  int64_t wait_ms = gate_.wait_ms(env_.milliseconds());
  if (wait_ms > 0 &&
      !wait(wait_ms, "next message in ", " (at most " + send_rate_text(rate_) + ")")) {
    return false;
  }
  gate_.take(env_.milliseconds());
  return true;
}

void SendOperation::seed_rate_gate() {
  if (!rate_.limited()) return;
  int64_t last = 0;
  for (const JournalEntry& entry : resumed_.entries) {
    if (entry.outcome != JournalOutcome::kNone) last = std::max(last, entry.time_ms);
  }
  if (last <= 0) return;
  // How long ago, on the wall clock; one that went back says nothing.
  int64_t ago = env_.wall_clock_ms() - last;
  if (ago < 0 || ago >= rate_.period_ms) return;
  gate_.started_before(env_.milliseconds() - ago);
}

int64_t SendOperation::next_try_wait(int tries, int64_t* first_failure_ms, bool* exhausted,
                                     SmtpFailure smtp_failure) {
  MimeMessage& message = current_builder();
  log_.write("\r\n" + message.error + "\r\n");
  const DeliveryFailure failure = classify_delivery_failure(message.error_code, message.reply_code);
  const RetrySettings& retry = settings_.retry;
  const bool retrying = retry.tries > 1;
  // The end of the data went out and no answer came: the server may hold
  // the message, and another try could deliver it twice.
  if (failure.may_be_delivered) {
    if (retrying && failure.temporary) {
      log_.write("The end of the message went out but no answer came: the server may have taken "
                 "it, so it is not tried again.\r\n");
    }
    log_.write("\r\n");
    return -1;
  }
  // A refusal for good, a TLS failure or a login that cannot succeed is
  // the same on the next try; so, as likely as not, is a server this send
  // has never reached (a wrong name or port), and minutes of waits would
  // only hide that.
  if (!failure.temporary || message.error_code == 4558 ||
      smtp_failure == SmtpFailure::kLogin || never_reached(message)) {
    log_.write("\r\n");
    return -1;
  }
  // The clock is read only once a try failed, so that a send that never
  // waits reads it no more than before.
  if (*first_failure_ms < 0) *first_failure_ms = env_.milliseconds();
  int64_t wait_ms = retry_wait_ms(retry, tries, env_.milliseconds() - *first_failure_ms,
                                  env_.unit_random());
  if (wait_ms < 0) {
    *exhausted = true;
    if (retrying) {
      log_.write(tries == 1 ? String("Failed for now, and no time is left to try again: message not "
                                     "sent\r\n")
                            : String::formatted("Failed for now on each of its %d tries: message "
                                                "not sent\r\n",
                                                tries));
    }
    log_.write("\r\n");
    return -1;
  }
  log_.write(String::formatted("Failed for now (try %d of %d): trying again in ", tries,
                               retry.tries) +
             wait_text(wait_ms) + "\r\n\r\n");
  return wait_ms;
}

bool SendOperation::wait(int64_t ms, const String& before, const String& after) {
  ui_.set_progress_text(before + wait_text(ms) + after);
  const int64_t until = env_.milliseconds() + ms;
  bool stopped = false;
  for (;;) {
    if (ui_.progress_aborted()) {
      stopped = true;
      break;
    }
    int64_t left = until - env_.milliseconds();
    if (left <= 0) break;
    // The send's line counts down.
    String waiting = before + wait_text(left) + after;
    if (waiting != status_.waiting) {
      status_.waiting = waiting;
      report_progress();
    }
    env_.sleep_ms(std::min(left, kWaitSliceMs));
  }
  status_.waiting.clear();
  report_progress();
  ui_.set_progress_text(progress_text_);
  return !stopped;
}

void SendOperation::judge_retries(bool sent, bool exhausted) {
  if (!exhausted) {
    exhausted_in_row_ = 0;
    if (sent) retry_pauses_ = 0;
    return;
  }
  if (stopped_ || ++exhausted_in_row_ < kRetryPauseAfter) return;
  exhausted_in_row_ = 0;
  if (retry_pauses_ < kRetryPauseLimit) {
    ++retry_pauses_;
    pause_pending_ = true;
    return;
  }
  String reason = String::formatted(
      "The SMTP server %s refused %d messages in a row for now on every try, also after %d "
      "pauses, so the send stops here: the messages after this one are not sent.",
      host_and_port(route_.host, route_.port).c_str(), kRetryPauseAfter, kRetryPauseLimit);
  stopped_ = true;
  log_.write(reason + "\r\n\r\n");
  show_error(ui_, reason);
}

void SendOperation::hold_back() {
  if (pause_pending_) {
    pause_pending_ = false;
    rest_server();
  } else if (settings_.message_pause_ms > 0 && messages_started_ > 0) {
    if (!wait(settings_.message_pause_ms, "next message in ")) return;
  }
  take_rate_token();
}

void SendOperation::rest_server() {
  const int64_t pause_ms =
      static_cast<int64_t>(std::max(0, settings_.retry.longest_wait_seconds)) * 2000;
  // Over several connections the messages on their way end first (the
  // first lane's connection is the one quit() would end under them), then
  // every connection rests.
  if (loop_) {
    run_lanes_until([this] { return lanes_idle(); });
    promised_.clear();
    for (auto& lane : lanes_) {
      use_smtp_connection(lane->connection);
      quit();
      lane->on_connection = 0;
    }
    use_smtp_connection(nullptr);
  }
  quit();
  on_connection_ = 0;
  log_.write(String::formatted("The SMTP server %s refused the last %d messages for now on every "
                               "try: the send pauses for ",
                               host_and_port(route_.host, route_.port).c_str(), kRetryPauseAfter) +
             wait_text(pause_ms) + " before the next one.\r\n\r\n");
  log_.flush();
  // A stop during the pause is the send loop's to log.
  wait(pause_ms, "paused: the server refuses for now; next message in ");
}

void SendOperation::log_not_sent(const String& recipient) {
  log_.write(recipient + "\r\nSend stopped: message not sent\r\n\r\n");
}

bool SendOperation::never_reached(const MimeMessage& message) const {
  return !server_reached_ && !message.direct_delivery && message.error_code == 4515;
}

void SendOperation::judge_server(SmtpFailure failure, bool unreached) {
  // The send stopped already (another connection's message): its reason
  // was given.
  if (stopped_) return;
  const String where = host_and_port(route_.host, route_.port);
  String reason;
  if (unreached) {
    reason = "The SMTP server " + where +
             " could not be reached, so the send stops here: the messages after this one are "
             "not sent.";
  } else if (failure == SmtpFailure::kLogin) {
    reason = "The SMTP server " + where +
             " did not take the login, so the send stops here: the messages after this one "
             "are not sent.";
  } else if (failure == SmtpFailure::kServer) {
    if (++server_failures_ < kServerFailureLimit) return;
    reason = String::formatted("The SMTP server %s could not be reached or used for %d messages "
                               "in a row, so the send stops here: the messages after this one "
                               "are not sent.",
                               where.c_str(), kServerFailureLimit);
  } else {  // delivered, or this message's own failure
    server_failures_ = 0;
    return;
  }
  stopped_ = true;
  log_.write(reason + "\r\n\r\n");
  show_error(ui_, reason);
}

void SendOperation::write_totals(bool identical) {
  bool written = log_.write(totals_text(identical, counters_.attempted, counters_.errors,
                                        env_.milliseconds() - counters_.start_ms,
                                        counters_.bytes_sent));
  close_progress();
  // A log that stopped the send is reported when the operation ends.
  if (written) view_log(true, false);
}

void SendOperation::open_progress(const String& caption, const String& text, bool can_abort) {
  close_progress();
  ui_.open_progress(caption, text, can_abort);
  progress_open_ = true;
}

void SendOperation::close_progress() {
  if (!progress_open_) return;
  ui_.close_progress();
  progress_open_ = false;
}

// --- the log view -------------------------------------------------------------------

void SendOperation::view_log(bool ask, bool no_recipient) {
  if (ask) {
    if (env_.command_line_run() && counters_.errors == 0) return;
    String question = no_recipient ? "Error:  no recipients qualified"
                      : counters_.errors > 0 ? "The operation completed, with errors"
                                             : "The operation completed successfully";
    question += ".\n\nDo you wish to view the log?";
    if (!ui_.ask_yes_no(question, "Operation Complete")) return;
  }
  String log, copy;
  bool copied = log_path(kSendLogName, &log) && log_path(kLogViewName, &copy) &&
                (log_.is_open() ? log_.copy_to(copy) : copy_file(log, copy, false));
  if (!copied) {
    show_error(ui_, "The log cannot be viewed.  Make sure you do not have it open in another "
                    "program.");
    return;
  }
  if (!env_.open_document(copy)) {
    show_error(ui_, "No program could be started to show the log:\n" + copy);
  }
}

}  // namespace tessaline
