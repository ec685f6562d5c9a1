// tls_stream.h - TLS (OpenSSL) over one connected TCP socket: the layer the
// SMTP connection reads and writes through once STARTTLS has been accepted,
// or from the start on an implicit-TLS port (465).
//
// Every operation is one non-blocking step: it either completes or says
// what it waits for (kWantRead, kWantWrite), so the caller may wait with
// poll() on the socket, alone or beside other connections, and call the
// step again. Connection (mail/connection.h) wraps the steps in waits with
// the program's time limit.
//
// Security: TLS 1.2 or newer. The server's certificate is checked against
// the system's trust store, or against the CA certificates of a given PEM
// file, and must be made out to the host name the connection was opened
// for (or to the address, when the host was given as one); the host name
// is sent as SNI. Checking can be turned off for a server whose
// certificate cannot be checked (a user's choice, or the opportunistic
// encryption of direct delivery); the connection is then encrypted but
// not authenticated.
//
// Not for: the SMTP dialogue, server-side TLS, client certificates.
//
// Failures: a step that fails returns kFailed and keeps a text for the
// person in error(): the certificate's problem ("it has expired", "it is
// made out to another host"), or OpenSSL's or the system's reason. A peer
// that closes the connection reads as kClosed.
#pragma once

#include <memory>

#include "core/string.h"

namespace tessaline {

enum class IoStatus { kDone, kWantRead, kWantWrite, kClosed, kFailed };

struct TlsOptions {
  String host;                    // checked in the certificate, sent as SNI
  bool check_certificate = true;
  String trust_file;              // PEM CA certificates; empty: the system's store
};

class TlsStream {
 public:
  TlsStream();
  ~TlsStream();
  TlsStream(const TlsStream&) = delete;
  TlsStream& operator=(const TlsStream&) = delete;

  // Prepares the client side of TLS over the connected socket `fd` (which
  // stays the caller's). False with error() when the options cannot be
  // used, for example a trust file that cannot be read.
  bool attach(int fd, const TlsOptions& options);

  // The handshake, to be called until it gives kDone (or kFailed).
  IoStatus handshake();
  // Reads up to `size` bytes (*got of them) or writes up to `size` bytes
  // (*put of them); kWantRead and kWantWrite ask for the same call again
  // when the socket is ready.
  IoStatus read(char* buffer, int size, int* got);
  IoStatus write(const char* buffer, int size, int* put);
  // Bytes already decrypted and waiting to be read: read() returns them
  // without the socket being readable.
  int pending() const;
  // Tells the peer that no more data follows (close_notify), without
  // waiting for its answer.
  void shutdown();

  const String& error() const { return error_; }
  // "TLSv1.3, TLS_AES_256_GCM_SHA384, certificate checked" and the like.
  String summary() const;

 private:
  struct Session;
  IoStatus status_of(int result, const char* step);

  std::unique_ptr<Session> session_;
  String error_;
  bool checked_ = false;
};

}  // namespace tessaline
