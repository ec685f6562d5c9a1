// fake_smtp_server.h - a scripted SMTP peer on 127.0.0.1 for the tests of
// the SMTP client (test code only; nothing in the program includes it).
//
// A script is a list of steps run in order on a thread: accept a
// connection, send bytes (whole or in pieces with pauses between them),
// expect one line or the whole data section from the client, close, or stay
// silent. Whatever the client sends is recorded; finish() waits for the
// script, drains what the client still sends until it closes, and returns
// the mismatches found, so a test checks both the answers the client got
// and everything the client must have sent.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace tessaline::testing {

class FakeSmtpServer {
 public:
  struct Step {
    enum Kind { kAccept, kSend, kExpectLine, kExpectData, kClose, kSilence, kStall } kind;
    std::vector<std::string> texts;  // kSend: pieces; kExpect*: the text
  };

  static Step accept() { return {Step::kAccept, {}}; }
  static Step send(std::string text) { return {Step::kSend, {std::move(text)}}; }
  static Step send_pieces(std::vector<std::string> pieces) { return {Step::kSend, std::move(pieces)}; }
  static Step expect(std::string line) { return {Step::kExpectLine, {std::move(line)}}; }
  // The data section through the final "\r\n.\r\n", exactly.
  static Step expect_data(std::string data) { return {Step::kExpectData, {std::move(data)}}; }
  static Step close() { return {Step::kClose, {}}; }
  // Keeps the connection open and answers nothing until the client closes.
  static Step silence() { return {Step::kSilence, {}}; }
  // Stops reading (with a small receive buffer, so that the client's sends
  // soon block) until finish() is called, then ends the connection.
  static Step stall() { return {Step::kStall, {}}; }

  explicit FakeSmtpServer(std::vector<Step> script) : script_(std::move(script)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 8) != 0) {
      problems_.push_back("cannot listen on 127.0.0.1");
      return;
    }
    socklen_t size = sizeof address;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { run(); });
  }

  ~FakeSmtpServer() {
    if (thread_.joinable()) thread_.join();
    if (peer_ >= 0) ::close(peer_);
    if (listener_ >= 0) ::close(listener_);
  }

  int port() const { return port_; }

  // Waits for the script and the client's last bytes; returns every
  // mismatch between what the script expected and what the client sent.
  std::vector<std::string> finish() {
    finishing_ = true;
    if (thread_.joinable()) thread_.join();
    return problems_;
  }
  // Everything the client sent, connection after connection.
  const std::string& received() const { return received_; }

 private:
  static constexpr int kPatienceMs = 5000;

  bool readable(int fd, int ms) {
    pollfd entry{fd, POLLIN, 0};
    return ::poll(&entry, 1, ms) > 0;
  }

  // Reads until `done` says the collected text is complete; false on
  // close, error or when the client stays silent too long.
  template <typename Done>
  bool read_until(std::string* text, Done done) {
    char byte;
    while (!done(*text)) {
      if (peer_ < 0 || !readable(peer_, kPatienceMs)) return false;
      if (::recv(peer_, &byte, 1, 0) != 1) return false;
      text->push_back(byte);
      received_.push_back(byte);
    }
    return true;
  }

  void drain() {
    char buffer[4096];
    while (peer_ >= 0 && readable(peer_, kPatienceMs)) {
      ssize_t n = ::recv(peer_, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      received_.append(buffer, n);
      problems_.push_back("unexpected bytes from the client: " + std::string(buffer, n));
    }
  }

  bool stalls() const {
    for (const Step& step : script_) {
      if (step.kind == Step::kStall) return true;
    }
    return false;
  }

  void end_connection() {
    if (peer_ >= 0) ::close(peer_);
    peer_ = -1;
  }

  void run() {
    for (const Step& step : script_) {
      switch (step.kind) {
        case Step::kAccept:
          end_connection();
          if (!readable(listener_, kPatienceMs)) {
            problems_.push_back("the client did not connect");
            return;
          }
          peer_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
          if (stalls()) {
            int size = 4096;
            setsockopt(peer_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
          }
          break;
        case Step::kSend:
          for (size_t i = 0; i < step.texts.size(); ++i) {
            if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
            const std::string& piece = step.texts[i];
            if (::send(peer_, piece.data(), piece.size(), MSG_NOSIGNAL) !=
                static_cast<ssize_t>(piece.size())) {
              problems_.push_back("cannot send " + piece);
            }
          }
          break;
        case Step::kExpectLine:
        case Step::kExpectData: {
          std::string text;
          bool data = step.kind == Step::kExpectData;
          bool complete = read_until(&text, [data](const std::string& t) {
            return data ? t.size() >= 5 && t.compare(t.size() - 5, 5, "\r\n.\r\n") == 0
                        : !t.empty() && t.back() == '\n';
          });
          if (!complete || text != step.texts[0]) {
            problems_.push_back("expected " + step.texts[0] + "got " + text);
            return;
          }
          break;
        }
        case Step::kClose:
          end_connection();
          break;
        case Step::kSilence: {
          std::string ignored;
          char byte;
          while (peer_ >= 0 && readable(peer_, kPatienceMs * 2) &&
                 ::recv(peer_, &byte, 1, 0) == 1) {
            received_.push_back(byte);
          }
          end_connection();
          break;
        }
        case Step::kStall: {
          // A client that gave up cannot be seen (its FIN waits behind the
          // data this end does not read), so finish() ends the stall.
          for (int waited = 0; waited < kPatienceMs * 2 && !finishing_; waited += 20) {
            pollfd entry{peer_, POLLRDHUP, 0};
            if (::poll(&entry, 1, 20) > 0) break;
          }
          end_connection();
          break;
        }
      }
    }
    drain();
    end_connection();
  }

  std::vector<Step> script_;
  std::atomic<bool> finishing_{false};
  std::vector<std::string> problems_;
  std::string received_;
  std::thread thread_;
  int listener_ = -1;
  int peer_ = -1;
  int port_ = 0;
};

}  // namespace tessaline::testing
