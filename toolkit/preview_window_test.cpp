// The Preview window over a queue filled by hand (its controls, the boxes
// a project without a body does not have, the selection by keyboard and
// mouse, the context menus, closing), and one whole Normal-mode send from
// the main window that stops in the preview and is released from it to a
// real SMTP server (aiosmtpd on 127.0.0.1).
#include "toolkit/preview_window.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include <QComboBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSplitter>
#include <QTest>
#include <QTextDocument>
#include <QTimer>

#include "storage/test_directory.h"
#include "send/send_operation.h"
#include "send/test_environment.h"
#include "app/help.h"
#include "app/main_window_rules.h"
#include "app/project_fields.h"
#include "tests/smtp_recorder.h"
#include "toolkit/dialog_hooks.h"
#include "toolkit/field_widgets.h"
#include "toolkit/qt_text.h"
#include "toolkit/testing/window_test.h"

namespace tessaline {
namespace {

using dialog_hooks::Answer;
using dialog_hooks::Kind;

std::vector<std::string> opened_help;
bool record_help(const String& url) {
  opened_help.push_back(url.std_string());
  return true;
}

QString without_accelerator(QString text) { return text.remove('&'); }

// A queue of three messages made by hand: the window needs no send for
// what it shows and most of what it forwards.
class PreviewWindowTest : public testing::WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    for (const char* name : {"ann", "bob", "cy"}) {
      Message m;
      m.recipient = String(name) + "@example.com";
      m.text_body = String("to ") + name;
      m.html_body = String("<p>to <b>") + name + "</b></p>";
      m.cc = String("boss-of-") + name + "@example.com";
      queue().append(m);
    }
    opened_help.clear();
  }

  MessageQueue& queue() { return operation_.queue(); }

  // The preview and its window, shown as the review step would show it.
  PreviewWindow& open(bool has_text_body = true, bool has_html_body = true) {
    preview_ = std::make_unique<SendPreview>(operation_, ui_, env_.project_values, has_text_body,
                                             has_html_body);
    window_under_test_ = std::make_unique<PreviewWindow>(*preview_, ui_, nullptr, record_help);
    window_under_test_->show();
    QApplication::setActiveWindow(window_under_test_.get());
    return *window_under_test_;
  }
  void TearDown() override {
    window_under_test_.reset();
    preview_.reset();
    WindowTest::TearDown();
  }

  template <typename T = QWidget>
  T* child(const char* name) {
    T* found = window_under_test_->findChild<T*>(QString::fromUtf8(name));
    EXPECT_NE(found, nullptr) << name;
    return found;
  }
  QPushButton* button(const char* name) { return child<QPushButton>(name); }
  QAction* action(const char* name) { return child<QAction>(name); }

  // What the boxes show.
  std::string shown_text() { return window_under_test_->text_body()->toPlainText().toStdString(); }
  std::string shown_cc() { return window_under_test_->cc()->text().toStdString(); }

  testing::TestEnvironment env_;
  SendOperation operation_{env_};
  std::unique_ptr<SendPreview> preview_;
  std::unique_ptr<PreviewWindow> window_under_test_;
};

