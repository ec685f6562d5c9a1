#include "mail/smtp_client.h"

#include "mail/connection.h"
#include "mail/mx_lookup.h"
#include "mail/smtp_auth.h"
#include "mail/smtp_route.h"
#include "mail/smtp_server.h"

namespace tessaline {

// --- pure parts ---------------------------------------------------------------

String smtp_command(std::string_view verb, std::string_view argument) {
  String command;
  command.append(verb);
  size_t start = static_cast<size_t>(command.length());
  command.append(argument);
  for (int i = static_cast<int>(start); i < command.length(); ++i) {
    char c = command.data()[i];
    if (c == '\r' || c == '\n' || c == 0) command.data()[i] = ' ';
  }
  command.append("\r\n");
  return command;
}

String smtp_path(std::string_view text) {
  String address = extract_address(text);
  if (address.empty()) return String(text);
  return "<" + address + ">";
}

String reply_excerpt(std::string_view text) {
  if (text.size() <= static_cast<size_t>(kReplyExcerpt)) return String(text);
  size_t cut = static_cast<size_t>(kReplyExcerpt);
  // At a line end when one lies in the second half, so that whole lines
  // are shown; else never inside a UTF-8 sequence.
  size_t line_end = text.substr(0, cut).find_last_of('\n');
  if (line_end != std::string_view::npos && line_end >= cut / 2) {
    cut = line_end + 1;
  } else {
    for (int back = 0; back < 3 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80; ++back) {
      --cut;
    }
  }
  String excerpt(text.substr(0, cut));
  excerpt.trim_right();
  excerpt += String::formatted("\r\n[... %zu more bytes of the reply not shown]", text.size() - cut);
  return excerpt;
}

double recipient_progress(int accepted, int count) {
  return 0.04 + 0.06 * accepted / count;
}

double text_progress(int offset, int length) {
  return 0.11 + 0.87 * offset / length;
}

bool DataPieces::next(std::string_view* piece, int* offset, bool* stuffed) {
  if (at_ >= text_.size()) return false;
  size_t end = text_.find('\n', at_);
  end = end == std::string_view::npos ? text_.size() : end + 1;
  *piece = text_.substr(at_, end - at_);
  *offset = static_cast<int>(at_);
  *stuffed = text_[at_] == '.';
  at_ = end;
  return true;
}

// --- the dialogue ---------------------------------------------------------------

namespace {

SmtpTrace current_trace;
SmtpFailure last_failure = SmtpFailure::kNone;

void trace(std::string_view line) {
  if (!current_trace) return;
  // Several connections at once: each line says whose it is.
  const String& label = smtp_connection().trace_label;
  if (label.empty()) {
    current_trace(line);
  } else {
    current_trace((label + String(line)).view());
  }
}

// A reply as the trace shows it: each line after "<- ".
void trace_reply(const String& text) {
  if (!current_trace) return;
  std::string_view rest = text.view();
  if (rest.empty()) {
    trace("<- (no reply)");
    return;
  }
  while (!rest.empty()) {
    size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    trace("<- " + String(line));
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
  }
}

void wipe(String& text) {
  for (int i = 0; i < text.length(); ++i) static_cast<volatile char*>(text.data())[i] = 0;
  text.clear();
}

// The password of the route in use, fetched once and kept in memory for
// as long as the same route is used, so that a password command (which
// may ask the person) runs once per send, not once per connection.
struct SecretCache {
  bool held = false;
  String key;
  String secret;
};

SecretCache& secret_cache() {
  static SecretCache cache;
  return cache;
}

String route_key(const SmtpRoute& route) {
  return String::formatted("%s|%d|%s|%s|%s|%d", route.host.c_str(), route.port,
                           route.account.c_str(), route.user.c_str(),
                           route.password_command.c_str(), route.password.empty() ? 0 : 1);
}

bool route_secret(const SmtpRoute& route, String* secret, String* error) {
  SecretCache& cache = secret_cache();
  String key = route_key(route);
  if (cache.held && cache.key == key) {
    *secret = cache.secret;
    return true;
  }
  forget_smtp_secret();
  if (!obtain_smtp_secret(route, smtp_timeout(), secret, error)) return false;
  cache.held = true;
  cache.key = key;
  cache.secret = *secret;
  return true;
}

// Where one transaction goes and how.
struct Target {
  String host;  // empty: the configured server
  int port = 25;
  TlsMode tls = TlsMode::kOff;
  TlsOptions tls_options;
  bool login = false;

