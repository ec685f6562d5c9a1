// single_instance.h - one desktop window for each user.
//
// The first desktop start of a user listens on a local socket in the
// user's runtime folder (app/instance_request.h names it and defines the
// request). A later start without a switch connects to it and hands over
// its request, "come forward" or "open this project", then ends; the
// running window answers as soon as it has taken the request in, before it
// acts on it, so the later start never waits for a question the running
// window asks.
//
// The check and the listening are one step: a lock file beside the socket
// is held from the attempt to connect until the socket listens, so two
// starts at the same moment cannot both become the running window. A
// socket left behind by a window that crashed answers no connection and is
// replaced.
//
// Not for: starts with a switch, which never look for a running window.
//
// Failures: start() says kAlone when the socket cannot be made (no runtime
// folder, a path too long, the lock not had in time): the program then runs
// a window of its own, as if no other ran. It says kNoAnswer when a window
// is listening but does not take the request within the time limit (it is
// blocked): the later start then tells the person and ends.
#pragma once

#include <functional>
#include <memory>

#include <QString>

#include "app/instance_request.h"

class QLocalServer;

namespace tessaline {

class SingleInstance {
 public:
  enum class Outcome {
    kHandedOver,  // a running window took the request: this start ends
    kNoAnswer,    // a window runs but did not take the request in time
    kFirst,       // no window ran: this one listens now
    kAlone,       // no socket could be had: run without one
  };
  using Handler = std::function<void(const InstanceRequest& request)>;

  // `socket_path` empty: the user's (instance_socket_path()).
  explicit SingleInstance(QString socket_path = QString());
  ~SingleInstance();
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  // Hands the request to the running window, or becomes the running
  // window: then every request of a later start reaches `handler` from the
  // event loop, after it was answered. `time_limit_ms` bounds each wait.
  Outcome start(const InstanceRequest& request, Handler handler, int time_limit_ms = 5000);

  // The reason of kAlone or kNoAnswer, for the person.
  const QString& error() const { return error_; }
  const QString& socket_path() const { return path_; }

 private:
  Outcome hand_over(const InstanceRequest& request, int time_limit_ms, bool& listening);
  void take_connection();

  QString path_;
  QString error_;
  Handler handler_;
  std::unique_ptr<QLocalServer> server_;
};

}  // namespace tessaline
