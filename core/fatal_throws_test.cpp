// The throwing mode of FatalError that fuzz targets rely on.
#include <gtest/gtest.h>

#include "core/fatal_error.h"

namespace tessaline {
namespace {

TEST(FatalThrows, ThrowsTheFormattedMessageInsteadOfEndingTheProcess) {
  set_fatal_throws(true);
  try {
    FatalError("Number of fields: %d", 10001);
    ADD_FAILURE() << "FatalError returned";
  } catch (const FatalErrorException& e) {
    EXPECT_STREQ(e.what(), "Number of fields: 10001");
  }
  set_fatal_throws(false);
  // Off again: the ordinary report and exit code 1.
  EXPECT_EXIT(FatalError("bad %s", "node"), testing::ExitedWithCode(1), "bad node");
}

}  // namespace
}  // namespace tessaline
