#include "core/fiber.h"

#include <poll.h>
#include <sys/mman.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

#include "core/fatal_error.h"

// AddressSanitizer keeps its own picture of the stack in use; it is told
// of every switch, or it would take one fiber's frames for another's.
#if defined(__SANITIZE_ADDRESS__)
#define TESSALINE_ASAN_FIBERS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TESSALINE_ASAN_FIBERS 1
#endif
#endif
#ifdef TESSALINE_ASAN_FIBERS
#include <sanitizer/common_interface_defs.h>
#endif

namespace tessaline {

struct FiberLoop::Fiber {
  enum class State { kReady, kWaiting, kEnded };

  ucontext_t context;
  void* stack = nullptr;  // the mapping, guard page first
  size_t stack_bytes = 0;
  std::function<void()> body;
  State state = State::kReady;
  // What it waits for: a descriptor (-1: none, only the deadline) and
  // its events; what poll() reported when it was woken.
  int fd = -1;
  short events = 0;
  FiberDeadline deadline = FiberDeadline::max();
  int revents = 0;
  int wait_errno = 0;
  void* locals[kFiberLocals] = {};
  std::exception_ptr failure;
#ifdef TESSALINE_ASAN_FIBERS
  void* fake_stack = nullptr;
#endif
};

namespace {

// The loop's state for the thread that runs it; one loop at a time.
struct Running {
  ucontext_t outside;              // where run_until() resumed the fiber from
  FiberLoop::Fiber* current = nullptr;
  FiberLoop* loop = nullptr;  // the thread's loop, while it exists
  void* outside_locals[kFiberLocals] = {};
#ifdef TESSALINE_ASAN_FIBERS
  const void* outside_bottom = nullptr;
  size_t outside_size = 0;
#endif
};

thread_local Running state_;

size_t page_size() {
  static const size_t size = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  return size;
}

// Switches from the code outside to `fiber`, and returns when it gives way.
void switch_to(FiberLoop::Fiber& fiber) {
  state_.current = &fiber;
#ifdef TESSALINE_ASAN_FIBERS
  void* fake = nullptr;
  __sanitizer_start_switch_fiber(&fake, static_cast<char*>(fiber.stack) + page_size(),
                                 fiber.stack_bytes - page_size());
#endif
  ::swapcontext(&state_.outside, &fiber.context);
#ifdef TESSALINE_ASAN_FIBERS
  __sanitizer_finish_switch_fiber(fake, nullptr, nullptr);
#endif
  state_.current = nullptr;
}

// Gives way from the running fiber to the code outside.
void switch_out(FiberLoop::Fiber& fiber, bool ending) {
#ifdef TESSALINE_ASAN_FIBERS
  // An ending fiber's fake stack is released (null).
  __sanitizer_start_switch_fiber(ending ? nullptr : &fiber.fake_stack, state_.outside_bottom,
                                 state_.outside_size);
#else
  (void)ending;
#endif
  ::swapcontext(&fiber.context, &state_.outside);
#ifdef TESSALINE_ASAN_FIBERS
  __sanitizer_finish_switch_fiber(fiber.fake_stack, &state_.outside_bottom,
                                  &state_.outside_size);
#endif
}

void fiber_entry() {
  FiberLoop::Fiber& fiber = *state_.current;
#ifdef TESSALINE_ASAN_FIBERS
  __sanitizer_finish_switch_fiber(nullptr, &state_.outside_bottom, &state_.outside_size);
#endif
  try {
    fiber.body();
  } catch (...) {
    fiber.failure = std::current_exception();
  }
  fiber.body = nullptr;
  fiber.state = FiberLoop::Fiber::State::kEnded;
  switch_out(fiber, true);
  FatalError("An ended fiber was resumed");
}

// Milliseconds from now until `deadline` for poll(): -1 for none, at least 0.
int poll_ms(FiberDeadline deadline) {
  if (deadline == FiberDeadline::max()) return -1;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - FiberClock::now());
  // Rounded up, so that a wait does not wake a little early and spin.
  if (deadline > FiberClock::now() + left) left += std::chrono::milliseconds(1);
  return static_cast<int>(std::clamp<int64_t>(left.count(), 0, 1 << 30));
}

}  // namespace

