// Tests of the preview's logic: the selection and its write-back, the
// checks of CC lists and attachments, discarding, and single and test
// sends through a real send against aiosmtpd on 127.0.0.1.
#include "send/preview.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "send/send_operation.h"
#include "send/test_environment.h"

namespace tessaline {
namespace {

using testing::SmtpTestServer;
using testing::TestEnvironment;
using Kind = RecordingUi::EventKind;

Message message(const char* recipient, const char* body = "") {
  Message m;
  m.recipient = recipient;
  m.text_body = body;
  return m;
}

// A queue filled by hand: the selection, the checks and discarding need
// no send.
class PreviewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    queue().append(message("ann@example.com", "to Ann"));
    queue().append(message("bob@example.com", "to Bob"));
    queue().append(message("cy@example.com", "to Cy"));
  }
  MessageQueue& queue() { return operation_.queue(); }
  RecordingUi& ui() { return env_.recorder; }
  String existing_file() {
    String path = env_.folder / "present.txt";
    std::ofstream(path.std_string()) << "x";
    return path;
  }

  TestEnvironment env_;
  SendOperation operation_{env_};
};

TEST_F(PreviewTest, AnEditSurvivesSelectingAnotherMessage) {
  SendPreview preview(operation_, ui(), env_.project_values, true, false);
  ASSERT_EQ(preview.selected(), 0);
  EXPECT_EQ(preview.fields().text_body.std_string(), "to Ann");
  preview.fields().text_body = "edited for Ann";
  preview.fields().cc = "cc@example.com";
  preview.fields().attachments = "a.txt";
  preview.select(1);
  EXPECT_EQ(preview.fields().text_body.std_string(), "to Bob");
  EXPECT_EQ(preview.fields().cc.std_string(), "");
  EXPECT_EQ(queue()[0].text_body.std_string(), "edited for Ann");
  EXPECT_EQ(queue()[0].cc.std_string(), "cc@example.com");
  EXPECT_EQ(queue()[0].attachments.std_string(), "a.txt");
  EXPECT_EQ(queue()[1].text_body.std_string(), "to Bob");
  preview.select(0);
  EXPECT_EQ(preview.fields().text_body.std_string(), "edited for Ann");
}

TEST_F(PreviewTest, SelectingByIndexWrapsAround) {
  SendPreview preview(operation_, ui(), env_.project_values, true, false);
  struct Case {
    int index;
    int selected;
  };
  for (Case c : {Case{-1, 2}, Case{-7, 2}, Case{3, 0}, Case{99, 0}, Case{1, 1}, Case{2, 2}}) {
    preview.select(c.index);
    EXPECT_EQ(preview.selected(), c.selected) << "index " << c.index;
    EXPECT_EQ(preview.fields().text_body, queue()[c.selected].text_body) << "index " << c.index;
  }
}

TEST_F(PreviewTest, NoSelectionEmptiesTheMessagesBoxesButNotCc) {
  queue()[0].cc = "cc@example.com";
  queue()[0].attachments = "a.txt";
  SendPreview preview(operation_, ui(), env_.project_values, true, true);
  preview.deselect();
  EXPECT_EQ(preview.selected(), -1);
  EXPECT_TRUE(preview.fields().text_body.empty());
  EXPECT_TRUE(preview.fields().html_body.empty());
  EXPECT_TRUE(preview.fields().attachments.empty());
  EXPECT_EQ(preview.fields().cc.std_string(), "cc@example.com");
  // Without a selection there is nothing to send: a beep, and a test
  // asks nothing.
  preview.send_to_recipient_only();
  preview.test_send();
  EXPECT_EQ(ui().count(Kind::kBeep), 1);
  EXPECT_EQ(ui().count(Kind::kInputText), 0);
}

TEST_F(PreviewTest, DiscardingTheLastMessageClosesWithoutSending) {
  SendPreview preview(operation_, ui(), env_.project_values, true, false);
  preview.select(1);
  preview.discard_message();
  ASSERT_EQ(queue().count(), 2);
  EXPECT_EQ(queue()[1].recipient.std_string(), "cy@example.com");
  EXPECT_FALSE(preview.closed());
  for (int i = 0; i < 2; ++i) {
    preview.select(0);
    preview.discard_message();
  }
  EXPECT_TRUE(queue().empty());
  EXPECT_TRUE(preview.closed());
  EXPECT_FALSE(preview.result_send());
}

