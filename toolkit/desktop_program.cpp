#include "toolkit/desktop_program.h"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>

#include <QApplication>
#include <QIcon>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include "core/fatal_error.h"
#include "mail/smtp_server.h"
#include "db/odbc_library.h"
#include "web/web_fetch.h"
#include "app/application.h"
#include "toolkit/dialog_hooks.h"
#include "toolkit/main_window.h"
#include "toolkit/preview_window.h"
#include "toolkit/qt_text.h"
#include "toolkit/qt_ui.h"
#include "toolkit/remove_recipients_dialog.h"
#include "toolkit/single_instance.h"

namespace tessaline {

namespace {

// --- Qt's own fatal errors -------------------------------------------------

// The status of a Qt fatal error while Qt's application object is being
// made (the display cannot be opened); 1 afterwards.
int qt_fatal_status = 1;
QtMessageHandler previous_handler = nullptr;

void message_handler(QtMsgType type, const QMessageLogContext& context, const QString& text) {
  if (type != QtFatalMsg) {
    if (previous_handler) {
      previous_handler(type, context, text);
    } else {
      std::fprintf(stderr, "%s\n", qFormatLogMessage(type, context, text).toLocal8Bit().constData());
    }
    return;
  }
  // Qt would abort, which a calling script reads as a crash.
  std::fprintf(stderr, "tessaline-mailer: %s\n", text.toLocal8Bit().constData());
  std::fflush(stderr);
  std::_Exit(qt_fatal_status);
}

// --- SIGTERM and SIGINT close the window -----------------------------------

int signal_pipe[2] = {-1, -1};

void on_signal(int) {
  char byte = 1;
  ssize_t ignored = write(signal_pipe[1], &byte, 1);
  (void)ignored;
}

// Until the object goes, the two signals reach `close` from the event loop.
class CloseOnSignal {
 public:
  explicit CloseOnSignal(std::function<void()> on_close) {
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signal_pipe) != 0) {
      return;
    }
    notifier_ = std::make_unique<QSocketNotifier>(signal_pipe[0], QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(),
                     [on_close = std::move(on_close)] {
                       char bytes[16];
                       while (read(signal_pipe[0], bytes, sizeof bytes) > 0) {
                       }
                       on_close();
                     });
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, &old_term_);
    sigaction(SIGINT, &action, &old_int_);
  }
  ~CloseOnSignal() {
    if (!notifier_) return;
    sigaction(SIGTERM, &old_term_, nullptr);
    sigaction(SIGINT, &old_int_, nullptr);
    notifier_.reset();
    close(signal_pipe[0]);
    close(signal_pipe[1]);
    signal_pipe[0] = signal_pipe[1] = -1;
  }
  CloseOnSignal(const CloseOnSignal&) = delete;
  CloseOnSignal& operator=(const CloseOnSignal&) = delete;

 private:
  std::unique_ptr<QSocketNotifier> notifier_;
  struct sigaction old_term_ {};
  struct sigaction old_int_ {};
};

// --- a later start's request ---------------------------------------------

}  // namespace

void bring_forward(QWidget& window) {
  if (window.isMinimized()) window.setWindowState(window.windowState() & ~Qt::WindowMinimized);
  window.show();
  window.raise();
  window.activateWindow();
  // Desktops that keep the focus where it is (focus-stealing prevention)
  // mark the window as wanting attention instead.
  QTimer::singleShot(250, &window, [&window] {
    if (!window.isActiveWindow()) QApplication::alert(&window);
  });
}

namespace {

// Opens the project of the latest request once the program is idle: no
// send running, no box open (a question in progress must not be met by a
// second one).
class PendingOpen {
 public:
  explicit PendingOpen(Application& app) : app_(app) {
    timer_.setInterval(250);
    QObject::connect(&timer_, &QTimer::timeout, &timer_, [this] { try_open(); });
  }
  void open(const String& path) {
    path_ = path;
    try_open();
  }

 private:
  void try_open() {
    if (path_.empty()) {
      timer_.stop();
      return;
    }
    if (app_.operation_running() || QApplication::activeModalWidget() != nullptr) {
      timer_.start();
      return;
    }
    timer_.stop();
    String path = path_;
    path_.clear();
    app_.open_project(path);
  }