bool in_fiber() { return state_.current != nullptr; }

int wait_fd(int fd, short events, FiberDeadline deadline) {
  if (FiberLoop::Fiber* fiber = state_.current) {
    fiber->fd = fd;
    fiber->events = events;
    fiber->deadline = deadline;
    fiber->revents = 0;
    fiber->wait_errno = 0;
    fiber->state = FiberLoop::Fiber::State::kWaiting;
    switch_out(*fiber, false);
    if (fiber->revents < 0) errno = fiber->wait_errno;
    return fiber->revents;
  }
  for (;;) {
    pollfd entry{fd, events, 0};
    int ready = ::poll(&entry, 1, poll_ms(deadline));
    if (ready > 0) return entry.revents;
    if (ready == 0) {
      if (FiberClock::now() >= deadline) return 0;
      continue;
    }
    if (errno != EINTR) return -1;
  }
}

void sleep_until(FiberDeadline deadline) {
  if (state_.current) {
    wait_fd(-1, 0, deadline);
    return;
  }
  // Outside the fibers of a loop that has some, they go on meanwhile.
  FiberLoop* loop = state_.loop;
  bool woke = false;
  if (loop && loop->running() > 0 && loop->start([&] {
        sleep_until(deadline);
        woke = true;
      })) {
    loop->run_until([&] { return woke; });
    if (woke) return;
  }
  // One nanosleep(): a signal (Ctrl-C) ends it early, for the caller to
  // look at what the signal changed.
  auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - FiberClock::now());
  if (left.count() <= 0) return;
  timespec t;
  t.tv_sec = static_cast<time_t>(left.count() / 1000000000);
  t.tv_nsec = static_cast<long>(left.count() % 1000000000);
  ::nanosleep(&t, nullptr);
}

FiberLoop::FiberLoop(size_t stack_bytes)
    : stack_bytes_((std::max<size_t>(stack_bytes, 64 * 1024) + page_size() - 1) /
                   page_size() * page_size()) {
  if (!state_.loop) state_.loop = this;
}

FiberLoop::~FiberLoop() {
  if (state_.loop == this) state_.loop = nullptr;
  // Fibers still waiting (an exception left run_until()) are dropped: what
  // lies on their stacks is never destroyed, but nothing runs on them again.
  for (Fiber* fiber : fibers_) {
    spare_stacks_.append(fiber->stack);
    delete fiber;
  }
  for (void* stack : spare_stacks_) ::munmap(stack, stack_bytes_ + page_size());
}

bool FiberLoop::start(std::function<void()> body) {
  if (state_.current) FatalError("A fiber cannot start fibers");
  void* stack = nullptr;
  const size_t mapped = stack_bytes_ + page_size();
  if (!spare_stacks_.empty()) {
    stack = spare_stacks_.last();
    spare_stacks_.remove(spare_stacks_.count() - 1);
  } else {
    // Only the pages a fiber touches take memory.
    stack = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
    if (stack == MAP_FAILED) return false;
    // The lowest page stays inaccessible: an overrun faults there.
    if (::mprotect(stack, page_size(), PROT_NONE) != 0) {
      ::munmap(stack, mapped);
      return false;
    }
  }
  auto fiber = std::make_unique<Fiber>();
  fiber->stack = stack;
  fiber->stack_bytes = mapped;
  fiber->body = std::move(body);
  ::getcontext(&fiber->context);
  fiber->context.uc_stack.ss_sp = static_cast<char*>(stack) + page_size();
  fiber->context.uc_stack.ss_size = stack_bytes_;
  fiber->context.uc_link = nullptr;
  ::makecontext(&fiber->context, fiber_entry, 0);
  fibers_.append(fiber.release());
  return true;
}

