#include "toolkit/single_instance.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QTimer>

#include "core/string.h"
#include "app/instance_request.h"

namespace tessaline {

namespace {

QByteArray bytes(const String& text) { return QByteArray(text.c_str(), text.length()); }

}  // namespace

SingleInstance::SingleInstance(QString socket_path) : path_(std::move(socket_path)) {}

SingleInstance::~SingleInstance() {
  // Closing removes the socket's file, so the next start finds no one.
  if (server_) server_->close();
}

SingleInstance::Outcome SingleInstance::start(const InstanceRequest& request, Handler handler,
                                              int time_limit_ms) {
  if (path_.isEmpty()) {
    String path, error;
    if (!instance_socket_path(path, error)) {
      error_ = QString::fromUtf8(error.c_str());
      return Outcome::kAlone;
    }
    path_ = QFile::decodeName(bytes(path));
  }

  // Held until the socket listens: a start at the same moment waits here
  // and then finds this one listening. A lock whose holder has died is
  // taken over at once.
  QLockFile lock(path_ + ".lock");
  if (!lock.tryLock(time_limit_ms)) {
    error_ = "the lock " + lock.fileName() + " is held by another start";
    return Outcome::kAlone;
  }

  bool listening = false;
  Outcome outcome = hand_over(request, time_limit_ms, listening);
  if (listening) return outcome;

  // Nobody answers on the socket: a file left by a window that ended
  // without closing it is in the way.
  QLocalServer::removeServer(path_);
  auto server = std::make_unique<QLocalServer>();
  server->setSocketOptions(QLocalServer::UserAccessOption);
  if (!server->listen(path_)) {
    error_ = server->errorString();
    return Outcome::kAlone;
  }
  server_ = std::move(server);
  error_.clear();
  handler_ = std::move(handler);
  QObject::connect(server_.get(), &QLocalServer::newConnection, server_.get(),
                   [this] { take_connection(); });
  return Outcome::kFirst;
}

SingleInstance::Outcome SingleInstance::hand_over(const InstanceRequest& request,
                                                  int time_limit_ms, bool& listening) {
  QLocalSocket socket;
  socket.connectToServer(path_);
  if (!socket.waitForConnected(time_limit_ms)) {
    // Refused or absent: no window. A connection that neither comes nor
    // fails has a window behind it that does not accept.
    listening = socket.error() == QLocalSocket::SocketTimeoutError;
    error_ = socket.errorString();
    return Outcome::kNoAnswer;
  }
  listening = true;

  QElapsedTimer clock;
  clock.start();
  auto left = [&] { return std::max<qint64>(1, time_limit_ms - clock.elapsed()); };
  socket.write(bytes(encode_instance_request(request)));
  QByteArray reply;
  while (!reply.contains('\n') && reply.size() <= static_cast<qsizetype>(kInstanceReply.size()) &&
         clock.elapsed() < time_limit_ms) {
    if (socket.bytesToWrite() > 0) socket.waitForBytesWritten(static_cast<int>(left()));
    if (socket.waitForReadyRead(static_cast<int>(left()))) reply += socket.readAll();
    if (socket.state() != QLocalSocket::ConnectedState) {
      reply += socket.readAll();
      break;
    }
  }
  if (reply == QByteArray(kInstanceReply.data(), kInstanceReply.size())) {
    return Outcome::kHandedOver;
  }
  error_ = "the running window did not take the request";
  return Outcome::kNoAnswer;
}

void SingleInstance::take_connection() {
  while (QLocalSocket* socket = server_->nextPendingConnection()) {
    QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    // A start that connects and says nothing is not waited for.
    QTimer::singleShot(5000, socket, [socket] { socket->abort(); });
    auto line = std::make_shared<QByteArray>();
    QObject::connect(socket, &QLocalSocket::readyRead, socket, [this, socket, line] {
      line->append(socket->read(kMaxInstanceRequest + 1 - line->size()));
      qsizetype end = line->indexOf('\n');
      if (end < 0) {
        if (line->size() > kMaxInstanceRequest) socket->abort();
        return;
      }
      InstanceRequest request;
      if (!decode_instance_request(std::string_view(line->constData(), end + 1), request)) {
        socket->abort();
        return;
      }
      line->clear();
      socket->write(kInstanceReply.data(), static_cast<qint64>(kInstanceReply.size()));
      socket->flush();
      socket->disconnectFromServer();
      // Acted on from the event loop, after this connection is done with:
      // opening a project may ask a question, which runs a loop of its own.
      if (handler_) {
        Handler handler = handler_;
        QTimer::singleShot(0, server_.get(), [handler, request] { handler(request); });
      }
    });
  }
}

}  // namespace tessaline
