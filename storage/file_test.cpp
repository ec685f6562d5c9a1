#include "storage/file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <functional>

#include "platform/temporary_files.h"
#include "storage/paths.h"
#include "storage/test_directory.h"

namespace tessaline {
namespace {

unsigned memory_option(bool memory) {
  return memory ? static_cast<unsigned>(File::kLoadIntoMemory) : 0u;
}

class FileTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir.ok()); }
  TestDirectory dir;
};

// --- transfer errors --------------------------------------------------------

TEST_F(FileTest, FailedTransfersLeaveTheirReasonAndChangeNothing) {
  ASSERT_TRUE(dir.put("data", "0123456789"));
  struct Case {
    const char* what;
    unsigned options;  // 0: the File stays closed
    std::function<bool(File&)> transfer;
    bool expected;
    const char* error;
  };
  char buffer[32];
  const unsigned read_only = File::kOpenExisting | File::kNoWrite;
  const unsigned read_write = File::kOpenExisting;
  const Case cases[] = {
      {"zero bytes to a closed file", 0, [](File& f) { return f.write("x", 0); }, true, ""},
      {"negative write", read_write, [](File& f) { return f.write("x", -1); }, false,
       "Illegal block size"},
      {"write without write access", read_only, [](File& f) { return f.write("abc", 3); }, false,
       "Write access denied"},
      {"negative read", read_write, [&](File& f) { return f.read(buffer, -5); }, false,
       "Illegal block size -5"},
      {"read into no buffer", read_write, [](File& f) { return f.read(nullptr, 4); }, false,
       "NULL block pointer"},
      {"read without read access", File::kOpenExisting | File::kNoRead,
       [&](File& f) { return f.read(buffer, 4); }, false, "Read access denied"},
      {"read from a closed file", 0, [&](File& f) { return f.read(buffer, 4); }, false,
       "File not open"},
      {"read past the end", read_write, [&](File& f) { return f.read(buffer, 11); }, false,
       "Read past end of file"},
      {"read past the end in memory", read_write | File::kLoadIntoMemory,
       [&](File& f) { return f.read(buffer, 11); }, false, "Read past end of file"},
      {"read past the end after a seek", read_write,
       [&](File& f) { return f.seek(8) && f.read(buffer, 3); }, false, "Read past end of file"},
      {"quiet write to a closed file", 0,
       [](File& f) {
         f.set_report_unopened_write(false);
         return f.write("abc", 3);
       },
       false, "File not open"},
      {"truncate without write access", read_only, [](File& f) { return f.truncate(); }, false,
       "Write access denied"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    File file;
    if (c.options) {
      ASSERT_TRUE(file.open(dir / "data", c.options));
    }
    EXPECT_EQ(c.transfer(file), c.expected);
    EXPECT_EQ(file.last_error(), c.error);
    file.close();
    EXPECT_EQ(dir.get("data"), "0123456789");
  }
}

TEST_F(FileTest, FatalFormsNameTheReason) {
  ASSERT_TRUE(dir.put("data", "abc"));
  const String name = dir / "data";
  char buffer[8];
  EXPECT_EXIT(
      {
        File file;
        file.write("x", 1);
      },
      ::testing::ExitedWithCode(1), "Write to unopened File:");
  EXPECT_EXIT(
      {
        File file;
        file.open(name, File::kOpenExisting);
        file.read_or_fail(buffer, 4);
      },
      ::testing::ExitedWithCode(1),
      "An error has occurred while reading data from a file:\nRead past end of file\n\nFile: " +
          name.std_string());
  EXPECT_EXIT(
      {
        File file;
        file.open(name, File::kOpenExisting | File::kNoWrite);
        file.write_or_fail("x", 1);
      },
      ::testing::ExitedWithCode(1),
      "An error has occurred while writing data to a file:\nWrite access denied");
  EXPECT_EXIT(
      {
        File file;
        file.open(name, File::kOpenExisting);
        file.pop_position();
      },
      ::testing::ExitedWithCode(1), "gfile [0-9]+");
  EXPECT_EXIT(
      {
        File file;
        file.open(dir / "missing", File::kOpenExisting | File::kRequired);
      },
      ::testing::ExitedWithCode(1), "Failed to open required file:\r\n.*/missing");
}

// --- opening ----------------------------------------------------------------

TEST_F(FileTest, DispositionDecidesBetweenOpeningCreatingAndEmptying) {
  struct Case {
    unsigned disposition;
    bool exists;
    bool opens;
    const char* contents_after;
  };
  const Case cases[] = {
      {File::kOpenOrCreate, true, true, "old"},  {File::kOpenOrCreate, false, true, ""},
      {File::kOpenExisting, true, true, "old"},  {File::kOpenExisting, false, false, "<absent>"},
      {File::kCreateNew, true, false, "old"},    {File::kCreateNew, false, true, ""},
      {File::kCreateOrEmpty, true, true, ""},    {File::kCreateOrEmpty, false, true, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "disposition " << c.disposition << " exists " << c.exists);
    unlink((dir / "f").c_str());
    if (c.exists) {
      ASSERT_TRUE(dir.put("f", "old"));
    }
    File file;
    EXPECT_EQ(file.open(dir / "f", c.disposition), c.opens);
    EXPECT_EQ(file.is_open(), c.opens);
    if (!c.opens) {
      EXPECT_FALSE(file.last_error().empty());
    }
    file.close();
    EXPECT_EQ(dir.get("f"), c.contents_after);
  }
}

TEST_F(FileTest, ExclusiveOpensKeepEveryoneElseOut) {
  ASSERT_TRUE(dir.put("f", "contents"));
  const unsigned shared = File::kOpenExisting | File::kShareRead | File::kShareWrite;
  const unsigned exclusive = File::kOpenExisting;
  struct Case {
    unsigned first, second;
    bool second_opens;
  };
  const Case cases[] = {
      {exclusive, exclusive, false},
      {exclusive, shared, false},
      {shared, exclusive, false},
      {shared, shared, true},
      {shared | File::kShareRead, File::kOpenExisting | File::kNoWrite | File::kShareRead, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.first << " then " << c.second);
    File first, second;
    ASSERT_TRUE(first.open(dir / "f", c.first));
    EXPECT_EQ(second.open(dir / "f", c.second), c.second_opens);
    if (!c.second_opens) {
      EXPECT_EQ(second.last_error(), "The file is being used by another process.");
      first.close();
      EXPECT_TRUE(second.open(dir / "f", c.second));
    }
  }
  // An exclusive create must not empty a file someone else holds.
  File holder, intruder;
  ASSERT_TRUE(holder.open_existing(dir / "f", true, true, true));
  EXPECT_FALSE(intruder.create(dir / "f", false));
  holder.close();
  EXPECT_EQ(dir.get("f"), "contents");
}

TEST_F(FileTest, OpenOptions) {
  // A directory is no file, although Linux would open it.
  File file;
  EXPECT_FALSE(file.open(dir.path(), File::kOpenExisting | File::kNoWrite));
  EXPECT_FALSE(file.last_error().empty());

  // Close at once creates the file and leaves the File closed.
  EXPECT_TRUE(file.open(dir / "touched", File::kOpenOrCreate | File::kCloseAtOnce));
  EXPECT_FALSE(file.is_open());
  EXPECT_EQ(dir.get("touched"), "");

  // At end: writes append.
  ASSERT_TRUE(dir.put("log", "one\n"));
  ASSERT_TRUE(file.open(dir / "log", File::kOpenExisting | File::kAtEnd));
  EXPECT_EQ(file.tell(), 4);
  EXPECT_TRUE(file.write("two\n", 4));
  file.close();
  EXPECT_EQ(dir.get("log"), "one\ntwo\n");

  // The read-only attribute gives a new file no write permission.
  ASSERT_TRUE(file.open(dir / "ro", File::kCreateNew | File::kCloseAtOnce, kAttributeReadOnly));
  struct stat info {};
  ASSERT_EQ(stat((dir / "ro").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0222, 0u);

  // The access flags follow the options and are cleared by close.
  ASSERT_TRUE(file.open(dir / "log", File::kOpenExisting | File::kNoWrite));
  EXPECT_TRUE(file.can_read());
  EXPECT_FALSE(file.can_write());
  file.close();
  EXPECT_FALSE(file.can_read());
  EXPECT_EQ(file.tell(), -1);
  EXPECT_EQ(file.size(), -1);
}

TEST_F(FileTest, TemporaryFilesAreFreshFilesInTheAskedFolder) {
  for (unsigned option : {File::kTempInDirectory, File::kTempBesideName}) {
    SCOPED_TRACE(option);
    String name = option == File::kTempInDirectory ? dir.path() : dir / "project.zqj";
    File a, b;
    ASSERT_TRUE(a.open(name, option));
    ASSERT_TRUE(b.open(name, option));
    EXPECT_NE(a.name(), b.name());
    for (const File* f : {&a, &b}) {
      // Named as this process's, so that a later run can clear it away.
      long pid = 0;
      String host;
      EXPECT_EQ(directory_part(f->name()), dir.path());
      EXPECT_TRUE(parse_temporary_name(file_part(f->name()).view(), &pid, &host)) << f->name().c_str();
      EXPECT_EQ(pid, static_cast<long>(getpid()));
      EXPECT_EQ(f->size(), 0);
    }
    EXPECT_TRUE(a.write("x", 1));
    a.close();
    EXPECT_EQ(TestDirectory::read(a.name()), "x");
    unlink(a.name().c_str());
    unlink(b.name().c_str());
  }
  File file;
  EXPECT_FALSE(file.open(dir / "no/such/folder", File::kTempInDirectory));
}

TEST_F(FileTest, AFileInMemoryOnlyNeverTouchesTheDisk) {
  File file;
  file.open_in_memory(dir / "image");
  ASSERT_TRUE(file.is_open());
  EXPECT_TRUE(file.in_memory());
  EXPECT_EQ(file.name(), dir / "image");
  EXPECT_EQ(file.size(), 0);
  ASSERT_TRUE(file.write("hello world", 11));
  ASSERT_TRUE(file.seek(6));
  ASSERT_TRUE(file.write("there", 5));
  ASSERT_TRUE(file.seek(5));
  ASSERT_TRUE(file.truncate());
  char back[5] = {};
  ASSERT_TRUE(file.seek(0));
  ASSERT_TRUE(file.read(back, 5));
  EXPECT_EQ(std::string(back, 5), "hello");
  EXPECT_EQ(file.memory_image(), "hello");
  EXPECT_TRUE(file.flush());
  EXPECT_TRUE(file.close());
  EXPECT_FALSE(file.is_open());
  EXPECT_EQ(file.memory_image(), "");
  EXPECT_EQ(TestDirectory::read(dir / "image"), "<absent>");
  // Closed, it is an ordinary closed File again.
  file.set_report_unopened_write(false);
  EXPECT_FALSE(file.write("x", 1));
}

// --- positions and the memory image -----------------------------------------

TEST_F(FileTest, PositionsOnDiskAndInMemory) {
  for (bool memory : {false, true}) {
    SCOPED_TRACE(memory ? "in memory" : "on disk");
    ASSERT_TRUE(dir.put("f", "0123456789"));
    File file;
    ASSERT_TRUE(file.open(dir / "f", File::kOpenExisting | memory_option(memory)));
    EXPECT_EQ(file.in_memory(), memory);
    EXPECT_EQ(file.size(), 10);

    char c[3] = {};
    ASSERT_TRUE(file.seek(2));
    file.push_position(7);
    EXPECT_EQ(file.tell(), 7);
    ASSERT_TRUE(file.read(c, 2));
    EXPECT_EQ(String(c, 2), "78");
    file.pop_position();
    EXPECT_EQ(file.tell(), 2);

    ASSERT_TRUE(file.read_at(5, c, 3));
    EXPECT_EQ(String(c, 3), "567");
    ASSERT_TRUE(file.write_at(0, "ab", 2));
    EXPECT_EQ(file.tell(), 2);

    ASSERT_TRUE(file.seek_from_end(-1));
    EXPECT_EQ(file.tell(), 9);
    ASSERT_TRUE(file.seek_relative(-4));
    EXPECT_EQ(file.tell(), 5);
    EXPECT_FALSE(file.seek(-1));
    EXPECT_EQ(file.tell(), 5);

    // Writing past the end leaves a gap of zeros; truncate cuts at the
    // position.
    ASSERT_TRUE(file.seek(12));
    ASSERT_TRUE(file.write("Z", 1));
    EXPECT_EQ(file.size(), 13);
    ASSERT_TRUE(file.seek(4));
    ASSERT_TRUE(file.write_format("%d-%s", 42, "x"));
    ASSERT_TRUE(file.truncate());
    EXPECT_EQ(file.size(), 8);
    EXPECT_EQ(file.tell(), 8);
    ASSERT_TRUE(file.close());
    EXPECT_EQ(dir.get("f"), "ab2342-x");

    ASSERT_TRUE(file.open(dir / "f", File::kOpenExisting | memory_option(memory)));
    ASSERT_TRUE(file.seek(12));
    ASSERT_TRUE(file.write("!", 1));
    ASSERT_TRUE(file.close());
    EXPECT_EQ(dir.get("f"), String("ab2342-x\0\0\0\0!", 13));
  }
}

TEST_F(FileTest, MemoryImageReachesTheDiskOnlyAtClose) {
  ASSERT_TRUE(dir.put("f", "hello world"));
  File file;
  ASSERT_TRUE(file.open(dir / "f", File::kOpenExisting));
  ASSERT_TRUE(file.seek(6));
  ASSERT_TRUE(file.load_into_memory());
  EXPECT_EQ(file.tell(), 6);
  EXPECT_FALSE(file.memory_dirty());
  ASSERT_TRUE(file.write("there, and more", 15));
  EXPECT_TRUE(file.memory_dirty());
  EXPECT_EQ(dir.get("f"), "hello world");

  // A second load keeps the unsaved writes.
  ASSERT_TRUE(file.load_into_memory());
  EXPECT_EQ(file.memory_image(), "hello there, and more");
  ASSERT_TRUE(file.seek(11));
  ASSERT_TRUE(file.truncate());
  ASSERT_TRUE(file.close());
  EXPECT_FALSE(file.in_memory());
  EXPECT_EQ(dir.get("f"), "hello there");

  // A clean image writes nothing back; loading a write-only file fails.
  ASSERT_TRUE(file.open(dir / "f", File::kOpenExisting | File::kNoWrite | File::kLoadIntoMemory));
  ASSERT_TRUE(file.close());
  EXPECT_EQ(dir.get("f"), "hello there");
  EXPECT_FALSE(file.open(dir / "f", File::kOpenExisting | File::kNoRead | File::kLoadIntoMemory));
  EXPECT_EQ(file.last_error(), "Read access denied");
  EXPECT_FALSE(file.is_open());
}

// --- counted strings --------------------------------------------------------

TEST_F(FileTest, CountedStringsRoundTripAndCutToTheirWidth) {
  String long_text;
  for (int i = 0; i < 70000; ++i) long_text += static_cast<char>('a' + i % 26);
  struct Case {
    int width;
    String text;
    int length_back;
  };
  const Case cases[] = {
      {8, "", 0},           {8, "abc", 3},          {8, long_text.substr(0, 300), 255},
      {16, "", 0},          {16, long_text, 65535}, {32, "", 0},
      {32, long_text, 70000},
  };
  for (bool memory : {false, true}) {
    File file;
    ASSERT_TRUE(file.create(dir / "strings", true));
    if (memory) {
      ASSERT_TRUE(file.load_into_memory());
    }
    for (const Case& c : cases) {
      if (c.width == 8) file.write_string8(c.text);
      if (c.width == 16) file.write_string16(c.text);
      if (c.width == 32) file.write_string32(c.text);
    }
    ASSERT_TRUE(file.seek(0));
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << "width " << c.width << " length " << c.text.length());
      String back = "previous";
      if (c.width == 8) file.read_string8(back);
      if (c.width == 16) file.read_string16(back);
      if (c.width == 32) file.read_string32(back);
      EXPECT_EQ(back, c.text.substr(0, c.length_back));
    }
    EXPECT_EQ(file.tell(), file.size());
  }
  // The 8-bit length is one byte, the 16-bit one two bytes, little-endian.
  String image = dir.get("strings");
  EXPECT_EQ(image.substr(0, 6), String("\0\3abc\xff", 6));
}

