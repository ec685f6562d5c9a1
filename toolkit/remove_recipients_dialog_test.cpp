#include "toolkit/remove_recipients_dialog.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "storage/test_directory.h"
#include "app/main_window_rules.h"
#include "toolkit/dialog_hooks.h"
#include "toolkit/qt_text.h"
#include "toolkit/testing/window_test.h"

namespace tessaline {
namespace {

using dialog_hooks::Kind;
using testing::WindowTest;

class RemoveRecipientsDialogTest : public WindowTest {
 public:
  // A window with a new project whose recipients come from a file and a
  // typed list, and whose exclusion file is named but not used.
  void open_project() {
    open_window();
    trigger(kCommandNewProject);
    ASSERT_TRUE(folder_.put("readers.txt", "cy@example.com\r\nleaving@example.com\r\n"));
    Project& p = app_->fields();
    p.set_flag("use_recipient_file", true);
    p.set_text("recipient_file", path("readers.txt"));
    p.set_flag("use_recipient_text", true);
    p.set_text("recipient_text", "leaving@example.com\ntyped@example.com");
    p.set_text("ExclusionFile", path("gone.txt"));
    window_->refresh();
  }
  std::unique_ptr<RemoveRecipientsDialog> make_dialog() {
    return std::make_unique<RemoveRecipientsDialog>(*app_, ui_, window_.get());
  }
  static QPushButton* button(QWidget* dialog, const char* name) {
    return dialog->findChild<QPushButton*>(name);
  }
  static QString report_text(RemoveRecipientsDialog& dialog) {
    if (!dialog.report_window()) return "<no report>";
    return dialog.report_window()->findChild<QPlainTextEdit*>("report")->toPlainText();
  }
};

TEST_F(RemoveRecipientsDialogTest, TheWindowsControlsWithTheirTextsAndTooltips) {
  open_project();
  auto dialog = make_dialog();
  EXPECT_EQ(dialog->windowTitle(), "Remove Recipients");
  QLabel* label = dialog->findChild<QLabel*>();
  ASSERT_NE(label, nullptr);
  EXPECT_EQ(label->text(),
            "Enter the simple email addresses of the recipients that you wish to remove, one per "
            "line:");
  ASSERT_NE(dialog->addresses(), nullptr);
  struct Box {
    RemoveSource source;
    const char* caption;
    bool enabled, checked;
  };
  const Box boxes[] = {
      {kRemoveFromDatabase, "Remove from database", false, false},
      {kRemoveFromRecipientFile, "Remove from recipient file", true, true},
      {kRemoveFromRecipientList, "Remove from recipient list", true, true},
      {kRemoveFromExclusionFile, "Remove from exclusions file", true, false},
      {kRemoveFromExclusionList, "Remove from exclusions list", false, false},
  };
  for (const Box& b : boxes) {
    SCOPED_TRACE(b.caption);
    QCheckBox* box = dialog->source_box(b.source);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->objectName(), kRemoveSourceInfo[b.source].key);
    EXPECT_EQ(box->text(), b.caption);
    EXPECT_EQ(box->toolTip(), kRemoveSourceInfo[b.source].tooltip);
    EXPECT_EQ(box->isEnabled(), b.enabled);
    EXPECT_EQ(box->isChecked(), b.checked);
  }
  EXPECT_EQ(dialog->source_box(kRemoveFromDatabase)->toolTip(),
            "If checked, then recipients will be removed from the database.  This is done by "
            "placing an exclamation point at the beginning of the column, which signals that the "
            "recipient should be ignored.");
  struct Button {
    const char* name;
    const char* text;
    const char* tooltip;
  };
  const Button buttons[] = {
      {"begin", "&Begin", "Begin the operation."},
      {"preview", "&Preview",
       "Preview the changes that the operation will make without altering anything."},
      {"abort", "&Abort", "Abort the operation."},
      {"help", "&Help", "Display help on this window."},
  };
  for (const Button& b : buttons) {
    QPushButton* found = button(dialog.get(), b.name);
    ASSERT_NE(found, nullptr) << b.name;
    EXPECT_EQ(found->text(), b.text);
    EXPECT_EQ(found->toolTip(), b.tooltip);
  }
}

TEST_F(RemoveRecipientsDialogTest, PreviewReportsAndBeginRemovesFromTheFileAndTheList) {
  open_project();
  auto dialog = make_dialog();
  dialog->addresses()->setPlainText("leaving@example.com");
  QTest::mouseClick(button(dialog.get(), "preview"), Qt::LeftButton);
  EXPECT_EQ(report_text(*dialog),
            "RECIPIENT FILE: " + qt_text(path("readers.txt")) +
                "\n\nFound recipient on line 2: leaving@example.com\n\n\n"
                "EXPLICIT RECIPIENTS:\n\nFound recipient on line 1: leaving@example.com");
  EXPECT_EQ(folder_.get("readers.txt"), "cy@example.com\r\nleaving@example.com\r\n");
  EXPECT_EQ(app_->fields().text("recipient_text"), "leaving@example.com\ntyped@example.com");
  ASSERT_NE(dialog->report_window(), nullptr);
  EXPECT_EQ(dialog->report_window()->windowTitle(), "Remove Recipients");

  // A box the person clears is left out.
  dialog->source_box(kRemoveFromRecipientFile)->setChecked(false);
  QTest::mouseClick(button(dialog.get(), "begin"), Qt::LeftButton);
  EXPECT_EQ(report_text(*dialog),
            "EXPLICIT RECIPIENTS:\n\nRemoved recipient on line 1: leaving@example.com");
  EXPECT_EQ(folder_.get("readers.txt"), "cy@example.com\r\nleaving@example.com\r\n");
  EXPECT_EQ(app_->fields().text("recipient_text"), "typed@example.com");
  // The main window shows the list anew.
  auto* list = widget<QPlainTextEdit>("recipient_text");
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->toPlainText(), "typed@example.com");

