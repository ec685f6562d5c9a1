#include <cmath>
#include <functional>
#include <gtest/gtest.h>
#include <initializer_list>
#include <string>

#include "core/date.h"
#include "core/fatal_error.h"
#include "core/string.h"
#include "core/var.h"
#include "storage/glob_file.h"
#include "storage/glob_file_walk.h"
#include "storage/test_directory.h"

namespace tessaline {
namespace {

String bytes(std::initializer_list<int> list) {
  String s;
  for (int b : list) s.append(static_cast<char>(b));
  return s;
}

std::string hex(const String& s) {
  std::string out;
  for (char c : s) out += String::formatted("%02x ", static_cast<unsigned char>(c)).std_string();
  return out;
}

class GlobFileTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    path_ = dir_ / "project.zqj";
  }
  // The bytes of the record in the slot, from the heap block.
  String record_bytes(int slot) { return glob_.heap().load(glob_.record_offset(slot)); }
  void reopen() {
    glob_.close();
    ASSERT_EQ(glob_.open(path_, true), GlobFile::kOpened);
  }

  TestDirectory dir_;
  String path_;
  GlobFile glob_;
};

TEST_F(GlobFileTest, ANewFileHoldsOnlyTheHeader) {
  ASSERT_TRUE(glob_.create(path_, true));
  glob_.close();
  EXPECT_TRUE(dir_.get("project.zqj") ==
              bytes({0x9E, 0xFA, 10, 0, 0, 0, 10, 0, 0, 0,               // heap header
                     0xE9, 10, 0, 0, 0, 10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // node
                     0xF1, 0xBC, 0, 0, 0, 0, 0, 0, 0, 0}));              // glob header
}

TEST_F(GlobFileTest, RecordsAreWrittenByteForByte) {
  const struct {
    const char* what;
    std::function<void(GlobFile&)> write;
    String record;
  } cases[] = {
      {"one 32-bit value",
       [](GlobFile& g) {
         Var five = Var::of_int(5);
         g.transfer("a", five);
       },
       bytes({1, 0, 0, 0, 1, 'a', 0xAE, 5, 0, 0, 0})},
      {"three 16-bit values",
       [](GlobFile& g) {
         const int16_t values[] = {1, 2, 3};
         g.write_field("w", values, 3);
       },
       bytes({1, 0, 0, 0, 1, 'w', 0x1A, 3, 0, 0, 0, 1, 0, 2, 0, 3, 0})},
      {"a text and a Boolean",
       [](GlobFile& g) {
         Var text = Var::of_text("hi");
         Var yes = Var::of_bool(true);
         g.transfer("t", text);
         g.transfer("b", yes);
       },
       bytes({2, 0, 0, 0, 1, 't', 0xE7, 2, 0, 'h', 'i', 1, 'b', 0x87, 1})},
      {"an array of two elements",
       [](GlobFile& g) {
         Var x = Var::of_int(1);
         g.begin_array("r");
         g.transfer("x", x);
         g.end_element();
         g.begin_element();
         g.end_array();
       },
       bytes({1, 0, 0, 0, 1, 'r', 126, 2, 0, 0, 0,       // field, element count
              1, 0, 0, 0, 1, 'x', 0xAE, 1, 0, 0, 0,      // first element
              0, 0, 0, 0})},                             // second, empty
      {"defaults are skipped",
       [](GlobFile& g) {
         g.write_unless_default("z", int8_t{0});
         g.write_unless_default("z", int32_t{0});
         g.write_unless_default("z", String());
         g.write_unless_default("n", int32_t{7});
         const double none[] = {1.0};
         g.write_field("none", none, 0);
       },
       bytes({1, 0, 0, 0, 1, 'n', 0xAE, 7, 0, 0, 0})},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(glob_.create(path_, true));
    glob_.begin_record(0);
    c.write(glob_);
    ASSERT_TRUE(glob_.end_record());
    EXPECT_EQ(hex(record_bytes(0)), hex(c.record)) << c.what;
  }
}

