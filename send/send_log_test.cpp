// Tests of the send log file and its texts.
#include "send/send_log.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "storage/test_directory.h"

namespace tessaline {
namespace {

TEST(SendLog, TheHeadingIsUnderlinedToItsLength) {
  EXPECT_EQ(log_heading("12/10/2026 3:04:05a").std_string(),
            "\r\nSend operation performed on 12/10/2026 3:04:05a\r\n" + std::string(47, '-') +
                "\r\n");
}

TEST(SendLog, Totals) {
  struct Case {
    bool identical;
    int attempted, errors;
    int64_t elapsed, bytes;
    const char* text;
  } cases[] = {
      {false, 3, 1, 1500, 2048,
       "\r\n2 sent successfully, 1 errors\r\n\r\nTotal elapsed time: 1.50 seconds"
       "\r\nTotal bytes sent: 2.00 KB (1.33 KB per second)\r\n"},
      {true, 0, 0, 250, 512,
       "\r\nTotal elapsed time: 250 milliseconds\r\nTotal bytes sent: 512 bytes"
       " (2.00 KB per second)\r\n"},
      {false, 1, 1, 1500, 0,
       "\r\n0 sent successfully, 1 errors\r\n\r\nTotal elapsed time: 1.50 seconds"
       "\r\nTotal bytes sent: 0 bytes\r\n"},
      {false, 1, 0, 0, 100,
       "\r\n1 sent successfully, 0 errors\r\n\r\nTotal elapsed time: 0 milliseconds"
       "\r\nTotal bytes sent: 100 bytes\r\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(totals_text(c.identical, c.attempted, c.errors, c.elapsed, c.bytes).std_string(),
              c.text);
  }
}

TEST(SendLog, EveryWriteIsInTheFileAtOnceAndTheLogIsNotShared) {
  TestDirectory dir;
  String path = dir / kSendLogName;
  ASSERT_TRUE(dir.put(kSendLogName, "an older log"));
  SendLog log;
  String error;
  ASSERT_TRUE(log.create(path, &error)) << error.c_str();
  log.write("ann@example.com: accepted\r\n");
  log.write(String("Sending ann@example.com :"));
  // Read by another open of the file while the log is still open.
  EXPECT_EQ(TestDirectory::read(path).std_string(),
            "ann@example.com: accepted\r\nSending ann@example.com :");

  SendLog second;
  EXPECT_FALSE(second.create(path, &error));
  EXPECT_FALSE(error.empty());

  String copy = dir / kLogViewName;
  ASSERT_TRUE(log.copy_to(copy));
  EXPECT_EQ(TestDirectory::read(copy).std_string(),
            "ann@example.com: accepted\r\nSending ann@example.com :");
  log.close();
  EXPECT_FALSE(log.write_failed());
  EXPECT_FALSE(log.copy_to(copy));
  log.write("after the end");
  EXPECT_TRUE(log.write_failed());
}

TEST(SendLog, AHoldWritesWhatItKeptWithOneWriteToEachFile) {
  TestDirectory dir;
  String path = dir / kSendLogName;
  SendLog log;
  String error;
  ASSERT_TRUE(log.create(path, &error)) << error.c_str();
  log.keep_copy(dir / "kept.LOG");
  std::vector<std::pair<bool, std::string>> writes;
  log.set_write_hook([&](bool copy, std::string_view text) { writes.emplace_back(copy, text); });
  log.hold();
  EXPECT_TRUE(log.write("ann@example.com: accepted\r\n"));
  log.hold();  // nested: the inner release writes nothing
  EXPECT_TRUE(log.write("Sending ann@example.com :"));
  EXPECT_TRUE(log.release());
  EXPECT_TRUE(writes.empty());
  EXPECT_EQ(TestDirectory::read(path).std_string(), "");
  EXPECT_TRUE(log.write(" success\r\n"));
  EXPECT_TRUE(log.release());
  const std::string lines = "ann@example.com: accepted\r\nSending ann@example.com : success\r\n";
  EXPECT_EQ(writes, (std::vector<std::pair<bool, std::string>>{{false, lines}, {true, lines}}));
  EXPECT_EQ(TestDirectory::read(path).std_string(), lines);
  EXPECT_EQ(TestDirectory::read(dir / "kept.LOG").std_string(), lines);

  // A flush writes what is kept so far and the hold goes on; close()
  // writes the rest.
  writes.clear();
  log.hold();
  log.write("a");
  EXPECT_TRUE(log.flush());
  log.write("b");
  log.write("c");
  EXPECT_EQ(writes.size(), 2u);
  log.close();
  EXPECT_EQ(writes.size(), 4u);
  EXPECT_EQ(TestDirectory::read(path).std_string(), lines + "abc");
}

}  // namespace
}  // namespace tessaline
