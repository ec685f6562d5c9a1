// send_rate.cpp - reading a rate and spacing messages by it.
#include "send/send_rate.h"

namespace tessaline {

namespace {

struct Unit {
  const char* name;
  int64_t ms;
};

const Unit kUnits[] = {
    {"s", 1000},        {"sec", 1000},        {"second", 1000},  {"seconds", 1000},
    {"m", 60000},       {"min", 60000},       {"minute", 60000}, {"minutes", 60000},
    {"h", 3600000},     {"hour", 3600000},    {"hours", 3600000}, {"hr", 3600000},
    {"d", 86400000},    {"day", 86400000},    {"days", 86400000},
};

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool lower_equal(std::string_view a, const char* b) {
  size_t i = 0;
  for (; i < a.size() && b[i]; ++i) {
    char c = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
    if (c != b[i]) return false;
  }
  return i == a.size() && b[i] == '\0';
}

}  // namespace

bool parse_send_rate(std::string_view text, SendRate* rate) {
  text = trimmed(text);
  if (text.empty() || text == "0") {
    *rate = SendRate();
    return true;
  }
  size_t slash = text.find('/');
  if (slash == std::string_view::npos) return false;
  std::string_view count = trimmed(text.substr(0, slash));
  std::string_view unit = trimmed(text.substr(slash + 1));
  if (count.empty() || count.size() > 7) return false;
  int64_t n = 0;
  for (char c : count) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + (c - '0');
  }
  if (n < 1 || n > kMaxRateMessages) return false;
  for (const Unit& u : kUnits) {
    if (lower_equal(unit, u.name)) {
      rate->messages = static_cast<int>(n);
      rate->period_ms = u.ms;
      return true;
    }
  }
  return false;
}

String send_rate_text(const SendRate& rate) {
  if (!rate.limited()) return "none";
  const char* unit = rate.period_ms == 1000      ? "s"
                     : rate.period_ms == 60000   ? "min"
                     : rate.period_ms == 3600000 ? "hour"
                                                 : "day";
  return String::formatted("%d/%s", rate.messages, unit);
}

int64_t RateGate::wait_ms(int64_t now_ms) const {
  if (!rate_.limited() || !any_) return 0;
  int64_t now_scaled = now_ms * rate_.messages;
  if (now_scaled >= next_scaled_) return 0;
  // Rounded up: waiting a fraction of a millisecond too little would start
  // the message before its token.
  return (next_scaled_ - now_scaled + rate_.messages - 1) / rate_.messages;
}

void RateGate::take(int64_t now_ms) {
  if (!rate_.limited()) return;
  int64_t now_scaled = now_ms * rate_.messages;
  // A bucket of one: time not used is not saved up for a burst. A start
  // less than a millisecond after the token is the rounding of the wait,
  // and keeps the schedule exact.
  int64_t start = any_ && now_scaled - next_scaled_ < rate_.messages ? next_scaled_ : now_scaled;
  next_scaled_ = start + rate_.period_ms;
  any_ = true;
}

}  // namespace tessaline
