#include <functional>
#include <gtest/gtest.h>
#include <initializer_list>
#include <string>

#include "core/string.h"
#include "storage/heap_file.h"
#include "storage/test_directory.h"

namespace tessaline {
namespace {

String bytes(std::initializer_list<int> list) {
  String s;
  for (int b : list) s.append(static_cast<char>(b));
  return s;
}

String le32(int32_t v) {
  uint32_t u = static_cast<uint32_t>(v);
  return bytes({int(u & 0xff), int((u >> 8) & 0xff), int((u >> 16) & 0xff), int(u >> 24)});
}

// A node header as the format lays it out.
String node(int state, int32_t size, int32_t capacity, int32_t next, int32_t previous) {
  return bytes({state}) + le32(size) + le32(capacity) + le32(next) + le32(previous);
}

String header(int32_t first, int32_t last) { return bytes({0x9E, 0xFA}) + le32(first) + le32(last); }

class HeapFileTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    path_ = dir_ / "test.heap";
  }
  String disk() const { return TestDirectory::read(path_); }
  // The 17 bytes of the node at p as they are on disk.
  String node_at(int p) const { return disk().substr(p, 17); }

  TestDirectory dir_;
  String path_;
  HeapFile heap_;
};

TEST_F(HeapFileTest, NewHeapAndItsFirstBlocksAreLaidOutExactly) {
  ASSERT_TRUE(heap_.create(path_, true));
  EXPECT_TRUE(disk() == header(0, 0));
  EXPECT_EQ(disk().length(), 10);
  EXPECT_EQ(heap_.add_block(20), 27);
  EXPECT_EQ(heap_.add_block(30), 64);
  // The data areas are not written by add_block: the first lies idle.
  String expected = header(10, 47) + node(0xE9, 20, 20, 47, 0);
  expected.append(String(std::string(20, '\0')));
  expected.append(node(0xE9, 30, 30, 0, 10));
  EXPECT_TRUE(disk() == expected);
  EXPECT_EQ(heap_.first_block(), 27);
}

TEST_F(HeapFileTest, TheOnlyBlockFreedIsReusedForAnySize) {
  ASSERT_TRUE(heap_.create(path_, true));
  ASSERT_EQ(heap_.alloc(20, "abcdefghijklmnopqrst"), 27);
  ASSERT_TRUE(heap_.remove(27));
  EXPECT_TRUE(node_at(10) == node(0xC3, 0, 20, 0, 0));
  EXPECT_EQ(heap_.add_block(500), 27);
  EXPECT_TRUE(node_at(10) == node(0xE9, 500, 500, 0, 0));
  EXPECT_TRUE(disk().substr(0, 10) == header(10, 10));
}

TEST_F(HeapFileTest, FreeingAMiddleBlockBetweenFreeBlocksMergesAllThree) {
  ASSERT_TRUE(heap_.create(path_, true));
  String data(std::string(100, 'x'));
  int32_t a = heap_.alloc(100, data.c_str());
  int32_t b = heap_.alloc(100, data.c_str());
  int32_t c = heap_.alloc(100, data.c_str());
  int32_t d = heap_.alloc(100, data.c_str());
  ASSERT_EQ(a, 27);
  ASSERT_EQ(d, 378);
  ASSERT_TRUE(heap_.remove(a));
  ASSERT_TRUE(heap_.remove(c));
  ASSERT_TRUE(heap_.remove(b));
  EXPECT_TRUE(node_at(10) == node(0xC3, 0, 334, 361, 0));
  EXPECT_EQ(disk()[b - 17], '\0');  // absorbed headers are marked
  EXPECT_EQ(disk()[c - 17], '\0');
  EXPECT_TRUE(node_at(361) == node(0xE9, 100, 100, 0, 10));
  // The merged space takes a block of 334 bytes in place.
  EXPECT_EQ(heap_.add_block(334), 27);
}

