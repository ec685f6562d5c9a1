#include "send/delivery_failure.h"

#include <gtest/gtest.h>

#include <vector>

namespace tessaline {
namespace {

TEST(DeliveryFailure, RepliesAndStepsTellWhatAFailureMeans) {
  struct Case {
    const char* what;
    int error_code, reply_code;
    bool permanent, refused_message, temporary, may_be_delivered;
  };
  std::vector<Case> cases = {
      {"recipient refused for good", 4590, 550, true, true, false, false},
      {"data refused for good", 4610, 554, true, true, false, false},
      {"message refused at its end for good", 4640, 552, true, true, false, false},
      {"sender refused for good: not the message's own", 4570, 553, true, false, false, false},
      {"greeting refused for good", 4557, 554, true, false, false, false},
      {"recipient refused for now", 4590, 451, false, false, true, false},
      {"end of data refused for now", 4640, 451, false, false, true, false},
      {"server closing the connection", 4557, 421, false, false, true, false},
      {"a kept connection the server had closed", 4557, 0, false, false, true, false},
      {"no connection", 4515, 0, false, false, true, false},
      {"a send that broke off", 4625, 0, false, false, true, false},
      {"no answer to the end of data", 4640, 0, false, false, true, true},
      {"stopped right after the end of data", 4632, 0, false, false, false, true},
      {"stopped before", 4622, 0, false, false, false, false},
      {"an attachment that cannot be read", 4620, 0, false, false, false, false},
      {"no recipients", 4505, 0, false, false, false, false},
  };
  for (const Case& c : cases) {
    DeliveryFailure f = classify_delivery_failure(c.error_code, c.reply_code);
    EXPECT_EQ(f.permanent, c.permanent) << c.what;
    EXPECT_EQ(f.refused_message, c.refused_message) << c.what;
    EXPECT_EQ(f.temporary, c.temporary) << c.what;
    EXPECT_EQ(f.may_be_delivered, c.may_be_delivered) << c.what;
  }
}

}  // namespace
}  // namespace tessaline