  String name() const { return host.empty() ? smtp_server_name() : host; }
  String where() const { return host_and_port(name(), port); }
};

Target configured_target() {
  const SmtpRoute& route = smtp_route();
  Target target;
  target.port = smtp_port();
  target.tls = route.tls;
  target.tls_options = route.tls_options();
  target.tls_options.host = smtp_server_name();
  target.login = route.wants_login();
  return target;
}

// A mail host of a recipient's domain: the project's port, STARTTLS when
// offered without a certificate check (mail hosts' names rarely match
// their certificates; encryption still keeps the text from onlookers),
// and no login.
Target direct_target(const String& host) {
  Target target;
  target.host = host;
  target.port = smtp_route().direct_port;
  target.tls = TlsMode::kOpportunistic;
  target.tls_options.host = host;
  target.tls_options.check_certificate = false;
  return target;
}

// Opens the connection and reads the greeting; on failure the socket is
// closed and *error says why, naming the server and port.
bool connect_to(const Target& target, String* error) {
  Connection& connection = smtp_connection();
  connection.close();
  const String name = target.name();
  Address address;
  int code = 0;
  if (target.host.empty()) {
    address = smtp_server_address();
    code = resolve_error();
  } else if (!resolve_mail_host(target.host.c_str(), &address, &code)) {
    address = Address();
  }
  if (address.is_null) {
    error->format("Unable to locate SMTP server: %s\nSecondary error code: %d", name.c_str(), code);
    return false;
  }
  if (target.port <= 0 || target.port > 65535) {
    error->format("Invalid SMTP port: %d", target.port);
    return false;
  }
  const String where = target.where();
  if (target.host.empty()) trace("Sending through " + describe_smtp_route(smtp_route()));
  trace("Connecting to " + where + " (" + address.text() + ")");
  connection.port = static_cast<uint16_t>(target.port);
  connection.timeout_seconds = smtp_timeout();
  if (!connection.create()) {
    *error = "Unable to create socket: " + connection.reason();
    return false;
  }
  connection.address = address;
  if (!connection.connect()) {
    if (connection.timed_out) {
      error->format("Unable to connect to server %s: no answer within %d seconds", where.c_str(),
                    connection.timeout_seconds);
    } else {
      error->format("Unable to connect to server %s: %s", where.c_str(),
                    connection.reason().c_str());
    }
    connection.close();
    return false;
  }
  if (target.tls == TlsMode::kImplicit) {
    String why;
    if (!connection.start_tls(target.tls_options, &why)) {
      error->format("TLS with the SMTP server %s failed: %s", where.c_str(), why.c_str());
      connection.close();
      return false;
    }
    trace("TLS: " + connection.tls_summary());
  }
  String greeting;
  int reply = read_reply(connection, &greeting);
  trace_reply(greeting);
  if (reply != 220) {
    if (connection.timed_out) {
      error->format("SMTP server %s did not greet within %d seconds", where.c_str(),
                    connection.timeout_seconds);
    } else if (connection.reply_too_long) {
      error->format("The SMTP server's greeting was longer than %d bytes and was given up "
                    "on:\r\n%s", ReplyAssembler::kMaxReply,
                    reply_excerpt(greeting.view()).c_str());
    } else if (greeting.empty()) {
      error->format("SMTP server %s did not greet properly: %s", where.c_str(),
                    connection.reason().c_str());
    } else {
      error->format("SMTP server %s did not greet properly:\r\n%s", where.c_str(),
                    reply_excerpt(greeting.view()).c_str());
    }
    connection.close();
    return false;
  }
  return true;
}

// One transaction walks these states; every step either moves on or fails
// the message. The legal paths:
//
//   Closed --connect (on an implicit-TLS port, TLS first), greeting 220-->
//       Opened                                       (else 4515, stays Closed)
//   Opened --progress 0.04, not greeted yet--> Ready (stop: 4552)
//   Opened --progress 0.04, a kept connection--> LoggedIn
//   Ready --EHLO 250, or HELO 250 after a refused EHLO--> Greeted
//                                                    (else 4557)
//   Greeted --TLS on already, not wanted, or only wanted when offered and
//       not offered--> Secured
//   Greeted --STARTTLS 220, TLS handshake--> Ready (greet again over TLS)
//                                  (STARTTLS missing when required,
//                                   refused, or a failed handshake: 4558)
//   Secured --no login wanted, or logged in already--> LoggedIn
//   Secured --AUTH ..., 235--> LoggedIn              (else 4559)
//   LoggedIn --no originator, or MAIL FROM:<address> 250--> SenderGiven
//                                                    (else 4570)
//   LoggedIn --PIPELINING offered: MAIL FROM, every RCPT TO and DATA in
//       one write, their replies 250, 250/251..., 354 read in order-->
//       InData                       (else 4570, 4590 or 4610 as below)
//   SenderGiven --every RCPT TO:<address> 250/251--> RecipientsGiven
//                                                    (else 4590)
//   RecipientsGiven --DATA 354--> InData             (else 4610)
//   InData --compose, text, "." sent, 250--> Sent    (else 4615..4640)
//   InData --the next message's envelope known: text, "." and the next
//       MAIL FROM, RCPT TO and DATA in one write, 250--> Sent, with the
//       next message's commands sent ahead
//   Opened (commands sent ahead) --LoggedIn, the same commands: only their
//       replies read--> InData; different commands, or "421" or a closed
//       connection for the first reply--> Closed
//   Failed, by a refusal the server answered between transactions
//       --replies to commands sent ahead read, RSET 250--> kept for the
//       next message                                  (else closed)
//
// The greeting is EHLO, once per connection (and again over TLS after
// STARTTLS); HELO only when EHLO is refused, which offers nothing, so that
// 8-bit bodies then go quoted-printable. A kept connection goes on with the
// next message's MAIL FROM: no new greeting, no RSET, and it keeps its TLS
// and its login. A kept connection the server has closed meanwhile (or
// spoken on unasked, as "421 closing" does) is closed and opened again
// before anything of the message is sent.
//
// With PIPELINING (RFC 2920) the envelope costs one round trip: the
// replies are matched to the commands in order and judged exactly as one
// at a time (the first refusal fails the message with its step's code and
// text; the progress fractions come in the same order). A refusal of the
// sender, a recipient, DATA or the text leaves the server between
// transactions: RSET ends the failed one and the connection is kept, so a
// refused recipient does not cost a new connection and greeting. Any other
// failure ends the connection with quit(), because the server's view is
// then unknown (a half-sent text, a stop, no usable reply, a connection
// the server has dropped, "421"); so does a pipelined DATA the server
// accepted after refusing a recipient: the text is never sent, because it
// would reach the recipients the server took, and only closing the
// connection ends such a data section without delivering it. The next
// message then starts at Closed.
//
// On a kept connection the next message's envelope goes out with the end
// marker of the one before (the send operation says, through
// next_envelope, what will follow), so a message costs one round trip.
// The next transaction reads those replies as its own if it would have
// sent the same commands; a message that is not the one announced, or a
// server that ends the connection in answer to the commands sent ahead,
// starts on a new connection. Nothing of a message's text goes out before
// its own DATA is answered, so commands sent ahead for a message that
// never follows (a stop, an abort, the end of the send) deliver nothing:
// the connection ends with them.
enum class State {
  Closed, Opened, Ready, Greeted, Secured, LoggedIn, SenderGiven, RecipientsGiven, InData, Sent,
  Failed
};

class Transaction {
 public:
  Transaction(MimeMessage& message, Target target)
      : message_(message), target_(std::move(target)), connection_(smtp_connection()) {}

