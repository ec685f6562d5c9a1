#include "app/console_ui.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <csignal>

#include "app/send_status_line.h"

namespace tessaline {

namespace {

volatile std::sig_atomic_t g_interrupted = 0;
struct sigaction previous_interrupt;

void on_interrupt(int) { g_interrupted = 1; }

}  // namespace

bool interrupted_flag() { return g_interrupted != 0; }

namespace {

// The width of a terminal that does not say.
constexpr int kDefaultColumns = 80;

int64_t steady_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

ConsoleUi::ConsoleUi(std::FILE* out, bool terminal, int columns, Clock clock)
    : out_(out),
      terminal_(terminal),
      columns_(columns),
      clock_(clock ? std::move(clock) : Clock(steady_ms)) {}

ConsoleUi::ConsoleUi() : ConsoleUi(stderr, isatty(fileno(stderr)) != 0) {}

ConsoleUi::~ConsoleUi() {
  if (progress_open_) close_progress();
}

void ConsoleUi::box(const String& caption, const String& message, const char* answer) {
  clear_progress_line();
  String line = caption;
  if (!line.empty()) line += ": ";
  line += message;
  if (answer != nullptr) {
    line += " [";
    line += answer;
    line += ": nothing waits for an answer in a command-line run]";
  }
  // Messages carry servers' replies and files' lines as they came.
  line = terminal_lines(line);
  line += '\n';
  std::fwrite(line.c_str(), 1, line.length(), out_);
  std::fflush(out_);
}

void ConsoleUi::error_box(const String& message, const String& caption) {
  box(caption, message, nullptr);
}

void ConsoleUi::information_box(const String& message, const String& caption) {
  box(caption, message, nullptr);
}

bool ConsoleUi::ask_yes_no(const String& question, const String& caption) {
  box(caption, question, "No");
  return false;
}

Ui::Reply ConsoleUi::ask_yes_no_cancel(const String& question, const String& caption) {
  box(caption, question, "Cancel");
  return Reply::kCancel;
}

bool ConsoleUi::input_text(const String& prompt, const String& caption, String&, int) {
  box(caption, prompt, "Cancel");
  return false;
}

int ConsoleUi::choose_one(const String& prompt, const String& caption, const Vector<String>&,
                          int) {
  box(caption, prompt, "Cancel");
  return -1;
}

int ConsoleUi::ask_buttons(const String& question, const String& caption,
                           const Vector<String>&) {
  box(caption, question, "Closed");
  return -1;
}

void ConsoleUi::focus_field(const String& key) {
  String line = String::formatted("  (project field \"%s\")\n", key.c_str());
  std::fwrite(line.c_str(), 1, line.length(), out_);
  std::fflush(out_);
}

void ConsoleUi::focus_field_at(const String& key, int caret) {
  String line = String::formatted("  (project field \"%s\", at byte %d)\n", key.c_str(), caret);
  std::fwrite(line.c_str(), 1, line.length(), out_);
  std::fflush(out_);
}

void ConsoleUi::open_progress(const String& caption, const String& text, bool can_abort) {
  if (progress_open_) close_progress();
  progress_open_ = true;
  caption_ = caption;
  text_ = text;
  percent_ = -1;
  start_send_clock();
  // After a Ctrl-C the handler is gone for good: a second one ends the
  // program the usual way.
  if (can_abort && g_interrupted == 0) {
    struct sigaction action = {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    // One Ctrl-C aborts; the next one ends the program the usual way.
    action.sa_flags = SA_RESETHAND;
    interrupt_installed_ = sigaction(SIGINT, &action, &previous_interrupt) == 0;
  }
  draw_progress();
}

void ConsoleUi::set_progress_text(const String& text) {
  text_ = text;
  draw_progress();
}

// The send's own line says more than the window's text ("#3 of 7: ..."),
// so while a send runs the window's text and fraction only give it a
// chance to be redrawn.

void ConsoleUi::set_progress_fraction(double fraction) {
  if (!(fraction >= 0.0)) fraction = 0.0;
  if (fraction > 1.0) fraction = 1.0;
  int percent = static_cast<int>(fraction * 100.0);
  if (percent == percent_) {
    if (send_active_) draw_send_line_when_due();
    return;
  }
  percent_ = percent;
  draw_progress();
}

bool ConsoleUi::progress_aborted() {
  if (send_active_) draw_send_line_when_due();
  return progress_open_ && g_interrupted != 0;
}

void ConsoleUi::send_progress(const SendProgress& progress) {
  start_send_clock();
  if (progress.finished) {
    clear_progress_line();
    SendProgress ended = progress;
    if (g_interrupted != 0) ended.headline = interrupted_headline(progress.headline);
    String line = send_summary(ended, clock_() - send_clock_start_ms_);
    line += '\n';
    std::fwrite(line.c_str(), 1, line.length(), out_);
    std::fflush(out_);
    send_active_ = false;
    send_changed_ = false;
    send_clock_start_ms_ = -1;
    first_message_ms_ = -1;
    drawn_ms_ = -1;
    return;
  }
  if (!send_active_) {
    send_active_ = true;
    first_message_ms_ = clock_();
  }
  send_ = progress;
  send_changed_ = true;
  draw_send_line_when_due();
}

void ConsoleUi::start_send_clock() {
  if (send_clock_start_ms_ < 0) send_clock_start_ms_ = clock_();
}

bool ConsoleUi::interrupted() const { return tessaline::interrupted_flag(); }

void ConsoleUi::close_progress() {
  if (!progress_open_) return;
  clear_progress_line();
  restore_interrupt();
  progress_open_ = false;
}

void ConsoleUi::restore_interrupt() {
  if (!interrupt_installed_) return;
  if (g_interrupted == 0) sigaction(SIGINT, &previous_interrupt, nullptr);
  // After an interrupt SA_RESETHAND has already put the default back.
  interrupt_installed_ = false;
}

void ConsoleUi::draw_progress() {
  if (!terminal_ || !progress_open_) return;
  if (send_active_) {
    draw_send_line_when_due();
    return;
  }
  String line;
  if (percent_ >= 0) line.format("%3d%% ", percent_);
  line += caption_;
  if (!caption_.empty() && !text_.empty()) line += ": ";
  line += text_;
  draw_line(line);
}

void ConsoleUi::draw_send_line_when_due() {
  if (!terminal_ || !send_active_ || !send_changed_) return;
  int64_t now = clock_();
  if (!send_line_due(now, drawn_ms_)) return;
  draw_line(send_line(send_, now - first_message_ms_));
  drawn_ms_ = now;
  send_changed_ = false;
}

int ConsoleUi::line_columns() const {
  if (columns_ > 0) return columns_;
  struct winsize size = {};
  if (ioctl(fileno(out_), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return kDefaultColumns;
}

void ConsoleUi::draw_line(const String& text) {
  // The last column stays free: a line that filled it would leave the
  // cursor waiting to wrap, and some terminals then wrap on the next byte.
  int columns = line_columns() - 1;
  if (columns < 1) columns = 1;
  String line = "\r" + terminal_text(text, columns);
  line += "\x1b[K";  // erase what an older, longer line left
  std::fwrite(line.c_str(), 1, line.length(), out_);
  std::fflush(out_);
  line_drawn_ = true;
}

void ConsoleUi::clear_progress_line() {
  if (!line_drawn_) return;
  std::fputs("\r\x1b[K", out_);
  std::fflush(out_);
  line_drawn_ = false;
  // What was cleared comes back at the next chance.
  if (send_active_) send_changed_ = true;
}

}  // namespace tessaline
