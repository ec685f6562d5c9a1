// Pictures of every folder of the main window, of the Remove Recipients
// window and its report, of the Preview window, and of the About box,
// taken on a virtual X display (Xvfb) and written into the build folder
// (BUILD/screenshots) for people to look at; they are not compared with stored pictures. Skipped where
// xvfb-run or Xvfb is missing.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "app/project_fields.h"

namespace tessaline {
namespace {

bool on_path(const char* program) {
  const char* path = std::getenv("PATH");
  std::string folders = path ? path : "";
  size_t start = 0;
  while (start <= folders.size()) {
    size_t end = folders.find(':', start);
    if (end == std::string::npos) end = folders.size();
    std::string candidate = folders.substr(start, end - start) + "/" + program;
    if (access(candidate.c_str(), X_OK) == 0) return true;
    start = end + 1;
  }
  return false;
}

TEST(Screenshots, EveryFolderAndTheAboutBoxUnderXvfb) {
  if (!on_path("xvfb-run") || !on_path("Xvfb")) GTEST_SKIP() << "xvfb-run or Xvfb is not installed";
  std::string out = std::string(TESSALINE_BINARY_DIR) + "/screenshots";

  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    setpgid(0, 0);  // the display server goes with it on a time-out
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    int null = open("/dev/null", O_RDWR);
    if (null >= 0) dup2(null, STDIN_FILENO);
    execlp("xvfb-run", "xvfb-run", "-a", "-s", "-screen 0 1280x1024x24", TESSALINE_SCREENSHOTS,
           out.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  setpgid(child, child);
  int status = 0;
  // A display that never comes up must not hang the tests.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(3);
  while (waitpid(child, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(-child, SIGKILL);
      waitpid(child, &status, 0);
      FAIL() << "the screenshots were not taken in time";
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_TRUE(WIFEXITED(status)) << status;
  ASSERT_EQ(WEXITSTATUS(status), 0);

  std::vector<std::string> pictures;
  for (int i = 0; i < project_folder_count(); ++i) {
    std::string name = project_folder(i).title;
    for (char& c : name) c = c == ' ' ? '-' : static_cast<char>(std::tolower(c));
    pictures.push_back(out + "/folder-" + std::to_string(i + 1) + "-" + name + ".png");
  }
  pictures.push_back(out + "/remove-recipients.png");
  pictures.push_back(out + "/remove-report.png");
  pictures.push_back(out + "/preview.png");
  pictures.push_back(out + "/about.png");
  for (const std::string& picture : pictures) {
    struct stat info;
    ASSERT_EQ(stat(picture.c_str(), &info), 0) << picture;
    EXPECT_GT(info.st_size, 2000) << picture;  // a picture, not an empty image
  }
}

}  // namespace
}  // namespace tessaline
