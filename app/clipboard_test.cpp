#include "app/clipboard.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>

#include "storage/test_directory.h"

namespace tessaline {
namespace {

// Fake clipboard tools in a folder that is the whole PATH, and the display
// variables under the test's control.
class ClipboardTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(folder_.ok());
    save("PATH", path_);
    save("DISPLAY", display_);
    save("WAYLAND_DISPLAY", wayland_);
    setenv("PATH", folder_.path().c_str(), 1);
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
  }
  void TearDown() override {
    restore("PATH", path_);
    restore("DISPLAY", display_);
    restore("WAYLAND_DISPLAY", wayland_);
  }

  void tool(const char* name, const char* script) {
    ASSERT_TRUE(folder_.put(name, String("#!/bin/sh\n") + script + "\n"));
    ASSERT_EQ(chmod((folder_ / name).c_str(), 0755), 0);
  }

  static void save(const char* name, String& value) {
    const char* v = std::getenv(name);
    value = v ? v : "";
    value.insert(0, v ? '+' : '-');
  }
  static void restore(const char* name, const String& value) {
    if (value.first() == '+') {
      setenv(name, value.c_str() + 1, 1);
    } else {
      unsetenv(name);
    }
  }

  TestDirectory folder_;
  String path_, display_, wayland_;
};

TEST_F(ClipboardTest, TakenFromTheToolOfTheDisplayThatIsSet) {
  tool("xclip", "printf 'x@example.com'");
  tool("wl-paste", "printf 'w@example.com'");
  EXPECT_EQ(read_clipboard_text(), "");  // no display: nothing is asked
  setenv("DISPLAY", ":7", 1);
  EXPECT_EQ(read_clipboard_text(), "x@example.com");
  setenv("WAYLAND_DISPLAY", "wayland-0", 1);
  EXPECT_EQ(read_clipboard_text(), "w@example.com");
  setenv("WAYLAND_DISPLAY", "", 1);  // set but empty counts as not set
  EXPECT_EQ(read_clipboard_text(), "x@example.com");
}

TEST_F(ClipboardTest, ToolArgumentsAskForTheClipboardAsText) {
  tool("xclip", "printf '%s|' \"$@\"");
  tool("wl-paste", "printf '%s|' \"$@\"");
  setenv("DISPLAY", ":7", 1);
  EXPECT_EQ(read_clipboard_text(), "-selection|clipboard|-out|");
  setenv("WAYLAND_DISPLAY", "wayland-0", 1);
  EXPECT_EQ(read_clipboard_text(), "--no-newline|--type|text/plain|");
}

TEST_F(ClipboardTest, FailingMissingOrSilentToolsGiveAnEmptyClipboard) {
  setenv("DISPLAY", ":7", 1);
  EXPECT_EQ(read_clipboard_text(), "");  // no xclip on PATH
  tool("xclip", "printf 'half@example.com'; exit 1");
  EXPECT_EQ(read_clipboard_text(), "");
  tool("xclip", "exec /bin/sleep 30");
  EXPECT_EQ(read_clipboard_text(200), "");
}

TEST_F(ClipboardTest, ReadsAtMost64Kilobytes) {
  tool("xclip", "head -c 100000 /dev/zero | tr '\\0' a");
  setenv("PATH", (folder_.path() + ":/usr/bin:/bin").c_str(), 1);
  setenv("DISPLAY", ":7", 1);
  String text = read_clipboard_text();
  EXPECT_EQ(text.length(), 64 * 1024);
  EXPECT_EQ(text.find_not_any("a"), -1);
}

}  // namespace
}  // namespace tessaline
