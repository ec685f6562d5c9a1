// connection.h - the program's thin layer over BSD sockets: IPv4 addresses,
// name resolution, one TCP connection with time limits (and TLS on top), and the
// reader that assembles an SMTP reply from what arrives.
//
// Not for: anything but the SMTP client (mail/smtp_client.h), which is the
// only user of a Connection. No IPv6 (an Address is four bytes). TLS itself
// is mail/tls_stream.h; a Connection only routes its bytes through it.
//
// Failures: every operation returns false (or 0 from read_reply) and keeps
// the errno of the failed call in `last_error` (EPROTO for a failure of
// TLS, whose own reason reason() gives); a time limit that ran out also
// sets `timed_out`, so the caller can say which step gave up. Nothing here
// is fatal and nothing here shows a message.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string_view>

#include "core/string.h"
#include "mail/smtp_extensions.h"
#include "mail/tls_stream.h"

namespace tessaline {

// An IPv4 address in network order. `is_null` is true when all four bytes
// are 0; a cached address that is not yet resolved is null too.
struct Address {
  uint8_t bytes[4] = {0, 0, 0, 0};
  bool is_null = true;

  static Address from_bytes(uint8_t a, uint8_t b, uint8_t c, uint8_t d);
  String text() const;  // dotted quad
};

// Looks up an IPv4 address for a host name; on failure returns false and
// leaves a getaddrinfo code (EAI_...) in *error.
using Resolver = bool (*)(const char* host, Address* address, int* error);

// Replaces the resolver behind resolve(); null restores the system one
// (getaddrinfo). Tests map names such as "mail.example.test" to 127.0.0.1
// with it, so that direct delivery is testable without DNS. Returns the
// previous resolver (null for the system one).
Resolver set_resolver(Resolver resolver);

// False when the name is null or empty, when there is no output, or when
// the name does not resolve to an IPv4 address; the code of the last
// failure is then resolve_error(). Also true for 0.0.0.0 (null address).
bool resolve(const char* host, Address* address);
int resolve_error();

// One TCP connection, optionally with TLS on top (start_tls()). The
// socket never blocks: connect, every wait for data and every send give up
// after `timeout_seconds` (0 waits for ever), waiting with poll(), so that
// a later loop over several connections can drive the same steps.
class Connection {
 public:
  Connection();
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  bool is_open() const { return handle >= 0; }
  // Ends TLS (telling the peer, without waiting) and closes the socket.
  void close();
  bool create();
  // Connects within the time limit. Small sends then go out at once
  // (TCP_NODELAY): the client always waits for an answer after what it
  // sent, so holding back a small segment until the previous one is
  // acknowledged would only wait on the peer's delayed acknowledgement.
  bool connect();
  // Runs the TLS handshake on the open connection within the time limit;
  // from then on every send and receive goes through TLS. False with the
  // reason in *error (the certificate's problem, the handshake's); the
  // connection is then of no further use and should be closed. Also false
  // when plain bytes arrived after the reply that agreed to start TLS
  // (`unread`): they would otherwise be read as if they had come through
  // TLS, which is how a man in the middle injects replies into a session.
  bool start_tls(const TlsOptions& options, String* error);
  bool tls_active() const { return tls_ != nullptr; }
  // "TLSv1.3, TLS_AES_256_GCM_SHA384, certificate checked"; empty without TLS.
  String tls_summary() const;

  // Sends all `length` bytes, or fails; a peer that reset or closed the
  // connection (ECONNRESET, EPIPE) also closes the socket, so that the next
  // message opens a new one. Never raises SIGPIPE.
  // With `more`, the bytes may wait for the next send, so that a text and
  // the marker after it travel together (MSG_MORE; under TLS, in one
  // record).
  bool send(const char* buffer, int length, bool more = false);
  bool send_text(std::string_view text, bool more = false);
  // Bytes that can be read now (`unread` among them), or -1.
  int bytes_available();
  // True when the peer has closed the connection or sent something that
  // nothing asked for (an SMTP server that gave up on an idle connection
  // says "421" and closes; `unread` bytes count as such). Never waits; what
  // it reads is lost, which is no loss on a connection that is then of no
  // further use.
  bool peer_hung_up();
  using Deadline = std::chrono::steady_clock::time_point;
  // When the time limit that starts now runs out (never, for 0).
  Deadline deadline() const;
  // Waits until a byte can be read (`unread` holds one) or the deadline has
  // passed.
  bool wait_readable(Deadline deadline);

