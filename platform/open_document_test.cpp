#include "platform/open_document.h"

#include <errno.h>
#include <ftw.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "core/string.h"

namespace tessaline {
namespace {

// A folder with a fake xdg-open put first on PATH for the test. The fake
// writes its working folder and its argument to files beside itself.
class OpenDocumentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tessaline-open-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder_ = pattern;
    const char* path = getenv("PATH");
    saved_path_ = path ? path : "";
    ASSERT_EQ(setenv("PATH", (folder_ + ":" + saved_path_).c_str(), 1), 0);
  }
  void TearDown() override {
    setenv("PATH", saved_path_.c_str(), 1);
    nftw(
        folder_.c_str(),
        [](const char* name, const struct stat*, int, struct FTW*) { return ::remove(name); }, 16,
        FTW_DEPTH | FTW_PHYS);
  }

  void install_opener(const char* contents) {
    String name = folder_ + "/xdg-open";
    FILE* f = std::fopen(name.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs(contents, f);
    std::fclose(f);
    ASSERT_EQ(chmod(name.c_str(), 0755), 0);
  }
  void install_recording_opener() {
    install_opener(
        "#!/bin/sh\n"
        "here=$(dirname \"$0\")\n"
        "pwd > \"$here/cwd\"\n"
        "printf '%s|%s' \"$#\" \"$1\" > \"$here/argument.part\"\n"
        "mv \"$here/argument.part\" \"$here/argument\"\n");
  }

  // The contents of a file the fake writes, waiting for it to appear; a
  // fake that never writes fails the test after a generous while.
  String wait_for(const char* name) {
    String path = folder_ + "/" + name;
    for (int i = 0; i < 2000; ++i) {
      if (FILE* f = std::fopen(path.c_str(), "r")) {
        String contents;
        char block[512];
        size_t n;
        while ((n = std::fread(block, 1, sizeof block, f)) > 0) {
          contents.append(std::string_view(block, n));
        }
        std::fclose(f);
        return contents;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return "<never written>";
  }

  // True when this process has no child left, running or unreaped.
  static bool no_children() { return waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD; }

  String folder_;
  String saved_path_;
};

TEST_F(OpenDocumentTest, TheDocumentReachesTheOpenerUnchangedByAnyShell) {
  install_recording_opener();
  const String documents[] = {
      folder_ + "/odd name; echo $(touch " + folder_ + "/injected) `id` 'q' \"d\" *.pdf",
      "mailto:ann@example.com?subject=Hello there&body=a;b",
      "-rf",
  };
  const String expected[] = {documents[0], documents[1], "./-rf"};
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(documents[i].c_str());
    remove((folder_ + "/argument").c_str());
    ASSERT_TRUE(open_document(documents[i]));
    EXPECT_TRUE(no_children());
    EXPECT_EQ(wait_for("argument"), "1|" + expected[i]);
  }
  EXPECT_NE(access((folder_ + "/injected").c_str(), F_OK), 0);

  // The opener runs in the program's own folder.
  String cwd = wait_for("cwd");
  cwd.trim_right("\n");
  EXPECT_EQ(cwd, String(TESSALINE_BINARY_DIR) + "/platform");
}

TEST_F(OpenDocumentTest, FalseWhenTheOpenerCannotBeStarted) {
  // No xdg-open anywhere on PATH.
  ASSERT_EQ(setenv("PATH", folder_.c_str(), 1), 0);
  EXPECT_FALSE(open_document("/tmp/letter.pdf"));

  // An xdg-open the system refuses to run.
  install_opener("\x7f" "ELF not really");
  EXPECT_FALSE(open_document("/tmp/letter.pdf"));
  EXPECT_TRUE(no_children());

  ASSERT_EQ(setenv("PATH", (folder_ + ":" + saved_path_).c_str(), 1), 0);
  install_recording_opener();
  EXPECT_FALSE(open_document(""));
  EXPECT_TRUE(open_document("/tmp/letter.pdf"));
  EXPECT_EQ(wait_for("argument"), "1|/tmp/letter.pdf");
}

}  // namespace
}  // namespace tessaline