TEST_F(PreviewWindowTest, TheControlsInScreenOrderWithTheirTextsAndTooltips) {
  PreviewWindow& window = open();
  EXPECT_EQ(window.windowTitle(), "Preview");

  struct Box {
    const char* name;
    const char* label;
    QString tooltip;
  };
  const std::vector<Box> boxes = {
      {"recipients", "Recipients", "The recipients listed here will receive the message."},
      {"text_body", "Text body:", "This is the text body for the selected recipient."},
      {"html_body", "HTML body:", "This is the HTML body for the selected recipient."},
      {"cc", "CC:", QString::fromUtf8(find_project_field("CC")->help_text)},
      {"attachments", "Attachments:",
       "These files will be attached to this message only.  This allows you to customize the "
       "attachments for this recipient."},
  };
  int last_top = -1;
  for (const Box& box : boxes) {
    SCOPED_TRACE(box.name);
    QWidget* control = child(box.name);
    QLabel* label = child<QLabel>((std::string(box.name) + ".label").c_str());
    ASSERT_TRUE(control && label);
    EXPECT_EQ(label->text(), box.label);
    EXPECT_EQ(label->buddy(), control);
    EXPECT_EQ(control->toolTip(), box.tooltip);
    EXPECT_FALSE(box.tooltip.isEmpty());
    EXPECT_TRUE(control->isVisibleTo(&window));
    // The list stands left of the boxes, which follow one another down.
    if (std::string(box.name) != "recipients") {
      int top = control->mapTo(&window, QPoint(0, 0)).y();
      EXPECT_GT(top, last_top);
      last_top = top;
      EXPECT_GT(control->mapTo(&window, QPoint(0, 0)).x(),
                window.recipients()->mapTo(&window, QPoint(0, 0)).x());
    }
  }
  EXPECT_EQ(child("attachments.choose")->toolTip(),
            "Choose files you wish to attach to the message");

  struct Button {
    const char* name;
    const char* text;
    const char* tooltip;
  };
  const std::vector<Button> buttons = {
      {"discard_message", "Discard Message", "Discard this entire message."},
      {"send_messages", "Send Messages", "Send the messages."},
      {"abort", "Abort", "Cancel the entire operation."},
      {"test", "Test", "Send the current message to yourself."},
      {"help", "Help", "Get help on this dialog."},
      {"view_log", "View Log", "View the log."},
  };
  int last_left = -1;
  for (const Button& b : buttons) {
    SCOPED_TRACE(b.name);
    QPushButton* control = button(b.name);
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(without_accelerator(control->text()), b.text);
    EXPECT_EQ(control->toolTip(), b.tooltip);
    EXPECT_FALSE(control->autoDefault());  // Return in a box sends nothing
    int left = control->mapTo(&window, QPoint(0, 0)).x();
    EXPECT_GT(left, last_left);
    last_left = left;
  }

  // At opening the first message is selected and shown.
  ASSERT_EQ(window.recipients()->count(), 3);
  EXPECT_EQ(window.recipients()->item(2)->text(), "cy@example.com");
  EXPECT_EQ(window.recipients()->currentRow(), 0);
  EXPECT_EQ(shown_text(), "to ann");
  EXPECT_EQ(window.html_body()->toPlainText(), "<p>to <b>ann</b></p>");
  EXPECT_EQ(window.html_view()->toPlainText(), "to ann");
  EXPECT_EQ(shown_cc(), "boss-of-ann@example.com");
}

TEST_F(PreviewWindowTest, TheBoxOfABodyTheProjectDoesNotHaveIsHidden) {
  struct Case {
    bool text;
    bool html;
  };
  for (Case c : {Case{true, false}, Case{false, true}, Case{true, true}}) {
    SCOPED_TRACE(std::to_string(c.text) + std::to_string(c.html));
    PreviewWindow& window = open(c.text, c.html);
    for (const char* name : {"text_body", "text_body.label"}) {
      EXPECT_EQ(child(name)->isVisibleTo(&window), c.text) << name;
    }
    for (const char* name : {"html_body", "html_body.label", "html_view"}) {
      EXPECT_EQ(child(name)->isVisibleTo(&window), c.html) << name;
    }
    EXPECT_TRUE(child("cc")->isVisibleTo(&window));
    EXPECT_TRUE(child("attachments")->isVisibleTo(&window));
  }
}

TEST_F(PreviewWindowTest, UpAndDownMoveTheSelectionAndAnEditSurvivesIt) {
  PreviewWindow& window = open();
  RecipientList* list = window.recipients();

  // An edit typed into the box goes into the message when the selection
  // moves on.
  window.text_body()->setFocus();
  window.text_body()->moveCursor(QTextCursor::End);
  QTest::keyClicks(window.text_body(), ", edited");
  window.cc()->clear();
  QTest::keyClicks(window.cc(), "new@example.com");
  list->setFocus();
  QTest::keyClick(list, Qt::Key_Down);
  EXPECT_EQ(list->currentRow(), 1);
  EXPECT_EQ(shown_text(), "to bob");
  EXPECT_EQ(shown_cc(), "boss-of-bob@example.com");
  EXPECT_EQ(window.html_view()->toPlainText(), "to bob");
  EXPECT_EQ(queue()[0].text_body.std_string(), "to ann, edited");
  EXPECT_EQ(queue()[0].cc.std_string(), "new@example.com");

  struct Step {
    Qt::Key key;
    int row;
  };
  // Down past the last wraps to the first, Up before the first to the last.
  for (Step s : {Step{Qt::Key_Down, 2}, Step{Qt::Key_Down, 0}, Step{Qt::Key_Up, 2},
                 Step{Qt::Key_Up, 1}, Step{Qt::Key_Up, 0}}) {
    QTest::keyClick(list, s.key);
    EXPECT_EQ(list->currentRow(), s.row);
    EXPECT_EQ(preview_->selected(), s.row);
    EXPECT_EQ(qt_text(queue()[s.row].text_body).toStdString(), shown_text());
  }
  EXPECT_EQ(shown_text(), "to ann, edited");
  EXPECT_EQ(shown_cc(), "new@example.com");

  // A click selects as well.
  QRect third = list->visualItemRect(list->item(2));
  QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, third.center());
  EXPECT_EQ(preview_->selected(), 2);
  EXPECT_EQ(shown_text(), "to cy");

  // The HTML source and its rendered view move together, also on an edit.
  window.html_body()->setPlainText("<h1>Hello <i>Cy</i></h1>");
  EXPECT_EQ(window.html_view()->toPlainText(), "Hello Cy");
  QTest::keyClick(list, Qt::Key_Up);
  EXPECT_EQ(queue()[2].html_body.std_string(), "<h1>Hello <i>Cy</i></h1>");
}