  // Reads whatever has arrived, first waiting for a byte (until the
  // deadline; without one, for the time limit) when wait_for_data is set;
  // false when the peer closed the connection, on an error, or when the
  // time ran out.
  bool receive(String* output);
  bool receive(String* output, Deadline deadline);

  // The last failure in words: the TLS layer's reason, or the system's.
  String reason() const;

  uint16_t family = 2;  // AF_INET
  bool wait_for_data = true;
  int last_error = 0;
  bool timed_out = false;
  // Set by read_reply() when the reply went beyond ReplyAssembler::kMaxReply.
  bool reply_too_long = false;
  // Bytes that arrived after the end of the last reply read_reply() took;
  // the next read_reply() starts with them. Emptied by close().
  String unread;
  int handle = -1;
  Address address;
  uint16_t port = 0;
  uint16_t protocol = 6;  // TCP
  int timeout_seconds = 60;
  // What the server offered in its answer to the last EHLO on this
  // connection; empty after HELO, and once the connection is closed.
  SmtpExtensions extensions;
  // The SMTP login succeeded on this connection (until it is closed).
  bool logged_in = false;
  // The server answered the greeting (EHLO or HELO) on this connection, and
  // after STARTTLS the greeting over TLS (until it is closed).
  bool greeted = false;
  // The next message's MAIL FROM, RCPT TO and DATA, sent ahead with the
  // last message's end marker (PIPELINING), and how many replies to them
  // are still to be read; empty and 0 when nothing was sent ahead or once
  // the connection is closed.
  String sent_ahead;
  int replies_ahead = 0;
  // Put before each line of the SMTP trace about this connection
  // ("[2] "), when a send has several; empty for none.
  String trace_label;

 private:
  static constexpr int kTlsRecord = 16 * 1024;  // the most one TLS record holds

  bool wait_until(short events, Deadline deadline);
  bool send_plain(const char* buffer, int length, bool more);
  bool flush_tls();
  // Records a failure of the TLS layer.
  bool tls_failed(IoStatus status);

  std::unique_ptr<TlsStream> tls_;
  String tls_out_;  // bytes held back for the next TLS record
  String tls_error_;
};

// Assembles one SMTP reply from the pieces that arrive. A reply ends with a
// complete line (ended by LF) whose fourth character is not '-' and which
// holds more than white space; its code is the number at the start of that
// line. Pieces may split a line anywhere, and a piece may also carry the
// start of the next reply (a server answering pipelined commands, or one
// that says "421" right after its last answer): those bytes are not part
// of this reply and wait in rest() for the next one. The text keeps the
// reply's bytes, trailing white space stripped. Bounded: a reply longer
// than kMaxReply bytes is given up on.
class ReplyAssembler {
 public:
  static constexpr int kMaxReply = 64 * 1024;
  static constexpr int kMore = -1;      // feed more
  static constexpr int kTooLong = -2;   // give up: no usable reply

  // Returns kMore while the reply is incomplete, kTooLong, or the reply
  // code (0 when the final line holds no number). Once a code has been
  // returned the reply is complete and nothing more may be fed.
  int feed(std::string_view piece);
  const String& text() const { return text_; }
  // What arrived after the end of the reply.
  const String& rest() const { return rest_; }

 private:
  String text_;
  String raw_;
  String rest_;
  int line_start_ = 0;  // where the first line not yet looked at begins in raw_
};

// The code of a complete final reply line: the decimal digits at its start,
// commas ignored; 0 when none.
int reply_code(std::string_view line);

// Reads one SMTP reply from the connection. Returns its code, or 0 when
// nothing usable arrived (connection closed, error, a reply beyond the size
// bound, or no complete reply within the time limit: the limit holds for
// the whole reply, however it trickles in; `timed_out` and `reply_too_long`
// tell these two apart). `text`, when given, receives the reply's text, or
// of a reply given up on, what had arrived of it.
int read_reply(Connection& connection, String* text = nullptr);

}  // namespace tessaline
