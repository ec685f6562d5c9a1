// window_test.h - what the window tests share (test code only).
//
// One QApplication per test program, on the offscreen platform, so that no
// display is needed. WindowTest gives each test a fresh TESSALINE_HOME
// (settings, log and scratch files), the dialog hooks switched on, and a
// main window over an Application whose documents are recorded instead of
// handed to the desktop.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QTabWidget>

#include "core/string.h"
#include "storage/test_directory.h"
#include "app/application.h"
#include "toolkit/dialog_hooks.h"
#include "toolkit/main_window.h"
#include "toolkit/qt_ui.h"

namespace tessaline::testing {

// The program's one QApplication, made on first use. The offscreen
// platform's notices of what it cannot do (raise windows, pass size hints)
// are left out of the output.
inline QApplication& test_application() {
  static QApplication* application = [] {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
      static char runtime[] = "/tmp/tessaline-qt-XXXXXX";
      if (mkdtemp(runtime)) {
        qputenv("XDG_RUNTIME_DIR", runtime);
        atexit([] { rmdir(runtime); });
      }
    }
    static QtMessageHandler previous = qInstallMessageHandler(
        [](QtMsgType type, const QMessageLogContext& context, const QString& message) {
          if (message.startsWith("This plugin does not support")) return;
          previous(type, context, message);
        });
    static int argc = 1;
    static char name[] = "toolkit_test";
    static char* argv[] = {name, nullptr};
    return new QApplication(argc, argv);
  }();
  return *application;
}

// An Application whose "open with the desktop's program" is recorded.
class RecordingApplication : public Application {
 public:
  using Application::Application;
  bool open_document(const String& path) override {
    opened.push_back(path.std_string());
    return open_result;
  }
  std::vector<std::string> opened;
  bool open_result = true;
};

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test_application();
    ASSERT_TRUE(home_.ok());
    ASSERT_TRUE(folder_.ok());
    const char* old = getenv("TESSALINE_HOME");
    had_home_ = old != nullptr;
    if (old) old_home_ = old;
    setenv("TESSALINE_HOME", home_.path().c_str(), 1);
    dialog_hooks::set_active(true);
  }
  void TearDown() override {
    close_window();
    dialog_hooks::set_active(false);
    if (had_home_) {
      setenv("TESSALINE_HOME", old_home_.c_str(), 1);
    } else {
      unsetenv("TESSALINE_HOME");
    }
  }

 public:
  // Makes the window (after the test prepared the settings file, if any).
  MainWindow& open_window(bool database_available = true) {
    app_ = std::make_unique<RecordingApplication>(ui_);
    app_->set_database_available(database_available);
    window_ = std::make_unique<MainWindow>(*app_, ui_);
    window_->show();
    return *window_;
  }
  // Closes it as the person would, discarding what the test left unsaved.
  void close_window() {
    if (!window_) return;
    if (app_->project_open()) app_->close_project(Application::CloseMode::kDiscard);
    window_->close();
    window_.reset();
    app_.reset();
  }

  template <typename T = QWidget>
  T* widget(const char* name) {
    return window_->findChild<T*>(QString::fromUtf8(name));
  }
  QAction* action(const char* command) { return window_->action(command); }
  // Runs the command as a click on its menu item would.
  void trigger(const char* command) {
    QAction* a = action(command);
    ASSERT_NE(a, nullptr) << command;
    a->trigger();
  }
  QString current_folder() {
    return window_->folders()->tabText(window_->folders()->currentIndex());
  }
  String path(const char* name) { return folder_ / name; }

  TestDirectory home_;
  TestDirectory folder_;
  QtUi ui_;
  std::unique_ptr<RecordingApplication> app_;
  std::unique_ptr<MainWindow> window_;

 private:
  bool had_home_ = false;
  std::string old_home_;
};

}  // namespace tessaline::testing