  dialog->source_box(kRemoveFromRecipientFile)->setChecked(true);
  QTest::mouseClick(button(dialog.get(), "begin"), Qt::LeftButton);
  EXPECT_EQ(folder_.get("readers.txt"), "cy@example.com\r\n");
}

TEST_F(RemoveRecipientsDialogTest, AnEmptyOrShortTextIsRefusedBeforeAnythingIsTouched) {
  open_project();
  auto dialog = make_dialog();
  QTest::mouseClick(button(dialog.get(), "begin"), Qt::LeftButton);
  EXPECT_EQ(dialog_hooks::count(Kind::kBeep), 1);
  dialog->addresses()->setPlainText("a@b.c");
  QTest::mouseClick(button(dialog.get(), "begin"), Qt::LeftButton);
  ASSERT_NE(dialog_hooks::last(Kind::kError), nullptr);
  EXPECT_EQ(dialog_hooks::last(Kind::kError)->text,
            "Because of the potential for catastrophic consequences, the email address must be at "
            "least 6 characters long.");
  EXPECT_EQ(dialog->report_window(), nullptr);
  EXPECT_EQ(folder_.get("readers.txt"), "cy@example.com\r\nleaving@example.com\r\n");
}

TEST_F(RemoveRecipientsDialogTest, ThePositionIsKeptBetweenOpenings) {
  open_project();
  {
    auto dialog = make_dialog();
    dialog->show();
    dialog->setGeometry(130, 140, 500, 420);
    QTest::mouseClick(button(dialog.get(), "abort"), Qt::LeftButton);
    EXPECT_FALSE(dialog->isVisible());
  }
  EXPECT_TRUE(TestDirectory::read(home_ / "registry.reg").contains("\"RemoveRecipientsDialog\""));
  auto again = make_dialog();
  EXPECT_EQ(again->geometry(), QRect(130, 140, 500, 420));
}

TEST_F(RemoveRecipientsDialogTest, F6OpensTheDialogWithAProjectAndBeepsWithout) {
  open_window();
  plug_remove_recipients(*app_, ui_, *window_);
  QApplication::setActiveWindow(window_.get());
  QTest::keyClick(window_.get(), Qt::Key_F6);
  EXPECT_EQ(dialog_hooks::count(Kind::kBeep), 1);

  trigger(kCommandNewProject);
  QString opened;
  QTimer::singleShot(0, [&opened] {
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal) return;
    opened = modal->objectName() + " " + modal->windowTitle();
    static_cast<QDialog*>(modal)->reject();
  });
  QTest::keyClick(window_.get(), Qt::Key_F6);
  EXPECT_EQ(opened, "remove_recipients_dialog Remove Recipients");
  EXPECT_EQ(dialog_hooks::count(Kind::kBeep), 1);

  // The File menu's item runs the same command.
  opened.clear();
  QTimer::singleShot(0, [&opened] {
    if (QWidget* modal = QApplication::activeModalWidget()) {
      opened = modal->objectName();
      static_cast<QDialog*>(modal)->reject();
    }
  });
  trigger(kCommandRemoveRecipients);
  EXPECT_EQ(opened, "remove_recipients_dialog");
}

}  // namespace
}  // namespace tessaline
