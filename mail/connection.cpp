#include "mail/connection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "core/fiber.h"

namespace tessaline {

// --- addresses and resolution ----------------------------------------------

Address Address::from_bytes(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  Address address;
  address.bytes[0] = a;
  address.bytes[1] = b;
  address.bytes[2] = c;
  address.bytes[3] = d;
  address.is_null = (a | b | c | d) == 0;
  return address;
}

String Address::text() const {
  return String::formatted("%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
}

namespace {

bool system_resolve(const char* host, Address* address, int* error) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  int code = getaddrinfo(host, nullptr, &hints, &found);
  if (code != 0) {
    *error = code;
    return false;
  }
  bool ok = false;
  for (addrinfo* entry = found; entry; entry = entry->ai_next) {
    if (entry->ai_family != AF_INET || entry->ai_addrlen < sizeof(sockaddr_in)) continue;
    const auto* in = reinterpret_cast<const sockaddr_in*>(entry->ai_addr);
    const auto* b = reinterpret_cast<const uint8_t*>(&in->sin_addr.s_addr);
    *address = Address::from_bytes(b[0], b[1], b[2], b[3]);
    ok = true;
    break;
  }
  freeaddrinfo(found);
  if (!ok) *error = EAI_ADDRFAMILY;
  return ok;
}

Resolver current_resolver = nullptr;
int last_resolve_error = 0;

}  // namespace

Resolver set_resolver(Resolver resolver) {
  Resolver previous = current_resolver;
  current_resolver = resolver;
  return previous;
}

bool resolve(const char* host, Address* address) {
  if (!host || !*host || !address) {
    last_resolve_error = EAI_NONAME;
    return false;
  }
  int error = 0;
  Resolver resolver = current_resolver ? current_resolver : system_resolve;
  if (!resolver(host, address, &error)) {
    last_resolve_error = error;
    return false;
  }
  return true;
}

int resolve_error() { return last_resolve_error; }

// --- the connection ---------------------------------------------------------

Connection::Connection() = default;

Connection::~Connection() { close(); }

void Connection::close() {
  if (tls_) {
    tls_->shutdown();
    tls_.reset();
  }
  tls_out_.clear();
  unread.clear();
  if (handle >= 0) {
    ::close(handle);
    handle = -1;
  }
  extensions = SmtpExtensions();
  logged_in = false;
  greeted = false;
  sent_ahead.clear();
  replies_ahead = 0;
}

bool Connection::create() {
  close();
  timed_out = false;
  tls_error_.clear();
  handle = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, protocol);
  if (handle < 0) {
    last_error = errno;
    return false;
  }
  return true;
}