  bool run() {
    State state = State::Closed;
    if (connection_.is_open()) {
      // Replies to commands sent ahead may have arrived already.
      if (connection_.replies_ahead == 0 && connection_.greeted && connection_.peer_hung_up()) {
        trace("The server has closed the kept connection: connecting again");
        connection_.close();
      } else {
        state = State::Opened;
      }
    }
    while (state != State::Sent && state != State::Failed) state = step(state);
    last_failure = state == State::Sent ? SmtpFailure::kNone : failure_;
    // A server that stopped taking data would not take QUIT either, and a
    // broken TLS session can carry nothing, nor can a data section that
    // must not end.
    if (state == State::Failed && connection_.replies_ahead > 0 && between_transactions_) {
      drain(connection_.replies_ahead);
    }
    if (state == State::Failed) {
      connection_.sent_ahead.clear();
      connection_.replies_ahead = 0;
    }
    if (state == State::Failed && (send_timed_out_ || broken_ || in_unwanted_data_)) {
      connection_.close();
    }
    if (state == State::Failed && connection_.is_open() && !(between_transactions_ && reset())) {
      quit();
    }
    return state == State::Sent;
  }

 private:
  State step(State state) {
    switch (state) {
      case State::Closed: return connect();
      case State::Opened: return opened();
      case State::Ready: return greet();
      case State::Greeted: return secure();
      case State::Secured: return log_in();
      case State::LoggedIn: return give_sender();
      case State::SenderGiven: return give_recipients();
      case State::RecipientsGiven: return start_data();
      case State::InData: return transmit();
      case State::Sent:
      case State::Failed: break;
    }
    return State::Failed;
  }

