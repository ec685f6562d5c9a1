#include "send/send_plan.h"

#include <gtest/gtest.h>

#include <vector>

namespace tessaline {
namespace {

Vector<String> list(std::initializer_list<const char*> texts) {
  Vector<String> v;
  for (const char* t : texts) v.append(t);
  return v;
}

TEST(SendPlan, RecipientsTakeTheirEntriesInTurn) {
  struct Case {
    const char* what;
    Vector<String> plan;
    Vector<String> now;
    std::vector<int> taken;
    int unmatched, left_over;
    bool reordered;
  };
  std::vector<Case> cases = {
      {"the same list", list({"a@x", "b@x", "c@x"}), list({"a@x", "b@x", "c@x"}), {0, 1, 2}, 0, 0,
       false},
      {"a duplicate kept takes both entries", list({"a@x", "b@x", "a@x"}),
       list({"a@x", "b@x", "a@x"}), {0, 1, 2}, 0, 0, false},
      {"a third copy finds no entry", list({"a@x", "a@x"}), list({"a@x", "a@x", "a@x"}),
       {0, 1, -1}, 1, 0, false},
      {"one removed, one added", list({"a@x", "b@x", "c@x"}), list({"a@x", "c@x", "d@x"}),
       {0, 2, -1}, 1, 1, false},
      {"texts are compared exactly", list({"Bob <b@x>"}), list({"b@x"}), {-1}, 1, 1, false},
      {"another order", list({"a@x", "b@x"}), list({"b@x", "a@x"}), {1, 0}, 0, 0, true},
  };
  for (const Case& c : cases) {
    PlanMatcher matcher(c.plan);
    std::vector<int> taken;
    for (int i = 0; i < c.now.count(); ++i) {
      // A peek foretells each take, also one further on of the same text,
      // and takes nothing.
      for (int j = i + 1; j < c.now.count(); ++j) {
        if (c.now[j] != c.now[i]) continue;
        int earlier = 1;
        for (int k = i + 1; k < j; ++k) earlier += c.now[k] == c.now[i];
        EXPECT_EQ(matcher.peek(c.now[j], earlier), c.taken[j]) << c.what << " " << j;
      }
      EXPECT_EQ(matcher.peek(c.now[i]), c.taken[i]) << c.what << " " << i;
      taken.push_back(matcher.take(c.now[i]));
    }
    EXPECT_EQ(taken, c.taken) << c.what;
    EXPECT_EQ(matcher.unmatched(), c.unmatched) << c.what;
    EXPECT_EQ(matcher.left_over(), c.left_over) << c.what;
    EXPECT_EQ(matcher.reordered(), c.reordered) << c.what;
    EXPECT_EQ(matcher.changed(), c.unmatched || c.left_over || c.reordered) << c.what;
    EXPECT_EQ(plan_change_text(matcher).empty(), !matcher.changed()) << c.what;
  }
}

TEST(SendPlan, TheChangeTextSaysWhatChanged) {
  PlanMatcher matcher(list({"a@x", "b@x", "c@x"}));
  matcher.take("c@x");
  matcher.take("a@x");
  matcher.take("new@x");
  EXPECT_EQ(plan_change_text(matcher),
            "The project's recipients changed since this send began: 1 recipient of the send is "
            "no longer in the project and is not sent; 1 recipient of the project is not part of "
            "the send and is left out; the recipients come in another order.  Only the send's own "
            "recipients are sent.");
  matcher.take("newer@x");
  EXPECT_NE(plan_change_text(matcher).find("2 recipients of the project are not part of the send "
                                           "and are left out;"),
            -1);
}

}  // namespace
}  // namespace tessaline
