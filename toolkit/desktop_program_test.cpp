#include "toolkit/desktop_program.h"

#include <gtest/gtest.h>

#include <QMessageBox>
#include <QPushButton>
#include <QWidget>

#include "core/fatal_error.h"
#include "toolkit/dialog_hooks.h"
#include "toolkit/testing/window_test.h"

namespace tessaline {
namespace {

TEST(FatalBox, IsATopmostStopBoxWithTheCaptionAndMessage) {
  tessaline::testing::test_application();
  std::unique_ptr<QMessageBox> box =
      make_fatal_box("FATAL ERROR - Tessaline Mailer", "Invalid command line parameter:\nb.zqj");
  EXPECT_EQ(box->icon(), QMessageBox::Critical);
  EXPECT_EQ(box->windowTitle(), "FATAL ERROR - Tessaline Mailer");
  EXPECT_EQ(box->text(), "Invalid command line parameter:\nb.zqj");
  EXPECT_TRUE(box->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
  EXPECT_EQ(box->buttons().size(), 1);
  EXPECT_EQ(box->standardButton(box->buttons()[0]), QMessageBox::Ok);
}

TEST(FatalBox, AWindowedRunReportsFatalErrorsInItAndOnStandardError) {
  tessaline::testing::test_application();
  int argc = 1;
  char name[] = "tessaline-mailer";
  char* argv[] = {name, nullptr};
  {
    DesktopProgram program(argc, argv, 4);
    // The report FatalError uses is the box now.
    FatalReport installed = set_fatal_report(nullptr);
    EXPECT_EQ(installed, &show_fatal_box);
    set_fatal_report(installed);

    dialog_hooks::set_active(true);
    ::testing::internal::CaptureStderr();
    installed("FATAL ERROR - Tessaline Mailer", "Bad HeapFile (news.zqj) node 27");
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "FATAL ERROR - Tessaline Mailer\nBad HeapFile (news.zqj) node 27\n");
    const dialog_hooks::Shown* shown = dialog_hooks::last(dialog_hooks::Kind::kError);
    ASSERT_NE(shown, nullptr);
    EXPECT_EQ(shown->caption, "FATAL ERROR - Tessaline Mailer");
    EXPECT_EQ(shown->text, "Bad HeapFile (news.zqj) node 27");
    dialog_hooks::set_active(false);
  }
  // Once the program is gone, fatal errors are text again.
  FatalReport after = set_fatal_report(nullptr);
  EXPECT_NE(after, &show_fatal_box);
}

TEST(BringForward, AMinimisedWindowIsShownAgain) {
  tessaline::testing::test_application();
  QWidget window;
  window.resize(200, 100);
  window.showMinimized();
  ASSERT_TRUE(window.isMinimized());
  bring_forward(window);
  EXPECT_FALSE(window.isMinimized());
  EXPECT_TRUE(window.isVisible());

  QWidget hidden;
  bring_forward(hidden);
  EXPECT_TRUE(hidden.isVisible());
}

}  // namespace
}  // namespace tessaline