  State connect() {
    String error;
    if (!connect_to(target_, &error)) {
      failure_ = SmtpFailure::kServer;
      return fail(4515, error.c_str());
    }
    return State::Opened;
  }

  // The first fraction, on a new and on a kept connection alike.
  State opened() {
    // Once per message, also when a kept connection had to be opened again.
    if (!opened_ && stopped(0.04)) return fail(4552, "Interrupted by user");
    opened_ = true;
    return connection_.greeted ? State::LoggedIn : State::Ready;
  }

  State greet() {
    // Under direct delivery too, the greeting names the configured server.
    // Without one, the local host name stands in: an empty argument is a
    // syntax error to every server.
    String name = smtp_server_name();
    if (name.empty()) name = local_host_name();
    if (name.empty()) name = "localhost";
    if (!send(smtp_command("EHLO ", name.view()))) return send_failed(4553, "EHLO");
    int code = reply();
    // Each greeting replaces what the server offered: HELO offers nothing.
    connection_.extensions = code == 250 ? SmtpExtensions::parse(reply_.view()) : SmtpExtensions();
    connection_.greeted = code == 250;
    if (code == 250) return State::Greeted;
    if (no_usable_reply(4557, "EHLO")) return State::Failed;
    if (!send(smtp_command("HELO ", name.view()))) return send_failed(4555, "HELO");
    code = reply();
    connection_.greeted = code == 250;
    if (code == 250) return State::Greeted;  // offering nothing: bodies go 7-bit
    if (no_usable_reply(4557, "HELO")) return State::Failed;
    failure_ = SmtpFailure::kServer;
    return fail_with_reply(4557, "Improper response to \"HELO\".");
  }

  State secure() {
    if (connection_.tls_active() || target_.tls == TlsMode::kOff) return State::Secured;
    const String where = target_.where();
    if (!connection_.extensions.offers("STARTTLS")) {
      if (target_.tls == TlsMode::kOpportunistic) return State::Secured;
      failure_ = SmtpFailure::kServer;
      message_.fail(4558,
                    "The SMTP server %s does not offer STARTTLS%s, and the connection must be "
                    "encrypted: nothing was sent.",
                    where.c_str(), connection_.extensions.empty() ? " (it did not take EHLO)" : "");
      return State::Failed;
    }
    if (!send("STARTTLS\r\n")) return send_failed(4558, "STARTTLS");
    int code = reply();
    if (code != 220) {
      if (no_usable_reply(4558, "STARTTLS")) return State::Failed;
      failure_ = SmtpFailure::kServer;
      message_.fail(4558, "The SMTP server %s refused STARTTLS:\r\n%s", where.c_str(),
                    excerpt().c_str());
      return State::Failed;
    }
    String why;
    if (!connection_.start_tls(target_.tls_options, &why)) {
      failure_ = SmtpFailure::kServer;
      broken_ = true;
      message_.fail(4558, "TLS with the SMTP server %s failed: %s", where.c_str(), why.c_str());
      return State::Failed;
    }
    trace("TLS: " + connection_.tls_summary());
    // What the server offered before TLS no longer counts (RFC 3207).
    connection_.extensions = SmtpExtensions();
    return State::Ready;
  }

