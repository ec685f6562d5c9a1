#include "platform/temporary_files.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <set>
#include <string>

namespace tessaline {
namespace {

class TemporaryFiles : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/temporary_files_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder_ = pattern;
  }
  void TearDown() override {
    if (runner_ > 0) {
      kill(runner_, SIGKILL);
      waitpid(runner_, nullptr, 0);
    }
    std::system(("rm -rf " + folder_).c_str());
  }

  std::string path(const std::string& name) const { return folder_ + "/" + name; }
  void put(const std::string& name) const {
    FILE* f = fopen(path(name).c_str(), "w");
    ASSERT_NE(f, nullptr) << name;
    fputs("left behind", f);
    fclose(f);
  }
  std::set<std::string> entries() const {
    std::set<std::string> names;
    DIR* d = opendir(folder_.c_str());
    while (dirent* e = readdir(d)) {
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.insert(e->d_name);
    }
    closedir(d);
    return names;
  }

  // A process number that no process has any more.
  static long ended_process() {
    pid_t child = fork();
    if (child == 0) _exit(0);
    waitpid(child, nullptr, 0);
    return child;
  }
  // A process that runs until the test ends.
  long running_process() {
    runner_ = fork();
    if (runner_ == 0) {
      pause();
      _exit(0);
    }
    return runner_;
  }

  static std::string name_of(long pid, const std::string& host, const char* random = "aB3dE9") {
    return ".tessaline-" + std::to_string(pid) + "-" + host + "-" + random;
  }

  std::string folder_;
  pid_t runner_ = -1;
};

TEST_F(TemporaryFiles, NamesSayWhoWroteThem) {
  String host = temporary_host_name();
  ASSERT_FALSE(host.empty());
  String pattern = temporary_name_pattern();
  EXPECT_TRUE(pattern.ends_with("-XXXXXX"));
  long pid = 0;
  String parsed_host;
  ASSERT_TRUE(parse_temporary_name(pattern.view(), &pid, &parsed_host)) << pattern.c_str();
  EXPECT_EQ(pid, static_cast<long>(getpid()));
  EXPECT_EQ(parsed_host, host);

  struct Case {
    const char* name;
    bool ours;
    long pid;
    const char* host;
  } cases[] = {
      {".tessaline-42-mail.example.org-aB3dE9", true, 42, "mail.example.org"},
      {".tessaline-42-build-host-7-aB3dE9", true, 42, "build-host-7"},
      {".tessaline-42--aB3dE9", false, 0, ""},            // no host
      {".tessaline--host-aB3dE9", false, 0, ""},          // no process
      {".tessaline-0-host-aB3dE9", false, 0, ""},
      {".tessaline-042-host-aB3dE9", false, 0, ""},
      {".tessaline-42-host-aB3dE", false, 0, ""},         // five random characters
      {".tessaline-42-host-aB3d.9", false, 0, ""},
      {".tessaline-42x-host-aB3dE9", false, 0, ""},
      {".tessaline-12345678901-host-aB3dE9", false, 0, ""},  // no such process number
      {".tessaline-42-ho st-aB3dE9", false, 0, ""},
      {"tessaline-42-host-aB3dE9", false, 0, ""},
      {"XXXaB3dE9", false, 0, ""},                        // what other programs make
      {"news.zqj.aB3dE9", false, 0, ""},
      {"news.zqj", false, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    long p = 0;
    String h;
    EXPECT_EQ(parse_temporary_name(c.name, &p, &h), c.ours);
    if (c.ours) {
      EXPECT_EQ(p, c.pid);
      EXPECT_EQ(h, c.host);
    }
  }
}

// Only the files of writers that no longer run on this host go; whatever
// else is in the folder stays.
TEST_F(TemporaryFiles, StaleOnesAreRemovedAndNothingElse) {
  const std::string here = temporary_host_name().std_string();
  const std::string stale = name_of(ended_process(), here);
  const std::string stale_too = name_of(ended_process(), here, "Zz0000");
  const std::string running = name_of(running_process(), here);
  const std::string mine = name_of(getpid(), here);
  const std::string elsewhere = name_of(ended_process(), "another-host");
  for (const std::string& name :
       {stale, stale_too, running, mine, elsewhere, std::string("XXXaB3dE9"),
        std::string("news.zqj"), std::string("news.zqj.aB3dE9")}) {
    put(name);
  }
  const std::string folder_named_so = name_of(ended_process(), here, "dir000");
  ASSERT_EQ(mkdir(path(folder_named_so).c_str(), 0700), 0);
  const std::string link_named_so = name_of(ended_process(), here, "lnk000");
  ASSERT_EQ(symlink(path("news.zqj").c_str(), path(link_named_so).c_str()), 0);

  EXPECT_EQ(remove_stale_temporary_files(String(folder_)), 2);
  std::set<std::string> left = entries();
  EXPECT_EQ(left.count(stale), 0u);
  EXPECT_EQ(left.count(stale_too), 0u);
  EXPECT_EQ(left, (std::set<std::string>{running, mine, elsewhere, "XXXaB3dE9", "news.zqj",
                                         "news.zqj.aB3dE9", folder_named_so, link_named_so}));
  EXPECT_EQ(remove_stale_temporary_files(String(folder_ + "/missing")), 0);
}

TEST_F(TemporaryFiles, CreatingOneClearsTheFolderOnce) {
  const std::string here = temporary_host_name().std_string();
  const std::string first = name_of(ended_process(), here);
  put(first);
  String made;
  int fd = create_temporary_file(String(folder_), &made);
  ASSERT_GE(fd, 0);
  close(fd);
  long pid = 0;
  String host;
  ASSERT_TRUE(made.starts_with((folder_ + "/").c_str()));
  EXPECT_TRUE(parse_temporary_name(made.view().substr(folder_.size() + 1), &pid, &host));
  EXPECT_EQ(pid, static_cast<long>(getpid()));
  struct stat info {};
  ASSERT_EQ(stat(made.c_str(), &info), 0);
  EXPECT_EQ(info.st_size, 0);
  EXPECT_EQ(entries(), (std::set<std::string>{made.std_string().substr(folder_.size() + 1)}));

  // Later ones in the same folder do not read it again.
  const std::string second = name_of(ended_process(), here);
  put(second);
  String again;
  fd = create_temporary_file(String(folder_), &again);
  ASSERT_GE(fd, 0);
  close(fd);
  EXPECT_NE(again, made);
  EXPECT_EQ(entries().count(second), 1u);

  EXPECT_LT(create_temporary_file(String(folder_ + "/missing"), &again), 0);
}

}  // namespace
}  // namespace tessaline