TEST_F(PreviewWindowTest, TheContextMenusOfferTheirCommandsAndRunThem) {
  PreviewWindow& window = open();
  QAction* send_only = action("send_to_recipient_only");
  QAction* test_yourself = action("test_send_to_yourself");
  QAction* verify = action("verify_all_attachments");
  ASSERT_TRUE(send_only && test_yourself && verify);
  EXPECT_EQ(send_only->text(), "Send to this recipient only");
  EXPECT_EQ(test_yourself->text(), "Test send this message to yourself");
  EXPECT_EQ(verify->text(), "Verify all attachments");
  EXPECT_EQ(window.recipients()->contextMenuPolicy(), Qt::ActionsContextMenu);
  EXPECT_EQ(window.recipients()->actions(), (QList<QAction*>{send_only, test_yourself}));
  std::unique_ptr<QMenu> menu = window.attachments()->context_menu(QPoint(1, 1));
  ASSERT_FALSE(menu->actions().isEmpty());
  EXPECT_EQ(menu->actions().last(), verify);
  EXPECT_GT(menu->actions().size(), 2);  // the standard items come first

  // Verify: a missing file is named, its message selected, its line marked.
  String present = env_.folder / "present.txt";
  ASSERT_TRUE(env_.folder.put("present.txt", "x"));
  queue()[1].attachments = present + "\n  gone.pdf \n";
  // The error comes over the message it speaks of.
  int row_under_error = -1;
  std::string text_under_error;
  dialog_hooks::on_show([&](const dialog_hooks::Shown&) {
    row_under_error = window.recipients()->currentRow();
    text_under_error = shown_text();
  });
  verify->trigger();
  dialog_hooks::on_show(nullptr);
  EXPECT_EQ(row_under_error, 1);
  EXPECT_EQ(text_under_error, "to bob");
  const dialog_hooks::Shown* error = dialog_hooks::last(Kind::kError);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->text, "This attachment does not exist:\ngone.pdf");
  EXPECT_EQ(window.recipients()->currentRow(), 1);
  EXPECT_EQ(shown_text(), "to bob");
  EXPECT_TRUE(window.attachments()->hasFocus());
  EXPECT_EQ(window.attachments()->textCursor().selectedText(), "  gone.pdf ");
  // Mended in the box, everything passes.
  window.attachments()->setPlainText(qt_text(present));
  verify->trigger();
  const dialog_hooks::Shown* all_valid = dialog_hooks::last(Kind::kInformation);
  ASSERT_NE(all_valid, nullptr);
  EXPECT_EQ(all_valid->text, "All attachments appear valid.");
  EXPECT_EQ(all_valid->caption, "Verify Attachments");

  // The test send asks for the address (cancelled here: nothing is sent).
  env_.project_values.set(kFieldFrom, "me@example.com");
  dialog_hooks::cancel_input();
  test_yourself->trigger();
  const dialog_hooks::Shown* input = dialog_hooks::last(Kind::kInput);
  ASSERT_NE(input, nullptr);
  EXPECT_EQ(input->caption, "Test Send");
  EXPECT_EQ(input->start, "me@example.com");
  // The Test button does the same.
  dialog_hooks::cancel_input();
  QTest::mouseClick(button("test"), Qt::LeftButton);
  EXPECT_EQ(dialog_hooks::count(Kind::kInput), 2);

  // Without a selection (after a discard) a send to one recipient beeps.
  QTest::mouseClick(button("discard_message"), Qt::LeftButton);
  ASSERT_EQ(window.recipients()->count(), 2);
  EXPECT_EQ(window.recipients()->currentRow(), -1);
  EXPECT_TRUE(window.recipients()->selectedItems().isEmpty());
  EXPECT_EQ(shown_text(), "");
  send_only->trigger();
  EXPECT_EQ(dialog_hooks::count(Kind::kBeep), 1);
  EXPECT_EQ(dialog_hooks::unanswered(), 0);
  EXPECT_TRUE(env_.recorder.events.empty());  // nothing went to a send
}