  State log_in() {
    if (!target_.login || connection_.logged_in) return State::LoggedIn;
    const SmtpRoute& route = smtp_route();
    const String where = target_.where();
    failure_ = SmtpFailure::kLogin;
    if (!connection_.tls_active() && !route.login_without_tls) {
      message_.fail(4559,
                    "The login at the SMTP server %s would send the password over a connection "
                    "that is not encrypted, so nothing was sent. Turn on TLS for this server, or "
                    "allow such a login (the setting SMTP_LoginWithoutTls).",
                    where.c_str());
      return State::Failed;
    }
    String why;
    AuthMechanism mechanism = choose_auth_mechanism(route.auth, connection_.extensions, &why);
    if (mechanism == AuthMechanism::kNone) {
      message_.fail(4559, "No login at the SMTP server %s is possible: %s.", where.c_str(),
                    why.c_str());
      return State::Failed;
    }
    String secret, error;
    if (!route_secret(route, &secret, &error)) {
      message_.fail(4559, "%s", error.c_str());
      return State::Failed;
    }
    AuthExchange exchange(mechanism, route.user.view(), secret.view());
    wipe(secret);
    String line = exchange.first_command();
    for (int round = 0;; ++round) {
      bool sent = send_secret(line);
      wipe(line);
      if (!sent) return send_failed(4559, "AUTH");
      int code = reply();
      if (code == 235) {
        connection_.logged_in = true;
        failure_ = SmtpFailure::kMessage;
        return State::LoggedIn;
      }
      if (code == 334 && round < 4) {
        line = exchange.answer(reply_.length() > 4 ? reply_.view().substr(4) : std::string_view());
        continue;
      }
      if (no_usable_reply(4559, "AUTH")) return State::Failed;
      // A refusal for now (4xx) may pass; a refusal (5xx) will not.
      failure_ = code >= 500 ? SmtpFailure::kLogin : SmtpFailure::kServer;
      message_.fail(4559, "The SMTP server %s refused the login as %s:\r\n%s", where.c_str(),
                    route.user.c_str(), excerpt().c_str());
      return State::Failed;
    }
  }

  String mail_command() const {
    // A body that may hold 8-bit text says so (RFC 6152).
    const char* body = eight_bit_transport() ? " BODY=8BITMIME" : "";
    return smtp_command("MAIL FROM:", (smtp_path(message_.from.view()) + body).view());
  }
  String rcpt_command(int i) const {
    return smtp_command("RCPT TO:", smtp_path(message_.recipients[i].view()).view());
  }

  // An envelope's pipelined group: MAIL FROM (when it has a sender), every
  // RCPT TO and DATA, as the one-at-a-time dialogue gives them.
  String envelope_group(const Envelope& envelope, int* replies) const {
    String group;
    *replies = 1;  // DATA
    if (!envelope.from.empty()) {
      const bool eight_bit = envelope.encoding == MimeMessage::k8Bit &&
                             connection_.extensions.offers("8BITMIME");
      const char* body = eight_bit ? " BODY=8BITMIME" : "";
      group += smtp_command("MAIL FROM:", (smtp_path(envelope.from.view()) + body).view());
      ++*replies;
    }
    for (const String& recipient : envelope.recipients) {
      group += smtp_command("RCPT TO:", smtp_path(recipient.view()).view());
      ++*replies;
    }
    group += "DATA\r\n";
    return group;
  }

  void trace_group(const String& group) {
    if (!current_trace) return;
    std::string_view rest = group.view();
    while (!rest.empty()) {
      size_t end = rest.find("\r\n");
      trace("-> " + String(rest.substr(0, end)));
      rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 2);
    }
  }

  State give_sender() {
    if (connection_.extensions.offers("PIPELINING")) return give_envelope_pipelined();
    if (message_.from.empty()) return State::SenderGiven;
    if (!send(mail_command().view())) return send_failed(4560, "MAIL FROM");
    return judge_sender(reply());
  }

  State give_recipients() {
    const int count = message_.recipients.count();
    for (int i = 0; i < count; ++i) {
      if (!send(rcpt_command(i).view())) return send_failed(4580, "RCPT TO");
      State next = judge_recipient(reply(), i);
      if (next != State::RecipientsGiven) return next;
    }
    return State::RecipientsGiven;
  }

  State start_data() {
    if (!send("DATA\r\n")) return send_failed(4600, "DATA");
    return judge_data(reply());
  }