TEST_F(FileTest, HostileStringLengthsFailBeforeAllocating) {
  struct Case {
    const char* what;
    String bytes;
    int width;
    const char* error;
  };
  const Case cases[] = {
      {"32-bit length of 2 GB", String("\xff\xff\xff\x7f" "abc", 7), 32, "Read past end of file"},
      {"negative 32-bit length", String("\xff\xff\xff\xff" "abc", 7), 32, "Illegal block size -1"},
      {"most negative 32-bit length", String("\0\0\0\x80", 4), 32,
       "Illegal block size -2147483648"},
      {"32-bit length one past the end", String("\4\0\0\0abc", 7), 32, "Read past end of file"},
      {"16-bit length past the end", String("\xe8\x03" "abc", 5), 16, "Read past end of file"},
      {"8-bit length past the end", String("\x09" "abc", 4), 8, "Read past end of file"},
      {"length field cut short", String("\1\0", 2), 32, "Read past end of file"},
  };
  for (bool memory : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << c.what << (memory ? " in memory" : ""));
      ASSERT_TRUE(dir.put("f", c.bytes));
      File file;
      ASSERT_TRUE(file.open(dir / "f", File::kOpenExisting | memory_option(memory)));
      String text = "unchanged";
      bool ok = c.width == 8    ? file.try_read_string8(text)
                : c.width == 16 ? file.try_read_string16(text)
                                : file.try_read_string32(text);
      EXPECT_FALSE(ok);
      EXPECT_EQ(file.last_error(), c.error);
      EXPECT_EQ(text, "unchanged");
    }
  }
  ASSERT_TRUE(dir.put("f", String("\xff\xff\xff\x7f" "abc", 7)));
  const String name = dir / "f";
  EXPECT_EXIT(
      {
        File file;
        file.open(name, File::kOpenExisting);
        String text;
        file.read_string32(text);
      },
      ::testing::ExitedWithCode(1),
      "An error has occurred while reading data from a file:\nRead past end of file");
}

