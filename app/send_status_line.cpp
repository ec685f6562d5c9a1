#include "app/send_status_line.h"

#include <climits>
#include <cmath>
#include <cstring>

namespace tessaline {

namespace {

// One character of UTF-8 text: its code point (-1 for a byte that does not
// begin a valid sequence) and its length in bytes.
struct Character {
  int32_t code = -1;
  int length = 1;
};

Character decode(const String& text, int at) {
  const auto byte = [&](int i) { return static_cast<unsigned char>(text[i]); };
  unsigned char first = byte(at);
  if (first < 0x80) return {first, 1};
  int length;
  int32_t code;
  int32_t least;
  if (first >= 0xC2 && first <= 0xDF) {
    length = 2, code = first & 0x1F, least = 0x80;
  } else if (first >= 0xE0 && first <= 0xEF) {
    length = 3, code = first & 0x0F, least = 0x800;
  } else if (first >= 0xF0 && first <= 0xF4) {
    length = 4, code = first & 0x07, least = 0x10000;
  } else {
    return {};
  }
  if (at + length > text.length()) return {};
  for (int i = 1; i < length; ++i) {
    unsigned char next = byte(at + i);
    if ((next & 0xC0) != 0x80) return {};
    code = (code << 6) | (next & 0x3F);
  }
  // Overlong forms, surrogates and code points past Unicode are not text.
  if (code < least || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) return {};
  return {code, length};
}

bool is_control(int32_t code) { return code < 0x20 || (code >= 0x7F && code <= 0x9F); }

// Invisible format characters, the direction overrides among them: left
// in, they would let a recipient's text reorder what the line shows.
bool is_format(int32_t code) {
  return (code >= 0x200B && code <= 0x200F) || (code >= 0x202A && code <= 0x202E) ||
         (code >= 0x2060 && code <= 0x206F) || code == 0xFEFF;
}

bool is_combining(int32_t code) {
  return (code >= 0x0300 && code <= 0x036F) || (code >= 0x1AB0 && code <= 0x1AFF) ||
         (code >= 0x1DC0 && code <= 0x1DFF) || (code >= 0x20D0 && code <= 0x20FF) ||
         (code >= 0xFE20 && code <= 0xFE2F);
}

bool is_wide(int32_t code) {
  return (code >= 0x1100 && code <= 0x115F) || (code >= 0x2E80 && code <= 0x303E) ||
         (code >= 0x3041 && code <= 0x33FF) || (code >= 0x3400 && code <= 0x4DBF) ||
         (code >= 0x4E00 && code <= 0x9FFF) || (code >= 0xA000 && code <= 0xA4CF) ||
         (code >= 0xAC00 && code <= 0xD7A3) || (code >= 0xF900 && code <= 0xFAFF) ||
         (code >= 0xFE30 && code <= 0xFE4F) || (code >= 0xFF00 && code <= 0xFF60) ||
         (code >= 0xFFE0 && code <= 0xFFE6) || (code >= 0x1F300 && code <= 0x1F64F) ||
         (code >= 0x1F900 && code <= 0x1F9FF) || (code >= 0x20000 && code <= 0x3FFFD);
}

// Walks `text` as the terminal shows it: calls `take(bytes, count, columns)`
// with what to write for each character and the columns it takes, until
// `take` returns false.
template <typename Take>
void walk(const String& text, Take take) {
  for (int at = 0; at < text.length();) {
    Character c = decode(text, at);
    bool going;
    if (c.code < 0) {
      going = take("?", 1, 1);
    } else if (is_control(c.code)) {
      going = take(" ", 1, 1);
    } else if (is_format(c.code)) {
      going = true;
    } else {
      going = take(text.c_str() + at, c.length,
                   is_combining(c.code) ? 0 : is_wide(c.code) ? 2 : 1);
    }
    if (!going) return;
    at += c.length;
  }
}

// `value` printed with one decimal below ten and none from ten on, as it
// rounds.
String short_number(double value) {
  return String::formatted(value < 9.95 ? "%.1f" : "%.0f", value);
}

}  // namespace

bool send_line_due(int64_t now_ms, int64_t last_drawn_ms) {
  // A clock that went back (it should not) draws rather than freezing.
  return last_drawn_ms < 0 || now_ms - last_drawn_ms >= kSendLineIntervalMs ||
         now_ms < last_drawn_ms;
}

String terminal_text(const String& text, int columns) {
  String shown;
  int used = 0;
  walk(text, [&](const char* bytes, int count, int width) {
    if (used + width > columns) return false;
    used += width;
    shown.append(bytes, count);
    return true;
  });
  return shown;
}

String terminal_lines(const String& text) {
  String shown;
  int start = 0;  // of the stretch without line breaks or tabs
  for (int at = 0; at <= text.length(); ++at) {
    char c = at < text.length() ? text[at] : '\0';
    if (at < text.length() && c != '\r' && c != '\n' && c != '\t') continue;
    shown += terminal_text(text.substr(start, at - start), INT_MAX);
    if (at == text.length()) break;
    shown += c == '\t' ? '\t' : '\n';
    if (c == '\r' && at + 1 < text.length() && text[at + 1] == '\n') ++at;
    start = at + 1;
  }
  return shown;
}

int terminal_columns(const String& text) {
  int used = 0;
  walk(text, [&](const char*, int, int width) {
    used += width;
    return true;
  });
  return used;
}

String duration_text(int64_t ms) {
  if (ms < 0) ms = 0;
  int64_t tenths = ms / 100;
  if (tenths < 100) return String::formatted("%d.%d s", static_cast<int>(tenths / 10),
                                             static_cast<int>(tenths % 10));
  int64_t seconds = ms / 1000;
  if (seconds < 60) return String::formatted("%d s", static_cast<int>(seconds));
  if (seconds < 3600) {
    return String::formatted("%d min %02d s", static_cast<int>(seconds / 60),
                             static_cast<int>(seconds % 60));
  }
  return String::formatted("%lld h %02d min", static_cast<long long>(seconds / 3600),
                           static_cast<int>(seconds % 3600 / 60));
}

SendPace send_pace(int done_in_run, int left, int64_t elapsed_ms) {
  SendPace pace;
  if (done_in_run <= 0 || elapsed_ms <= 0) return pace;
  pace.per_second = done_in_run * 1000.0 / static_cast<double>(elapsed_ms);
  pace.left_ms = left <= 0 ? 0 : std::llround(left * 1000.0 / pace.per_second);
  return pace;
}

String rate_text(double per_second) {
  if (per_second >= 0.9995) return short_number(per_second) + "/s";
  return short_number(per_second * 60) + "/min";
}

String send_line(const SendProgress& p, int64_t elapsed_ms) {
  String line = p.total > 0 ? String::formatted("[%d/%d]", p.done, p.total)
                            : String::formatted("[%d]", p.done);
  line.append_format(" %d sent, %d refused, %d failed", p.sent, p.refused, p.failed);
  if (p.skipped > 0) line.append_format(", %d skipped", p.skipped);
  SendPace pace = send_pace(p.done - p.skipped, p.total > 0 ? p.total - p.done : -1, elapsed_ms);
  if (pace.per_second > 0) {
    line += "; " + rate_text(pace.per_second);
    if (p.total > 0) line += ", " + duration_text(pace.left_ms) + " left";
  }
  if (!p.waiting.empty()) line += "; " + p.waiting;
  if (!p.recipient.empty()) {
    line += "; ";
    if (p.message_fraction >= 0) {
      double fraction = p.message_fraction > 1 ? 1 : p.message_fraction;
      line.append_format("%d%% of ", static_cast<int>(fraction * 100));
    }
    line += p.recipient;
  }
  return line;
}

String send_summary(const SendProgress& p, int64_t elapsed_ms) {
  String line = p.headline.empty() ? String("Send ended") : p.headline;
  line.append_format(": %d sent, %d refused, %d failed, %d rejected", p.sent, p.refused,
                     p.failed, p.rejected);
  if (p.skipped > 0) line.append_format(", %d skipped", p.skipped);
  if (p.total > p.done) line.append_format(", %d not sent", p.total - p.done);
  line += " in " + duration_text(elapsed_ms);
  if (!p.log_path.empty()) line += "; log: " + p.log_path;
  return terminal_text(line, INT_MAX);
}

String interrupted_headline(const String& headline) {
  String kind = headline;
  for (const char* end : {" incomplete", " complete"}) {
    if (kind.ends_with(end)) {
      kind.set_length(kind.length() - static_cast<int>(std::strlen(end)));
      break;
    }
  }
  if (kind.empty()) kind = "Send";
  return kind + " stopped by Ctrl-C";
}

}  // namespace tessaline