  Application& app_;
  String path_;
  QTimer timer_;
};

}  // namespace

std::unique_ptr<QMessageBox> make_fatal_box(const QString& caption, const QString& message) {
  auto box = std::make_unique<QMessageBox>(QMessageBox::Critical, caption, message,
                                           QMessageBox::Ok);
  box->setObjectName("fatal_error");
  box->setWindowFlag(Qt::WindowStaysOnTopHint);
  return box;
}

void show_fatal_box(const char* caption, const char* message) {
  // Standard error first: the message survives a box that cannot be shown,
  // and a log of the session keeps it.
  std::fprintf(stderr, "%s\n%s\n", caption, message);
  std::fflush(stderr);
  QString title = QString::fromUtf8(caption);
  QString text = QString::fromUtf8(message);
  if (dialog_hooks::active()) {
    dialog_hooks::Shown shown;
    shown.kind = dialog_hooks::Kind::kError;
    shown.caption = title;
    shown.text = text;
    dialog_hooks::record(shown);
    return;
  }
  // Only Qt's own thread may show a box.
  if (qApp == nullptr || QThread::currentThread() != qApp->thread()) return;
  std::unique_ptr<QMessageBox> box = make_fatal_box(title, text);
  box->show();
  box->raise();
  box->activateWindow();
  box->exec();
}

DesktopProgram::DesktopProgram(int& argc, char** argv, int status_without_display) {
  qt_fatal_status = status_without_display;
  previous_handler = qInstallMessageHandler(message_handler);
  // A test program has made its own already.
  if (QCoreApplication::instance() == nullptr) {
    application_ = std::make_unique<QApplication>(argc, argv);
  }
  qt_fatal_status = 1;
  // The desktop entry's name: Wayland matches the window to the entry (and
  // its icon) by it.
  QGuiApplication::setDesktopFileName("tessaline-mailer");
  QApplication::setWindowIcon(QIcon::fromTheme("tessaline-mailer"));
  set_fatal_report(show_fatal_box);
}

DesktopProgram::~DesktopProgram() {
  set_fatal_report(nullptr);
  application_.reset();
  qInstallMessageHandler(previous_handler);
}

int DesktopProgram::run(const String& project, int status) {
  QtUi ui;
  Application app(ui);
  MainWindow* window = nullptr;
  PendingOpen pending(app);
  // From here on, as the socket may listen before the window is built: the
  // signal is taken from the event loop, where the window exists.
  CloseOnSignal close_on_signal([&window] {
    if (window != nullptr) window->close();
  });

  SingleInstance instance;
  SingleInstance::Outcome outcome =
      instance.start({project}, [&window, &pending](const InstanceRequest& request) {
        if (window == nullptr) return;
        bring_forward(*window);
        if (!request.project.empty()) pending.open(request.project);
      });
  switch (outcome) {
    case SingleInstance::Outcome::kHandedOver:
      return status;
    case SingleInstance::Outcome::kNoAnswer:
      ui.error_box(
          "Tessaline Mailer is already running, but its window does not answer.  Close it "
          "(or end it) and start the program again.",
          "Error");
      return kExitCommandLine;
    case SingleInstance::Outcome::kAlone:
      std::fprintf(stderr,
                   "tessaline-mailer: other starts cannot find this window (%s)\n",
                   instance.error().toLocal8Bit().constData());
      break;
    case SingleInstance::Outcome::kFirst:
      break;
  }

  // The program works without ODBC; the database features are then off.
  iniz_gdb();
  app.set_database_available(database_available());
  net_startup();
  app.set_smtp_server_field(smtp_server_name());
  app.set_smtp_port_setting(smtp_port());

  MainWindow main_window(app, ui);
  plug_remove_recipients(app, ui, main_window);
  plug_preview_window(ui, main_window);
  window = &main_window;
  if (!project.empty()) {
    main_window.cancel_auto_open();
    QTimer::singleShot(0, &main_window, [&app, project] { app.open_project(project); });
  }
  main_window.show();
  web_startup(application_name);

  QApplication::exec();
  window = nullptr;
  net_shutdown();
  return status;
}

}  // namespace tessaline
