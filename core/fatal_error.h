// fatal_error.h - the one way to report an impossible state.
//
// FatalError() formats a printf-style message, runs the registered handlers,
// shows the message through the report function and ends the process with
// exit code 1. It never returns. It is for broken invariants, corrupt
// internal state and command-line errors: failures a user can mend are
// reported by the operation that met them and never come here.
//
// Internal checks pass "%s %d" with the unit's name and the line number
// (TESSALINE_CHECK below). A fault while a fatal error is being reported
// (a handler or the report itself failing into FatalError again) does not
// report twice: the second call throws `class FatalError` instead.
//
// Memory exhaustion ends here too: every failed heap allocation reports
// "Out Of Memory.  Make sure your hard drive is not full.\nRequested size = N".
#pragma once

#include <cstddef>
#include <exception>
#include <string>

namespace tessaline {

// The exception thrown when FatalError is entered again while one is being
// reported. Named like the function, as `struct stat` and stat(): write
// `class FatalError` (or FatalErrorException) where the type is meant.
class FatalError : public std::exception {
 public:
  explicit FatalError(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// The same type under a name that the function does not hide.
using FatalErrorException = class FatalError;

[[noreturn]] void FatalError(const char* format, ...)
    __attribute__((format(printf, 1, 2)));

// The product name: caption suffix of fatal errors, agent name of the web
// layer, caption of the sending progress window.
extern const char* const application_name;
extern const char* const program_version;

// Called with the formatted message before the report; at most 100.
// An exception a handler throws is caught and the next handler runs.
using FatalHandler = void (*)(const char* message);
void add_fatal_handler(FatalHandler handler);

// Shows the message; the default writes "FATAL ERROR - Tessaline Mailer",
// a line break and the message to stderr. The windows replace it with a
// message box. Returns the previous report function.
using FatalReport = void (*)(const char* caption, const char* message);
FatalReport set_fatal_report(FatalReport report);

// When on, FatalError throws `class FatalError` with the formatted message
// instead of reporting and ending the process. For fuzz targets, which must
// go on to the next input after an input that ends in a fatal error; the
// program itself never turns it on.
void set_fatal_throws(bool on);

// Allocation that ends in the out-of-memory fatal error instead of
// returning null. Used by String and the containers.
void* checked_malloc(std::size_t size);
void* checked_realloc(void* block, std::size_t size);
[[noreturn]] void out_of_memory(std::size_t requested_size);

}  // namespace tessaline

// An internal consistency check: on failure, FatalError("%s %d", unit, line).
#define TESSALINE_CHECK(condition, unit)                     \
  do {                                                       \
    if (!(condition)) ::tessaline::FatalError("%s %d", unit, __LINE__); \
  } while (0)