bool Connection::connect() {
  timed_out = false;
  if (handle < 0) {
    last_error = EBADF;
    return false;
  }
  sockaddr_in peer{};
  peer.sin_family = family;
  peer.sin_port = htons(port);
  std::memcpy(&peer.sin_addr.s_addr, address.bytes, 4);

  // The socket stays non-blocking: every wait below and later is a poll()
  // with the time limit.
  fcntl(handle, F_SETFL, fcntl(handle, F_GETFL) | O_NONBLOCK);
  int result = ::connect(handle, reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
  if (result != 0 && errno != EINPROGRESS) {
    last_error = errno;
    return false;
  }
  if (result != 0) {
    if (!wait_until(POLLOUT, deadline())) return false;
    int error = 0;
    socklen_t size = sizeof error;
    getsockopt(handle, SOL_SOCKET, SO_ERROR, &error, &size);
    if (error != 0) {
      last_error = error;
      return false;
    }
  }
  int on = 1;
  setsockopt(handle, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return true;
}

bool Connection::start_tls(const TlsOptions& options, String* error) {
  timed_out = false;
  tls_error_.clear();
  if (handle < 0) {
    last_error = EBADF;
    *error = "the connection is closed";
    return false;
  }
  if (!unread.empty()) {
    last_error = EPROTO;
    tls_error_ = *error = "the server sent more than its answer to STARTTLS before the TLS handshake";
    return false;
  }
  auto stream = std::make_unique<TlsStream>();
  if (!stream->attach(handle, options)) {
    last_error = EPROTO;
    tls_error_ = *error = stream->error();
    return false;
  }
  Deadline limit = deadline();
  for (;;) {
    IoStatus status = stream->handshake();
    bool waited = true;
    switch (status) {
      case IoStatus::kDone:
        tls_ = std::move(stream);
        return true;
      case IoStatus::kWantRead:
        waited = wait_until(POLLIN, limit);
        break;
      case IoStatus::kWantWrite:
        waited = wait_until(POLLOUT, limit);
        break;
      case IoStatus::kClosed:
      case IoStatus::kFailed:
        last_error = EPROTO;
        tls_error_ = *error = stream->error();
        return false;
    }
    if (!waited) {
      *error = timed_out ? String::formatted("no answer within %d seconds during the TLS handshake",
                                             timeout_seconds)
                         : reason();
      return false;
    }
  }
}

String Connection::tls_summary() const { return tls_ ? tls_->summary() : String(); }

String Connection::reason() const {
  if (last_error == EPROTO && !tls_error_.empty()) return tls_error_;
  if (last_error == ENOTCONN) return "the server closed the connection";
  return std::strerror(last_error);
}

Connection::Deadline Connection::deadline() const {
  if (timeout_seconds <= 0) return Deadline::max();
  return std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
}

bool Connection::wait_readable(Deadline deadline) {
  timed_out = false;
  if (handle < 0) {
    last_error = EBADF;
    return false;
  }
  if (!unread.empty() || (tls_ && tls_->pending() > 0)) return true;
  return wait_until(POLLIN, deadline);
}

bool Connection::wait_until(short events, Deadline deadline) {
  // On a fiber (several connections of one send) the others go on
  // meanwhile; elsewhere this is a plain poll().
  int ready = wait_fd(handle, events, deadline);
  if (ready > 0) return true;
  if (ready == 0) {
    last_error = ETIMEDOUT;
    timed_out = true;
    return false;
  }
  last_error = errno;
  return false;
}

bool Connection::tls_failed(IoStatus status) {
  if (status == IoStatus::kClosed) {
    last_error = ENOTCONN;
  } else {
    last_error = EPROTO;
    tls_error_ = tls_->error();
  }
  return false;
}

bool Connection::send(const char* buffer, int length, bool more) {
  timed_out = false;
  if (!buffer || length <= 0) return false;
  if (handle < 0) {
    last_error = EBADF;
    return false;
  }
  if (!tls_) return send_plain(buffer, length, more);
  // TLS makes a record of each write: what may wait is gathered, so that
  // a text and its end marker share records instead of each making one.
  tls_out_.append(buffer, length);
  if (more && tls_out_.length() < kTlsRecord) return true;
  return flush_tls();
}

bool Connection::send_plain(const char* buffer, int length, bool more) {
  Deadline limit = deadline();
  int done = 0;
  while (done < length) {
    ssize_t n = ::send(handle, buffer + done, length - done,
                       MSG_NOSIGNAL | MSG_DONTWAIT | (more ? MSG_MORE : 0));
    if (n > 0) {
      done += static_cast<int>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // The peer does not read: wait for room, within the time limit.
      if (!wait_until(POLLOUT, limit)) return false;
      continue;
    }
    last_error = n < 0 ? errno : EPIPE;
    if (last_error == ECONNRESET || last_error == EPIPE) close();
    return false;
  }
  return true;
}

bool Connection::flush_tls() {
  Deadline limit = deadline();
  int done = 0;
  const int length = tls_out_.length();
  while (done < length) {
    int put = 0;
    IoStatus status = tls_->write(tls_out_.c_str() + done, length - done, &put);
    bool waited = true;
    switch (status) {
      case IoStatus::kDone:
        done += put;
        break;
      case IoStatus::kWantWrite:
        waited = wait_until(POLLOUT, limit);
        break;
      case IoStatus::kWantRead:
        waited = wait_until(POLLIN, limit);
        break;
      case IoStatus::kClosed:
      case IoStatus::kFailed: {
        tls_out_.clear();
        tls_failed(status);
        int error = last_error;
        String why = tls_error_;
        // Like a reset plain connection, a broken TLS one is of no more use.
        close();
        last_error = error;
        tls_error_ = why;
        return false;
      }
    }
    if (!waited) {
      tls_out_.clear();
      return false;
    }
  }
  tls_out_.clear();
  return true;
}

bool Connection::send_text(std::string_view text, bool more) {
  return send(text.data(), static_cast<int>(text.size()), more);
}

int Connection::bytes_available() {
  int count = 0;
  if (handle < 0 || ioctl(handle, FIONREAD, &count) != 0) {
    last_error = handle < 0 ? EBADF : errno;
    return -1;
  }
  int waiting = tls_ ? tls_->pending() + (count > 0 ? 1 : 0) : count;
  return unread.length() + waiting;
}

bool Connection::peer_hung_up() {
  if (handle < 0) return true;
  if (!unread.empty()) return true;
  pollfd item{handle, POLLIN, 0};
  int ready = ::poll(&item, 1, 0);
  if (ready == 0) return tls_ && tls_->pending() > 0;
  if (ready < 0) return false;  // cannot tell: let the dialogue find out
  if (item.revents & (POLLERR | POLLHUP | POLLNVAL)) return true;
  char byte[512];
  if (tls_) {
    // TLS may carry records that are not data (session tickets); only data
    // or the end of the session count.
    int got = 0;
    IoStatus status = tls_->read(byte, sizeof byte, &got);
    return status != IoStatus::kWantRead && status != IoStatus::kWantWrite;
  }
  ssize_t got = ::recv(handle, byte, 1, MSG_DONTWAIT | MSG_PEEK);
  return got >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

bool Connection::receive(String* output) { return receive(output, deadline()); }

bool Connection::receive(String* output, Deadline deadline) {
  output->clear();
  timed_out = false;
  if (handle < 0) {
    last_error = EBADF;
    return false;
  }
  char chunk[4096];
  for (;;) {
    short wanted = POLLIN;
    if (tls_) {
      int got = 0;
      IoStatus status = tls_->read(chunk, sizeof chunk, &got);
      if (status == IoStatus::kDone) {
        output->assign(chunk, got);
        return true;
      }
      if (status == IoStatus::kClosed || status == IoStatus::kFailed) return tls_failed(status);
      if (status == IoStatus::kWantWrite) wanted = POLLOUT;
    } else {
      ssize_t got = ::recv(handle, chunk, sizeof chunk, MSG_DONTWAIT);
      if (got > 0) {
        output->assign(chunk, static_cast<int>(got));
        return true;
      }
      if (got == 0) {
        last_error = ENOTCONN;  // the peer closed the connection
        return false;
      }
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) {
        last_error = errno;
        return false;
      }
    }
    // Nothing yet: without waiting, that is the answer.
    if (!wait_for_data) return true;
    if (!wait_until(wanted, deadline)) return false;
  }
}

// --- replies ----------------------------------------------------------------

int reply_code(std::string_view line) {
  size_t i = 0;
  while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
  int code = 0;
  int digits = 0;
  for (; i < line.size() && digits < 9; ++i) {
    char c = line[i];
    if (c == ',') continue;
    if (c < '0' || c > '9') break;
    code = code * 10 + (c - '0');
    ++digits;
  }
  return code;
}

int ReplyAssembler::feed(std::string_view piece) {
  raw_.append(piece);
  // Only a complete line can end a reply: a piece may stop anywhere. Each
  // line is looked at once, so a reply that trickles in costs no more than
  // one that arrives whole.
  for (;;) {
    int end = raw_.find('\n', line_start_);
    if (end < 0) break;
    std::string_view line = raw_.view().substr(line_start_, end - line_start_);
    line_start_ = end + 1;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
      line.remove_suffix(1);
    }
    size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) continue;  // a blank line ends nothing
    if (line.size() >= 4 && line[3] == '-') continue;
    int code = reply_code(line);
    rest_ = raw_.substr(line_start_);
    raw_.remove_last(raw_.length() - line_start_);
    if (raw_.length() > kMaxReply) return kTooLong;
    text_ = raw_;
    text_.trim_right();
    return code;
  }
  if (raw_.length() > kMaxReply) {
    raw_.remove_last(raw_.length() - kMaxReply);
    text_ = raw_;
    text_.trim_right();
    return kTooLong;
  }
  text_ = raw_;
  text_.trim_right();
  return kMore;
}

int read_reply(Connection& connection, String* text) {
  if (text) text->clear();
  connection.reply_too_long = false;
  ReplyAssembler reply;
  String piece;
  std::swap(piece, connection.unread);
  // The time limit holds for the whole reply, however it trickles in.
  Connection::Deadline limit = connection.deadline();
  for (;;) {
    if (piece.empty()) {
      if (!connection.receive(&piece, limit)) return 0;
      if (piece.empty()) continue;
    }
    int code = reply.feed(piece.view());
    piece.clear();
    if (code == ReplyAssembler::kTooLong) {
      if (text) *text = reply.text();
      connection.last_error = EMSGSIZE;
      connection.reply_too_long = true;
      return 0;
    }
    if (text) *text = reply.text();
    if (code != ReplyAssembler::kMore) {
      connection.unread = reply.rest();
      return code;
    }
  }
}

}  // namespace tessaline