TEST_F(HeapFileTest, ReallocSplitsOffAFreeNodeOnlyWhenEnoughIsLeft) {
  const struct {
    int32_t new_size;
    String node_after;       // the middle node after the realloc
    int free_at;             // where a split-off free node lies, or 0
    String free_node;
  } cases[] = {
      {40, node(0xE9, 40, 40, 184, 10), 184, node(0xC3, 0, 43, 244, 127)},
      {60, node(0xE9, 60, 100, 244, 10), 0, String()},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(heap_.create(path_, true));
    String data(std::string(100, 'y'));
    heap_.alloc(100, data.c_str());
    int32_t middle = heap_.alloc(100, data.c_str());
    heap_.alloc(100, data.c_str());
    EXPECT_EQ(heap_.realloc(middle, c.new_size), middle);
    EXPECT_TRUE(node_at(middle - 17) == c.node_after) << c.new_size;
    if (c.free_at) {
      EXPECT_TRUE(node_at(c.free_at) == c.free_node) << c.new_size;
      // The last node now points back at the free one.
      EXPECT_TRUE(node_at(244).substr(13, 4) == le32(c.free_at)) << c.new_size;
    }
    EXPECT_EQ(heap_.load(middle).length(), c.new_size);
  }
}

TEST_F(HeapFileTest, GrowingAMiddleBlockMovesItWithItsData) {
  ASSERT_TRUE(heap_.create(path_, true));
  int32_t a = heap_.alloc(10, "0123456789");
  heap_.alloc(10, "abcdefghij");
  int32_t moved = heap_.realloc(a, 200);
  EXPECT_NE(moved, a);
  // Only the old bytes are written; the caller fills the rest.
  EXPECT_TRUE(disk().substr(moved, 10) == "0123456789");
  EXPECT_TRUE(node_at(moved - 17).substr(0, 9) == node(0xE9, 200, 200, 0, 0).substr(0, 9));
  EXPECT_EQ(static_cast<unsigned char>(disk()[10]), 0xC3);  // the old place is free
}

TEST_F(HeapFileTest, AStreamedBlockMovesIntoTheFirstHoleThatFits) {
  ASSERT_TRUE(heap_.create(path_, true));
  String data(std::string(100, 'z'));
  int32_t a = heap_.alloc(100, data.c_str());
  heap_.alloc(50, data.c_str());
  heap_.remove(a);
  heap_.begin_write().write("streamed-bytes-0123456789-abcd", 30);
  EXPECT_EQ(heap_.end_write(), 27);
  EXPECT_TRUE(heap_.load(27) == "streamed-bytes-0123456789-abcd");
  // 100 - 30 = 70 bytes were left: a free node of 53 is split off at 57.
  EXPECT_TRUE(node_at(57).substr(0, 9) == node(0xC3, 0, 53, 0, 0).substr(0, 9));
}

TEST_F(HeapFileTest, OpenReportsByCode) {
  ASSERT_TRUE(heap_.create(path_, true));
  heap_.alloc(3, "abc");
  heap_.close();
  const struct {
    const char* what;
    String contents;  // empty: the heap made above
    int code;
  } cases[] = {
      {"a heap file", String(), HeapFile::kOpened},
      {"another file", String("PK\3\4 not a heap file"), HeapFile::kWrongMagic},
      {"cut inside the header", bytes({0x9E, 0xFA, 10, 0}), HeapFile::kWrongMagic},
      {"last node outside the file", header(10, 5000) + node(0xE9, 0, 0, 0, 0), HeapFile::kWrongMagic},
      {"first node not at 10", header(27, 27) + node(0xE9, 0, 0, 0, 0) + node(0xE9, 0, 0, 0, 0),
       HeapFile::kWrongMagic},
  };
  for (const auto& c : cases) {
    if (!c.contents.empty()) {
      ASSERT_TRUE(dir_.put("test.heap", c.contents));
    }
    HeapFile heap;
    EXPECT_EQ(heap.open(path_, true), c.code) << c.what;
    EXPECT_EQ(heap.is_open(), c.code == HeapFile::kOpened) << c.what;
    if (c.code == HeapFile::kOpened) {
      EXPECT_TRUE(heap.load(27) == "abc");
    }
  }
  HeapFile heap;
  EXPECT_EQ(heap.open(dir_ / "missing.heap", true), HeapFile::kCannotOpen);
}

