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

Connection::~Connection() { close(); }

void Connection::close() {
  if (handle >= 0) {
    ::close(handle);
    handle = -1;
  }
  applied_timeout_ = -1;
  extensions = SmtpExtensions();
}

bool Connection::create() {
  close();
  timed_out = false;
  handle = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, protocol);
  if (handle < 0) {
    last_error = errno;
    return false;
  }
  // Blocking reads and sends give up after the time limit too: a server
  // that stops reading or answering must not hold the program for ever.
  applied_timeout_ = -1;
  apply_time_limits();
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

  // Connect without blocking, so that the wait has a time limit, then put
  // the socket back into blocking mode.
  int flags = fcntl(handle, F_GETFL);
  fcntl(handle, F_SETFL, flags | O_NONBLOCK);
  int result = ::connect(handle, reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
  if (result != 0 && errno != EINPROGRESS) {
    last_error = errno;
    fcntl(handle, F_SETFL, flags);
    return false;
  }
  if (result != 0) {
    if (!wait_until(POLLOUT, deadline())) {
      fcntl(handle, F_SETFL, flags);
      return false;
    }
    int error = 0;
    socklen_t size = sizeof error;
    getsockopt(handle, SOL_SOCKET, SO_ERROR, &error, &size);
    if (error != 0) {
      last_error = error;
      fcntl(handle, F_SETFL, flags);
      return false;
    }
  }
  fcntl(handle, F_SETFL, flags);
  int on = 1;
  setsockopt(handle, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return true;
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
  return wait_until(POLLIN, deadline);
}

bool Connection::wait_until(short events, Deadline deadline) {
  for (;;) {
    int wait_ms = -1;
    if (deadline != Deadline::max()) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      wait_ms = left.count() > 0 ? static_cast<int>(std::min<int64_t>(left.count(), 1 << 30)) : 0;
    }
    pollfd entry{handle, events, 0};
    int ready = ::poll(&entry, 1, wait_ms);
    if (ready > 0) return true;
    if (ready == 0) {
      last_error = ETIMEDOUT;
      timed_out = true;
      return false;
    }
    if (errno != EINTR) {
      last_error = errno;
      return false;
    }
  }
}

bool Connection::send(const char* buffer, int length, bool more) {
  timed_out = false;
  if (!buffer || length <= 0) return false;
  if (handle < 0) {
    last_error = EBADF;
    return false;
  }
  // A blocking send normally takes everything at once; a signal or the
  // send time limit can cut it short, and then the rest follows or the
  // whole send fails.
  apply_time_limits();
  int done = 0;
  while (done < length) {
    ssize_t n = ::send(handle, buffer + done, length - done, MSG_NOSIGNAL | (more ? MSG_MORE : 0));
    if (n > 0) {
      done += static_cast<int>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    last_error = n < 0 ? errno : EPIPE;
    if (last_error == EAGAIN || last_error == EWOULDBLOCK) timed_out = true;
    if (last_error == ECONNRESET || last_error == EPIPE) close();
    return false;
  }
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
  return count;
}

bool Connection::receive(String* output) {
  output->clear();
  timed_out = false;
  if (handle < 0) {
    last_error = EBADF;
    return false;
  }
  if (!wait_for_data) {
    int n = bytes_available();
    if (n <= 0) return n == 0;
  }
  // One blocking read of whatever has arrived: it waits for the first byte
  // (up to the receive time limit) and takes everything that is there.
  apply_time_limits();
  char chunk[4096];
  ssize_t got;
  do {
    got = ::recv(handle, chunk, sizeof chunk, 0);
  } while (got < 0 && errno == EINTR);
  if (got > 0) {
    output->assign(chunk, static_cast<int>(got));
    return true;
  }
  if (got == 0) {
    last_error = ENOTCONN;  // the peer closed the connection
  } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
    last_error = ETIMEDOUT;
    timed_out = true;
  } else {
    last_error = errno;
  }
  return false;
}

void Connection::apply_time_limits() {
  if (applied_timeout_ == timeout_seconds || handle < 0) return;
  timeval limit{};
  limit.tv_sec = timeout_seconds > 0 ? timeout_seconds : 0;
  setsockopt(handle, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  setsockopt(handle, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  applied_timeout_ = timeout_seconds;
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
  if (raw_.length() + static_cast<int64_t>(piece.size()) > kMaxReply) return kTooLong;
  raw_.append(piece);
  text_ = raw_;
  text_.trim_right();
  // Only a complete line can end a reply: a piece may stop anywhere.
  if (raw_.last() != '\n') return kMore;
  std::string_view all = text_.view();
  size_t start = all.find_last_of("\r\n");
  std::string_view line = start == std::string_view::npos ? all : all.substr(start + 1);
  if (line.size() >= 4 && line[3] == '-') return kMore;
  return reply_code(line);
}

int read_reply(Connection& connection, String* text) {
  if (text) text->clear();
  connection.reply_too_long = false;
  ReplyAssembler reply;
  String piece;
  // The first read waits with the socket's own time limit; the pieces after
  // it wait only for what is left of that limit.
  Connection::Deadline limit = connection.deadline();
  for (bool first = true;; first = false) {
    if (!first && !connection.wait_readable(limit)) return 0;
    if (!connection.receive(&piece)) return 0;
    if (piece.empty()) continue;
    int code = reply.feed(piece.view());
    if (code == ReplyAssembler::kTooLong) {
      connection.last_error = EMSGSIZE;
      connection.reply_too_long = true;
      return 0;
    }
    if (text) *text = reply.text();
    if (code != ReplyAssembler::kMore) return code;
  }
}

}  // namespace tessaline