TEST_F(PreviewWindowTest, DiscardingTheLastMessageClosesTheWindow) {
  queue().remove(1, queue().count());
  PreviewWindow& window = open();
  bool ran = false;
  QTimer::singleShot(0, &window, [&] {
    ran = true;
    QTest::mouseClick(button("discard_message"), Qt::LeftButton);
  });
  window.run();
  EXPECT_TRUE(ran);
  EXPECT_TRUE(queue().empty());
  EXPECT_TRUE(preview_->closed());
  EXPECT_FALSE(preview_->result_send());
  EXPECT_FALSE(window.isVisible());
}

TEST_F(PreviewWindowTest, EscapeAbortsAndSendMessagesReleasesTheQueue) {
  {
    PreviewWindow& window = open();
    QTimer::singleShot(0, &window, [&] { QTest::keyClick(&window, Qt::Key_Escape); });
    window.run();
    EXPECT_TRUE(preview_->closed());
    EXPECT_FALSE(preview_->result_send());
  }
  PreviewWindow& window = open();
  QTimer::singleShot(0, &window, [&] {
    window.text_body()->setPlainText("changed for Ann");
    QTest::mouseClick(button("send_messages"), Qt::LeftButton);
  });
  window.run();
  EXPECT_TRUE(preview_->closed());
  EXPECT_TRUE(preview_->result_send());
  EXPECT_EQ(queue()[0].text_body.std_string(), "changed for Ann");
  EXPECT_EQ(queue().count(), 3);
}

TEST_F(PreviewWindowTest, HelpOpensTheTopicOfTheWindowOrOfTheFocusedButton) {
  open();
  QTest::mouseClick(button("help"), Qt::LeftButton);
  button("discard_message")->setFocus();
  QTest::keyClick(button("discard_message"), Qt::Key_F1);
  window_under_test_->cc()->setFocus();
  QTest::keyClick(window_under_test_->cc(), Qt::Key_F1);
  ASSERT_EQ(opened_help.size(), 3u) << (dialog_hooks::last(Kind::kError)
                                            ? dialog_hooks::last(Kind::kError)->text.toStdString()
                                            : "");
  EXPECT_TRUE(opened_help[0].ends_with("#send-preview")) << opened_help[0];
  EXPECT_TRUE(opened_help[1].ends_with("#discard-message")) << opened_help[1];
  EXPECT_TRUE(opened_help[2].ends_with("#send-preview")) << opened_help[2];
  EXPECT_EQ(queue().count(), 3);  // F1 ran no command
}

TEST_F(PreviewWindowTest, ThePositionAndTheSplitterAreKeptBetweenOpenings) {
  {
    PreviewWindow& window = open();
    window.setGeometry(60, 50, 700, 500);
    window.splitter()->setSizes({300, 400});
    QApplication::processEvents();
    int list_width = window.splitter()->sizes()[0];
    EXPECT_GT(list_width, 250);
    QTest::mouseClick(button("abort"), Qt::LeftButton);
    EXPECT_FALSE(window.isVisible());
    std::string registry = TestDirectory::read(home_ / "registry.reg").std_string();
    EXPECT_NE(registry.find("\"PreviewPosition\"=\"60,50,760,550\""), std::string::npos)
        << registry;
    EXPECT_NE(registry.find("\"PreviewSplitter\"=dword:" + [&] {
                char hex[16];
                std::snprintf(hex, sizeof hex, "%08x", list_width);
                return std::string(hex);
              }()),
              std::string::npos)
        << registry;
  }
  PreviewWindow& again = open();
  EXPECT_EQ(again.geometry(), QRect(60, 50, 700, 500));
  QApplication::processEvents();
  EXPECT_NEAR(again.splitter()->sizes()[0], 300, 40);
}

