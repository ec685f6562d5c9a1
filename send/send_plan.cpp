// send_plan.cpp - matching gathered recipients with a send's plan.
#include "send/send_plan.h"

namespace tessaline {

PlanMatcher::PlanMatcher(const Vector<String>& plan) : plan_size_(plan.count()) {
  for (int i = 0; i < plan.count(); ++i) free_[plan[i].std_string()].push_back(i);
}

int PlanMatcher::take(const String& recipient) {
  auto it = free_.find(recipient.std_string());
  if (it == free_.end() || it->second.empty()) {
    ++unmatched_;
    return -1;
  }
  int index = it->second.front();
  it->second.pop_front();
  ++taken_;
  if (index < last_) reordered_ = true;
  last_ = index;
  return index;
}

int PlanMatcher::peek(const String& recipient, int earlier) const {
  auto it = free_.find(recipient.std_string());
  if (it == free_.end() || earlier < 0 || static_cast<size_t>(earlier) >= it->second.size()) {
    return -1;
  }
  return it->second[earlier];
}

int PlanMatcher::left_over() const { return plan_size_ - taken_; }

String plan_change_text(const PlanMatcher& matcher) {
  if (!matcher.changed()) return String();
  String text = "The project's recipients changed since this send began:";
  auto count = [&](int n, const char* of, const char* what) {
    bool one = n == 1;
    text.append_format(" %d recipient%s of the %s %s %s and %s", n, one ? "" : "s", of,
                       one ? "is" : "are", what, one ? "is" : "are");
  };
  if (matcher.left_over() > 0) {
    count(matcher.left_over(), "send", "no longer in the project");
    text += " not sent;";
  }
  if (matcher.unmatched() > 0) {
    count(matcher.unmatched(), "project", "not part of the send");
    text += " left out;";
  }
  if (matcher.reordered()) text += " the recipients come in another order;";
  text.set_length(text.length() - 1);
  text += ".  Only the send's own recipients are sent.";
  return text;
}

}  // namespace tessaline
