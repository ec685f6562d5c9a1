#include "core/containers.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace tessaline {
namespace {

struct Rect32 {
  int32_t v[8];
};
static_assert(sizeof(Rect32) == 32);

TEST(Vector, CapacityGrowsByHalfThenBy8KB) {
  Vector<Rect32> v;
  std::vector<int> capacities;
  for (int i = 0; i < 900; ++i) {
    v.append(Rect32{});
    if (capacities.empty() || capacities.back() != v.capacity()) capacities.push_back(v.capacity());
  }
  std::vector<int> expected = {6, 10, 16, 25, 39, 60, 91, 138, 208, 465, 722, 979};
  EXPECT_EQ(capacities, expected);

  // 4-byte elements step by 2048 slots once 8 KB is passed.
  EXPECT_EQ(Vector<int>::capacity_for(1000), 1500);
  EXPECT_EQ(Vector<int>::capacity_for(2000), 2000 + 2048);
}

TEST(Vector, ShrinksOnlyWhen8KBWouldLieIdle) {
  Vector<int> v;
  v.set_count(10000);
  int big = v.capacity();
  v.set_count(9000);
  EXPECT_EQ(v.capacity(), big);  // 12,048 slots kept for 9,000: fewer than 8 KB idle beyond c
  v.set_count(100);
  EXPECT_EQ(v.capacity(), Vector<int>::capacity_for(100));
  EXPECT_EQ(v.front_gap(), (v.capacity() - 100) / 4);
  EXPECT_EQ(v.count(), 100);
}

// The front gap makes the element moves intricate: a random mix of
// insertions and removals must keep exactly what a std::vector keeps.
TEST(Vector, InsertAndRemoveAgreeWithAModel) {
  std::mt19937 random(12345);
  Vector<String> v;
  std::vector<std::string> model;
  for (int step = 0; step < 20000; ++step) {
    int n = static_cast<int>(model.size());
    switch (random() % 5) {
      case 0:
      case 1: {
        int i = n ? static_cast<int>(random() % (n + 1)) : 0;
        std::string text = "e" + std::to_string(step);
        v.insert(i, String(text.c_str()));
        model.insert(model.begin() + i, text);
        break;
      }
      case 2: {
        std::string text = "a" + std::to_string(step);
        v.append(String(text.c_str()));
        model.push_back(text);
        break;
      }
      case 3:
      case 4: {
        if (!n) break;
        int i = static_cast<int>(random() % n);
        int count = static_cast<int>(random() % 4) + 1;
        v.remove(i, count);
        model.erase(model.begin() + i, model.begin() + std::min(n, i + count));
        break;
      }
    }
    ASSERT_EQ(v.count(), static_cast<int>(model.size())) << "step " << step;
    ASSERT_LE(v.front_gap() + v.count(), v.capacity());
  }
  for (int i = 0; i < v.count(); ++i) ASSERT_EQ(v[i], model[i].c_str()) << i;
}

// An element handed back to its own vector must be read before the block
// moves or the elements shift: at every fill level, including a full block
// that reallocates, for elements moved with memmove (String) and one by one
// (std::string).
template <typename Text>
void check_self_insertion() {
  for (int n = 1; n <= 70; ++n) {
    Vector<Text> v;
    std::vector<std::string> model;
    for (int k = 0; k < n; ++k) {
      std::string text = "element number " + std::to_string(k) + " of a long enough text";
      v.append(Text(text.c_str()));
      model.push_back(text);
    }
    auto op = [&](const char* what, auto edit, auto edit_model) {
      edit();
      edit_model();
      ASSERT_EQ(v.count(), static_cast<int>(model.size())) << what << " at " << n;
      for (int k = 0; k < v.count(); ++k)
        ASSERT_EQ(std::string(v[k].c_str()), model[k]) << what << " at " << n << ", element " << k;
    };
    op("append(v[0])", [&] { v.append(v[0]); }, [&] { model.push_back(model[0]); });
    op("append(v.last())", [&] { v.append(v.last()); }, [&] { model.push_back(model.back()); });
    op("insert(0, v[last])", [&] { v.insert(0, v[v.count() - 1]); },
       [&] { model.insert(model.begin(), model.back()); });
    op("insert(mid, v[0])", [&] { v.insert(v.count() / 2, v[0]); },
       [&] { model.insert(model.begin() + model.size() / 2, model[0]); });
    op("remove(0)", [&] { v.remove(0); }, [&] { model.erase(model.begin()); });
    op("insert(1, v[2]) with a gap", [&] { v.insert(1, v[2]); },
       [&] { model.insert(model.begin() + 1, model[2]); });
  }
}

TEST(Vector, ElementsOfTheSameVectorCanBeAppendedAndInserted) {
  check_self_insertion<String>();
  check_self_insertion<std::string>();
}

TEST(Vector, InsertAtFrontUsesTheGapAndRangeForWorks) {
  Vector<int> v{1, 2, 3, 4, 5, 6, 7, 8};
  v.remove(0, 2);  // grows the front gap
  EXPECT_EQ(v.front_gap(), 2);
  v.insert(0, 20);
  EXPECT_EQ(v.front_gap(), 1);
  std::vector<int> seen;
  for (int x : v) seen.push_back(x);
  EXPECT_EQ(seen, (std::vector<int>{20, 3, 4, 5, 6, 7, 8}));
  v.remove(-3, 4);  // clamped: removes the first element only
  EXPECT_EQ(v[0], 3);
  v.remove(2, 100);
  EXPECT_EQ(v.count(), 2);
}

TEST(Vector, SortWithACallerComparison) {
  Vector<String> v{"pear", "Apple", "banana", "apple", "Cherry"};
  v.sort(compare_strings_ignore_case);
  for (int i = 1; i < v.count(); ++i) EXPECT_LE(v[i - 1].compare(v[i], false), 0);
  EXPECT_TRUE(v[0].equals_ignore_case("apple"));
  EXPECT_EQ(v[4], "pear");

  std::mt19937 random(7);
  Vector<int> numbers;
  for (int i = 0; i < 5000; ++i) numbers.append(static_cast<int>(random() % 100));
  numbers.sort([](const int& a, const int& b) { return a - b; });
  for (int i = 1; i < numbers.count(); ++i) ASSERT_LE(numbers[i - 1], numbers[i]);
}

TEST(Stack, LastInFirstOut) {
  Stack<String> s;
  s.push("a");
  s.push("b");
  EXPECT_EQ(s.top(), "b");
  EXPECT_EQ(s.pop(), "b");
  s.discard_top();
  EXPECT_TRUE(s.empty());
}

TEST(List, LinksBothWays) {
  List<int> list;
  list.append(2);
  list.prepend(1);
  list.append(3);
  EXPECT_EQ(list.count(), 3);
  list.remove(list.first()->next);
  std::vector<int> seen;
  for (int x : list) seen.push_back(x);
  EXPECT_EQ(seen, (std::vector<int>{1, 3}));
  EXPECT_EQ(list.last()->previous, list.first());
  List<int> copy = list;
  list.clear();
  EXPECT_EQ(copy.count(), 2);
}

TEST(HashTable, KeysAreCaseSensitiveAndOrderIsInsertionOrder) {
  HashTable<int, String> t(12);
  t.add_bucket("Name") = 1;
  t.add_bucket("name") = 2;
  t.add_bucket("NAME") = 3;
  EXPECT_EQ(t.count(), 3);
  EXPECT_EQ(*t.find("name"), 2);
  EXPECT_EQ(t.find("nAme"), nullptr);
  t.find_or_add("name") = 20;
  t.find_or_add("zeta") = 4;
  std::vector<std::string> keys;
  for (auto& entry : t) keys.push_back(entry.key.c_str());
  EXPECT_EQ(keys, (std::vector<std::string>{"Name", "name", "NAME", "zeta"}));
  EXPECT_EQ(*t.find("name"), 20);

  EXPECT_TRUE(t.remove("name"));
  EXPECT_FALSE(t.remove("name"));
  keys.clear();
  for (auto& entry : t) keys.push_back(entry.key.c_str());
  EXPECT_EQ(keys, (std::vector<std::string>{"Name", "NAME", "zeta"}));
}

TEST(HashTable, UninitialisedTableFindsNothing) {
  HashTable<int, String> t;
  EXPECT_EQ(t.find("x"), nullptr);
  HashTable<int, int> negative(-5);
  EXPECT_EQ(negative.bucket_count(), 0);
  EXPECT_EQ(negative.find(3), nullptr);
}

TEST(HashTable, RehashKeepsEntriesInPlaceAndInOrder) {
  HashTable<String, int> t(4);
  for (int i = 0; i < 7; ++i) t.add_bucket(i * 31) = String::formatted("v%d", i);
  String* third = t.find(62);
  t.rehash();  // 7 / 2 < 4 buckets: nothing happens
  EXPECT_EQ(t.bucket_count(), 4);
  for (int i = 7; i < 40; ++i) t.add_bucket(i * 31) = String::formatted("v%d", i);
  EXPECT_EQ(t.bucket_count(), 4);  // never rehashes by itself
  t.rehash();
  EXPECT_EQ(t.bucket_count(), 60);  // 40 entries x 1.5
  EXPECT_EQ(t.find(62), third);
  EXPECT_EQ(*third, "v2");
  int expected = 0;
  for (auto& entry : t) EXPECT_EQ(entry.key, 31 * expected++);
  EXPECT_EQ(expected, 40);
  t.rehash(3);
  EXPECT_EQ(t.bucket_count(), 3);
  for (int i = 0; i < 40; ++i) ASSERT_NE(t.find(i * 31), nullptr);

  HashTable<int, int> small(1);
  small.add_bucket(1);
  small.add_bucket(2);
  small.rehash();
  EXPECT_EQ(small.bucket_count(), 16);  // at least 16
}

TEST(HashTable, PointerAndUnsignedKeys) {
  HashTable<int, const char*> t(20);
  static const char a[] = "x";
  static const char b[] = "x";
  t.add_bucket(a) = 1;
  t.add_bucket(b) = 2;  // keyed by address, not by text
  EXPECT_EQ(*t.find(a), 1);
  EXPECT_EQ(*t.find(b), 2);
  HashTable<bool, unsigned> u(50);
  u.add_bucket(0xFFFFFFFFu) = true;
  EXPECT_TRUE(*u.find(0xFFFFFFFFu));
}

void index_past_end() {
  Vector<String> v;
  v.append("a");
  v.append("b");
  v.append("c");
  v[5];
}
void index_empty() {
  Vector<int> v;
  v[0];
}
void pop_empty() {
  Stack<int> s;
  s.pop();
}
void discard_empty() {
  Stack<String> s;
  s.discard_top();
}
void duplicate_key() {
  HashTable<int, String> t(12);
  t.add_bucket("k");
  t.add_bucket("k");
}

TEST(ContainersDeathTest, MessagesNameTheElementType) {
  EXPECT_EXIT(index_past_end(), testing::ExitedWithCode(1), "Vector<String>\\[5\\]\nmax_index = 2");
  EXPECT_EXIT(index_empty(), testing::ExitedWithCode(1), "Vector<int>\\[0\\]\nmax_index = -1");
  EXPECT_EXIT(pop_empty(), testing::ExitedWithCode(1), "Stack<int>::pop");
  EXPECT_EXIT(discard_empty(), testing::ExitedWithCode(1), "Stack<String>::discard_top");
  EXPECT_EXIT(duplicate_key(), testing::ExitedWithCode(1), "HashTable<int>::add_bucket\\(duplicate\\)");
}

}  // namespace
}  // namespace tessaline
