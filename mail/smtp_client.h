// smtp_client.h - delivers one MimeMessage over SMTP.
//
// send_message() opens the process-wide connection when none is open,
// greets the server, gives the envelope, has the message composed after
// DATA is accepted, sends the text with dot-stuffing and checks the final
// reply. It goes to the configured server, or, for a message with
// direct_delivery set and a single recipient, to "mail." + the recipient's
// domain. The send operation decides when a kept connection ends (quit()).
//
// A body of encoding 8bit goes out as 8-bit text only to a server that
// offers 8BITMIME, announced with BODY=8BITMIME on MAIL FROM; to any other
// server the builder writes it quoted-printable.
//
// The command texts, the retry form of a refused address, the cutting of
// the text into dot-stuffed pieces and the progress fractions are pure
// functions below, so they can be checked without a socket.
//
// The configured server is reached as its route says (mail/smtp_route.h):
// TLS from the start or after STARTTLS, then a login when one is set up.
// Direct delivery tries the mail hosts of the recipient's domain (its MX
// records by preference, else the domain itself; mail/mx_lookup.h) and
// last "mail." + the domain, each on the project's port with STARTTLS
// when offered; the first that takes the connection gets the message.
//
// Not for: composing (mail/mime_message.h), sockets and TLS
// (mail/connection.h), choosing the server (mail/smtp_route.h).
//
// A server that offers PIPELINING gets MAIL FROM, every RCPT TO and DATA
// in one write, and the text with its end marker in large writes, so a
// message on a kept connection costs two round trips.
//
// Failures: every failure goes through MimeMessage::fail with the code of
// the step (4505 ... 4640; 4558 for STARTTLS and TLS, 4559 for the login)
// and returns false; connection errors name the server and port, and a
// refused step quotes the server's reply. A refusal of the sender, a
// recipient, DATA or the text is ended with RSET and the connection kept;
// a failure that leaves the protocol state unsettled ends the connection
// with quit(), so the next message starts on a fresh one. A server that does not answer or take
// data within the time limit, or whose reply goes beyond the reply bound,
// fails the message at once with a text that says so and names the step;
// of a server's reply at most a few KB reach the error text, and the code
// an overlong reply began with is kept as the message's reply code.
#pragma once

#include <functional>
#include <string_view>

#include "core/string.h"
#include "mail/mime_message.h"

namespace tessaline {

bool send_message(MimeMessage& message);

// Opens the SMTP connection to `host` (empty: the configured server, with
// TLS first on an implicit-TLS port; else a mail host of direct delivery)
// and reads its greeting. On failure the socket is closed and *error says
// why.
bool smtp_connect(const String& host, String* error);

// Sends "QUIT" without waiting for the answer and closes the connection.
void quit();

// What kind of failure the last send_message() met, for the send
// operation's rules: a message refused on its own, a server that cannot be
// reached or used (so the next message will likely fail too), or a login
// that cannot succeed.
enum class SmtpFailure {
  kNone,     // the message went out
  kMessage,  // this message was refused, could not be made, or was stopped
  kServer,   // no connection, no answer in time, TLS failed, the greeting
             // refused, or a login refused for now (4xx)
  kLogin,    // the login was refused (5xx) or is impossible as set up
};
SmtpFailure last_smtp_failure();

// Shows the SMTP dialogue line by line as it happens: "-> " before what
// the client sends, "<- " before the server's replies, and what the
// connection does (connecting, TLS). The message text appears as its size;
// AUTH data as "********". Null: no trace.
using SmtpTrace = std::function<void(std::string_view line)>;
void set_smtp_trace(SmtpTrace trace);

// Wipes the password fetched for the route in use (at the end of a send).
void forget_smtp_secret();

// The server of the open connection offered this extension in its answer
// to EHLO ("8BITMIME", "PIPELINING"; case does not matter). False when the
// connection is closed or was greeted with HELO.
bool smtp_server_offers(std::string_view keyword);

// --- pure parts of the dialogue ---------------------------------------------

// "VERB argument\r\n". Line breaks and NUL bytes in the argument become
// spaces, so that no text from a recipient list can add commands.
String smtp_command(std::string_view verb, std::string_view argument);
// An address as MAIL FROM and RCPT TO give it (RFC 5321): "<" + the bare
// address + ">" ("Ann <ann@example.test>" gives "<ann@example.test>"); a
// text that holds no usable address goes as it is, for the server to
// refuse in its own words.
String smtp_path(std::string_view text);

// The part of a server's reply that goes into an error text, and from
// there into the send log: the whole text up to kReplyExcerpt bytes; of a
// longer one its first lines up to that size (not cutting a UTF-8
// sequence), then a line that says how many bytes were left out.
inline constexpr int kReplyExcerpt = 4096;
String reply_excerpt(std::string_view text);

// 0.04 + 0.06 * accepted / count.
double recipient_progress(int accepted, int count);
// 0.11 + 0.87 * offset / length.
double text_progress(int offset, int length);

// Walks the composed text line by line (each piece keeps its line break;
// the last may have none). next() returns false at the end; a piece that
// begins with "." must go out with one more "." in front (stuffed).
class DataPieces {
 public:
  explicit DataPieces(std::string_view text) : text_(text) {}
  bool next(std::string_view* piece, int* offset, bool* stuffed);

 private:
  std::string_view text_;
  size_t at_ = 0;
};

}  // namespace tessaline