using HeapAction = std::function<void(HeapFile&)>;

TEST_F(HeapFileTest, MisuseIsAHeapError) {
  const struct {
    const char* what;
    HeapAction action;
    const char* message;
  } cases[] = {
      {"empty block", [](HeapFile& h) { h.add_block(0); },
       "Error in HeapFile .*test.heap:\nCannot add a block of size 0\\."},
      {"negative alloc", [](HeapFile& h) { h.alloc(-1); }, "HeapFile::alloc\\(-1\\)"},
      {"realloc to nothing", [](HeapFile& h) { h.realloc(27, 0); }, "Cannot realloc block to 0"},
      {"realloc a freed block", [](HeapFile& h) { h.remove(27); h.realloc(27, 5); },
       "Attempt to realloc an unused block"},
      {"remove twice", [](HeapFile& h) { h.remove(27); h.remove(27); },
       "Attempt to remove an unused block\\."},
      {"load a freed block", [](HeapFile& h) { h.remove(27); h.load(27); },
       "HeapFile \\(.*test.heap\\): attempt to load an unused block @ 10"},
      {"closed heap", [](HeapFile& h) { h.close(); h.add_block(5); },
       "Attempt to access a HeapFile that is not open\\."},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(heap_.create(path_, true));
    heap_.alloc(20, "01234567890123456789");
    heap_.alloc(20, "01234567890123456789");
    EXPECT_EXIT(c.action(heap_), testing::ExitedWithCode(1), c.message) << c.what;
  }
}

TEST_F(HeapFileTest, DamagedNodesEndInTheNodeErrors) {
  const String data20(std::string(20, 'd'));
  const HeapAction add = [](HeapFile& h) { h.add_block(5); };
  const HeapAction load = [](HeapFile& h) { h.load(27); };
  const struct {
    const char* what;
    String contents;
    HeapAction action;
    const char* message;
  } cases[] = {
      {"state byte", header(10, 10) + node(0x55, 20, 20, 0, 0) + data20, add,
       "Bad HeapFile \\(.*\\) node 10"},
      {"capacity below size", header(10, 10) + node(0xE9, 20, 5, 0, 0) + data20, add,
       "HeapFile Block \\(10\\) bad size \\(20, 5\\)"},
      {"negative size", header(10, 10) + node(0xE9, -1, 5, 0, 0) + data20, load,
       "HeapFile Block \\(10\\) bad size \\(-1, 5\\)"},
      {"link to itself", header(10, 10) + node(0xE9, 0, 0, 10, 0), add, "HeapFile is corrupt"},
      {"link back to the first node",
       header(10, 27) + node(0xE9, 0, 0, 27, 0) + node(0xE9, 0, 0, 10, 10), add,
       "HeapFile is corrupt"},
      {"link out of the file", header(10, 10) + node(0xE9, 0, 0, 100000, 0), add,
       "HeapFile is corrupt"},
      {"link into the data", header(10, 10) + node(0xE9, 20, 20, 30, 0) + data20, add,
       "HeapFile is corrupt"},
      {"block longer than the file", header(10, 10) + node(0xE9, 1000000, 1000000, 0, 0) + data20,
       load, "HeapFile is corrupt"},
      {"capacity beyond any offset", header(10, 10) + node(0xC3, 0, 0x7ffffff0, 0, 0), add,
       "HeapFile is corrupt"},
      {"previous not before", header(10, 27) + node(0xE9, 0, 0, 27, 0) + node(0xE9, 0, 0, 0, 27),
       [](HeapFile& h) { h.remove(44); }, "HeapFile is corrupt"},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(dir_.put("test.heap", c.contents));
    HeapFile heap;
    ASSERT_EQ(heap.open(path_, true), HeapFile::kOpened) << c.what;
    EXPECT_EXIT(c.action(heap), testing::ExitedWithCode(1), c.message) << c.what;
  }
}

}  // namespace
}  // namespace tessaline