TEST_F(GlobFileTest, ASlotBeyondTheTableGrowsItWithEmptySlots) {
  ASSERT_TRUE(glob_.create(path_, true));
  glob_.begin_record(3);
  Var v = Var::of_int(1);
  glob_.transfer("a", v);
  ASSERT_TRUE(glob_.end_record());
  reopen();
  ASSERT_EQ(glob_.slot_count(), 4);
  for (int slot = 0; slot < 3; ++slot) {
    EXPECT_EQ(glob_.record_offset(slot), 0) << slot;
    EXPECT_FALSE(glob_.load_record(slot)) << slot;
  }
  EXPECT_GT(glob_.record_offset(3), 0);
  EXPECT_TRUE(glob_.load_record(3));
  EXPECT_FALSE(glob_.load_record(4));
}

TEST_F(GlobFileTest, EveryValueKindRoundTripsThroughTheFieldStore) {
  Date day;
  ASSERT_TRUE(read_date("7/4/2026", &day).has_value());
  DateTime moment;
  ASSERT_TRUE(read_date_time("7/4/2026 1:02:03p", &moment));
  const String day_text = format_date(day, "m/d/y");
  const String moment_text = format_date_time(moment, "m/d/y h:ii:ssap");
  String long_text(std::string(70000, 'L'));
  Var values[14];
  values[0].set_bool(true);
  values[1].set_int8(-5);
  values[2].set_uint8(250);
  values[3].set_int16(-30000);
  values[4].set_uint16(60000);
  values[5].set_int32(-2000000000);
  values[6].set_uint32(4000000000u);
  values[7].set_float(1.5f);
  values[8].set_double(-2.25e100);
  values[9].set_string("string");
  values[10].set_text("text");
  values[11].set_date(day);
  values[12].set_date_time(moment);
  values[13].set_string(long_text);
  // What loading hands back: the type the field's code maps to and the
  // text form a window would show.
  const struct {
    VarType type;
    const char* text;
  } expected[14] = {
      {kTypeInt8, "1"},        {kTypeInt8, "-5"},          {kTypeUInt8, "250"},
      {kTypeInt16, "-30000"},  {kTypeUInt16, "60000"},     {kTypeUInt32, nullptr},
      {kTypeUInt32, nullptr},  {kTypeFloat, "1.5"},    {kTypeDouble, nullptr},
      {kTypeString, "string"}, {kTypeString, "text"},      {kTypeString, day_text.c_str()},
      {kTypeString, moment_text.c_str()}, {kTypeString, nullptr},
  };
  ASSERT_TRUE(glob_.create(path_, true));
  glob_.begin_record(0);
  for (int i = 0; i < 14; ++i) EXPECT_TRUE(glob_.transfer(String::formatted("f%d", i), values[i])) << i;
  Var empty;
  EXPECT_FALSE(glob_.transfer("empty", empty));
  ASSERT_TRUE(glob_.end_record());
  reopen();
  ASSERT_TRUE(glob_.load_record(0));
  for (int i = 0; i < 14; ++i) {
    Var loaded;
    ASSERT_TRUE(glob_.transfer(String::formatted("f%d", i), loaded)) << i;
    EXPECT_EQ(loaded.type(), expected[i].type) << i;
    if (expected[i].text) {
      EXPECT_EQ(loaded.as_text().std_string(), expected[i].text) << i;
    }
  }
  // 32-bit fields come back as unsigned long integers with all 32 bits.
  Var d;
  glob_.transfer("f5", d);
  EXPECT_EQ(d.as_int(), -2000000000);
  glob_.transfer("f6", d);
  EXPECT_EQ(d.as_uint32(), 4000000000u);
  glob_.transfer("f8", d);
  EXPECT_EQ(d.as_double(), -2.25e100);
  glob_.transfer("f13", d);
  EXPECT_TRUE(d.as_text() == long_text);
  EXPECT_EQ(glob_.field("f13")->type, GlobFile::kString32);
  EXPECT_EQ(glob_.field("f9")->type, GlobFile::kString16);
  EXPECT_EQ(glob_.field("empty"), nullptr);
}

