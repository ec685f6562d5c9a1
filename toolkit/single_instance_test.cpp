#include "toolkit/single_instance.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLocalSocket>
#include <QLockFile>
#include <QThread>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "storage/test_directory.h"
#include "toolkit/testing/window_test.h"

namespace tessaline {
namespace {

// Runs `later` on a thread of its own (a later start, which blocks while it
// waits for the answer) while this thread's event loop serves the running
// window, and returns the later start's outcome.
SingleInstance::Outcome start_later(const QString& path, const InstanceRequest& request,
                                    int time_limit_ms = 5000) {
  std::atomic<bool> done{false};
  SingleInstance::Outcome outcome = SingleInstance::Outcome::kAlone;
  std::thread later([&] {
    SingleInstance second(path);
    outcome = second.start(request, nullptr, time_limit_ms);
    done = true;
  });
  while (!done) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  later.join();
  // The handler runs from the loop once the request was answered.
  for (int i = 0; i < 5; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  return outcome;
}

class SingleInstanceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::test_application();
    ASSERT_TRUE(folder_.ok());
    path_ = QString::fromUtf8((folder_ / "instance.socket").c_str());
  }

  TestDirectory folder_;
  QString path_;
};

TEST_F(SingleInstanceTest, LaterStartsHandTheirRequestsToTheFirst) {
  std::vector<String> projects;
  int requests = 0;
  SingleInstance first(path_);
  ASSERT_EQ(first.start({}, [&](const InstanceRequest& r) {
    ++requests;
    projects.push_back(r.project);
  }),
            SingleInstance::Outcome::kFirst)
      << first.error().toStdString();

  EXPECT_EQ(start_later(path_, {}), SingleInstance::Outcome::kHandedOver);
  EXPECT_EQ(start_later(path_, {"/home/ann/My Mailings/news\nletter.zqj"}),
            SingleInstance::Outcome::kHandedOver);
  ASSERT_EQ(requests, 2);
  EXPECT_EQ(projects[0], "");  // only come forward
  EXPECT_EQ(projects[1], "/home/ann/My Mailings/news\nletter.zqj");
}

TEST_F(SingleInstanceTest, TheFirstGoneTheNextStartIsTheFirst) {
  {
    SingleInstance first(path_);
    ASSERT_EQ(first.start({}, nullptr), SingleInstance::Outcome::kFirst);
  }
  SingleInstance next(path_);
  EXPECT_EQ(next.start({}, nullptr), SingleInstance::Outcome::kFirst);
}

TEST_F(SingleInstanceTest, SocketLeftByACrashedWindowIsReplaced) {
  // A socket file with no one listening, as a killed window leaves it.
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, path_.toUtf8().constData());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  close(fd);
  ASSERT_EQ(access(address.sun_path, F_OK), 0);

  int requests = 0;
  SingleInstance first(path_);
  ASSERT_EQ(first.start({}, [&](const InstanceRequest&) { ++requests; }),
            SingleInstance::Outcome::kFirst)
      << first.error().toStdString();
  EXPECT_EQ(start_later(path_, {}), SingleInstance::Outcome::kHandedOver);
  EXPECT_EQ(requests, 1);
}

TEST_F(SingleInstanceTest, AWindowThatNeverAnswersIsReportedNotWaitedForEndlessly) {
  // Listens, but nothing reads or answers: a window blocked in a long step.
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, path_.toUtf8().constData());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(fd, 4), 0);

  SingleInstance later(path_);
  EXPECT_EQ(later.start({"/a.zqj"}, nullptr, 200), SingleInstance::Outcome::kNoAnswer);
  EXPECT_FALSE(later.error().isEmpty());
  close(fd);
}

TEST_F(SingleInstanceTest, GarbageOnTheSocketIsDroppedAndTheWindowStillAnswers) {
  int requests = 0;
  SingleInstance first(path_);
  ASSERT_EQ(first.start({}, [&](const InstanceRequest&) { ++requests; }),
            SingleInstance::Outcome::kFirst);

  for (const QByteArray& garbage :
       {QByteArray("hello\n"), QByteArray("TESSALINE/1 open relative.zqj\n"),
        QByteArray(kMaxInstanceRequest + 10, 'x')}) {
    QLocalSocket socket;
    socket.connectToServer(path_);
    ASSERT_TRUE(socket.waitForConnected(2000));
    socket.write(garbage);
    socket.flush();
    QElapsedTimer clock;
    clock.start();
    // The window closes the connection without an answer.
    while (socket.state() == QLocalSocket::ConnectedState && clock.elapsed() < 5000) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
      socket.waitForReadyRead(10);
    }
    EXPECT_EQ(socket.state(), QLocalSocket::UnconnectedState) << garbage.left(20).constData();
    EXPECT_TRUE(socket.readAll().isEmpty());
  }
  EXPECT_EQ(requests, 0);
  EXPECT_EQ(start_later(path_, {}), SingleInstance::Outcome::kHandedOver);
  EXPECT_EQ(requests, 1);
}

TEST_F(SingleInstanceTest, AStartThatCannotHaveTheLockRunsAlone) {
  QLockFile held(path_ + ".lock");
  ASSERT_TRUE(held.tryLock(0));
  // The lock is held by this very process, which is alive: not stale. It
  // must be taken from another thread for QLockFile to wait on it.
  SingleInstance::Outcome outcome = SingleInstance::Outcome::kFirst;
  QString error;
  std::thread other([&] {
    SingleInstance start(path_);
    outcome = start.start({}, nullptr, 100);
    error = start.error();
  });
  other.join();
  EXPECT_EQ(outcome, SingleInstance::Outcome::kAlone);
  EXPECT_TRUE(error.contains("lock")) << error.toStdString();
}

}  // namespace
}  // namespace tessaline