// --- whole-file operations --------------------------------------------------

TEST_F(FileTest, CopyToCopiesEveryBlockAndKeepsThePosition) {
  String contents;
  for (int i = 0; i < 3 * 4096 + 17; ++i) contents += static_cast<char>(i * 7);
  ASSERT_TRUE(dir.put("source", contents));
  ASSERT_TRUE(dir.put("target", "old target, longer than nothing"));
  for (bool memory : {false, true}) {
    File file;
    ASSERT_TRUE(file.open(dir / "source", File::kOpenExisting | memory_option(memory)));
    ASSERT_TRUE(file.seek(100));
    EXPECT_TRUE(file.copy_to(dir / "target"));
    EXPECT_EQ(file.tell(), 100);
    EXPECT_TRUE(dir.get("target") == contents);

    // Copying onto itself would empty it.
    EXPECT_FALSE(file.copy_to(dir / "source"));
    EXPECT_FALSE(file.last_error().empty());
    file.close();
    EXPECT_TRUE(dir.get("source") == contents);
  }
  File file;
  ASSERT_TRUE(file.open(dir / "source", File::kOpenExisting));
  EXPECT_FALSE(file.copy_to(dir / "no/such/folder/target"));
}

TEST_F(FileTest, FileTimeIsTheLastWriteInLocalTime) {
  ASSERT_TRUE(dir.put("f", "x"));
  const time_t when = 946684799;  // 1999-12-31 23:59:59 UTC
  struct timeval times[2] = {{when, 0}, {when, 0}};
  ASSERT_EQ(utimes((dir / "f").c_str(), times), 0);
  File file;
  EXPECT_EQ(file.get_file_time(), FileTime());
  ASSERT_TRUE(file.open(dir / "f", File::kOpenExisting));
  EXPECT_EQ(file.get_file_time(), FileTime::from_local(when));
}

}  // namespace
}  // namespace tessaline
