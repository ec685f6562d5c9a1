#include "app/help.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "core/recording_ui.h"
#include "platform/program_path.h"
#include "storage/test_directory.h"
#include "app/project_fields.h"

namespace tessaline {
namespace {

// The ids of the built manual page.
std::set<std::string> manual_ids() {
  String page = TestDirectory::read(String(TESSALINE_BINARY_DIR) + "/docs/manual.html");
  std::set<std::string> ids;
  std::string_view text = page.view();
  for (size_t at = text.find(" id=\""); at != std::string_view::npos;
       at = text.find(" id=\"", at + 1)) {
    size_t start = at + 5;
    size_t end = text.find('"', start);
    if (end == std::string_view::npos) break;
    ids.insert(std::string(text.substr(start, end - start)));
  }
  return ids;
}

TEST(Help, EveryTopicOfTheProgramHasItsAnchorInTheManual) {
  std::set<std::string> ids = manual_ids();
  ASSERT_GT(ids.size(), 10u) << "the manual page was not built";
  Vector<String> topics = help_topics();
  for (const String& topic : topics) {
    String anchor = help_anchor(topic.c_str());
    ASSERT_FALSE(anchor.empty()) << topic.c_str();
    EXPECT_TRUE(ids.count(anchor.std_string())) << "no #" << anchor.c_str() << " for the topic \""
                                                << topic.c_str() << "\" in docs/manual.md";
  }
}

TEST(Help, TopicsHoldEveryFolderAndFieldHelpKeyOnce) {
  Vector<String> topics = help_topics();
  std::set<std::string> listed;
  for (const String& topic : topics) {
    EXPECT_TRUE(listed.insert(topic.std_string()).second) << "twice: " << topic.c_str();
  }
  for (int i = 0; i < project_folder_count(); ++i) {
    EXPECT_TRUE(listed.count(project_folder(i).help_key)) << project_folder(i).help_key;
  }
  for (int i = 0; i < project_field_count(); ++i) {
    EXPECT_TRUE(listed.count(project_field(i).help_key)) << project_field(i).key;
  }
  for (const char* window_topic : {kHelpSendPreview, kHelpRemoveRecipients, kHelpSendButton}) {
    EXPECT_TRUE(listed.count(window_topic)) << window_topic;
  }
}

TEST(Help, AnchorIsTheTopicsWordsInLowerCaseJoinedByDashes) {
  struct Case {
    const char* topic;
    const char* anchor;
  };
  const Case cases[] = {
      {"reply to", "reply-to"},
      {"HTML folder", "html-folder"},
      {"html folder", "html-folder"},
      {"preview dialog, send", "preview-dialog-send"},
      {"  smtp   port ", "smtp-port"},
      {"cc", "cc"},
      {"trenk", ""},  // the program's own help: the manual's start
      {"", ""},
      {nullptr, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(help_anchor(c.topic), c.anchor) << (c.topic ? c.topic : "(null)");
  }
}

class ManualTree : public ::testing::Test {
 protected:
  void make(const char* relative_folder) {
    String path = folder_.path();
    String rest = relative_folder;
    while (!rest.empty()) {
      int slash = rest.find('/');
      path += "/" + (slash < 0 ? rest : rest.substr(0, slash));
      mkdir(path.c_str(), 0700);
      rest = slash < 0 ? String() : rest.substr(slash + 1);
    }
  }
  void put(const char* name) { ASSERT_TRUE(folder_.put(name, "<html></html>")); }

  TestDirectory folder_;
};

TEST_F(ManualTree, InstalledManualIsFoundFromTheProgramsFolder) {
  make("usr/bin");
  make("usr/share/doc/tessaline-mailer");
  put("usr/share/doc/tessaline-mailer/manual.html");
  EXPECT_EQ(find_manual(folder_ / "usr/bin/tessaline-mailer"),
            folder_ / "usr/bin/../share/doc/tessaline-mailer/manual.html");
}

TEST_F(ManualTree, BuildTreesManualIsFoundWhenNoneIsInstalled) {
  make("build/app");
  make("build/docs");
  put("build/docs/manual.html");
  EXPECT_EQ(find_manual(folder_ / "build/app/tessaline-mailer"),
            folder_ / "build/app/../docs/manual.html");
}

TEST_F(ManualTree, InstalledManualWinsOverABuildTreesOne) {
  make("bin");
  make("docs");
  make("share/doc/tessaline-mailer");
  put("docs/manual.html");
  put("share/doc/tessaline-mailer/manual.html");
  EXPECT_EQ(find_manual(folder_ / "bin/tessaline-mailer"),
            folder_ / "bin/../share/doc/tessaline-mailer/manual.html");
}

TEST_F(ManualTree, NoManualIsNoAddress) {
  make("bin");
  make("docs/manual.html");  // a folder of that name is not the manual
  EXPECT_EQ(find_manual(folder_ / "bin/tessaline-mailer"), "");
  EXPECT_EQ(find_manual("bin/tessaline-mailer"), "");  // not an absolute path
  EXPECT_EQ(find_manual(""), "");
}

TEST(Help, FileUrlEscapesWhatWouldEndOrChangeThePath) {
  struct Case {
    const char* path;
    const char* anchor;
    const char* url;
  };
  const Case cases[] = {
      {"/usr/share/doc/tessaline-mailer/manual.html", "reply-to",
       "file:///usr/share/doc/tessaline-mailer/manual.html#reply-to"},
      {"/usr/share/doc/tessaline-mailer/manual.html", "",
       "file:///usr/share/doc/tessaline-mailer/manual.html"},
      {"/home/ann/My Programs/#1 100%/manual.html", "from",
       "file:///home/ann/My%20Programs/%231%20100%25/manual.html#from"},
      {"/opt/a?b&c;d/manual.html", "", "file:///opt/a%3Fb%26c%3Bd/manual.html"},
      {"/home/z\xc3\xa9/x_y.~/m.html", "", "file:///home/z%C3%A9/x_y.~/m.html"},
  };
  for (const Case& c : cases) EXPECT_EQ(file_url(c.path, c.anchor), c.url) << c.path;
}

String opened;
bool record_open(const String& document) {
  opened = document;
  return true;
}
bool refuse_open(const String& document) {
  opened = document;
  return false;
}

TEST(Help, OpenHelpHandsTheTopicsAddressToTheOpener) {
  String manual = find_manual(program_path());
  ASSERT_FALSE(manual.empty()) << "the build tree's manual was not found";
  RecordingUi ui;
  opened = "";
  ASSERT_TRUE(open_help(ui, "reply to", record_open));
  EXPECT_EQ(opened, file_url(manual, "reply-to"));
  EXPECT_TRUE(opened.starts_with("file:///"));
  EXPECT_EQ(ui.events.count(), 0);

  ASSERT_TRUE(open_help(ui, kProgramHelp, record_open));
  EXPECT_EQ(opened, file_url(manual, ""));
}

TEST(Help, AnOpenerThatFailsIsReportedWithTheAddress) {
  RecordingUi ui;
  opened = "";
  EXPECT_FALSE(open_help(ui, kHelpSendPreview, refuse_open));
  ASSERT_EQ(ui.events.count(), 1);
  EXPECT_EQ(ui.events[0].kind, RecordingUi::EventKind::kError);
  EXPECT_EQ(ui.events[0].caption, "Error");
  EXPECT_EQ(ui.events[0].message, "Unable to open the manual:\n" + opened);
  EXPECT_TRUE(opened.ends_with("#send-preview"));
}

}  // namespace
}  // namespace tessaline
