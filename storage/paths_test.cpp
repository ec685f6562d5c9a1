#include "storage/paths.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "core/containers.h"

#include "platform/temporary_files.h"
#include "storage/test_directory.h"

namespace tessaline {
namespace {

TEST(PathText, PartsOfAPath) {
  struct Case {
    const char* path;
    const char* directory;
    const char* file;
    int extension;
    bool absolute;
  };
  const Case cases[] = {
      {"/home/ann/letter.txt", "/home/ann", "letter.txt", 16, true},
      {"/file", "/", "file", -1, true},
      {"/", "/", "", -1, true},
      {"letter.txt", "", "letter.txt", 6, false},
      {"/dir.d/file", "/dir.d", "file", -1, true},
      {"a/b.tar.gz", "a", "b.tar.gz", 7, false},
      {"", "", "", -1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(directory_part(c.path), c.directory);
    EXPECT_EQ(file_part(c.path), c.file);
    EXPECT_EQ(extension_position(c.path), c.extension);
    EXPECT_EQ(is_absolute(c.path), c.absolute);
  }
}

TEST(PathText, MakeAbsolutePutsRelativePathsBelowAnAbsoluteBase) {
  struct Case {
    const char* path;
    const char* base;
    bool changed;
    const char* after;
  };
  const Case cases[] = {
      {"a.txt", "/home/ann", true, "/home/ann/a.txt"},
      {"sub/a.txt", "/home/ann/", true, "/home/ann/sub/a.txt"},
      {"../a", "/", true, "/../a"},
      {"/etc/a", "/home", false, "/etc/a"},
      {"", "/home", false, ""},
      {"a.txt", "relative", false, "a.txt"},
      {"a.txt", "", false, "a.txt"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.path << " against " << c.base);
    String path = c.path;
    EXPECT_EQ(make_absolute(path, c.base), c.changed);
    EXPECT_EQ(path, c.after);
  }
}

TEST(PathText, JoinPathPutsExactlyOneSlashBetween) {
  struct Case {
    const char* directory;
    const char* name;
    const char* joined;
  };
  const Case cases[] = {
      {"", "name", "name"},          {"/dir", "", "/dir"},       {"/dir", "name", "/dir/name"},
      {"/dir/", "name", "/dir/name"}, {"/dir", "/name", "/dir/name"}, {"/dir/", "/name", "/dir/name"},
      {"/", "name", "/name"},        {"/", "/name", "/name"},    {"dir", "sub/name", "dir/sub/name"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.directory << " + " << c.name);
    EXPECT_EQ(join_path(c.directory, c.name), c.joined);
  }
}

TEST(PathText, Extensions) {
  EXPECT_EQ(add_extension("/p/list", "txt"), "/p/list.txt");
  EXPECT_EQ(add_extension("/p/list", ".txt"), "/p/list.txt");
  EXPECT_EQ(add_extension("/p/list.a", "b"), "/p/list.a.b");
  EXPECT_EQ(change_extension("/p.d/project.zqj", "BAK"), "/p.d/project.BAK");
  EXPECT_EQ(change_extension("/p.d/project", ".BAK"), "/p.d/project.BAK");
  EXPECT_EQ(change_extension("/p/project.zqj", ""), "/p/project");
  EXPECT_EQ(default_extension("/p.d/project", "zqj"), "/p.d/project.zqj");
  EXPECT_EQ(default_extension("/p/project.txt", "zqj"), "/p/project.txt");
}

// The names in a folder, sorted, each followed by a blank.
String entries_of(const String& folder) {
  Vector<String> names;
  if (DIR* d = opendir(folder.c_str())) {
    while (struct dirent* e = readdir(d)) {
      if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..")) names.append(e->d_name);
    }
    closedir(d);
  }
  names.sort([](const String& a, const String& b) { return a.compare(b); });
  String result;
  for (const String& name : names) result += name + " ";
  return result;
}

class PathsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir.ok()); }
  mode_t mode_of(const char* name) {
    struct stat info {};
    return stat((dir / name).c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
  }
  TestDirectory dir;
};

TEST_F(PathsTest, WholeFilesRoundTripEveryByte) {
  const String bytes("line\r\nnul\0here\n\xff", 16);
  ASSERT_TRUE(write_whole_file(dir / "f", bytes.c_str(), bytes.length()));
  String back = "previous";
  ASSERT_TRUE(read_whole_file(dir / "f", back));
  EXPECT_EQ(back, bytes);

  ASSERT_TRUE(write_whole_file(dir / "f", "", 0));
  ASSERT_TRUE(read_whole_file(dir / "f", back));
  EXPECT_EQ(back, "");

  back = "previous";
  EXPECT_FALSE(read_whole_file(dir / "missing", back));
  EXPECT_FALSE(read_whole_file(dir.path(), back));
  EXPECT_EQ(back, "previous");
  EXPECT_FALSE(write_whole_file(dir / "no/such/folder/f", "x", 1));
  EXPECT_FALSE(write_whole_file(dir / "f", "x", -1));

  // A FIFO without a writer must not hang the reader.
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  EXPECT_TRUE(read_whole_file(dir / "fifo", back));
  EXPECT_EQ(back, "");
}

TEST_F(PathsTest, RewritingAFileKeepsItsPermissionsAndLinks) {
  ASSERT_TRUE(dir.put("target", "old"));
  ASSERT_EQ(chmod((dir / "target").c_str(), 0640), 0);
  ASSERT_EQ(symlink((dir / "target").c_str(), (dir / "link").c_str()), 0);

  ASSERT_TRUE(write_whole_file(dir / "link", "new contents", 12));
  EXPECT_EQ(dir.get("target"), "new contents");
  EXPECT_EQ(mode_of("target"), 0640u);
  struct stat info {};
  ASSERT_EQ(lstat((dir / "link").c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));

  // No temporary file is left behind.
  EXPECT_EQ(entries_of(dir.path()), "link target ");
}

TEST_F(PathsTest, FilesIdenticalComparesEveryBlock) {
  String big;
  for (int i = 0; i < 40000; ++i) big += static_cast<char>('a' + i % 23);
  String last_differs = big;
  last_differs[last_differs.length() - 1] = '!';
  String first_differs = big;
  first_differs[0] = '!';
  ASSERT_TRUE(dir.put("a", big));
  ASSERT_TRUE(dir.put("copy", big));
  ASSERT_TRUE(dir.put("last", last_differs));
  ASSERT_TRUE(dir.put("first", first_differs));
  ASSERT_TRUE(dir.put("short", big.substr(0, 39999)));
  ASSERT_TRUE(dir.put("empty1", ""));
  ASSERT_TRUE(dir.put("empty2", ""));
  struct Case {
    const char* a;
    const char* b;
    bool identical;
  };
  const Case cases[] = {
      {"a", "copy", true},     {"a", "last", false},     {"a", "first", false},
      {"a", "short", false},   {"empty1", "empty2", true}, {"a", "missing", false},
      {"missing", "missing", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.a << " " << c.b);
    EXPECT_EQ(files_identical(dir / c.a, dir / c.b), c.identical);
  }
}

TEST_F(PathsTest, CopyFile) {
  ASSERT_TRUE(dir.put("from", "source bytes"));
  ASSERT_EQ(chmod((dir / "from").c_str(), 0750), 0);
  ASSERT_TRUE(dir.put("existing", "keep me"));

  EXPECT_TRUE(copy_file(dir / "from", dir / "new", true));
  EXPECT_EQ(dir.get("new"), "source bytes");
  EXPECT_EQ(mode_of("new"), 0750u);

  EXPECT_FALSE(copy_file(dir / "from", dir / "existing", true));
  EXPECT_EQ(dir.get("existing"), "keep me");
  EXPECT_TRUE(copy_file(dir / "from", dir / "existing", false));
  EXPECT_EQ(dir.get("existing"), "source bytes");

  // Onto itself: the contents stay.
  EXPECT_TRUE(copy_file(dir / "from", dir / "from", false));
  EXPECT_EQ(dir.get("from"), "source bytes");

  EXPECT_FALSE(copy_file("", dir / "x", false));
  EXPECT_FALSE(copy_file(dir / "from", "", false));
  EXPECT_FALSE(copy_file(dir / "missing", dir / "x", false));
  EXPECT_FALSE(copy_file(dir / "from", dir / "no/such/folder/x", false));
  // Failed copies leave no temporary files behind.
  EXPECT_EQ(entries_of(dir.path()), "existing from new ");
}

TEST_F(PathsTest, AttributesReadOnlyAndDeletion) {
  ASSERT_TRUE(dir.put("f", "x"));
  ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
  EXPECT_EQ(file_attributes(dir / "f"), kAttributeNormal);
  EXPECT_EQ(file_attributes(dir / "sub"), kAttributeDirectory);
  EXPECT_EQ(file_attributes(dir / "missing"), kNoFileAttributes);

  EXPECT_TRUE(set_read_only(dir / "f", true));
  EXPECT_EQ(file_attributes(dir / "f"), kAttributeReadOnly);
  EXPECT_EQ(mode_of("f") & 0222, 0u);
  EXPECT_TRUE(set_read_only(dir / "f", true));
  EXPECT_TRUE(set_read_only(dir / "f", false));
  EXPECT_EQ(file_attributes(dir / "f"), kAttributeNormal);
  EXPECT_FALSE(set_read_only(dir / "missing", true));

  ASSERT_TRUE(set_read_only(dir / "f", true));
  EXPECT_TRUE(delete_file(dir / "f"));
  EXPECT_EQ(file_attributes(dir / "f"), kNoFileAttributes);
  EXPECT_FALSE(delete_file(dir / "f"));
  EXPECT_FALSE(delete_file(dir / "sub"));
}

TEST_F(PathsTest, DirectoryExists) {
  ASSERT_TRUE(dir.put("f", "x"));
  const String before = current_directory();
  EXPECT_TRUE(directory_exists(dir.path()));
  EXPECT_TRUE(directory_exists(dir.path() + "/"));
  EXPECT_FALSE(directory_exists(dir / "f"));
  EXPECT_FALSE(directory_exists(dir / "missing"));
  EXPECT_FALSE(directory_exists(""));
  EXPECT_EQ(current_directory(), before);
}

TEST_F(PathsTest, TempFileNamesAreFreshFiles) {
  String a = temp_file_name(dir.path());
  String b = temp_file_name(dir.path());
  ASSERT_FALSE(a.empty());
  EXPECT_NE(a, b);
  EXPECT_EQ(directory_part(a), dir.path());
  long pid = 0;
  String host;
  EXPECT_TRUE(parse_temporary_name(file_part(a).view(), &pid, &host)) << a.c_str();
  EXPECT_EQ(pid, static_cast<long>(getpid()));
  EXPECT_EQ(TestDirectory::read(a), "");
  EXPECT_EQ(temp_file_name(dir / "missing"), "");
}

TEST(Places, ProgramAndCurrentDirectory) {
  EXPECT_EQ(file_part(program_path()), "storage_test");
  EXPECT_EQ(program_directory(), String(TESSALINE_BINARY_DIR) + "/storage");
  char buffer[4096];
  ASSERT_NE(getcwd(buffer, sizeof buffer), nullptr);
  EXPECT_EQ(current_directory(), buffer);
}

}  // namespace
}  // namespace tessaline