TEST_F(GlobFileTest, TypedWritersKeepEveryValue) {
  const int8_t i8[] = {-1, 2};
  const uint8_t u8[] = {255, 0, 7};
  const int32_t i32[] = {INT32_MIN, INT32_MAX};
  const float f[] = {0.5f, -1e30f};
  const String texts[] = {"one", "", "three"};
  ASSERT_TRUE(glob_.create(path_, true));
  glob_.begin_record(0);
  glob_.write_field("i8", i8, 2);
  glob_.write_field("u8", u8, 3);
  glob_.write_field("i32", i32, 2);
  glob_.write_field("f", f, 2);
  glob_.write_field("texts", texts, 3);
  EXPECT_FALSE(glob_.write_field("", i8, 1));
  EXPECT_FALSE(glob_.write_field(String(std::string(256, 'n')), i8, 1));
  ASSERT_TRUE(glob_.end_record());
  reopen();
  ASSERT_TRUE(glob_.load_record(0));
  EXPECT_EQ(glob_.cursor_record()->count(), 5);
  const struct {
    const char* name;
    int index;
    const char* text;
  } cases[] = {{"i8", 0, "-1"},           {"i8", 1, "2"},        {"u8", 0, "255"},
               {"u8", 2, "7"},            {"i32", 1, "2147483647"},
               {"f", 0, "0.5"},           {"texts", 1, ""},      {"texts", 2, "three"}};
  for (const auto& c : cases) {
    Var v;
    ASSERT_TRUE(glob_.field(c.name)->get(c.index, v)) << c.name;
    EXPECT_EQ(v.as_text().std_string(), c.text) << c.name << c.index;
  }
  Var untouched = Var::of_int(9);
  EXPECT_FALSE(glob_.field("u8")->get(3, untouched));
  EXPECT_EQ(untouched.as_int(), 9);
  Var big;
  glob_.field("i32")->get(0, big);
  EXPECT_EQ(big.as_int(), INT32_MIN);
  glob_.field("f")->get(1, big);
  EXPECT_EQ(big.as_double(), static_cast<double>(-1e30f));
}

TEST_F(GlobFileTest, NestedArraysRoundTripInBothDirections) {
  // Two clauses, the second with two conditions, and a field after them.
  ASSERT_TRUE(glob_.create(path_, true));
  glob_.begin_record(0);
  Var v;
  glob_.begin_nested("clauses");
  for (int c = 0; c < 2; ++c) {
    glob_.begin_element();
    v.set_int32(c);
    glob_.transfer("number", v);
    glob_.begin_nested("conditions");
    for (int k = 0; k <= c; ++k) {
      glob_.begin_element();
      v.set_text(String::formatted("c%d-%d", c, k).c_str());
      glob_.transfer("text", v);
      glob_.end_element();
    }
    glob_.end_nested();
    glob_.end_element();
  }
  glob_.end_nested();
  glob_.begin_nested("none");
  glob_.end_nested();
  v.set_text("after");
  glob_.transfer("tail", v);
  ASSERT_TRUE(glob_.end_record());
  reopen();
  ASSERT_TRUE(glob_.load_record(0));

  String seen;
  ASSERT_TRUE(glob_.begin_array("clauses"));
  do {
    Var number;
    glob_.transfer("number", number);
    seen.append_format("[%d", number.as_int());
    if (glob_.begin_array("conditions")) {
      do {
        Var text;
        glob_.transfer("text", text);
        seen.append_format(" %s", text.as_text().c_str());
      } while (glob_.next_element());
      glob_.end_array();
    }
    seen.append("]");
  } while (glob_.next_element());
  Var lost = Var::of_int(3);
  EXPECT_FALSE(glob_.transfer("number", lost));  // the cursor has left the array
  glob_.end_array();
  EXPECT_EQ(seen.std_string(), "[0 c0-0][1 c1-0 c1-1]");
  // An array written without elements is a field without values.
  EXPECT_FALSE(glob_.begin_array("none"));
  EXPECT_EQ(glob_.field("none")->count, 0);
  EXPECT_FALSE(glob_.begin_array("tail"));  // not an array
  Var tail;
  ASSERT_TRUE(glob_.transfer("tail", tail));
  EXPECT_EQ(tail.as_text().std_string(), "after");
}

