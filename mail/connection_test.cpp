#include "mail/connection.h"

#include <gtest/gtest.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "mail/test_support.h"

namespace tessaline {
namespace {

struct ReplyCase {
  const char* name;
  std::vector<std::string> pieces;
  int code;          // after the last piece
  int pieces_taken;  // how many pieces were fed before the code came
  const char* text;
};

class ReplyAssemblerTest : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(ReplyAssemblerTest, AssemblesPieces) {
  const ReplyCase& c = GetParam();
  ReplyAssembler reply;
  int code = ReplyAssembler::kMore;
  int taken = 0;
  for (const std::string& piece : c.pieces) {
    ASSERT_EQ(code, ReplyAssembler::kMore) << "the reply ended before piece " << taken;
    code = reply.feed(piece);
    ++taken;
  }
  EXPECT_EQ(code, c.code);
  EXPECT_EQ(taken, c.pieces_taken);
  EXPECT_EQ(reply.text(), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ReplyAssemblerTest,
    ::testing::Values(
        ReplyCase{"one_line", {"220 smtp.test ready\r\n"}, 220, 1, "220 smtp.test ready"},
        ReplyCase{"continued_in_second_piece",
                  {"250-smtp.test\r\n", "250 8BITMIME\r\n"}, 250, 2,
                  "250-smtp.test\r\n250 8BITMIME"},
        ReplyCase{"whole_multiline_in_one_piece",
                  {"250-smtp.test\r\n250-SIZE 1000\r\n251 last\r\n"}, 251, 1,
                  "250-smtp.test\r\n250-SIZE 1000\r\n251 last"},
        // A piece may end anywhere, even inside the code of the final line.
        ReplyCase{"split_inside_code", {"250-a\r\n25", "4 ok\r\n"}, 254, 2, "250-a\r\n254 ok"},
        ReplyCase{"split_before_line_break", {"354 go ahead", "\r\n"}, 354, 2, "354 go ahead"},
        ReplyCase{"short_final_line", {"250-x\r\n", "55\r\n"}, 55, 2, "250-x\r\n55"},
        ReplyCase{"bare_lf_lines", {"250-x\n250 y\n"}, 250, 1, "250-x\n250 y"},
        ReplyCase{"commas_ignored", {"2,50 ok\r\n"}, 250, 1, "2,50 ok"},
        ReplyCase{"no_number", {"hello there\r\n"}, 0, 1, "hello there"},
        ReplyCase{"trailing_blank_lines", {"221 bye\r\n\r\n \r\n"}, 221, 1, "221 bye"}),
    [](const auto& info) { return info.param.name; });

TEST(ReplyAssembler, GivesUpBeyondTheBound) {
  ReplyAssembler reply;
  std::string line = "250-" + std::string(1000, 'x') + "\r\n";
  int code = ReplyAssembler::kMore;
  int fed = 0;
  while (code == ReplyAssembler::kMore && fed < 1000) {
    code = reply.feed(line);
    ++fed;
  }
  EXPECT_EQ(code, ReplyAssembler::kTooLong);
  EXPECT_LE(reply.text().length(), ReplyAssembler::kMaxReply);
}

// A connected pair of local sockets, the test holding the far end.
class ConnectionPair : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    connection.handle = fds[0];
    far = fds[1];
  }
  void TearDown() override {
    if (far >= 0) ::close(far);
  }
  void write_far(const std::string& text) {
    ASSERT_EQ(::write(far, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  Connection connection;
  int far = -1;
};

TEST_F(ConnectionPair, ReadsAReplyWithItsText) {
  write_far("250-first\r\n250 second\r\n");
  String text;
  EXPECT_EQ(read_reply(connection, &text), 250);
  EXPECT_EQ(text, "250-first\r\n250 second");
}

// Pipelined answers, or a "421" right behind the last answer, arrive in
// one piece: each read takes exactly one reply and keeps the rest.
TEST_F(ConnectionPair, RepliesThatArriveTogetherAreReadOneByOne) {
  write_far("250 sender ok\r\n250-recipient\r\n250 ok\r\n354 go");
  String text;
  EXPECT_EQ(read_reply(connection, &text), 250);
  EXPECT_EQ(text, "250 sender ok");
  EXPECT_TRUE(connection.peer_hung_up()) << "the unasked-for bytes count as the peer's";
  EXPECT_EQ(read_reply(connection, &text), 250);
  EXPECT_EQ(text, "250-recipient\r\n250 ok");
  write_far(" ahead\r\n");
  EXPECT_EQ(read_reply(connection, &text), 354);
  EXPECT_EQ(text, "354 go ahead");
  EXPECT_TRUE(connection.unread.empty());
  connection.unread = "221 bye\r\n";
  connection.close();
  EXPECT_TRUE(connection.unread.empty());
}

TEST_F(ConnectionPair, BytesBehindTheStartTlsAnswerRefuseTheHandshake) {
  write_far("220 go ahead\r\n250 injected\r\n");
  EXPECT_EQ(read_reply(connection), 220);
  String why;
  EXPECT_FALSE(connection.start_tls(TlsOptions(), &why));
  EXPECT_TRUE(why.contains("before the TLS handshake")) << why.c_str();
}

TEST_F(ConnectionPair, PeerClosingMidReplyGivesZero) {
  write_far("250-first\r\n");
  ::close(far);
  far = -1;
  String text = "stale";
  EXPECT_EQ(read_reply(connection, &text), 0);
  EXPECT_FALSE(connection.timed_out);
}

TEST_F(ConnectionPair, SilentPeerRunsIntoTheTimeLimit) {
  connection.timeout_seconds = 1;
  write_far("250-more to come\r\n");
  EXPECT_EQ(read_reply(connection), 0);
  EXPECT_TRUE(connection.timed_out);
  EXPECT_EQ(connection.last_error, ETIMEDOUT);
}

TEST_F(ConnectionPair, WithoutWaitingReceiveTakesOnlyWhatHasArrived) {
  connection.wait_for_data = false;
  String piece = "stale";
  EXPECT_TRUE(connection.receive(&piece));
  EXPECT_TRUE(piece.empty());
  write_far("220 hi\r\n");
  EXPECT_TRUE(connection.receive(&piece));
  EXPECT_EQ(piece, "220 hi\r\n");
}

TEST_F(ConnectionPair, TheTimeLimitHoldsForTheWholeReply) {
  connection.timeout_seconds = 1;
  write_far("250-first\r\n");
  // A peer that sends a byte now and then, never finishing the reply,
  // until the reader has given up.
  std::atomic<bool> done = false;
  std::thread trickle([&] {
    while (!done) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      if (::write(far, "x", 1) != 1) break;
    }
  });
  String text;
  EXPECT_EQ(read_reply(connection, &text), 0);
  done = true;
  trickle.join();
  EXPECT_TRUE(connection.timed_out);
  EXPECT_TRUE(text.starts_with("250-first\r\nx")) << text.c_str();
}

TEST_F(ConnectionPair, SendRefusesEmptyBuffersAndSendsExactBytes) {
  EXPECT_FALSE(connection.send("x", 0));
  EXPECT_FALSE(connection.send(nullptr, 3));
  EXPECT_FALSE(connection.send("x", -1));
  ASSERT_TRUE(connection.send_text("HELO a\r\n"));
  char buffer[32] = {};
  EXPECT_EQ(::read(far, buffer, sizeof buffer), 8);
  EXPECT_STREQ(buffer, "HELO a\r\n");
}

TEST_F(ConnectionPair, SendToAClosedPeerFailsAndClosesTheSocket) {
  ::close(far);
  far = -1;
  // The first write may still be taken by the kernel; a later one fails
  // with EPIPE, and the dead socket is closed rather than kept.
  bool failed = false;
  for (int i = 0; i < 3 && !failed; ++i) failed = !connection.send_text("RSET\r\n");
  EXPECT_TRUE(failed);
  EXPECT_FALSE(connection.is_open());
  EXPECT_EQ(connection.last_error, EPIPE);
}

bool fixed_resolver(const char* host, Address* address, int* error) {
  if (std::string(host) == "mail.example.test") {
    *address = Address::from_bytes(127, 0, 0, 1);
    return true;
  }
  *error = EAI_NONAME;
  return false;
}

TEST(Resolve, UsesTheInstalledResolverAndReportsItsError) {
  Resolver previous = set_resolver(fixed_resolver);
  Address address;
  EXPECT_TRUE(resolve("mail.example.test", &address));
  EXPECT_EQ(address.text(), "127.0.0.1");
  EXPECT_FALSE(address.is_null);
  EXPECT_FALSE(resolve("mail.", &address));
  EXPECT_EQ(resolve_error(), EAI_NONAME);
  EXPECT_FALSE(resolve("", &address));
  EXPECT_FALSE(resolve(nullptr, &address));
  EXPECT_FALSE(resolve("mail.example.test", nullptr));
  set_resolver(previous);
}

TEST(Resolve, SystemResolverReadsDottedQuads) {
  Address address;
  ASSERT_TRUE(resolve("127.0.0.1", &address));
  EXPECT_EQ(address.text(), "127.0.0.1");
  ASSERT_TRUE(resolve("0.0.0.0", &address));
  EXPECT_TRUE(address.is_null);
}

}  // namespace
}  // namespace tessaline
