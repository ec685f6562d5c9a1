// End to end: the SMTP client against aiosmtpd, a real SMTP server that no
// one here wrote, started on 127.0.0.1 by the test and stopped by its
// process id.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "core/date.h"
#include "storage/test_directory.h"
#include "mail/mime_message.h"
#include "mail/smtp_client.h"
#include "mail/smtp_server.h"
#include "mail/test_support.h"

namespace tessaline {
namespace {

using testing::read_file;

const std::string kSource = TESSALINE_SOURCE_DIR;

ClockReading pinned_clock() {
  ClockReading reading;
  reading.local.date = make_date(1, 31, 2027);
  reading.local.hour = 23;
  reading.local.minute = 59;
  reading.local.second = 58;
  reading.utc_offset_minutes = -300;
  return reading;
}

class Aiosmtpd : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(folder_.ok());
    pid_ = testing::start_program({"/usr/bin/python3", kSource + "/mail/testdata/receive_smtp.py",
                                   folder_.path().std_string()},
                                  "/dev/null", (folder_ / "server.log").std_string());
    ASSERT_GT(pid_, 0);
    // The server writes its port once it listens; give up after half a
    // minute rather than hang.
    std::string port;
    for (int i = 0; i < 600 && port.empty(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      port = read_file((folder_ / "port").std_string());
    }
    ASSERT_FALSE(port.empty()) << read_file((folder_ / "server.log").std_string());
    set_smtp_server("127.0.0.1");
    set_smtp_port(std::atoi(port.c_str()));
    set_smtp_timeout(30);
    previous_clock_ = set_clock(pinned_clock);
  }
  void TearDown() override {
    quit();
    testing::stop_program(pid_);
    set_clock(previous_clock_);
  }

  // Sends the message, and composes it once more with the same boundaries
  // to know what the server must have received.
  std::string send_and_expect(MimeMessage& message, unsigned seed) {
    std::srand(seed);
    EXPECT_TRUE(send_message(message)) << message.error.c_str();
    std::srand(seed);
    String text;
    EXPECT_TRUE(message.compose(&text));
    return text.std_string();
  }

  std::string received(int n, const char* what) {
    return read_file((folder_ / (std::to_string(n) + what).c_str()).std_string());
  }

  TestDirectory folder_;
  pid_t pid_ = -1;
  Clock previous_clock_ = nullptr;
};

TEST_F(Aiosmtpd, ReceivesTheMessagesByteForByteOverAKeptConnection) {
  MimeMessage message;
  message.from = "John Smith <john@example.test>";
  message.add_recipient("Ann Lee <ann@example.test>");
  message.set_cc("bob@example.test");
  message.subject = "Everything";
  message.encoding = MimeMessage::k8Bit;
  message.text_body = "Caf\xc3\xa9 text\n.a line with a dot\n.\nend";
  message.html_body = "<p>Html</p><img src=\"cid:logo.gif\">";
  message.add_embedded_file((kSource + "/mail/testdata/mime/files/logo.gif").c_str());
  message.add((kSource + "/mail/testdata/mime/files/report.pdf").c_str());
  message.add((kSource + "/mail/testdata/mime/files/data54.bin").c_str());
  std::string first = send_and_expect(message, 11);
  ASSERT_TRUE(smtp_connection().is_open());

  MimeMessage plain;
  plain.from = "john@example.test";
  plain.add_recipient("carol@example.test");
  plain.text_body = "..two dots\r\n.\r\nlast line";
  std::string second = send_and_expect(plain, 12);
  quit();
  // Stopping the server after the last reply makes sure it has written
  // both messages.
  testing::stop_program(pid_);
  pid_ = -1;

  // The server gets the data up to the line of the end marker; the CR LF
  // before "." belongs to the data.
  EXPECT_EQ(received(1, ".eml"), first + "\r\n");
  EXPECT_EQ(received(1, ".envelope"), "john@example.test\nann@example.test\nbob@example.test\n");
  EXPECT_EQ(received(2, ".eml"), second + "\r\n");
  EXPECT_EQ(received(2, ".envelope"), "john@example.test\ncarol@example.test\n");
  EXPECT_EQ(received(3, ".eml"), "");
}

}  // namespace
}  // namespace tessaline