// --- a whole send from the main window -----------------------------------------

class PreviewWindowSend : public testing::WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    ASSERT_TRUE(server_.start(folder_ / "received")) << server_.error().c_str();
  }

  // A project of three recipients with a text and an HTML body that embeds
  // an image, in the given send mode, sending to the test server.
  void open_project(int send_mode) {
    QImage logo(8, 8, QImage::Format_RGB32);
    logo.fill(Qt::red);
    ASSERT_TRUE(logo.save(qt_text(folder_ / "logo.png")));
    open_window();
    plug_preview_window(ui_, *window_);
    trigger(kCommandNewProject);
    Project& p = app_->fields();
    p.set_text("from", "Ann Sender <ann@example.com>");
    p.set_text("subject", "Spring news");
    p.set_flag("use_recipient_text", true);
    p.set_text("recipient_text", "bob@example.com\ncy@example.org\ndee@example.net");
    p.set_flag("use_body_text", true);
    p.set_text("body", "Hello [[-Email-]].");
    p.set_flag("use_html_text", true);
    p.set_text("html_body", "<p>Hello [[-Email-]]</p><img src=\"cid:logo.png\">");
    p.set_text("html_attach", folder_ / "logo.png");
    p.set_number("SendMode", send_mode);
    p.set_number("SMTPport", server_.port());
    window_->refresh();
    widget<QLineEdit>("SMTP_Server")->setText("127.0.0.1");
  }

  // Runs `work` on the preview once it opens inside the send; the poll
  // stops with the test.
  void when_previewed(std::function<void(PreviewWindow&)> work) {
    poll_.setInterval(10);
    QObject::connect(&poll_, &QTimer::timeout, [this, work] {
      auto* preview = dynamic_cast<PreviewWindow*>(QApplication::activeModalWidget());
      if (preview == nullptr) return;
      poll_.stop();
      ++previews_;
      work(*preview);
    });
    poll_.start();
  }

  // F5, saving the new project first.
  void send() {
    dialog_hooks::answer_file(qt_text(path("news.zqj")));
    QApplication::setActiveWindow(window_.get());
    QTest::keyClick(window_.get(), Qt::Key_F5);
    poll_.stop();
  }

  static std::vector<std::string> listed(PreviewWindow& preview) {
    std::vector<std::string> texts;
    for (int i = 0; i < preview.recipients()->count(); ++i) {
      texts.push_back(preview.recipients()->item(i)->text().toStdString());
    }
    return texts;
  }

  SmtpRecorder server_;
  QTimer poll_;
  int previews_ = 0;
};

TEST_F(PreviewWindowSend, ANormalSendStopsInThePreviewAndGoesOutAsEdited) {
  open_project(SendOperation::kNormal);
  ASSERT_EQ(widget<QComboBox>("SendMode")->currentText(), "Normal");

  // The preview opens inside the send: it is worked from the event loop.
  std::vector<std::string> shown;
  bool image_served = false;
  bool others_refused = false;
  when_previewed([&](PreviewWindow& preview) {
    shown = listed(preview);
    // The rendered view has the embedded image, and nothing from elsewhere.
    HtmlView* view = preview.html_view();
    image_served = view->loadResource(QTextDocument::ImageResource, QUrl("cid:logo.png"))
                       .toByteArray()
                       .startsWith("\x89PNG");
    others_refused = true;
    const QStringList elsewhere = {"logo.png", "file://" + qt_text(folder_ / "logo.png"),
                                   "http://127.0.0.1:1/logo.png", "cid:../logo.png",
                                   "cid:logo.png#top"};
    for (const QString& address : elsewhere) {
      others_refused = others_refused &&
                       !view->loadResource(QTextDocument::ImageResource, QUrl(address)).isValid();
    }
    // Bob's text edited, Cy dropped, Dee's HTML edited; then released.
    QPlainTextEdit* text = preview.text_body();
    text->setFocus();
    text->selectAll();
    QTest::keyClicks(text, "Dear Bob, this was edited.");
    QTest::keyClick(preview.recipients(), Qt::Key_Down);
    preview.findChild<QPushButton*>("discard_message")->click();
    QTest::mouseClick(preview.recipients()->viewport(), Qt::LeftButton, Qt::NoModifier,
                      preview.recipients()->visualItemRect(preview.recipients()->item(1)).center());
    preview.html_body()->setPlainText("<p>Dee, edited</p><img src=\"cid:logo.png\">");
    preview.findChild<QPushButton*>("send_messages")->click();
  });
  dialog_hooks::answer(Answer::kNo);  // the log afterwards
  send();

  EXPECT_EQ(shown, (std::vector<std::string>{"bob@example.com", "cy@example.org",
                                             "dee@example.net"}));
  EXPECT_TRUE(image_served);
  EXPECT_TRUE(others_refused);
  std::vector<SmtpRecorder::Received> received = server_.messages();
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(received[0].recipients, std::vector<String>{"bob@example.com"});
  EXPECT_EQ(received[1].recipients, std::vector<String>{"dee@example.net"});
  EXPECT_NE(received[0].data.find("Dear Bob, this was edited."), -1) << received[0].data.c_str();
  EXPECT_EQ(received[0].data.find("Hello bob@example.com."), -1);
  EXPECT_NE(received[1].data.find("Dee, edited"), -1) << received[1].data.c_str();
  EXPECT_NE(received[1].data.find("Hello dee@example.net."), -1);  // the text body as it was
  EXPECT_NE(received[1].data.find("Content-ID: logo.png"), -1);
  EXPECT_EQ(dialog_hooks::count(Kind::kError), 0);
  EXPECT_EQ(dialog_hooks::unanswered(), 0);
  ASSERT_NE(dialog_hooks::last(Kind::kYesNo), nullptr);
  EXPECT_EQ(dialog_hooks::last(Kind::kYesNo)->caption, "Operation Complete");
  // Everything went, so the preview did not open again.
  EXPECT_EQ(previews_, 1);
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  EXPECT_EQ(app_->send_operation().queue().count(), 0);
}

