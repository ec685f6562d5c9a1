#include "core/fatal_error.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <new>

namespace tessaline {

const char* const application_name = "Tessaline Mailer";
const char* const program_version = "6.0";

namespace {

constexpr int kMaxHandlers = 100;
FatalHandler handlers[kMaxHandlers];
int handler_count = 0;
bool fatal_in_progress = false;
bool fatal_throws = false;

void default_report(const char* caption, const char* message) {
  std::fprintf(stderr, "%s\n%s\n", caption, message);
  std::fflush(stderr);
}

FatalReport current_report = default_report;

// Digits grouped by commas once there are five or more of them, as the
// out-of-memory message shows the requested size. Kept here, free of
// String, because it runs when memory is gone.
void group_digits(unsigned long long n, char* out, std::size_t out_size) {
  char digits[32];
  int count = std::snprintf(digits, sizeof digits, "%llu", n);
  std::size_t o = 0;
  for (int i = 0; i < count && o + 1 < out_size; ++i) {
    if (count >= 5 && i > 0 && (count - i) % 3 == 0 && o + 2 < out_size) out[o++] = ',';
    out[o++] = digits[i];
  }
  out[o] = 0;
}

}  // namespace

void add_fatal_handler(FatalHandler handler) {
  if (handler_count < kMaxHandlers) handlers[handler_count++] = handler;
}

void set_fatal_throws(bool on) { fatal_throws = on; }

FatalReport set_fatal_report(FatalReport report) {
  FatalReport previous = current_report;
  current_report = report ? report : default_report;
  return previous;
}

void FatalError(const char* format, ...) {
  char message[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, sizeof message, format, args);
  va_end(args);

  if (fatal_in_progress || fatal_throws) throw FatalErrorException(message);
  fatal_in_progress = true;

  for (int i = 0; i < handler_count; ++i) {
    try {
      handlers[i](message);
    } catch (...) {
      // A failing handler must not keep the others or the report from running.
    }
  }

  char caption[256];
  std::snprintf(caption, sizeof caption, "FATAL ERROR - %s", application_name);
  try {
    current_report(caption, message);
  } catch (...) {
  }
  std::fflush(nullptr);
  std::_Exit(1);
}

void out_of_memory(std::size_t requested_size) {
  char size_text[40];
  group_digits(requested_size, size_text, sizeof size_text);
  FatalError("Out Of Memory.  Make sure your hard drive is not full.\nRequested size = %s",
             size_text);
}

void* checked_malloc(std::size_t size) {
  void* block = std::malloc(size ? size : 1);
  if (!block) out_of_memory(size);
  return block;
}

void* checked_realloc(void* block, std::size_t size) {
  void* grown = std::realloc(block, size ? size : 1);
  if (!grown) out_of_memory(size);
  return grown;
}

}  // namespace tessaline

// Plain allocations report exhaustion with the requested size, as every other
// allocation of the program does. The sanitizers bring their own allocator,
// which must not be replaced, and report exhaustion themselves.
#if defined(__SANITIZE_ADDRESS__)
#define TESSALINE_NO_NEW_REPLACEMENT 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TESSALINE_NO_NEW_REPLACEMENT 1
#endif
#endif

#ifndef TESSALINE_NO_NEW_REPLACEMENT
void* operator new(std::size_t size) { return tessaline::checked_malloc(size); }
void* operator new[](std::size_t size) { return tessaline::checked_malloc(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return std::malloc(size ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return std::malloc(size ? size : 1);
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }
#endif