TEST_F(PreviewTest, AnAttachmentThatCannotBeOpenedStopsTheCommandAtItsMessage) {
  String present = existing_file();
  struct Case {
    std::string line;  // in the third message's attachments, after a good line
    std::string shown;
  };
  std::vector<Case> cases = {
      {(env_.folder / "*.txt").std_string(), (env_.folder / "*.txt").std_string()},
      {" \tmissing.txt\t ", "missing.txt"},
      {env_.folder.path().std_string(), env_.folder.path().std_string()},  // a folder
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    ui().clear_events();
    queue()[0].attachments = present + "\n\n";
    queue()[2].attachments = present + "\r\n\r\n" + String(c.line) + "\r\n";
    SendPreview preview(operation_, ui(), env_.project_values, true, false);
    preview.send_messages();
    EXPECT_FALSE(preview.closed());
    EXPECT_FALSE(preview.result_send());
    EXPECT_EQ(preview.selected(), 2);
    EXPECT_EQ(preview.marked_line().line, 2);
    EXPECT_EQ(preview.marked_line().text.std_string(), c.shown);
    EXPECT_EQ(preview.fields().attachments, queue()[2].attachments);
    const RecordingUi::Event* error = ui().last(Kind::kError);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->message.std_string(), "This attachment does not exist:\n" + c.shown);
    const RecordingUi::Event* focus = ui().last(Kind::kFocus);
    ASSERT_NE(focus, nullptr);
    EXPECT_EQ(focus->field.std_string(), kPreviewAttachmentsBox);
    // The person reads why, then finds the focus on the box.
    ASSERT_GE(ui().events.count(), 2);
    EXPECT_EQ(ui().events[ui().events.count() - 2].kind, Kind::kError);
    EXPECT_EQ(ui().events[ui().events.count() - 1].kind, Kind::kFocus);
  }
}

TEST_F(PreviewTest, VerifyChecksWhatTheBoxesShowAndSaysWhenAllIsValid) {
  queue()[1].attachments = "missing.txt";
  SendPreview preview(operation_, ui(), env_.project_values, true, false);
  preview.select(1);
  preview.fields().attachments = existing_file() + "\n";  // mended in the box
  EXPECT_TRUE(preview.verify_attachments());
  const RecordingUi::Event* box = ui().last_box();
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->kind, Kind::kInformation);
  EXPECT_EQ(box->message.std_string(), "All attachments appear valid.");
  EXPECT_EQ(box->caption.std_string(), "Verify Attachments");
  preview.send_messages();
  EXPECT_TRUE(preview.closed());
  EXPECT_TRUE(preview.result_send());
  EXPECT_EQ(ui().count(Kind::kInformation), 1);  // only the command itself says so
}

TEST_F(PreviewTest, ACcListThatFailsItsCheckStopsTheCommand) {
  queue()[2].cc = "good@example.com; no-at-sign";
  queue()[2].attachments = "missing.txt";  // not reached
  SendPreview preview(operation_, ui(), env_.project_values, true, false);
  preview.send_messages();
  EXPECT_FALSE(preview.closed());
  EXPECT_EQ(preview.selected(), 2);
  EXPECT_EQ(ui().count(Kind::kError), 1);
  EXPECT_EQ(ui().last(Kind::kError)->message.std_string(),
            "Invalid recipient in CC list:\nno-at-sign");
  // Every command that checks first stops at the same list, and sends nothing.
  preview.test_send();
  preview.send_to_recipient_only();
  EXPECT_EQ(ui().count(Kind::kInputText), 0);
  EXPECT_EQ(ui().count(Kind::kProgressOpen), 0);
  EXPECT_EQ(ui().count(Kind::kError), 3);
  EXPECT_FALSE(preview.closed());
  // Mended in its box, the list passes and the next problem is found.
  preview.fields().cc = "good@example.com";
  preview.send_messages();
  EXPECT_EQ(ui().last(Kind::kError)->message.std_string(),
            "This attachment does not exist:\nmissing.txt");
  EXPECT_EQ(queue()[2].cc.std_string(), "good@example.com");
}

TEST_F(PreviewTest, AbortClosesWithTheResultUnchanged) {
  SendPreview preview(operation_, ui(), env_.project_values, true, false);
  preview.abort();
  EXPECT_TRUE(preview.closed());
  EXPECT_FALSE(preview.result_send());
  EXPECT_EQ(queue().count(), 3);
}

