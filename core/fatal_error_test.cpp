#include "core/fatal_error.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
// Let a failed allocation come back as null, so that the program's own
// out-of-memory report is what the tests see under the sanitizer too.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }
#endif

namespace tessaline {
namespace {

using testing::ExitedWithCode;

TEST(FatalErrorDeathTest, ReportsOnStderrAndExitsWithOne) {
  EXPECT_EXIT(FatalError("Invalid command line switch:\n%s", "x"), ExitedWithCode(1),
              "^FATAL ERROR - Tessaline Mailer\nInvalid command line switch:\nx\n$");
}

TEST(FatalErrorDeathTest, ArgumentsAreNeverReadAsAFormat) {
  EXPECT_EXIT(FatalError("%s", "100% %s %n"), ExitedWithCode(1), "100% %s %n");
}

TEST(FatalErrorDeathTest, LongMessagesAreCutTo1023Bytes) {
  EXPECT_EXIT(
      {
        std::string text(5000, 'y');
        FatalError("%s", text.c_str());
      },
      ExitedWithCode(1), "\ny{1023}\n$");
}

void first_handler(const char* message) { std::fprintf(stderr, "first saw [%s]\n", message); }
void throwing_handler(const char*) { throw 42; }
void last_handler(const char*) { std::fprintf(stderr, "last ran\n"); }

TEST(FatalErrorDeathTest, HandlersRunInOrderEvenWhenOneThrows) {
  EXPECT_EXIT(
      {
        add_fatal_handler(first_handler);
        add_fatal_handler(throwing_handler);
        add_fatal_handler(last_handler);
        FatalError("broken %d", 7);
      },
      ExitedWithCode(1), "first saw \\[broken 7\\]\nlast ran\nFATAL ERROR - Tessaline Mailer\nbroken 7");
}

void reentering_report(const char*, const char* message) {
  try {
    FatalError("again: %s", message);
  } catch (const FatalErrorException& e) {
    std::fprintf(stderr, "second call threw [%s]\n", e.what());
  }
}

TEST(FatalErrorDeathTest, ReenteringThrowsInsteadOfReportingTwice) {
  EXPECT_EXIT(
      {
        set_fatal_report(reentering_report);
        FatalError("first");
      },
      ExitedWithCode(1), "^second call threw \\[again: first\\]\n$");
}

TEST(FatalErrorDeathTest, InternalCheckNamesUnitAndLine) {
  EXPECT_EXIT(TESSALINE_CHECK(1 + 1 == 3, "gfile"), ExitedWithCode(1), "\ngfile [0-9]+\n$");
}

TEST(FatalErrorDeathTest, OutOfMemoryNamesTheRequestedSizeWithCommas) {
  EXPECT_EXIT(out_of_memory(1234), ExitedWithCode(1),
              "Out Of Memory.  Make sure your hard drive is not full.\nRequested size = 1234\n$");
  EXPECT_EXIT(out_of_memory(12345), ExitedWithCode(1), "Requested size = 12,345\n$");
  EXPECT_EXIT(checked_malloc(size_t(1) << 52), ExitedWithCode(1),
              "Requested size = 4,503,599,627,370,496\n$");
}

#if !defined(__SANITIZE_ADDRESS__)
TEST(FatalErrorDeathTest, PlainAllocationsEndInTheSameMessage) {
  EXPECT_EXIT(
      {
        volatile size_t huge = size_t(1) << 52;
        char* p = new char[huge];
        p[0] = 1;
      },
      ExitedWithCode(1), "Out Of Memory.  Make sure your hard drive is not full.\nRequested size = 4,503,599,627,370,496");
  // The nothrow form still answers with a null pointer.
  volatile size_t huge = size_t(1) << 52;
  EXPECT_EQ(new (std::nothrow) char[huge], nullptr);
}
#endif

}  // namespace
}  // namespace tessaline
