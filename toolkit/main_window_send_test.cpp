// A whole mailing made in the window: a project typed in, saved, reopened
// from the recent projects and sent with F5 to a real SMTP server
// (aiosmtpd on 127.0.0.1), the messages read back as the server got them.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTest>

#include "storage/glob_file.h"
#include "storage/paths.h"
#include "app/main_window_rules.h"
#include "app/project_file.h"
#include "tests/smtp_recorder.h"
#include "toolkit/dialog_hooks.h"
#include "toolkit/main_window.h"
#include "toolkit/qt_text.h"
#include "toolkit/testing/window_test.h"

namespace tessaline {
namespace {

using dialog_hooks::Answer;
using dialog_hooks::Kind;

class WindowSend : public testing::WindowTest {
 public:
  // Types the text into the field, line ends as Return.
  void type(const char* key, const QString& text) {
    QWidget* box = widget(key);
    ASSERT_NE(box, nullptr) << key;
    box->setFocus(Qt::OtherFocusReason);
    const QStringList lines = text.split('\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
      if (i > 0) QTest::keyClick(box, Qt::Key_Return);
      QTest::keyClicks(box, lines[i]);
    }
  }
};

TEST_F(WindowSend, AMailingMadeSavedReopenedAndSentFromTheWindow) {
  SmtpRecorder server;
  ASSERT_TRUE(server.start(folder_ / "received")) << server.error().c_str();
  String file = path("spring news.zqj");

  open_window();
  trigger(kCommandNewProject);
  QApplication::setActiveWindow(window_.get());
  type("from", "Ann Sender <ann@example.com>");
  type("subject", "Spring news");
  widget<QCheckBox>("use_recipient_text")->click();
  type("recipient_text", "bob@example.com\nCy Young <cy@example.org>\nbob@example.com");
  widget<QCheckBox>("EliminateDuplicates")->click();
  widget<QCheckBox>("use_body_text")->click();
  type("body", "Hello [[-Email-]], you are number [[-Index-]].");
  widget<QComboBox>("SendMode")->setCurrentIndex(1);  // No Preview
  widget<QLineEdit>("SMTP_Server")->setText("127.0.0.1");
  widget<QLineEdit>("SMTPport")->clear();
  type("SMTPport", QString::number(server.port()));

  dialog_hooks::answer_file(qt_text(file));
  trigger(kCommandSaveProject);
  ASSERT_EQ(app_->project_file_name(), file);
  trigger(kCommandCloseProject);
  EXPECT_EQ(dialog_hooks::count(Kind::kYesNoCancel), 0);  // saved: nothing to ask
  ASSERT_FALSE(app_->project_open());

  trigger("recent_project_1");
  ASSERT_TRUE(app_->project_open());
  EXPECT_EQ(widget<QLineEdit>("subject")->text(), "Spring news");
  EXPECT_EQ(widget<QComboBox>("SendMode")->currentText(), "No Preview");
  EXPECT_TRUE(widget<QCheckBox>("EliminateDuplicates")->isChecked());
  EXPECT_TRUE(widget<QCheckBox>("use_recipient_text")->isChecked());
  EXPECT_EQ(widget<QPlainTextEdit>("recipient_text")->toPlainText(),
            "bob@example.com\nCy Young <cy@example.org>\nbob@example.com");

  // A last change goes into the file before the send.
  widget<QLineEdit>("subject")->setText("Spring news, 2nd edition");
  dialog_hooks::clear_shown();
  dialog_hooks::answer(Answer::kYes);  // the last chance to stop
  dialog_hooks::answer(Answer::kNo);   // the log afterwards
  QTest::keyClick(window_.get(), Qt::Key_F5);

  std::vector<SmtpRecorder::Received> received = server.messages();
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(received[0].recipients, std::vector<String>{"bob@example.com"});
  EXPECT_EQ(received[1].recipients, std::vector<String>{"cy@example.org"});
  EXPECT_EQ(received[0].mail_from, "ann@example.com");
  for (const auto& message : received) {
    EXPECT_NE(message.data.find("Subject: Spring news, 2nd edition\r\n"), -1) << message.data.c_str();
  }
  EXPECT_NE(received[0].data.find("Hello bob@example.com, you are number 1."), -1);
  EXPECT_NE(received[1].data.find("Hello cy@example.org, you are number 2."), -1);

  // The send's own boxes came through the port: no error, the last chance,
  // then the log offered.
  EXPECT_EQ(dialog_hooks::count(Kind::kError), 0);
  EXPECT_EQ(dialog_hooks::count(Kind::kYesNo), 2);
  EXPECT_EQ(dialog_hooks::unanswered(), 0);
  ASSERT_NE(dialog_hooks::last(Kind::kYesNo), nullptr);
  EXPECT_EQ(dialog_hooks::last(Kind::kYesNo)->caption, "Operation Complete");
  EXPECT_EQ(ui_.progress_window(), nullptr);
  Project saved;
  ASSERT_EQ(read_project_file(file, saved), GlobFile::kOpened);
  EXPECT_EQ(saved.text("subject"), "Spring news, 2nd edition");
  EXPECT_EQ(saved.number("SMTPport"), server.port());
}

}  // namespace
}  // namespace tessaline