// A file built in memory (how projects and the settings are saved, so that a
// full disk cannot stop the building) is byte for byte the one built on
// disk, and nothing of it reaches the disk.
TEST_F(GlobFileTest, AFileBuiltInMemoryHasTheBytesOfOneBuiltOnDisk) {
  auto build = [](GlobFile& g) {
    g.begin_record(0);
    Var v = Var::of_text("short");
    g.transfer("a", v);
    // Longer than the write buffer, so written past it; then counts that
    // are filled in behind it.
    v.set_text(std::string(200000, 'x').c_str());
    g.transfer("long", v);
    g.begin_nested("rows");
    for (int i = 0; i < 3; ++i) {
      g.begin_element();
      v.set_int32(i);
      g.transfer("n", v);
      g.end_element();
    }
    g.end_nested();
    return g.end_record();
  };
  ASSERT_TRUE(glob_.create(path_, true));
  ASSERT_TRUE(build(glob_));
  ASSERT_TRUE(glob_.close());
  const String on_disk = dir_.get("project.zqj");

  GlobFile memory;
  ASSERT_TRUE(memory.create_in_memory("built"));
  ASSERT_TRUE(build(memory));
  EXPECT_TRUE(memory.heap().memory_image() == on_disk);
  EXPECT_EQ(memory.heap().name(), "built");
  EXPECT_TRUE(memory.close());
  EXPECT_FALSE(memory.is_open());
  EXPECT_EQ(memory.heap().memory_image().length(), 0);

  EXPECT_EQ(dir_.get("built"), "<absent>");  // nothing reached the disk under its name
}

TEST_F(GlobFileTest, AMissingFieldLeavesTheValueAndExtraFieldsAreHarmless) {
  ASSERT_TRUE(glob_.create(path_, true));
  glob_.begin_record(0);
  Var v = Var::of_text("from a newer version");
  glob_.transfer("unknown_to_this_window", v);
  ASSERT_TRUE(glob_.end_record());
  reopen();
  ASSERT_TRUE(glob_.load_record(0));
  Var kept = Var::of_int(42);
  EXPECT_FALSE(glob_.transfer("SMTPport", kept));
  EXPECT_EQ(kept.type(), kTypeInt32);
  EXPECT_EQ(kept.as_int(), 42);
}

TEST_F(GlobFileTest, RewritingOneRecordReusesItsSpace) {
  ASSERT_TRUE(glob_.create(path_, true));
  auto store = [this](int round) {
    glob_.begin_record(0);
    Var v;
    for (int f = 0; f < 20; ++f) {
      v.set_text(String::formatted("value %d of round %d", f, round).c_str());
      glob_.transfer(String::formatted("field%d", f), v);
    }
    ASSERT_TRUE(glob_.end_record());
  };
  store(0);
  int64_t one_record = glob_.heap().size();
  for (int round = 1; round <= 1000; ++round) store(round);
  EXPECT_LT(glob_.heap().size(), one_record + one_record / 2);
  // With a second record behind it, each rewrite is streamed at the end and
  // then moved into the hole the old version left: rewrites of equal size
  // (rounds 100 to 199) do not grow the file.
  int64_t at_round_120 = 0;
  for (int round = 0; round < 200; ++round) {
    store(round);
    glob_.begin_record(1);
    Var v = Var::of_int(round);
    glob_.transfer("n", v);
    ASSERT_TRUE(glob_.end_record());
    if (round == 120) at_round_120 = glob_.heap().size();
  }
  EXPECT_EQ(glob_.heap().size(), at_round_120);
  reopen();
  ASSERT_TRUE(glob_.load_record(0));
  Var v;
  glob_.transfer("field19", v);
  EXPECT_EQ(v.as_text().std_string(), "value 19 of round 199");
}