  // The whole envelope and DATA in one write, then the replies in order.
  // The first refusal decides the message's failure; the replies still due
  // are read (and shown in the trace) so that the connection can be kept.
  State give_envelope_pipelined() {
    const int count = message_.recipients.count();
    const bool has_sender = !message_.from.empty();
    int due = 0;  // replies not read yet
    String group = envelope_group(Envelope{message_.from, message_.recipients, message_.encoding},
                                  &due);
    const bool ahead = connection_.replies_ahead > 0;
    if (ahead) {
      bool same = connection_.sent_ahead == group;
      connection_.sent_ahead.clear();
      connection_.replies_ahead = 0;
      if (!same) {
        trace("The commands sent ahead were for another message: connecting again");
        connection_.close();
        return State::Closed;
      }
    } else {
      trace_group(group);
      if (!connection_.send_text(group.view())) {
        return send_failed(has_sender ? 4560 : 4580, has_sender ? "MAIL FROM" : "RCPT TO");
      }
    }
    int first = reply();
    // A server that ends the connection rather than take another message
    // has taken nothing of this one.
    if (ahead && (first == 421 || (first == 0 && !connection_.timed_out &&
                                   !connection_.reply_too_long))) {
      trace("The server has closed the kept connection: connecting again");
      connection_.close();
      return State::Closed;
    }
    bool first_read = false;
    auto next_reply = [&] {
      if (first_read) return reply();
      first_read = true;
      return first;
    };
    // After a refusal the replies still due are read so that RSET can
    // keep the connection; after a stop or no usable reply they do not
    // matter, as the connection ends.
    auto refused = [&](State failed) {
      if (between_transactions_) drain(due);
      return failed;
    };
    if (has_sender) {
      --due;
      State next = judge_sender(next_reply());
      if (next != State::SenderGiven) return refused(next);
    }
    for (int i = 0; i < count; ++i) {
      --due;
      State next = judge_recipient(next_reply(), i);
      if (next != State::RecipientsGiven) return refused(next);
    }
    --due;
    return judge_data(next_reply());
  }

  // Reads the `due` replies of a pipelined group after a refusal. A DATA
  // the server took anyway leaves it waiting for a text that must not
  // come.
  void drain(int due) {
    String kept = reply_;
    int kept_code = message_.reply_code;
    for (; due > 0; --due) {
      int code = read_reply(connection_, &reply_);
      trace_reply(reply_);
      if (code <= 0 || code == 421) {
        between_transactions_ = false;
        break;
      }
      if (due == 1 && code == 354) {
        between_transactions_ = false;
        in_unwanted_data_ = true;
      }
    }
    reply_ = kept;
    message_.reply_code = kept_code;
  }

  State judge_sender(int code) {
    if (code == 250) return State::SenderGiven;
    if (no_usable_reply(4570, "MAIL FROM")) return State::Failed;
    refused_between_transactions(code);
    message_.fail(4570, "Invalid response to originator:\r\n%s", excerpt().c_str());
    return State::Failed;
  }

  State judge_recipient(int code, int i) {
    const String& recipient = message_.recipients[i];
    if (code != 250 && code != 251) {
      if (no_usable_reply(4590, "RCPT TO")) return State::Failed;
      refused_between_transactions(code);
      message_.fail(4590, "Invalid response to recipient %s\r\n%s", recipient.c_str(),
                    excerpt().c_str());
      return State::Failed;
    }
    const int count = message_.recipients.count();
    if (stopped(recipient_progress(i + 1, count))) return fail(4595, "Interrupted by user");
    return State::RecipientsGiven;
  }

  State judge_data(int code) {
    if (code != 354) {
      if (no_usable_reply(4610, "DATA")) return State::Failed;
      refused_between_transactions(code);
      message_.fail(4610, "Invalid response to DATA:\r\n%s", excerpt().c_str());
      return State::Failed;
    }
    if (stopped(0.11)) return fail(4612, "Interrupted by user");
    return State::InData;
  }

  // A refusal with a proper reply leaves the server between transactions,
  // unless the server said it is closing ("421") or the reply was no reply
  // at all (a dropped connection).
  void refused_between_transactions(int code) {
    between_transactions_ = code >= 400 && code != 421;
  }

  // "RSET" after a refused transaction; true when the server took it and
  // the connection can carry the next message.
  bool reset() {
    if (!send("RSET\r\n")) return false;
    String answer;
    int code = read_reply(connection_, &answer);
    trace_reply(answer);
    return code == 250;
  }

