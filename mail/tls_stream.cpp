#include "mail/tls_stream.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

namespace tessaline {

namespace {

// --- the socket under TLS -------------------------------------------------------
//
// OpenSSL's own socket BIO writes with write(), which raises SIGPIPE when
// the peer has gone; this one sends with MSG_NOSIGNAL, and never blocks,
// whatever mode the socket is in.

int socket_of(BIO* bio) { return static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio))); }

int bio_write(BIO* bio, const char* data, int size) {
  BIO_clear_retry_flags(bio);
  ssize_t n;
  do {
    n = ::send(socket_of(bio), data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) BIO_set_retry_write(bio);
  return static_cast<int>(n);
}

int bio_read(BIO* bio, char* data, int size) {
  BIO_clear_retry_flags(bio);
  ssize_t n;
  do {
    n = ::recv(socket_of(bio), data, size, MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) BIO_set_retry_read(bio);
  return static_cast<int>(n);
}

long bio_ctrl(BIO*, int command, long, void*) { return command == BIO_CTRL_FLUSH ? 1 : 0; }

int bio_create(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

BIO_METHOD* socket_method() {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "socket without signals");
    BIO_meth_set_write(m, bio_write);
    BIO_meth_set_read(m, bio_read);
    BIO_meth_set_ctrl(m, bio_ctrl);
    BIO_meth_set_create(m, bio_create);
    return m;
  }();
  return method;
}

// --- the context ---------------------------------------------------------------------
//
// One context serves every connection with the same checking and trust
// file; loading the system's store once per send, not once per
// connection, matters when every message opens its own connection.

String openssl_reason() {
  unsigned long code = ERR_peek_last_error();
  if (code == 0) return String();
  const char* reason = ERR_reason_error_string(code);
  if (reason) return reason;
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

SSL_CTX* client_context(const TlsOptions& options, String* error) {
  static SSL_CTX* cached = nullptr;
  static std::string cached_key;
  std::string key = (options.check_certificate ? "1" : "0") + options.trust_file.std_string();
  if (cached && key == cached_key) return cached;

  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  if (!context) {
    *error = "TLS cannot be started: " + openssl_reason();
    ERR_clear_error();
    return nullptr;
  }
  SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
  // A server that closes without close_notify after QUIT has still said
  // all it had to say; the SMTP replies show whether anything is missing.
  SSL_CTX_set_options(context, SSL_OP_IGNORE_UNEXPECTED_EOF);
  SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  if (options.check_certificate) {
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    bool loaded = options.trust_file.empty()
                      ? SSL_CTX_set_default_verify_paths(context) == 1
                      : SSL_CTX_load_verify_locations(context, options.trust_file.c_str(),
                                                      nullptr) == 1;
    if (!loaded) {
      if (options.trust_file.empty()) {
        *error = "The system's trusted certificates cannot be read: " + openssl_reason();
      } else {
        *error = "The trusted certificates cannot be read from " + options.trust_file + ": " +
                 openssl_reason();
      }
      ERR_clear_error();
      SSL_CTX_free(context);
      return nullptr;
    }
  } else {
    SSL_CTX_set_verify(context, SSL_VERIFY_NONE, nullptr);
  }
  if (cached) SSL_CTX_free(cached);  // connections still using it keep a reference
  cached = context;
  cached_key = key;
  return context;
}

bool is_address(const String& host) {
  unsigned char bytes[16];
  return inet_pton(AF_INET, host.c_str(), bytes) == 1 || inet_pton(AF_INET6, host.c_str(), bytes) == 1;
}

String certificate_problem(long result, const String& host) {
  String why;
  switch (result) {
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      why = "it is made out to another host than " + host;
      break;
    case X509_V_ERR_CERT_HAS_EXPIRED:
      why = "it has expired";
      break;
    case X509_V_ERR_CERT_NOT_YET_VALID:
      why = "it is not valid yet";
      break;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
      why = "it is not signed by an authority this computer trusts";
      break;
    default:
      why = "it cannot be checked";
      break;
  }
  return "the server's certificate is not accepted: " + why + " (" +
         X509_verify_cert_error_string(result) + ")";
}

}  // namespace

struct TlsStream::Session {
  ~Session() {
    if (ssl) SSL_free(ssl);
  }
  SSL* ssl = nullptr;
  String host;
};

TlsStream::TlsStream() = default;
TlsStream::~TlsStream() = default;

bool TlsStream::attach(int fd, const TlsOptions& options) {
  session_.reset();
  error_.clear();
  SSL_CTX* context = client_context(options, &error_);
  if (!context) return false;
  auto session = std::make_unique<Session>();
  session->ssl = SSL_new(context);
  BIO* bio = session->ssl ? BIO_new(socket_method()) : nullptr;
  if (!bio) {
    error_ = "TLS cannot be started: " + openssl_reason();
    ERR_clear_error();
    return false;
  }
  BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
  SSL_set_bio(session->ssl, bio, bio);
  session->host = options.host;
  bool address = is_address(options.host);
  // SNI names a host; an address is never sent as one.
  if (!options.host.empty() && !address) SSL_set_tlsext_host_name(session->ssl, options.host.c_str());
  if (options.check_certificate && !options.host.empty()) {
    if (address) {
      X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(session->ssl), options.host.c_str());
    } else {
      SSL_set_hostflags(session->ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
      SSL_set1_host(session->ssl, options.host.c_str());
    }
  }
  SSL_set_connect_state(session->ssl);
  checked_ = options.check_certificate;
  session_ = std::move(session);
  return true;
}

IoStatus TlsStream::status_of(int result, const char* step) {
  int code = SSL_get_error(session_->ssl, result);
  int system_error = errno;
  IoStatus status = IoStatus::kFailed;
  switch (code) {
    case SSL_ERROR_WANT_READ:
      status = IoStatus::kWantRead;
      break;
    case SSL_ERROR_WANT_WRITE:
      status = IoStatus::kWantWrite;
      break;
    case SSL_ERROR_ZERO_RETURN:
      status = IoStatus::kClosed;
      error_ = "the server closed the connection";
      break;
    case SSL_ERROR_SYSCALL:
      if (ERR_peek_error() == 0 && (result == 0 || system_error == 0)) {
        status = IoStatus::kClosed;
        error_ = "the server closed the connection";
      } else {
        error_ = ERR_peek_error() ? openssl_reason() : String(std::strerror(system_error));
      }
      break;
    default: {
      long verified = SSL_get_verify_result(session_->ssl);
      if (verified != X509_V_OK) {
        error_ = certificate_problem(verified, session_->host);
      } else {
        error_ = openssl_reason();
        if (error_.empty()) error_ = String::formatted("the TLS %s failed", step);
      }
      break;
    }
  }
  ERR_clear_error();
  return status;
}

IoStatus TlsStream::handshake() {
  if (!session_) return IoStatus::kFailed;
  ERR_clear_error();
  int result = SSL_do_handshake(session_->ssl);
  if (result == 1) return IoStatus::kDone;
  IoStatus status = status_of(result, "handshake");
  // During the handshake a closed connection is a failure with a reason:
  // a server that hangs up on the client's hello mostly does so because it
  // shares no TLS version or cipher with it, or speaks no TLS on the port.
  if (status != IoStatus::kClosed) return status;
  error_ = "the server closed the connection during the TLS handshake (it may speak no TLS "
           "version from 1.2 on, or no TLS on this port)";
  return IoStatus::kFailed;
}

IoStatus TlsStream::read(char* buffer, int size, int* got) {
  *got = 0;
  if (!session_) return IoStatus::kFailed;
  ERR_clear_error();
  int result = SSL_read(session_->ssl, buffer, size);
  if (result > 0) {
    *got = result;
    return IoStatus::kDone;
  }
  return status_of(result, "read");
}

IoStatus TlsStream::write(const char* buffer, int size, int* put) {
  *put = 0;
  if (!session_) return IoStatus::kFailed;
  ERR_clear_error();
  int result = SSL_write(session_->ssl, buffer, size);
  if (result > 0) {
    *put = result;
    return IoStatus::kDone;
  }
  return status_of(result, "write");
}

int TlsStream::pending() const { return session_ ? SSL_pending(session_->ssl) : 0; }

void TlsStream::shutdown() {
  if (session_ && SSL_is_init_finished(session_->ssl)) {
    SSL_shutdown(session_->ssl);
    ERR_clear_error();
  }
}

String TlsStream::summary() const {
  if (!session_) return String();
  String text = String::formatted("%s, %s", SSL_get_version(session_->ssl),
                                  SSL_get_cipher_name(session_->ssl));
  text += checked_ ? ", certificate checked" : ", certificate not checked";
  return text;
}

}  // namespace tessaline
