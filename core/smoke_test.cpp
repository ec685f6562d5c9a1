#include <gtest/gtest.h>
#include "core/containers.h"
using namespace tessaline;
TEST(Smoke, Builds) {
  HashTable<int, String> t(12);
  t.add_bucket("a") = 1;
  Vector<String> v{"x", "y"};
  EXPECT_EQ(*t.find("a"), 1);
  EXPECT_EQ(v[1], "y");
}