  // The text goes out line by line as far as the server and the progress
  // callback can tell: one fraction per line, in order, and a stop leaves
  // exactly the lines before it sent. Underneath, runs of whole lines go
  // out in one send of up to kSendBatch bytes (a send per line costs a
  // system call and a segment per line), and the text waits in the kernel
  // for the end marker, so that both travel together.
  State transmit() {
    String text;
    if (!message_.compose(&text, eight_bit_transport())) return State::Failed;
    const int length = text.length();
    const std::string_view all = text.view();
    DataPieces pieces(all);
    std::string_view piece;
    int offset = 0;
    bool stuffed = false;
    int due = 0;  // text[due, offset) is accepted but not yet sent
    auto send_due = [&](int end) {
      bool ok = end <= due || send_raw(all.substr(due, end - due), true);
      due = end;
      return ok;
    };
    while (pieces.next(&piece, &offset, &stuffed)) {
      if (stopped(text_progress(offset, length))) {
        send_due(offset);
        return fail(4622, "Interrupted by user");
      }
      if (stuffed && (!send_due(offset) || !send_raw(".", true))) {
        return send_failed(4625, "the message text");
      }
      int end = offset + static_cast<int>(piece.size());
      if (end - due >= kSendBatch && !send_due(end)) return send_failed(4625, "the message text");
    }
    if (!send_due(length)) return send_failed(4625, "the message text");
    trace(String::formatted("-> (the message text, %d bytes)", length));
    if (message_.before_end_of_data && !message_.before_end_of_data()) {
      return fail(4622, "Stopped before the end of the message: the send could not record it");
    }
    // The next message's commands travel with the end marker.
    String end_marker = "\r\n.\r\n";
    Envelope next;
    int replies_ahead = 0;
    String ahead;
    if (connection_.extensions.offers("PIPELINING") && message_.next_envelope &&
        message_.next_envelope(&next) && !next.recipients.empty()) {
      ahead = envelope_group(next, &replies_ahead);
      end_marker += ahead;
    }
    trace("-> .");
    trace_group(ahead);
    if (!send_raw(end_marker.view())) return send_failed(4630, "the end of the message");
    connection_.sent_ahead = ahead;
    connection_.replies_ahead = ahead.empty() ? 0 : replies_ahead;
    if (stopped(0.99)) return fail(4632, "Interrupted by user");
    int code = reply();
    if (code != 250) {
      if (no_usable_reply(4640, "the end of the message")) return State::Failed;
      refused_between_transactions(code);
      message_.fail(4640, "Invalid response to end of body:\r\n%s", excerpt().c_str());
      return State::Failed;
    }
    stopped(1.0);  // the answer does not matter any more
    message_.message_size = length;
    return State::Sent;
  }

  static constexpr int kSendBatch = 32 * 1024;

  // Commands go out through send(), which the trace shows; the message
  // text through send_raw(); AUTH lines through send_secret(), masked.
  bool send(std::string_view text, bool more = false) {
    if (current_trace) trace("-> " + String(text.substr(0, text.find('\r'))));
    return connection_.send_text(text, more);
  }
  bool send_raw(std::string_view text, bool more = false) {
    return connection_.send_text(text, more);
  }
  bool send_secret(const String& line) {
    if (current_trace) trace("-> " + AuthExchange::masked(line.view()));
    return connection_.send_text(line.view());
  }

  // Reads the next reply; the message keeps its code.
  int reply() {
    int code = read_reply(connection_, &reply_);
    trace_reply(reply_);
    message_.reply_code = code;
    return code;
  }

  // An 8bit body goes as it is only to a server that takes 8-bit text;
  // otherwise the builder writes it quoted-printable.
  bool eight_bit_transport() const {
    return message_.encoding == MimeMessage::k8Bit && connection_.extensions.offers("8BITMIME");
  }

  bool stopped(double fraction) { return message_.progress && message_.progress(fraction); }

  // A failure with a fixed text; texts from outside go through
  // message_.fail() as arguments, never as the format.
  State fail(int code, const char* text) {
    message_.fail(code, "%s", text);
    return State::Failed;
  }

  // A send that failed: the server stopped taking data (the time limit ran
  // out), or the connection broke.
  State send_failed(int code, const char* step) {
    if (!connection_.timed_out) return fail(code, "Send failure");
    failure_ = SmtpFailure::kServer;
    send_timed_out_ = true;
    message_.fail(code, "The SMTP server took no data within %d seconds while %s was sent.",
                  connection_.timeout_seconds, step);
    return State::Failed;
  }