void FiberLoop::resume(Fiber& fiber) {
  fiber.state = Fiber::State::kReady;
  switch_to(fiber);
  if (fiber.state == Fiber::State::kEnded && fiber.failure && !failure_) failure_ = fiber.failure;
}

void FiberLoop::reap() {
  for (int i = 0; i < fibers_.count();) {
    Fiber* fiber = fibers_[i];
    if (fiber->state != Fiber::State::kEnded) {
      ++i;
      continue;
    }
    spare_stacks_.append(fiber->stack);
    delete fiber;
    fibers_.remove(i);
  }
}

void FiberLoop::wake(int most_ms) {
  Vector<pollfd> entries;
  Vector<Fiber*> polled;
  FiberDeadline first = FiberDeadline::max();
  for (Fiber* fiber : fibers_) {
    if (fiber->state != Fiber::State::kWaiting) continue;
    first = std::min(first, fiber->deadline);
    if (fiber->fd < 0) continue;
    entries.append(pollfd{fiber->fd, fiber->events, 0});
    polled.append(fiber);
  }
  int timeout = poll_ms(first);
  if (most_ms >= 0 && (timeout < 0 || timeout > most_ms)) timeout = most_ms;
  int ready = ::poll(entries.empty() ? nullptr : entries.begin(),
                     static_cast<nfds_t>(entries.count()), timeout);
  if (ready < 0 && errno != EINTR) {
    // Every waiting fiber hears of it, rather than waiting for ever.
    int error = errno;
    for (Fiber* fiber : polled) {
      fiber->revents = -1;
      fiber->wait_errno = error;
      fiber->state = Fiber::State::kReady;
    }
  }
  for (int i = 0; ready > 0 && i < entries.count(); ++i) {
    if (entries[i].revents == 0) continue;
    polled[i]->revents = entries[i].revents;
    polled[i]->state = Fiber::State::kReady;
  }
  const FiberDeadline now = FiberClock::now();
  for (Fiber* fiber : fibers_) {
    if (fiber->state == Fiber::State::kWaiting && fiber->deadline <= now) {
      fiber->revents = 0;
      fiber->state = Fiber::State::kReady;
    }
  }
}

bool FiberLoop::take_turns(const std::function<bool()>& done) {
  bool ran = false;
  for (int i = 0; i < fibers_.count(); ++i) {
    Fiber* fiber = fibers_[i];
    if (fiber->state != Fiber::State::kReady) continue;
    resume(*fiber);
    ran = true;
    if (failure_) break;
    if (done && done()) break;
  }
  reap();
  if (failure_) {
    std::exception_ptr failure = failure_;
    failure_ = nullptr;
    std::rethrow_exception(failure);
  }
  return ran;
}

void FiberLoop::run_ready() {
  if (state_.current) FatalError("A fiber cannot run a fiber loop");
  wake(0);
  take_turns(nullptr);
}

bool FiberLoop::run_until(const std::function<bool()>& done, const std::function<void()>& tick,
                          int tick_ms) {
  if (state_.current) FatalError("A fiber cannot run a fiber loop");
  for (;;) {
    if (done && done()) return true;
    // Every fiber that can go on takes its turn; when none could, all
    // wait, and one poll() waits for all of them.
    const bool ran = take_turns(done);
    if (done && done()) return true;
    if (fibers_.empty()) return false;
    if (ran) continue;
    wake(tick ? tick_ms : -1);
    if (tick) tick();
  }
}

FiberLocalBase::FiberLocalBase() {
  static std::atomic<int> made{0};
  index_ = made++;
  if (index_ >= kFiberLocals) FatalError("Too many fiber-local values");
}

void* FiberLocalBase::get_slot() const {
  return state_.current ? state_.current->locals[index_] : state_.outside_locals[index_];
}

void FiberLocalBase::set_slot(void* value) {
  (state_.current ? state_.current->locals[index_] : state_.outside_locals[index_]) = value;
}

}  // namespace tessaline
