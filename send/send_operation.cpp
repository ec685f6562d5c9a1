// send_operation.cpp - the send operation, its send loop and its log.
#include "send/send_operation.h"

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
#include "send/line_wrap.h"

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

}  // namespace

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

bool SendOperation::send() {
  if (env_.operation_running()) return false;
  String folder, error;
  if (!env_.log_folder(folder, error)) {
    show_error(ui_, "Unable to create the folder of the send log:\n" + error);
    return false;
  }
  // Another copy of the program that is sending holds the log.
  String path = join_path(folder, kSendLogName);
  if (!log_.create(path, &error)) {
    show_error(ui_, "Unable to create the send log:\n" + path + "\n" + error);
    return false;
  }
  env_.set_operation_running(true);
  bool result = operate();
  env_.set_operation_running(false);
  close_progress();
  sources_.reset();
  row_.reset();
  log_.close();
  if (smtp_connection().is_open()) quit();
  forget_smtp_secret();
  // The send stopped at the first line the log could not take (see
  // log_stopped()): the person must know why, and that it did not all go.
  if (log_.write_failed()) {
    show_error(ui_, "The send log could not be written:\n" + path + "\n" + log_.write_error() +
                        "\n\nThe send was stopped so that no message goes out without its "
                        "record; the recipients after the last one in the log were not sent.");
    return false;
  }
  return result;
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
  stopped_ = false;
  if (!check_project()) return false;

  sources_ = std::make_unique<RecipientSources>(project_, ui_, env_.database());
  if (!sources_->prepare()) return false;
  row_.reset();
  if (sources_->from_database() && sources_->table()) {
    row_ = std::make_unique<DatabaseRow>(*env_.database(), *sources_->table());
  }

  recycling_ = (mode_ == kNormal || mode_ == kNoPreview) && !project_.flag(kFieldDirectDelivery) &&
               project_.flag(kFieldRecycle);
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
    begin_sending_phase();
  } else if (mode_ == kIdentical) {
    builder_.recipients.clear();
  } else {
    open_progress(application_name, "Gathering recipients...", true);
  }

  if (!gather() || log_stopped()) return false;
  if (aborted_) return true;
  log_.write(String::formatted("%d recipients, %d rejected\r\n", counters_.candidates,
                               counters_.rejected));
  finish();
  return counters_.errors == 0;
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
  return connected;
}

bool SendOperation::gather() {
  tags_->clear_variables();
  aborted_ = false;
  bool previewed = mode_ == kNormal || mode_ == kLastRecipientOnly;
  bool eliminate = project_.flag(kFieldEliminateDuplicates);
  String cc = project_.text(kFieldCc);
  int index = 1;
  String candidate, error;
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
    RecipientSources::Next next = sources_->next(&candidate, &error);
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
    ParsedAddress parsed;
    Verdict verdict = judge_candidate(candidate, sources_->addresses(), eliminate, &parsed);
    if (verdict == Verdict::kSkipped) continue;
    ++counters_.candidates;
    log_.write(verdict_log_line(candidate, verdict));
    if (verdict != Verdict::kAccepted) {
      ++counters_.rejected;
      continue;
    }
    if (stopped_ && mode_ == kNoPreview) {
      // Not personalised either: its data tags might write to the database.
      log_not_sent(candidate);
      ++index;
      continue;
    }
    Message& record = queue_.append();
    record.recipient = candidate;
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
  while (!queue_.empty() && !log_stopped()) {
    if (!env_.review(*this, has_text, has_html) || queue_.empty()) {
      log_.write("\r\nAborted by user\r\n");
      return;
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
  open_progress(application_name, "Sending...", true);
  log_.write(log_heading(now_text()));
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
  builder_.clear();
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
      builder_.add(line);
    } else {
      for (const String& path : paths) builder_.add(path);
    }
  }
}

bool SendOperation::progress(double fraction) {
  ui_.set_progress_fraction(base_ + step_ * fraction);
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
  int at = 0;  // the record in `batch`: delivered ones leave it
  for (int n = 1; n <= total; ++n) {
    Message& record = batch[at];
    base_ = static_cast<double>(n - 1) / total;
    if (!identical) {
      ui_.set_progress_text(
          String::formatted("#%d of %d: %s", n, total, record.recipient.c_str()));
    }
    ui_.set_progress_fraction(base_);
    if (log_stopped()) return;
    if (ui_.progress_aborted()) {
      for (int k = at; k < batch.count(); ++k) {
        log_.write(batch[k].recipient + "\r\nUser aborted: message not sent\r\n\r\n");
      }
      return;
    }
    if (stopped_) {
      for (int k = at; k < batch.count(); ++k) log_not_sent(batch[k].recipient);
      return;
    }
    wrap_lines(record.text_body, length);
    if (!log_.write("Sending " + (identical ? String("to all recipients") : record.recipient) +
                    " :")) {
      return;
    }
    if (deliver(record, identical)) {
      batch.remove(at);
    } else {
      ++at;
    }
    if (!recycling_) quit();
  }
}

bool SendOperation::deliver(Message& record, bool identical) {
  if (!identical) {
    builder_.recipients.clear();
    builder_.add_recipient(record.recipient);
    ++counters_.attempted;
  }
  builder_.set_cc(record.cc);
  builder_.subject = record.subject;
  builder_.set_unsubscribe(record.unsubscribe);
  builder_.text_body = record.text_body;
  builder_.html_body = record.html_body;
  add_attachments(record.attachments);
  builder_.direct_delivery = project_.flag(kFieldDirectDelivery) && !identical;
  bool sent = send_message(builder_);
  if (!sent && builder_.direct_delivery && !route_.host.empty()) {
    // Through the project's own server; a connection the failed attempt
    // may have left to the recipient's server is not reused for it.
    builder_.direct_delivery = false;
    quit();
    sent = send_message(builder_);
  }
  if (sent) {
    counters_.bytes_sent += builder_.message_size;
    log_.write(" success\r\n");
  } else {
    ++counters_.errors;
    log_.write("\r\n" + builder_.error + "\r\n\r\n");
    // An unattended run has no log window: the person reads why here.
    if (env_.command_line_run()) {
      ui_.information_box(builder_.error,
                          "Not sent to " + (identical ? String("all recipients") : record.recipient));
    }
  }
  // Only the configured server's failures say that the next message will
  // fail too; a recipient's own mail host says nothing about the others.
  if (!builder_.direct_delivery) judge_server();
  return sent;
}

void SendOperation::log_not_sent(const String& recipient) {
  log_.write(recipient + "\r\nSend stopped: message not sent\r\n\r\n");
}

void SendOperation::judge_server() {
  String reason;
  String where = host_and_port(route_.host, route_.port);
  switch (last_smtp_failure()) {
    case SmtpFailure::kNone:
    case SmtpFailure::kMessage:
      server_failures_ = 0;
      return;
    case SmtpFailure::kLogin:
      reason = "The SMTP server " + where +
               " did not take the login, so the send stops here: the messages after this one "
               "are not sent.";
      break;
    case SmtpFailure::kServer:
      if (++server_failures_ < kServerFailureLimit) return;
      reason = String::formatted("The SMTP server %s could not be reached or used for %d messages "
                                 "in a row, so the send stops here: the messages after this one "
                                 "are not sent.",
                                 where.c_str(), kServerFailureLimit);
      break;
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