TEST_F(PreviewTest, TheTestAddressOffersReplyThenFromThenNothing) {
  struct Case {
    const char* reply;
    const char* from;
    const char* offered;
  };
  for (Case c : {Case{"reply@example.com", "from@example.com", "reply@example.com"},
                 Case{"", "from@example.com", "from@example.com"}, Case{"", "", ""}}) {
    env_.project_values.set(kFieldReply, c.reply).set(kFieldFrom, c.from);
    ui().clear_events();
    ui().reply_text("", false);  // Cancel: nothing is sent
    SendPreview preview(operation_, ui(), env_.project_values, true, false);
    preview.test_send();
    const RecordingUi::Event* input = ui().last(Kind::kInputText);
    ASSERT_NE(input, nullptr);
    EXPECT_EQ(input->message.std_string(),
              "This will send the current message to your own email address.  This allows you "
              "to make sure everything works the way you expect.\n\nEnter your email address "
              "here:");
    EXPECT_EQ(input->caption.std_string(), "Test Send");
    EXPECT_EQ(input->max_length, 80);
    EXPECT_EQ(input->proposed.std_string(), c.offered);
    EXPECT_EQ(queue().count(), 3);
  }
}

// --- sending, inside the review step of a real send ----------------------------

class PreviewSendTest : public testing::WithSuiteSmtpServer<> {
 protected:

  void SetUp() override {
    server_->clear();
    env_.project_values.set(kFieldFrom, "Sender <sender@example.com>")
        .set(kFieldSubject, "Hello")
        .set(kFieldSmtpPort, String::formatted("%d", server_->port()))
        .check(kFieldRecycle)
        .check(kFieldUseBodyText)
        .set(kFieldBody, "Dear [[-Email-]]")
        .check(kFieldUseRecipientText)
        .set(kFieldRecipientText, "ann@example.com\nbob@example.com");
  }

  // Runs the preview as the review step; the step answers with its result.
  void review_with(std::function<void(SendPreview&)> commands) {
    env_.during_review = [this, commands](SendOperation& operation) {
      SendPreview preview(operation, env_.recorder, env_.project_values, true, false);
      commands(preview);
      queued_after_.clear();
      for (const Message& m : operation.queue()) queued_after_.push_back(m.recipient.std_string());
      env_.review_answers.push_back(preview.result_send());
    };
  }

  std::vector<std::string> delivered_to() const {
    std::vector<std::string> to;
    for (const auto& m : server_->received()) {
      for (const std::string& r : m.rcpt_to) to.push_back(r);
    }
    return to;
  }

  TestEnvironment env_;
  SendOperation send_{env_};
  std::vector<std::string> queued_after_;
};


TEST_F(PreviewSendTest, SendingToOneRecipientSendsACopyAndKeepsTheQueue) {
  review_with([](SendPreview& preview) {
    preview.fields().text_body = "edited for Ann";
    preview.send_to_recipient_only();
    preview.send_messages();
  });
  env_.recorder.reply_yes_no(false);  // the single send's completion prompt
  env_.recorder.reply_yes_no(false);  // the whole send's
  ASSERT_TRUE(send_.send());
  EXPECT_EQ(queued_after_, (std::vector<std::string>{"ann@example.com", "bob@example.com"}));
  // Ann gets her message twice: the copy, then with the rest.
  EXPECT_EQ(delivered_to(), (std::vector<std::string>{"ann@example.com", "ann@example.com",
                                                       "bob@example.com"}));
  auto received = server_->received();
  ASSERT_EQ(received.size(), 3u);
  EXPECT_NE(received[0].data.find("edited for Ann"), std::string::npos);
  EXPECT_NE(received[1].data.find("edited for Ann"), std::string::npos);
  std::string log = env_.log();
  EXPECT_NE(log.find("Sending ann@example.com : success\r\n\r\n1 sent successfully, 0 errors"),
            std::string::npos)
      << log;
  EXPECT_EQ(env_.recorder.unanswered, 0);
}

