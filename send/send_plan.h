// send_plan.h - matching the recipients a send gathers with its plan.
//
// A send's plan is the list of recipients it is going to send to, in
// order, as the journal keeps it (send/send_journal.h). When a send is
// gathered again (the second pass of a No Preview send, or a resume), each
// accepted recipient takes the first entry of the plan with the same text
// that no earlier recipient took, so a recipient listed twice (duplicates
// kept) takes its two entries in turn. What is left over, what matched
// nothing, and whether the matches came in another order tell whether the
// project's recipients changed since the plan was made.
//
// Not for: judging candidates (recipients/candidate.h), the journal file.
//
// Failures: none.
#pragma once

#include <deque>
#include <string>
#include <unordered_map>

#include "core/containers.h"
#include "core/string.h"

namespace tessaline {

class PlanMatcher {
 public:
  explicit PlanMatcher(const Vector<String>& plan);
  // The plan index the recipient takes, or -1 when no entry of its text
  // is left.
  int take(const String& recipient);
  // The plan index take() would give the recipient after `earlier` more
  // takes of the same text, without taking it; -1 when none would be left.
  int peek(const String& recipient, int earlier = 0) const;
  // Recipients that took no entry, entries no recipient took, and whether
  // some recipient took an entry before one of an earlier entry.
  int unmatched() const { return unmatched_; }
  int left_over() const;
  bool reordered() const { return reordered_; }
  bool changed() const { return unmatched_ > 0 || left_over() > 0 || reordered_; }

 private:
  std::unordered_map<std::string, std::deque<int>> free_;
  int plan_size_ = 0;
  int taken_ = 0;
  int unmatched_ = 0;
  int last_ = -1;
  bool reordered_ = false;
};

// What a person is told when a resumed send finds the project's recipients
// changed: how many of the send's recipients are no longer in the project,
// how many new ones are not part of the send, and that only the send's own
// are sent. Empty when nothing changed.
String plan_change_text(const PlanMatcher& matcher);

}  // namespace tessaline
