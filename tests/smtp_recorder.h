// smtp_recorder.h - a real SMTP server (aiosmtpd) on 127.0.0.1 for the
// end-to-end tests, with the handler of testdata/recording_smtp.py: every
// message it accepts becomes a file holding the envelope and the data.
// Started on a free port, stopped by its process id. For tests only.
#pragma once

#include <sys/types.h>

#include <vector>

#include "core/string.h"

namespace tessaline {

class SmtpRecorder {
 public:
  struct Received {
    String mail_from;
    std::vector<String> recipients;
    String data;  // the message as received, CR LF line ends
  };

  SmtpRecorder() = default;
  ~SmtpRecorder() { stop(); }
  SmtpRecorder(const SmtpRecorder&) = delete;
  SmtpRecorder& operator=(const SmtpRecorder&) = delete;

  // Starts the server, keeping messages in `folder` (which must not exist
  // yet) and refusing the given recipients with 550. False with a reason
  // in error() when it does not answer.
  // `delay_seconds` before the answer to each message makes a slow server.
  bool start(const String& folder, const std::vector<String>& refused = {},
             double delay_seconds = 0);
  void stop();

  int port() const { return port_; }
  const String& error() const { return error_; }
  // The messages received so far, in order.
  std::vector<Received> messages() const;

 private:
  pid_t pid_ = -1;
  int port_ = 0;
  String folder_;
  String error_;
};

}  // namespace tessaline
