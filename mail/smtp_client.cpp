#include "mail/smtp_client.h"

#include "mail/connection.h"
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

String smtp_retry_address(std::string_view text) {
  String address = extract_address(text);
  if (address.empty()) return address;
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

// One transaction walks these states; every step either moves on or fails
// the message. The legal paths:
//
//   Closed --connect, greeting 220--> Ready          (else 4515, stays Closed)
//   Ready --EHLO/HELO 250, or HELO 250 after a refused EHLO--> Greeted
//                                                    (else 4557)
//   Greeted --no originator, or MAIL FROM 250 (as stored or retried)-->
//       SenderGiven                                  (else 4570)
//   SenderGiven --every RCPT TO 250/251 (as stored or retried)-->
//       RecipientsGiven                              (else 4590)
//   RecipientsGiven --DATA 354--> InData             (else 4610)
//   InData --compose, text, "." sent, 250--> Sent    (else 4615..4640)
//
// A connection that is already open starts at Ready: a kept connection
// begins each message with a new greeting and no RSET. Any failure once the
// connection is open ends it with quit(), because the server's view of the
// transaction is then unknown (a half-sent text, a refused recipient, a
// connection the server has dropped); the next message starts at Closed.
enum class State { Closed, Ready, Greeted, SenderGiven, RecipientsGiven, InData, Sent, Failed };

class Transaction {
 public:
  Transaction(MimeMessage& message, const String& host)
      : message_(message), host_(host), connection_(smtp_connection()) {}

  bool run() {
    State state = connection_.is_open() ? State::Ready : State::Closed;
    while (state != State::Sent && state != State::Failed) state = step(state);
    // A server that stopped taking data would not take QUIT either.
    if (state == State::Failed && send_timed_out_) connection_.close();
    if (state == State::Failed && connection_.is_open()) quit();
    return state == State::Sent;
  }

 private:
  State step(State state) {
    switch (state) {
      case State::Closed: return connect();
      case State::Ready: return greet();
      case State::Greeted: return give_sender();
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
    if (!smtp_connect(host_, &error)) return fail(4515, error.c_str());
    return State::Ready;
  }

  State greet() {
    // The first fraction, on a new and on a kept connection alike.
    if (stopped(0.04)) return fail(4552, "Interrupted by user");
    // Under direct delivery too, the greeting names the configured server.
    // Without one, the local host name stands in: an empty argument is a
    // syntax error to every server.
    String name = smtp_server_name();
    if (name.empty()) name = local_host_name();
    if (name.empty()) name = "localhost";
    bool eight_bit = message_.encoding == MimeMessage::k8Bit;
    const char* verb = eight_bit ? "EHLO " : "HELO ";
    const char* step = eight_bit ? "EHLO" : "HELO";
    if (!send(smtp_command(verb, name.view()))) return send_failed(4553, step);
    int code = read_reply(connection_, &reply_);
    // Each greeting replaces what the server offered: HELO offers nothing.
    connection_.extensions = eight_bit && code == 250 ? SmtpExtensions::parse(reply_.view())
                                                      : SmtpExtensions();
    if (code == 250) return State::Greeted;
    if (no_usable_reply(4557, step)) return State::Failed;
    if (eight_bit) {
      if (!send(smtp_command("HELO ", name.view()))) return send_failed(4555, "HELO");
      code = read_reply(connection_, &reply_);
      if (code == 250) return State::Greeted;  // offering nothing: bodies go 7-bit
      if (no_usable_reply(4557, "HELO")) return State::Failed;
    }
    return fail(4557, "Improper response to \"HELO\".");
  }

  State give_sender() {
    const String& from = message_.from;
    if (from.empty()) return State::SenderGiven;
    // A body that may hold 8-bit text says so (RFC 6152).
    const char* body = eight_bit_transport() ? " BODY=8BITMIME" : "";
    if (!send(smtp_command("MAIL FROM:", (from + body).view()))) {
      return send_failed(4560, "MAIL FROM");
    }
    if (read_reply(connection_, &reply_) == 250) return State::SenderGiven;
    if (no_usable_reply(4570, "MAIL FROM")) return State::Failed;
    if (!send(smtp_command("MAIL FROM:", (smtp_retry_address(from.view()) + body).view()))) {
      return send_failed(4562, "MAIL FROM");
    }
    int code = read_reply(connection_, &reply_);
    if (code == 250) return State::SenderGiven;
    if (no_usable_reply(4570, "MAIL FROM")) return State::Failed;
    message_.fail(4570, "Invalid response to originator:\r\n%s", excerpt().c_str());
    return State::Failed;
  }

  State give_recipients() {
    const int count = message_.recipients.count();
    for (int i = 0; i < count; ++i) {
      const String& recipient = message_.recipients[i];
      if (!send(smtp_command("RCPT TO:", recipient.view()))) return send_failed(4580, "RCPT TO");
      int code = read_reply(connection_, &reply_);
      if (code != 250 && code != 251) {
        if (no_usable_reply(4590, "RCPT TO")) return State::Failed;
        if (!send(smtp_command("RCPT TO:", smtp_retry_address(recipient.view()).view()))) {
          return send_failed(4582, "RCPT TO");
        }
        code = read_reply(connection_, &reply_);
        if (code != 250 && code != 251) {
          if (no_usable_reply(4590, "RCPT TO")) return State::Failed;
          message_.fail(4590, "Invalid response to recipient %s\r\n%s", recipient.c_str(),
                        excerpt().c_str());
          return State::Failed;
        }
      }
      if (stopped(recipient_progress(i + 1, count))) return fail(4595, "Interrupted by user");
    }
    return State::RecipientsGiven;
  }

  State start_data() {
    if (!send("DATA\r\n")) return send_failed(4600, "DATA");
    int code = read_reply(connection_, &reply_);
    if (code != 354) {
      if (no_usable_reply(4610, "DATA")) return State::Failed;
      message_.fail(4610, "Invalid response to DATA:\r\n%s", excerpt().c_str());
      return State::Failed;
    }
    if (stopped(0.11)) return fail(4612, "Interrupted by user");
    return State::InData;
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
      bool ok = end <= due || send(all.substr(due, end - due), true);
      due = end;
      return ok;
    };
    while (pieces.next(&piece, &offset, &stuffed)) {
      if (stopped(text_progress(offset, length))) {
        send_due(offset);
        return fail(4622, "Interrupted by user");
      }
      if (stuffed && (!send_due(offset) || !send(".", true))) {
        return send_failed(4625, "the message text");
      }
      int end = offset + static_cast<int>(piece.size());
      if (end - due >= kSendBatch && !send_due(end)) return send_failed(4625, "the message text");
    }
    if (!send_due(length)) return send_failed(4625, "the message text");
    if (!send("\r\n.\r\n")) return send_failed(4630, "the end of the message");
    if (stopped(0.99)) return fail(4632, "Interrupted by user");
    int code = read_reply(connection_, &reply_);
    if (code != 250) {
      if (no_usable_reply(4640, "the end of the message")) return State::Failed;
      message_.fail(4640, "Invalid response to end of body:\r\n%s", excerpt().c_str());
      return State::Failed;
    }
    stopped(1.0);  // the answer does not matter any more
    message_.message_size = length;
    return State::Sent;
  }

  static constexpr int kSendBatch = 32 * 1024;

  bool send(std::string_view text, bool more = false) { return connection_.send_text(text, more); }

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
    send_timed_out_ = true;
    message_.fail(code, "The SMTP server took no data within %d seconds while %s was sent.",
                  connection_.timeout_seconds, step);
    return State::Failed;
  }

  // True when the reply to `step` did not come within the time limit or
  // went beyond the reply bound; the message has then failed with that
  // said. Such a server is not asked again (no retry of the address).
  bool no_usable_reply(int code, const char* step) {
    if (connection_.timed_out) {
      message_.fail(code, "No answer from the SMTP server within %d seconds after %s.",
                    connection_.timeout_seconds, step);
      return true;
    }
    if (connection_.reply_too_long) {
      message_.fail(code, "The SMTP server's answer to %s was longer than %d bytes and was "
                          "given up on:\r\n%s", step, ReplyAssembler::kMaxReply,
                    excerpt().c_str());
      return true;
    }
    return false;
  }

  String excerpt() const { return reply_excerpt(reply_.view()); }

  MimeMessage& message_;
  const String& host_;
  Connection& connection_;
  String reply_;
  bool send_timed_out_ = false;
};

}  // namespace