TEST_F(GlobFileTest, OpenReportsByCode) {
  ASSERT_TRUE(dir_.put("not.zqj", "plain text, not a glob file"));
  HeapFile heap;
  ASSERT_TRUE(heap.create(dir_ / "heap.only", true));
  heap.alloc(10, "0123456789");  // a heap file whose first block is no glob header
  heap.close();
  ASSERT_TRUE(glob_.create(path_, true));
  glob_.close();
  const struct {
    String path;
    int code;
  } cases[] = {
      {path_, GlobFile::kOpened},
      {dir_ / "missing.zqj", GlobFile::kCannotOpen},
      {dir_ / "not.zqj", GlobFile::kNotGlobFile},
      {dir_ / "heap.only", GlobFile::kNotGlobFile},
  };
  for (const auto& c : cases) {
    GlobFile glob;
    EXPECT_EQ(glob.open(c.path, true), c.code) << c.path.c_str();
    EXPECT_EQ(glob.is_open(), c.code == GlobFile::kOpened);
  }
}

// A valid file with one record in slot 0, whose record bytes are `record`.
// Nodes: the glob header at 10, the slot table at 37 (data 54), the record
// at 58 (data 75).
String file_with_record(const String& record) {
  auto le = [](int32_t v) {
    return bytes({v & 0xff, (v >> 8) & 0xff, (v >> 16) & 0xff, (v >> 24) & 0xff});
  };
  String f = bytes({0x9E, 0xFA}) + le(10) + le(58);
  f += bytes({0xE9}) + le(10) + le(10) + le(37) + le(0);
  f += bytes({0xF1, 0xBC}) + le(54) + le(1);
  f += bytes({0xE9}) + le(4) + le(4) + le(58) + le(10);
  f += le(75);
  f += bytes({0xE9}) + le(record.length()) + le(record.length()) + le(0) + le(37);
  f += record;
  return f;
}

TEST_F(GlobFileTest, DamagedRecordsEndInTheirErrors) {
  const struct {
    const char* what;
    String record;
    const char* message;
  } cases[] = {
      {"too many fields", bytes({0x11, 0x27, 0, 0}), "Error in GlobFile .*:\nNumber of fields: 10001"},
      {"negative field count", bytes({0xff, 0xff, 0xff, 0xff}), "Number of fields: -1"},
      {"more fields than bytes", bytes({0x10, 0x27, 0, 0, 1, 'a', 0x87, 1}),
       "reading data from a file:\nRead past end of file"},
      {"unknown type", bytes({1, 0, 0, 0, 1, 'x', 0x80 | 99, 0}), "GlobBucket::allocate type = 99\nx"},
      {"empty name", bytes({1, 0, 0, 0, 0, 0x87, 1}), "Empty field name"},
      {"repeated name", bytes({2, 0, 0, 0, 1, 'a', 0x87, 1, 1, 'a', 0x87, 2}),
       "add_bucket\\(duplicate\\)"},
      {"huge value count", bytes({1, 0, 0, 0, 1, 'a', 81, 0xff, 0xff, 0xff, 0x7f, 0}),
       "Read past end of file"},
      {"huge text", bytes({1, 0, 0, 0, 1, 's', 3, 1, 0, 0, 0, 0xff, 0xff, 0xff, 0x7f}),
       "Read past end of file"},
      {"negative text length", bytes({1, 0, 0, 0, 1, 's', 0x83, 0xfb, 0xff, 0xff, 0xff}),
       "Illegal block size -5"},
      {"name past the end", bytes({1, 0, 0, 0, 200, 'a'}), "Read past end of file"},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(dir_.put("damaged.zqj", file_with_record(c.record)));
    GlobFile glob;
    ASSERT_EQ(glob.open(dir_ / "damaged.zqj", true), GlobFile::kOpened) << c.what;
    EXPECT_EXIT(glob.load_record(0), testing::ExitedWithCode(1), c.message) << c.what;
  }
  // Arrays nested deeper than any window writes.
  String deep;
  for (int i = 0; i < 100; ++i) deep += bytes({1, 0, 0, 0, 1, 'n', 126, 1, 0, 0, 0});
  deep += bytes({0, 0, 0, 0});
  ASSERT_TRUE(dir_.put("deep.zqj", file_with_record(deep)));
  GlobFile glob;
  ASSERT_EQ(glob.open(dir_ / "deep.zqj", true), GlobFile::kOpened);
  EXPECT_EXIT(glob.load_record(0), testing::ExitedWithCode(1), "Arrays nested more than 64 deep");
}

