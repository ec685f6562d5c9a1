// Tests of the send operation's journal, resume, dry run, limit and test
// sends against a real SMTP server (aiosmtpd on 127.0.0.1): what the
// server received, the journal, the kept logs and the send log.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "storage/find_file.h"
#include "storage/paths.h"
#include "send/send_history.h"
#include "send/send_journal.h"
#include "send/send_operation.h"
#include "send/test_environment.h"

namespace tessaline {
namespace {

using testing::SmtpTestServer;
using testing::TestEnvironment;
using Kind = RecordingUi::EventKind;

class ResumeTest : public testing::WithSuiteSmtpServer<> {
 protected:

  void SetUp() override {
    server_->clear();
    testing::set_up_unattended_send(env_);
    project().set(kFieldSmtpPort, String::formatted("%d", server_->port()));
  }

  testing::MemoryProject& project() { return env_.project_values; }
  void recipients(const char* lines) { project().set(kFieldRecipientText, lines); }

  std::vector<std::string> delivered_to() const {
    std::vector<std::string> to;
    for (const auto& m : server_->received()) {
      for (const std::string& r : m.rcpt_to) to.push_back(r);
    }
    return to;
  }

  // The project's last send, as its journal tells it.
  JournalState last_send() {
    String path;
    JournalState state;
    EXPECT_TRUE(send_.last_send(&path, &state));
    return state;
  }

  // A journal of a send of this project that was killed: `plan` in order,
  // with the outcomes given (kNone for none; in flight where `in_flight`).
  void killed_send(const std::vector<const char*>& plan,
                   const std::vector<JournalOutcome>& outcomes, int in_flight = -1) {
    testing::write_killed_journal(env_, std::vector<std::string>(plan.begin(), plan.end()),
                                  outcomes, in_flight);
  }

  Vector<String> kept(const char* pattern) {
    Vector<String> names;
    list_files(env_.history() + "/" + pattern, names, true);
    return names;
  }

