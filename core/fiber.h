// fiber.h - cooperative fibers in one thread: several pieces of code that
// are written as if they could block (an SMTP dialogue each) take turns
// exactly where they would wait, driven by one poll() loop.
//
// A fiber runs a function on a stack of its own. It gives way only in
// wait_fd() and sleep_until(); FiberLoop::run_until() then waits for every
// waiting fiber's file descriptor with one poll() and resumes each one
// whose descriptor is ready or whose deadline has passed. Outside a fiber
// the same two calls simply wait (poll(), a sleep), so code that waits
// through them works unchanged with and without fibers: a Connection
// driven by one send, or by one of several at once.
//
// Nothing runs at the same time: the code between two waits of a fiber
// runs alone, so fibers share the program's state without locks, but any
// state a fiber keeps across a wait may have been changed by another one
// meanwhile. FiberLocal gives each fiber (and the code outside every
// fiber) its own value of a pointer, as thread_local gives each thread.
//
// Not for: threads (a fiber never runs beside another, nor in another
// thread), or CPU work in parallel. One loop runs at a time, in one thread;
// a fiber must not start a loop of its own.
//
// The first loop made in a thread is that thread's loop while it exists:
// sleep_until() outside its fibers runs them meanwhile.
//
// Failures: start() returns false when no stack can be mapped. An
// exception that leaves a fiber's function is kept and thrown again out
// of run_until() in the code outside the fibers (so fatal_error's
// exception in tests reaches the test). wait_fd() returns -1 with errno
// when poll() itself failed. A fiber's stack ends in a guard page: a
// fiber that overruns it crashes at once instead of writing over memory.
#pragma once

#include <chrono>
#include <exception>
#include <functional>
#include <memory>

#include "core/containers.h"

namespace tessaline {

using FiberClock = std::chrono::steady_clock;
using FiberDeadline = FiberClock::time_point;

// True while the code runs on a fiber (not outside every fiber).
bool in_fiber();

// Waits until `fd` reports one of `events` (POLLIN, POLLOUT) or the
// deadline passes (FiberDeadline::max(): no deadline). Returns poll()'s
// revents for the descriptor (POLLERR and POLLHUP among them), 0 when the
// deadline passed, -1 with errno when poll() failed.
int wait_fd(int fd, short events, FiberDeadline deadline);

// Waits until the deadline: on a fiber the others run meanwhile, and so
// they do when the code outside the fibers of a loop waits. Elsewhere a
// signal may end the wait early, as it ends nanosleep().
void sleep_until(FiberDeadline deadline);

class FiberLoop {
 public:
  // Room for what a delivery may run on its fiber: composing, a database
  // driver reading ahead, the window's event processing in a progress
  // callback. Only the pages a fiber touches take memory.
  static constexpr size_t kDefaultStack = 4 * 1024 * 1024;

  explicit FiberLoop(size_t stack_bytes = kDefaultStack);
  // Fibers that have not ended (after an exception left run_until()) are
  // dropped without running again; what their stacks hold is not destroyed.
  ~FiberLoop();
  FiberLoop(const FiberLoop&) = delete;
  FiberLoop& operator=(const FiberLoop&) = delete;

  // A new fiber for `body`; it first runs in the next run_until(). False
  // when no stack could be had.
  bool start(std::function<void()> body);

  // Runs the fibers until `done` returns true (asked before anything runs
  // and after each fiber's turn) or no fiber is left. With `tick`, it is
  // called at least every `tick_ms` while all fibers wait, so that the
  // code outside can keep a window painted or notice a stop. True when
  // `done` said so.
  bool run_until(const std::function<bool()>& done,
                 const std::function<void()>& tick = nullptr, int tick_ms = 100);

  // Gives every fiber that can go on now (just started, its descriptor
  // ready, its deadline passed) one turn, without waiting.
  void run_ready();

  // Fibers started and not yet ended.
  int running() const { return fibers_.count(); }

  struct Fiber;  // the loop's own record of one fiber

 private:
  void resume(Fiber& fiber);
  void reap();
  // Polls the waiting fibers' descriptors for at most `most_ms` (-1: until
  // the first deadline) and makes ready those whose descriptor is ready
  // or whose deadline has passed.
  void wake(int most_ms);
  // Gives every ready fiber a turn (stopping early once `done`), throws
  // again what a fiber threw; true when any ran.
  bool take_turns(const std::function<bool()>& done);

  size_t stack_bytes_;
  Vector<Fiber*> fibers_;
  Vector<void*> spare_stacks_;  // of ended fibers, for the next ones
  std::exception_ptr failure_;
};

// A pointer with one value per fiber, and one for the code outside every
// fiber; null until set. At most kFiberLocals of them exist.
inline constexpr int kFiberLocals = 8;

class FiberLocalBase {
 protected:
  FiberLocalBase();
  void* get_slot() const;
  void set_slot(void* value);

 private:
  int index_;
};

template <typename T>
class FiberLocal : public FiberLocalBase {
 public:
  T* get() const { return static_cast<T*>(get_slot()); }
  void set(T* value) { set_slot(value); }
};

}  // namespace tessaline