TEST_F(PreviewSendTest, DiscardingEveryMessageClosesThePreviewAndTheSendLogsTheAbort) {
  review_with([](SendPreview& preview) {
    preview.discard_message();
    EXPECT_FALSE(preview.closed());
    preview.select(0);
    preview.discard_message();
    EXPECT_TRUE(preview.closed());
  });
  ASSERT_TRUE(send_.send());
  EXPECT_TRUE(queued_after_.empty());
  EXPECT_TRUE(server_->received().empty());
  std::string log = env_.log();
  EXPECT_TRUE(log.ends_with("2 recipients, 0 rejected\r\n\r\nAborted by user\r\n")) << log;
  // Nothing was sent, so nothing is offered.
  EXPECT_EQ(env_.recorder.count(Kind::kYesNo), 0);
  EXPECT_EQ(env_.reviews.size(), 1u);
}

TEST_F(PreviewSendTest, TheReleasedQueueGoesOutAsEdited) {
  review_with([](SendPreview& preview) {
    preview.fields().text_body = "edited for Ann";
    preview.fields().cc = "copy@example.com";
    preview.select(1);
    preview.discard_message();
    preview.send_messages();
  });
  env_.project_values.set(kFieldRecipientText, "ann@example.com\nbob@example.com\ncy@example.com");
  env_.recorder.reply_yes_no(false);
  ASSERT_TRUE(send_.send());
  auto received = server_->received();
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(received[0].rcpt_to,
            (std::vector<std::string>{"ann@example.com", "copy@example.com"}));
  EXPECT_NE(received[0].data.find("edited for Ann"), std::string::npos);
  EXPECT_EQ(received[0].data.find("Dear ann@example.com"), std::string::npos);
  EXPECT_EQ(received[1].rcpt_to, std::vector<std::string>{"cy@example.com"});
  EXPECT_NE(received[1].data.find("Dear cy@example.com"), std::string::npos);
  EXPECT_EQ(env_.log().find("Aborted by user"), std::string::npos);
  EXPECT_EQ(env_.recorder.unanswered, 0);
}

TEST_F(PreviewSendTest, ATestGoesToTheEnteredAddressAndSendsNothingElse) {
  review_with([](SendPreview& preview) {
    preview.select(1);
    preview.test_send();
    preview.abort();
  });
  env_.recorder.reply_text("me@example.com");
  env_.recorder.reply_yes_no(false);  // the test's completion prompt
  ASSERT_TRUE(send_.send());
  EXPECT_EQ(queued_after_, (std::vector<std::string>{"ann@example.com", "bob@example.com"}));
  auto received = server_->received();
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].rcpt_to, std::vector<std::string>{"me@example.com"});
  EXPECT_NE(received[0].data.find("Dear bob@example.com"), std::string::npos);
  std::string log = env_.log();
  EXPECT_NE(log.find("Sending me@example.com : success"), std::string::npos) << log;
  EXPECT_NE(log.find("\r\nAborted by user\r\n"), std::string::npos) << log;
  EXPECT_EQ(env_.recorder.unanswered, 0);
}

TEST_F(PreviewSendTest, OnlyTheMessagesEmbeddedFilesAreNamedForTheRenderedHtml) {
  ASSERT_TRUE(env_.folder.put("logo.gif", "GIF89a"));
  ASSERT_TRUE(env_.folder.put("Photo Of Us.jpg", "jpeg"));
  ASSERT_TRUE(env_.folder.put("notes.txt", "not embedded"));
  env_.project_values.check(kFieldUseHtmlText)
      .set(kFieldHtmlBody, "<p>Hi</p><img src=\"cid:logo.gif\">")
      .set(kFieldHtmlAttach, env_.folder / "*.gif" + "\n" + env_.folder / "Photo Of Us.jpg");
  String logo = env_.folder / "logo.gif";
  String photo = env_.folder / "Photo Of Us.jpg";
  struct Case {
    const char* address;
    String file;
  };
  std::vector<Case> cases = {
      {"cid:logo.gif", logo},
      {"CID:logo.gif", logo},
      {"cid:Photo Of Us.jpg", photo},
      {"cid:LOGO.GIF", ""},  // the part's name keeps its case
      {"logo.gif", ""},      // a plain name is not the part
      {"cid:", ""},
      {"cid:notes.txt", ""},  // beside them, but not embedded
      {"file:logo.gif", ""},
      {"https://example.com/logo.gif", ""},
  };
  review_with([&](SendPreview& preview) {
    for (const Case& c : cases) {
      EXPECT_EQ(preview.embedded_file(c.address), c.file) << c.address;
    }
    preview.abort();
  });
  ASSERT_TRUE(send_.send());
  EXPECT_EQ(env_.reviews.size(), 1u);
}

}  // namespace
}  // namespace tessaline