bool smtp_connect(const String& host, String* error) {
  Connection& connection = smtp_connection();
  String name;
  Address address;
  if (host.empty()) {
    name = smtp_server_name();
    address = smtp_server_address();
  } else {
    name = host;
    resolve(host.c_str(), &address);
  }
  if (address.is_null) {
    error->format("Unable to locate SMTP server: %s\nSecondary error code: %d", name.c_str(),
                  resolve_error());
    return false;
  }
  uint16_t port = smtp_port();
  if (port == 0) {
    error->format("Invalid SMTP port: %d", 0);
    return false;
  }
  connection.port = port;
  connection.timeout_seconds = smtp_timeout();
  if (!connection.create()) {
    *error = "Unable to create socket";
    return false;
  }
  connection.address = address;
  if (!connection.connect()) {
    if (connection.timed_out) {
      error->format("Unable to connect to server: no answer within %d seconds",
                    connection.timeout_seconds);
    } else {
      *error = "Unable to connect to server";
    }
    connection.close();
    return false;
  }
  String greeting;
  if (read_reply(connection, &greeting) != 220) {
    if (connection.timed_out) {
      error->format("SMTP server did not greet within %d seconds", connection.timeout_seconds);
    } else if (connection.reply_too_long) {
      error->format("The SMTP server's greeting was longer than %d bytes and was given up "
                    "on:\r\n%s", ReplyAssembler::kMaxReply,
                    reply_excerpt(greeting.view()).c_str());
    } else {
      *error = "SMTP server did not greet properly";
    }
    connection.close();
    return false;
  }
  return true;
}

bool smtp_server_offers(std::string_view keyword) {
  const Connection& connection = smtp_connection();
  return connection.is_open() && connection.extensions.offers(keyword);
}

void quit() {
  Connection& connection = smtp_connection();
  if (connection.is_open()) connection.send_text("QUIT\r\n");
  connection.close();
}

bool send_message(MimeMessage& message) {
  message.message_size = 0;
  if (message.recipients.empty()) {
    message.fail(4505, "The message has no recipients.");
    return false;
  }
  String host;
  if (message.direct_delivery && message.recipients.count() == 1) {
    quit();  // direct delivery opens a fresh connection for every message
    host = "mail." + message.recipient_domain();
  }
  return Transaction(message, host).run();
}

}  // namespace tessaline