// Over three connections the window's send delivers each message once:
// the connections' fibers run the progress window's event processing
// too, and the completion prompt comes once, after the last.
TEST_F(PreviewWindowSend, ANormalSendOverThreeConnectionsDeliversEachMessageOnce) {
  ASSERT_TRUE(home_.put("registry.reg",
                        "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Tessaline\\Loomwork]\r\n"
                        "\"SendConnections\"=dword:00000003\r\n"));
  open_project(SendOperation::kNormal);
  when_previewed([&](PreviewWindow& preview) {
    preview.findChild<QPushButton*>("send_messages")->click();
  });
  dialog_hooks::answer(Answer::kNo);  // the log afterwards
  send();

  std::vector<std::string> to;
  for (const SmtpRecorder::Received& r : server_.messages()) {
    ASSERT_EQ(r.recipients.size(), 1u);
    to.push_back(r.recipients[0].std_string());
  }
  std::sort(to.begin(), to.end());
  EXPECT_EQ(to, (std::vector<std::string>{"bob@example.com", "cy@example.org", "dee@example.net"}));
  EXPECT_EQ(dialog_hooks::count(Kind::kError), 0);
  ASSERT_NE(dialog_hooks::last(Kind::kYesNo), nullptr);
  EXPECT_EQ(dialog_hooks::last(Kind::kYesNo)->caption, "Operation Complete");
  EXPECT_EQ(previews_, 1);
  EXPECT_EQ(app_->send_operation().queue().count(), 0);
  // The log lists them in the order of the recipients.
  std::string log = TestDirectory::read(home_ / "Trenk.LOG").std_string();
  size_t bob = log.find("Sending bob@example.com : success");
  size_t cy = log.find("Sending cy@example.org : success");
  size_t dee = log.find("Sending dee@example.net : success");
  EXPECT_TRUE(bob < cy && cy < dee && dee != std::string::npos) << log;
}

TEST_F(PreviewWindowSend, LastRecipientOnlyPreviewsTheLastAndAbortSendsNothing) {
  open_project(SendOperation::kLastRecipientOnly);
  std::vector<std::string> shown;
  when_previewed([&](PreviewWindow& preview) {
    shown = listed(preview);
    QTest::mouseClick(preview.findChild<QPushButton*>("abort"), Qt::LeftButton);
  });
  send();
  EXPECT_EQ(previews_, 1);
  EXPECT_EQ(shown, std::vector<std::string>{"dee@example.net"});
  EXPECT_TRUE(server_.messages().empty());
  EXPECT_TRUE(TestDirectory::read(app_->send_log_path()).ends_with("\r\nAborted by user\r\n"));
  EXPECT_EQ(dialog_hooks::unanswered(), 0);  // nothing is offered after an abort
}

}  // namespace
}  // namespace tessaline
