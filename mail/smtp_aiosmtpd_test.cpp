// End to end: the SMTP client against aiosmtpd, a real SMTP server that no
// one here wrote, started on 127.0.0.1 by the test and stopped by its
// process id.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "core/date.h"
#include "storage/test_directory.h"
#include "mail/dkim.h"
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
  void SetUp() override { start_server(true); }

  void start_server(bool eight_bit_mime) {
    ASSERT_TRUE(folder_.ok());
    std::vector<std::string> command = {"/usr/bin/python3",
                                        kSource + "/mail/testdata/receive_smtp.py",
                                        folder_.path().std_string()};
    if (!eight_bit_mime) command.push_back("--no-8bitmime");
    pid_ = testing::start_program(command, "/dev/null", (folder_ / "server.log").std_string());
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
    previous_unique_part_ = set_unique_part_source([] { return String("unique"); });
  }
  void TearDown() override {
    quit();
    testing::stop_program(pid_);
    set_clock(previous_clock_);
    set_unique_part_source(previous_unique_part_);
  }

  // Sends the message, and composes it once more with the same boundaries
  // (and for the same server) to know what the server must have received.
  std::string send_and_expect(MimeMessage& message, unsigned seed) {
    std::srand(seed);
    EXPECT_TRUE(send_message(message)) << message.error.c_str();
    std::srand(seed);
    String text;
    EXPECT_TRUE(message.compose(&text, message.encoding == MimeMessage::k8Bit &&
                                           smtp_server_offers("8BITMIME")));
    return text.std_string();
  }

  std::string received(int n, const char* what) {
    return read_file((folder_ / (std::to_string(n) + what).c_str()).std_string());
  }

  TestDirectory folder_;
  std::string error_;
  pid_t pid_ = -1;
  Clock previous_clock_ = nullptr;
  UniquePartSource previous_unique_part_ = nullptr;
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

// A message that puts the whole way under test: encoded headers, lines
// the client dot-stuffs, an embedded file and attachments.
void fill_everything(MimeMessage& message) {
  message.from = "Jos\xc3\xa9 M\xc3\xbcller <jose@example.test>";
  message.add_recipient("Zo\xc3\xab <zoe@example.test>");
  message.subject = "Gr\xc3\xbc\xc3\x9f" "e aus K\xc3\xb6ln";
  message.set_unsubscribe("https://example.test/leave?id=7");
  message.encoding = MimeMessage::k8Bit;
  message.text_body = "Caf\xc3\xa9\r\n.a line with a dot\r\n.\r\n..two\r\nend";
  message.html_body = "<p>Html</p><img src=\"cid:logo.gif\">\n.\n";
  message.add_embedded_file((kSource + "/mail/testdata/mime/files/logo.gif").c_str());
  message.add((kSource + "/mail/testdata/mime/files/report.pdf").c_str());
  message.add((kSource + "/mail/testdata/mime/files/data54.bin").c_str());
}

TEST_F(Aiosmtpd, SignedMessagesVerifyAsTheServerReceivedThem) {
  for (const char* kind : {"rsa", "ed25519"}) {
    SCOPED_TRACE(kind);
    testing::DkimTestKey key;
    ASSERT_TRUE(testing::make_dkim_key(folder_.path().std_string(), kind, &key));
    DkimSettings settings;
    settings.selector = "s1";
    settings.domain = "example.test";
    settings.key_file = String(key.private_pem);
    String error;
    std::unique_ptr<DkimSigner> signer = DkimSigner::load(settings, &error);
    ASSERT_TRUE(signer) << error.c_str();
    MimeMessage message;
    fill_everything(message);
    message.dkim = signer.get();
    ASSERT_TRUE(send_message(message)) << message.error.c_str();
  }
  quit();
  testing::stop_program(pid_);
  pid_ = -1;
  const std::string folder = folder_.path().std_string();
  std::vector<std::string> data = {received(1, ".eml"), received(2, ".eml")};
  int n = 0;
  for (const char* kind : {"rsa", "ed25519"}) {
    SCOPED_TRACE(kind);
    testing::DkimTestKey key{kind, folder + "/dkim-" + kind + "-2048.pem",
                             folder + "/dkim-" + kind + "-2048.der"};
    std::string changed = data[n];
    changed.replace(changed.find("..two"), 5, ".two.");
    std::vector<std::string> said =
        testing::dkim_verdicts({data[n], changed}, key, "s1", "example.test", folder);
    EXPECT_EQ(said[0], "pass");
    EXPECT_TRUE(said[1].starts_with("fail")) << said[1];
    ++n;
  }
  std::vector<testing::ReaderView> read;
  ASSERT_TRUE(testing::read_as_mail_reader(data, folder, &read, &error_)) << error_;
  for (const testing::ReaderView& mail : read) {
    EXPECT_EQ(mail.header("Subject"), "Gr\xc3\xbc\xc3\x9f" "e aus K\xc3\xb6ln");
    ASSERT_EQ(mail.parts.size(), 5u);
    // The reader gives text with LF line ends.
    EXPECT_EQ(mail.parts[0].content, "Caf\xc3\xa9\n.a line with a dot\n.\n..two\nend\n");
  }
}

// The same 8bit body to a server that takes 8-bit text and to one that
// does not: it goes as it is to the first, quoted-printable to the second,
// and both readers get the same text.
TEST_F(Aiosmtpd, AnEightBitBodyTravelsAsTheServerAllows) {
  for (bool eight_bit_mime : {true, false}) {
    SCOPED_TRACE(eight_bit_mime ? "with 8BITMIME" : "without 8BITMIME");
    if (!eight_bit_mime) {
      // A server of the other kind in the same folder: it numbers its
      // messages from 1 again.
      unlink((folder_ / "port").c_str());
      unlink((folder_ / "1.eml").c_str());
      start_server(false);
    }
    MimeMessage message;
    message.from = "john@example.test";
    message.add_recipient("ann@example.test");
    message.encoding = MimeMessage::k8Bit;
    message.text_body = "Gr\xc3\xbc\xc3\x9f" "e Jos\xc3\xa9";
    ASSERT_TRUE(send_message(message)) << message.error.c_str();
    EXPECT_EQ(smtp_server_offers("8BITMIME"), eight_bit_mime);
    quit();
    testing::stop_program(pid_);
    pid_ = -1;

    std::string data = received(1, ".eml");
    bool seven_bit = true;
    for (char c : data) seven_bit = seven_bit && static_cast<unsigned char>(c) < 0x80;
    EXPECT_EQ(seven_bit, !eight_bit_mime);
    testing::ReaderView mail;
    ASSERT_TRUE(testing::read_as_mail_reader(data, folder_.path().std_string(), &mail, &error_))
        << error_;
    ASSERT_EQ(mail.parts.size(), 1u);
    EXPECT_EQ(mail.parts[0].transfer_encoding, eight_bit_mime ? "8bit" : "quoted-printable");
    // The builder's line break after the body, and the one before the end
    // marker, which the server keeps as part of the data.
    EXPECT_EQ(mail.parts[0].content, "Gr\xc3\xbc\xc3\x9f" "e Jos\xc3\xa9\n\n");
  }
}

}  // namespace
}  // namespace tessaline