TEST_F(GlobFileTest, SlotsOutsideTheTableAreIllegal) {
  ASSERT_TRUE(glob_.create(path_, true));
  glob_.begin_record(1);
  ASSERT_TRUE(glob_.end_record());
  EXPECT_EXIT(glob_.record_offset(2), testing::ExitedWithCode(1),
              "Error in GlobFile .*:\nAttempt to access illegal slot #2 \\(max=1\\)");
  EXPECT_EXIT(glob_.begin_record(-1), testing::ExitedWithCode(1),
              "Attempt to access illegal slot #-1 \\(max=1\\)");
  // A slot table that reaches past the end of the file is no glob file.
  String f = file_with_record(bytes({0, 0, 0, 0}));
  f[33] = 100;  // slot count 100
  ASSERT_TRUE(dir_.put("table.zqj", f));
  GlobFile glob;
  EXPECT_EQ(glob.open(dir_ / "table.zqj", true), GlobFile::kNotGlobFile);
}

// Every truncation and every flipped byte of a real file either loads or
// ends in one of the errors the format defines.
TEST_F(GlobFileTest, TruncatedAndFlippedFilesEndCleanly) {
  ASSERT_TRUE(glob_.create(path_, true));
  glob_.begin_record(0);
  Var v;
  for (int f = 0; f < 4; ++f) {
    v.set_double(f * 1.5);
    glob_.transfer(String::formatted("d%d", f), v);
  }
  glob_.begin_array("rows");
  v.set_text("first row");
  glob_.transfer("t", v);
  glob_.end_element();
  glob_.begin_element();
  v.set_int16(7);
  glob_.transfer("s", v);
  glob_.end_array();
  ASSERT_TRUE(glob_.end_record());
  glob_.close();
  const String original = dir_.get("project.zqj");
  ASSERT_EQ(walk_glob_file(path_), 7);

  const char* known[] = {"Read past end of file", "Error in GlobFile", "Error in HeapFile",
                         "HeapFile is corrupt",   "Bad HeapFile",      "HeapFile Block",
                         "GlobBucket::allocate",  "add_bucket(duplicate)", "Illegal block size"};
  int loaded = 0, refused = 0, failed = 0;
  set_fatal_throws(true);
  auto attempt = [&](const String& contents, const std::string& what) {
    ASSERT_TRUE(dir_.put("variant.zqj", contents));
    try {
      int n = walk_glob_file(dir_ / "variant.zqj");
      (n < 0 ? refused : loaded)++;
    } catch (const FatalErrorException& e) {
      ++failed;
      bool recognised = false;
      for (const char* k : known) recognised |= std::string(e.what()).find(k) != std::string::npos;
      EXPECT_TRUE(recognised) << what << ": " << e.what();
    }
  };
  for (int n = 0; n < original.length(); ++n) attempt(original.substr(0, n), "cut at " + std::to_string(n));
  for (int i = 0; i < original.length(); ++i) {
    for (int mask : {0x01, 0x80, 0xff}) {
      String flipped = original;
      flipped[i] = static_cast<char>(flipped[i] ^ mask);
      attempt(flipped, "byte " + std::to_string(i) + " ^ " + std::to_string(mask));
    }
  }
  set_fatal_throws(false);
  // All three outcomes occur: the test reaches the checks it means to.
  EXPECT_GT(loaded, 0);
  EXPECT_GT(refused, 0);
  EXPECT_GT(failed, 0);
}

}  // namespace
}  // namespace tessaline
