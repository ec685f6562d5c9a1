#include "core/fiber.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

namespace tessaline {
namespace {

using namespace std::chrono_literals;

struct Pipe {
  int ends[2] = {-1, -1};
  Pipe() { EXPECT_EQ(::pipe(ends), 0); }
  ~Pipe() {
    if (ends[0] >= 0) ::close(ends[0]);
    if (ends[1] >= 0) ::close(ends[1]);
  }
  int read_end() const { return ends[0]; }
  int write_end() const { return ends[1]; }
  void put(char c) { ASSERT_EQ(::write(ends[1], &c, 1), 1); }
  char take() {
    char c = 0;
    EXPECT_EQ(::read(ends[0], &c, 1), 1);
    return c;
  }
};

FiberDeadline in(std::chrono::milliseconds ms) { return FiberClock::now() + ms; }

// Two dialogues written as if each had the thread to itself: each waits
// for the other's byte, so they only get anywhere if a wait gives way.
TEST(FiberLoop, WaitsGiveWayToTheOtherFibers) {
  Pipe to_b, to_a;
  std::string order;
  FiberLoop loop;
  ASSERT_TRUE(loop.start([&] {
    for (int i = 0; i < 3; ++i) {
      order += 'a';
      to_b.put('x');
      EXPECT_TRUE(wait_fd(to_a.read_end(), POLLIN, in(10s)) & POLLIN);
      to_a.take();
    }
  }));
  ASSERT_TRUE(loop.start([&] {
    for (int i = 0; i < 3; ++i) {
      EXPECT_TRUE(wait_fd(to_b.read_end(), POLLIN, in(10s)) & POLLIN);
      to_b.take();
      order += 'b';
      to_a.put('y');
    }
  }));
  EXPECT_EQ(loop.running(), 2);
  EXPECT_FALSE(loop.run_until(nullptr));  // until both have ended
  EXPECT_EQ(order, "ababab");
  EXPECT_EQ(loop.running(), 0);
}

TEST(FiberLoop, ADeadlineEndsAWaitWithNothingReadyWhileOthersGoOn) {
  Pipe quiet;
  int result = -5;
  FiberDeadline deadline;
  int steps = 0;
  FiberLoop loop;
  ASSERT_TRUE(loop.start([&] {
    deadline = in(30ms);
    result = wait_fd(quiet.read_end(), POLLIN, deadline);
    EXPECT_GE(FiberClock::now(), deadline);
  }));
  ASSERT_TRUE(loop.start([&] {
    for (int i = 0; i < 3; ++i) {
      ++steps;
      sleep_until(in(1ms));
    }
  }));
  loop.run_until(nullptr);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(steps, 3);
}

TEST(FiberLoop, AClosedPeerIsReportedAsAHangUp) {
  Pipe pipe;
  ::close(pipe.ends[1]);
  pipe.ends[1] = -1;
  int result = 0;
  FiberLoop loop;
  ASSERT_TRUE(loop.start([&] { result = wait_fd(pipe.read_end(), POLLIN, FiberDeadline::max()); }));
  loop.run_until(nullptr);
  EXPECT_TRUE(result & POLLHUP);
}

TEST(FiberLoop, DoneStopsTheLoopAndALaterRunGoesOn) {
  Pipe go;
  int stage = 0;
  FiberLoop loop;
  ASSERT_TRUE(loop.start([&] {
    stage = 1;
    wait_fd(go.read_end(), POLLIN, FiberDeadline::max());
    stage = 2;
  }));
  EXPECT_TRUE(loop.run_until([&] { return stage == 1; }));
  EXPECT_EQ(loop.running(), 1);
  go.put('!');
  EXPECT_FALSE(loop.run_until([&] { return false; }));
  EXPECT_EQ(stage, 2);
}

TEST(FiberLoop, TheTickComesWhileEveryFiberWaits) {
  int ticks = 0;
  FiberLoop loop;
  ASSERT_TRUE(loop.start([&] { sleep_until(in(60ms)); }));
  loop.run_until(nullptr, [&] { ++ticks; }, 5);
  EXPECT_GE(ticks, 2);
}

TEST(FiberLoop, AnExceptionLeavesTheLoopInTheCodeOutside) {
  FiberLoop loop;
  ASSERT_TRUE(loop.start([] {
    sleep_until(in(1ms));
    throw std::runtime_error("from the fiber");
  }));
  try {
    loop.run_until(nullptr);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "from the fiber");
  }
  EXPECT_EQ(loop.running(), 0);
}

TEST(FiberLoop, ALoopDroppedWithAWaitingFiberDoesNotRunItAgain) {
  bool after = false;
  {
    FiberLoop loop;
    Pipe never;
    bool waiting = false;
    ASSERT_TRUE(loop.start([&] {
      waiting = true;
      wait_fd(never.read_end(), POLLIN, FiberDeadline::max());
      after = true;
    }));
    EXPECT_TRUE(loop.run_until([&] { return waiting; }));
  }
  EXPECT_FALSE(after);
}

TEST(FiberLocal, EachFiberAndTheCodeOutsideHaveTheirOwnValue) {
  static FiberLocal<int> local;
  int outside = 7, first = 1, second = 2;
  local.set(&outside);
  int* seen_first = nullptr;
  int* seen_second_before = &outside;
  int* seen_second = nullptr;
  FiberLoop loop;
  ASSERT_TRUE(loop.start([&] {
    local.set(&first);
    sleep_until(in(1ms));
    seen_first = local.get();
  }));
  ASSERT_TRUE(loop.start([&] {
    seen_second_before = local.get();  // a new fiber starts with none
    local.set(&second);
    sleep_until(in(1ms));
    seen_second = local.get();
  }));
  loop.run_until(nullptr);
  EXPECT_EQ(seen_first, &first);
  EXPECT_EQ(seen_second_before, nullptr);
  EXPECT_EQ(seen_second, &second);
  EXPECT_EQ(local.get(), &outside);
  local.set(nullptr);
}

TEST(FiberWait, OutsideEveryFiberAWaitIsAPlainPoll) {
  Pipe pipe;
  EXPECT_FALSE(in_fiber());
  EXPECT_EQ(wait_fd(pipe.read_end(), POLLIN, in(5ms)), 0);
  pipe.put('z');
  EXPECT_TRUE(wait_fd(pipe.read_end(), POLLIN, in(10s)) & POLLIN);
  FiberDeadline until = in(3ms);
  sleep_until(until);
  EXPECT_GE(FiberClock::now(), until);
}

// Stacks are reused: many short fibers in turn, with deep enough frames
// to touch more than one page each.
TEST(FiberLoop, ManyFibersInTurnEachRunOnce) {
  FiberLoop loop(128 * 1024);
  int ran = 0;
  for (int round = 0; round < 50; ++round) {
    for (int i = 0; i < 4; ++i) {
      ASSERT_TRUE(loop.start([&] {
        char frame[16 * 1024];
        for (size_t k = 0; k < sizeof frame; k += 512) frame[k] = static_cast<char>(k);
        sleep_until(in(0ms));
        ran += frame[512] == static_cast<char>(512) ? 1 : 0;
      }));
    }
    loop.run_until(nullptr);
  }
  EXPECT_EQ(ran, 200);
}

}  // namespace
}  // namespace tessaline