  TestEnvironment env_;
  SendOperation send_{env_};
};


TEST_F(ResumeTest, ASendJournalsEveryOutcomeAndKeepsACopyOfItsLog) {
  recipients("ann@example.com\nrefused@example.com\nbob@example.com");
  EXPECT_FALSE(send_.send());  // one refused
  JournalState state = last_send();
  ASSERT_TRUE(state.plan_complete);
  ASSERT_EQ(state.entries.count(), 3);
  EXPECT_EQ(state.identity.project, project_identity(env_.project_path));
  EXPECT_EQ(state.identity.send_mode, SendOperation::kNoPreview);
  EXPECT_EQ(state.entries[0].outcome, JournalOutcome::kDelivered);
  EXPECT_EQ(state.entries[1].outcome, JournalOutcome::kRefused);
  EXPECT_EQ(state.entries[1].reply_code, 550);
  EXPECT_EQ(state.entries[1].error_code, 4590);
  EXPECT_EQ(state.entries[2].outcome, JournalOutcome::kDelivered);
  EXPECT_EQ(state.in_flight(), 0);
  // A refusal for good is the end of that recipient: nothing is left.
  EXPECT_FALSE(state.unfinished());
  ASSERT_EQ(state.runs.count(), 1);
  EXPECT_TRUE(state.runs[0].ended);

  // The kept copy, named after the project and the time the run began
  // (the test clock's), holds what "Trenk.LOG" holds.
  ASSERT_EQ(state.runs[0].log_name, "news-20261210-030405.LOG");
  EXPECT_EQ(testing::read_text((env_.history() + "/news-20261210-030405.LOG").std_string()),
            env_.log());
  EXPECT_EQ(kept("*.journal").count(), 1);

  // A second run keeps its own copy; the first one's stays.
  recipients("carol@example.com");
  EXPECT_TRUE(send_.send());
  EXPECT_EQ(kept("*.LOG").count(), 2);
  EXPECT_EQ(testing::read_text((env_.history() + "/news-20261210-030405-2.LOG").std_string()),
            env_.log());
  EXPECT_NE(testing::read_text((env_.history() + "/news-20261210-030405.LOG").std_string()),
            env_.log());
}

TEST_F(ResumeTest, AResumeSkipsWhatWasDoneAndSendsTheRestOnce) {
  recipients("ann@example.com\nbob@example.com\ncarol@example.com\ndave@example.com\n"
             "erin@example.com");
  // Killed while carol's message was in flight: ann delivered, bob refused.
  killed_send({"ann@example.com", "bob@example.com", "carol@example.com", "dave@example.com",
               "erin@example.com"},
              {JournalOutcome::kDelivered, JournalOutcome::kRefused}, /*in_flight=*/2);
  ASSERT_TRUE(last_send().unfinished());

  SendOptions resume;
  resume.resume = true;
  ASSERT_TRUE(send_.send(resume));
  EXPECT_EQ(delivered_to(),
            (std::vector<std::string>{"carol@example.com", "dave@example.com", "erin@example.com"}));
  // The -Index- tag is the one the first run gave.
  auto messages = server_->received();
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_NE(messages[0].data.find("Dear carol@example.com #3"), std::string::npos);

  std::string log = env_.log();
  EXPECT_NE(log.find("Resuming the send begun on "), std::string::npos) << log;
  EXPECT_NE(log.find(": 2 of its 5 recipients were done before.\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("ann@example.com: accepted\r\nSkipped ann@example.com : delivered earlier "
                     "in this send\r\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("Skipped bob@example.com : refused for good earlier in this send\r\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("carol@example.com may receive this message twice: the end of its data "
                     "went out before the send was interrupted, and the server's answer was "
                     "never recorded.\r\nSending carol@example.com : success\r\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("Sending dave@example.com : success\r\n"), std::string::npos) << log;

  JournalState state = last_send();
  EXPECT_FALSE(state.unfinished());
  ASSERT_EQ(state.runs.count(), 2);
  EXPECT_TRUE(state.runs[1].resumed);
  EXPECT_TRUE(state.runs[1].ended);
  EXPECT_EQ(state.count(JournalOutcome::kDelivered), 4);

  // The summary counts the whole send.
  ASSERT_FALSE(env_.recorder.send_reports.empty());
  const SendProgress& summary = env_.recorder.send_reports[env_.recorder.send_reports.count() - 1];
  EXPECT_TRUE(summary.finished);
  EXPECT_EQ(summary.headline, "Send complete");
  EXPECT_EQ(summary.total, 5);
  EXPECT_EQ(summary.done, 5);
  EXPECT_EQ(summary.sent, 3);
  EXPECT_EQ(summary.skipped, 2);
  EXPECT_EQ(summary.log_path, env_.folder / "Trenk.LOG");

  // Nothing is left to resume: a second resume sends nothing.
  server_->clear();
  ASSERT_TRUE(send_.send(resume));
  EXPECT_TRUE(delivered_to().empty());
  const RecordingUi::Event* box = env_.recorder.last_box();
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->message, "This project has no unfinished send to resume.");
}

TEST_F(ResumeTest, AResumeSendsOnlyTheSendsOwnRecipientsAndSaysWhatChanged) {
  killed_send({"ann@example.com", "bob@example.com", "carol@example.com"},
              {JournalOutcome::kDelivered});
  // bob left the list, erin joined it.
  recipients("ann@example.com\ncarol@example.com\nerin@example.com");
  SendOptions resume;
  resume.resume = true;
  ASSERT_TRUE(send_.send(resume));
  EXPECT_EQ(delivered_to(), std::vector<std::string>{"carol@example.com"});
  const RecordingUi::Event* told = env_.recorder.last(Kind::kInformation);
  ASSERT_NE(told, nullptr);
  EXPECT_EQ(told->message,
            "The project's recipients changed since this send began: 1 recipient of the send is "
            "no longer in the project and is not sent; 1 recipient of the project is not part of "
            "the send and is left out.  Only the send's own recipients are sent.");
  EXPECT_NE(env_.log().find("Skipped erin@example.com : not a recipient of the send being "
                            "resumed\r\n"),
            std::string::npos);
  // bob is still owed his message: the send is not finished, and a resume
  // once he is back sends him his.
  EXPECT_TRUE(last_send().unfinished());
  server_->clear();
  recipients("ann@example.com\nbob@example.com\ncarol@example.com");
  ASSERT_TRUE(send_.send(resume));
  EXPECT_EQ(delivered_to(), std::vector<std::string>{"bob@example.com"});
  EXPECT_FALSE(last_send().unfinished());
}

TEST_F(ResumeTest, ANewSendStartsANewJournalAndTheOldOneIsNoLongerTheLast) {
  killed_send({"ann@example.com", "bob@example.com"}, {JournalOutcome::kDelivered});
  recipients("ann@example.com\nbob@example.com");
  ASSERT_TRUE(send_.send());
  EXPECT_EQ(delivered_to(), (std::vector<std::string>{"ann@example.com", "bob@example.com"}));
  EXPECT_EQ(kept("*.journal").count(), 2);
  EXPECT_FALSE(last_send().unfinished());
}

TEST_F(ResumeTest, AProjectWithoutAFileKeepsNoJournal) {
  env_.project_path = String();
  recipients("ann@example.com");
  ASSERT_TRUE(send_.send());
  EXPECT_EQ(kept("*.journal").count(), 0);
  EXPECT_EQ(kept("*.LOG").count(), 1);
}

TEST_F(ResumeTest, TheJournalSyncsEachOutcomeOrInBatchesWithTheSameRecords) {
  recipients("a@example.com\nb@example.com\nc@example.com");
  for (int window : {0, 2}) {
    env_.settings.journal_sync_window = window;
    ASSERT_TRUE(send_.send());
    JournalState state = last_send();
    EXPECT_EQ(state.count(JournalOutcome::kDelivered), 3) << window;
    EXPECT_FALSE(state.damaged) << window;
  }
}

TEST_F(ResumeTest, ReviewedMessagesThePersonDiscardsAreTakenOutOfTheSend) {
  env_.command_line = false;
  project().set(kFieldSendMode, String::formatted("%d", SendOperation::kNormal));
  recipients("ann@example.com\ncarol@example.com\nbob@example.com");
  // Released with an attachment for carol that cannot be read; her message
  // comes back, is discarded, and the rest is released again.
  env_.review_answers = {true, true};
  env_.during_review = [this](SendOperation& operation) {
    if (env_.reviews.size() == 1) operation.queue()[1].attachments = "/nonexistent/report.pdf";
    if (env_.reviews.size() == 2) operation.queue().remove(0);
  };
  env_.recorder.reply_yes_no(false);  // view the log? (the failed batch asks)
  EXPECT_FALSE(send_.send());
  JournalState state = last_send();
  ASSERT_EQ(state.entries.count(), 3);
  EXPECT_EQ(state.entries[0].outcome, JournalOutcome::kDelivered);
  EXPECT_EQ(state.entries[1].outcome, JournalOutcome::kDropped);
  EXPECT_EQ(state.entries[2].outcome, JournalOutcome::kDelivered);
  EXPECT_FALSE(state.unfinished());
}

TEST_F(ResumeTest, AnIdenticalSendIsOneMessageForAllItsRecipients) {
  project().set(kFieldSendMode, String::formatted("%d", SendOperation::kIdentical));
  project().set(kFieldBody, "Dear all");
  recipients("ann@example.com\nbob@example.com");
  ASSERT_TRUE(send_.send());
  EXPECT_EQ(server_->received().size(), 1u);
  JournalState state = last_send();
  ASSERT_EQ(state.entries.count(), 2);
  EXPECT_EQ(state.count(JournalOutcome::kDelivered), 2);
}

// --- dry run, limit, test ---------------------------------------------------

TEST_F(ResumeTest, ADryRunWritesWhatASendDeliversByteForByte) {
  TestDirectory attachments;
  ASSERT_TRUE(attachments.put("report.txt", "quarterly figures\r\n"));
  project()
      .set(kFieldAttachments, attachments / "report.txt")
      .check(kFieldUseHtmlText)
      .set(kFieldHtmlBody, "<p>Dear [[-Email-]]</p>")
      .set(kFieldCc, "boss@example.com");
  recipients("Ann Ames <ann@example.com>\nbob@example.com\n!cy@example.com");
  TestDirectory out;
  SendOptions dry;
  dry.dry_run_folder = out / "messages";
  // Boundaries come from the runtime generator: the same seed, the same
  // boundaries; Message-IDs from a source that counts.
  static int ids = 0;
  UniquePartSource before = set_unique_part_source([] { return String::formatted("id%d", ++ids); });
  std::srand(17);
  ASSERT_TRUE(send_.send(dry));
  EXPECT_TRUE(server_->received().empty());
  EXPECT_EQ(kept("*.journal").count(), 0);  // nothing to resume
  std::string dry_log = env_.log();

  ids = 0;
  std::srand(17);
  ASSERT_TRUE(send_.send());
  set_unique_part_source(before);
  auto messages = server_->received();
  ASSERT_EQ(messages.size(), 2u);
  const char* names[] = {"000001", "000002"};
  for (int i = 0; i < 2; ++i) {
    std::string base = (out / "messages").std_string() + "/" + names[i];
    EXPECT_EQ(testing::read_text(base + ".eml"), messages[i].data) << names[i];
    std::string envelope = "MAIL FROM:<" + messages[i].mail_from + ">\r\n";
    for (const std::string& r : messages[i].rcpt_to) envelope += "RCPT TO:<" + r + ">\r\n";
    EXPECT_EQ(testing::read_text(base + ".envelope"), envelope) << names[i];
  }
  EXPECT_EQ(messages[0].rcpt_to,
            (std::vector<std::string>{"ann@example.com", "boss@example.com"}));
  // The log of a dry run reads as a send's, with where each message went.
  EXPECT_NE(dry_log.find("Dry run: nothing is sent; each message is written to " +
                         (out / "messages").std_string() + "\r\n"),
            std::string::npos)
      << dry_log;
  EXPECT_NE(dry_log.find("Sending Ann Ames <ann@example.com> : written to 000001.eml\r\n"
                         "bob@example.com: accepted\r\n"
                         "Sending bob@example.com : written to 000002.eml\r\n"
                         "!cy@example.com: EXCLAMATION POINT\r\n"),
            std::string::npos)
      << dry_log;
  EXPECT_NE(dry_log.find("\r\n2 sent successfully, 0 errors\r\n"), std::string::npos) << dry_log;

  // A folder that already holds files is refused: an earlier run's files
  // would mix with this one's.
  EXPECT_FALSE(send_.send(dry));
  const RecordingUi::Event* box = env_.recorder.last_box();
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->message.std_string(),
            "The folder for the dry run is not empty:\n" + (out / "messages").std_string() +
                "\nChoose a new or empty folder, so that no earlier file is taken for one of "
                "this run's messages.");
}

TEST_F(ResumeTest, ALimitStopsAfterTheFirstRecipientsAndTheJournalPlansOnlyThem) {
  recipients("!no@example.com\na@example.com\nb@example.com\nc@example.com\nd@example.com");
  SendOptions limited;
  limited.limit = 2;
  ASSERT_TRUE(send_.send(limited));
  EXPECT_EQ(delivered_to(), (std::vector<std::string>{"a@example.com", "b@example.com"}));
  EXPECT_NE(env_.log().find("Sending b@example.com : success\r\n"
                            "The send stops after its first 2 recipients.\r\n"
                            "3 recipients, 1 rejected\r\n"),
            std::string::npos)
      << env_.log();
  JournalState state = last_send();
  EXPECT_EQ(state.entries.count(), 2);
  EXPECT_EQ(state.identity.limit, 2);
  EXPECT_FALSE(state.unfinished());
}

TEST_F(ResumeTest, ATestSendGoesToTheOneAddressPersonalisedForEachRecipient) {
  project().set(kFieldCc, "boss@example.com");
  recipients("ann@example.com\nbob@example.com\ncarol@example.com");
  SendOptions test;
  test.test_address = "me@example.com";
  ASSERT_TRUE(send_.send(test));
  auto messages = server_->received();
  ASSERT_EQ(messages.size(), 1u);  // the first one, unless a limit says more
  EXPECT_EQ(messages[0].rcpt_to, std::vector<std::string>{"me@example.com"});
  EXPECT_NE(messages[0].data.find("Dear ann@example.com #1"), std::string::npos);
  EXPECT_EQ(messages[0].data.find("boss@example.com"), std::string::npos);
  EXPECT_NE(env_.log().find("Sending me@example.com (test of ann@example.com) : success\r\n"),
            std::string::npos)
      << env_.log();
  EXPECT_EQ(kept("*.journal").count(), 0);

  server_->clear();
  test.limit = 2;
  ASSERT_TRUE(send_.send(test));
  messages = server_->received();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_NE(messages[1].data.find("Dear bob@example.com #2"), std::string::npos);
  const SendProgress& summary = env_.recorder.send_reports[env_.recorder.send_reports.count() - 1];
  EXPECT_EQ(summary.headline, "Test send complete");
  EXPECT_EQ(summary.sent, 2);
}

}  // namespace
}  // namespace tessaline