  // True when the reply to `step` did not come within the time limit or
  // went beyond the reply bound; the message has then failed with that
  // said. Such a server is not asked again (no retry of the address).
  bool no_usable_reply(int code, const char* step) {
    if (connection_.timed_out || connection_.reply_too_long) failure_ = SmtpFailure::kServer;
    if (connection_.timed_out) {
      message_.fail(code, "No answer from the SMTP server within %d seconds after %s.",
                    connection_.timeout_seconds, step);
      return true;
    }
    if (connection_.reply_too_long) {
      // The code the answer began with is still the server's word on the
      // step, though the rest was not read: a refusal for good (5xx) is
      // then not tried again.
      const std::string_view text = reply_.view();
      if (text.size() >= 3 && text[0] >= '2' && text[0] <= '5' && text[1] >= '0' &&
          text[1] <= '9' && text[2] >= '0' && text[2] <= '9') {
        message_.reply_code = (text[0] - '0') * 100 + (text[1] - '0') * 10 + (text[2] - '0');
      }
      message_.fail(code, "The SMTP server's answer to %s was longer than %d bytes and was "
                          "given up on:\r\n%s", step, ReplyAssembler::kMaxReply,
                    excerpt().c_str());
      return true;
    }
    return false;
  }

  String excerpt() const { return reply_excerpt(reply_.view()); }


  // A failure with a fixed text followed by the server's reply, when one
  // came.
  State fail_with_reply(int code, const char* text) {
    if (reply_.empty()) return fail(code, text);
    message_.fail(code, "%s\r\n%s", text, excerpt().c_str());
    return State::Failed;
  }

  MimeMessage& message_;
  Target target_;
  Connection& connection_;
  String reply_;
  SmtpFailure failure_ = SmtpFailure::kMessage;
  bool send_timed_out_ = false;
  bool broken_ = false;  // TLS failed: the connection can carry nothing more
  // The failure was a refusal the server answered: RSET can end it.
  bool between_transactions_ = false;
  // A pipelined DATA was accepted after a refusal: only closing ends it.
  bool in_unwanted_data_ = false;
  bool opened_ = false;  // the fraction 0.04 has been reported
};

bool deliver_directly(MimeMessage& message) {
  const String domain = message.recipient_domain();
  Vector<String> hosts;
  String note;
  if (!domain.empty()) {
    MailHosts found = mail_hosts_of(domain);
    for (const MailHost& host : found.hosts) hosts.append(host.name);
    note = found.note;
    if (current_trace) {
      String list;
      for (const String& host : hosts) list += (list.empty() ? "" : ", ") + host;
      trace("Mail hosts of " + domain + ": " + (list.empty() ? note : list));
    }
  }
  // The last resort of direct delivery, as it always was.
  String fallback = "mail." + domain;
  bool listed = false;
  for (const String& host : hosts) listed = listed || host.equals_ignore_case(fallback.c_str());
  if (!listed) hosts.append(fallback);

  String errors;
  for (const String& host : hosts) {
    Target target = direct_target(host);
    String error;
    if (connect_to(target, &error)) return Transaction(message, target).run();
    if (!errors.empty()) errors += "\n";
    errors += error;
  }
  if (hosts.count() > 1 || !note.empty()) {
    String heading = "No mail host of " + domain + " could be reached";
    if (!note.empty()) heading += " (" + note + ")";
    errors = heading + ":\n" + errors;
  }
  message.fail(4515, "%s", errors.c_str());
  last_failure = SmtpFailure::kServer;
  return false;
}

}  // namespace

bool smtp_connect(const String& host, String* error) {
  return connect_to(host.empty() ? configured_target() : direct_target(host), error);
}

bool smtp_server_offers(std::string_view keyword) {
  const Connection& connection = smtp_connection();
  return connection.is_open() && connection.extensions.offers(keyword);
}

void quit() {
  Connection& connection = smtp_connection();
  if (connection.is_open()) {
    trace("-> QUIT");
    connection.send_text("QUIT\r\n");
  }
  connection.close();
}

void set_smtp_trace(SmtpTrace trace_function) { current_trace = std::move(trace_function); }

SmtpFailure last_smtp_failure() { return last_failure; }

void forget_smtp_secret() {
  SecretCache& cache = secret_cache();
  wipe(cache.secret);
  cache.key.clear();
  cache.held = false;
}

bool send_message(MimeMessage& message) {
  message.message_size = 0;
  message.error_code = 0;
  message.reply_code = 0;
  last_failure = SmtpFailure::kMessage;
  if (message.recipients.empty()) {
    message.fail(4505, "The message has no recipients.");
    return false;
  }
  if (message.direct_delivery && message.recipients.count() == 1) {
    quit();  // direct delivery opens a fresh connection for every message
    return deliver_directly(message);
  }
  return Transaction(message, configured_target()).run();
}

}  // namespace tessaline
