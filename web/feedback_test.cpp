#include "web/feedback.h"

#include <sys/utsname.h>

#include <gtest/gtest.h>

#include "core/recording_ui.h"
#include "core/string.h"
#include "platform/open_document.h"
#include "web/test_support.h"

namespace tessaline {
namespace {

using Kind = RecordingUi::EventKind;
using testing::FakeOpener;

TEST(FeedbackTextTest, PercentEncoding) {
  EXPECT_EQ(percent_encode("Feedback - A b"), "Feedback%20-%20A%20b");
  EXPECT_EQ(percent_encode("a&b=c?d#e%f+g"), "a%26b%3Dc%3Fd%23e%25f%2Bg");
  EXPECT_EQ(percent_encode("Az09-._~"), "Az09-._~");
  EXPECT_EQ(percent_encode("(x/y)", "()/"), "(x/y)");
  EXPECT_EQ(percent_encode(std::string_view("\x00\n\xc3\xa9", 4)), "%00%0A%C3%A9");
  EXPECT_EQ(percent_encode("ann+news@example.com", "@+"), "ann+news@example.com");
}

TEST(FeedbackTextTest, TheDistributionsNameFromOsRelease) {
  struct Case {
    const char* text;
    const char* name;
  };
  const Case cases[] = {
      {"PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nNAME=\"Debian GNU/Linux\"\n",
       "Debian GNU/Linux 12 (bookworm)"},
      {"NAME=Fedora\nPRETTY_NAME='Fedora Linux 39'\n", "Fedora Linux 39"},
      {"PRETTY_NAME=Plain\r\n", "Plain"},
      {"PRETTY_NAME=\"Say \\\"hi\\\" \\\\ \\$HOME \\n\"\n", "Say \"hi\" \\ $HOME \\n"},
      {"# PRETTY_NAME=\"commented\"\nNAME=\"Arch Linux\"\n", "Arch Linux"},
      {"PRETTY_NAME=\"\"\nNAME=Alpine\n", "Alpine"},
      {"PRETTY_NAME=first\nPRETTY_NAME=second\n", "second"},
      {"ID=debian\n", "Linux"},
      {"", "Linux"},
      {"PRETTY_NAME=\"", "\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(distribution_name(c.text), c.name);
  }
}

TEST(FeedbackTextTest, TheSystemDescriptionAndTheLink) {
  EXPECT_EQ(system_description("Debian GNU/Linux 12 (bookworm)", "Linux", "6.1.0-18-amd64"),
            "Debian GNU/Linux 12 (bookworm), Linux 6.1.0-18-amd64");
  EXPECT_EQ(system_description("", "Linux", "6.1.0"), "Linux 6.1.0");
  EXPECT_EQ(system_description("Alpine", "", ""), "Alpine");
  EXPECT_EQ(system_description("", "", ""), "");

  // The parentheses hold the system's text only.
  EXPECT_EQ(feedback_link("support@tessaline.example", "Debian GNU/Linux 12 (bookworm), Linux 6.1.0"),
            "mailto:support@tessaline.example?subject=Feedback%20-%20Tessaline%20Mailer%206.0%20"
            "(Debian%20GNU/Linux%2012%20(bookworm),%20Linux%206.1.0)");
  // An address cannot smuggle in headers of its own.
  EXPECT_EQ(feedback_link("a@b.example?cc=x@y.example", "Linux"),
            "mailto:a@b.example%3Fcc%3Dx@y.example?subject=Feedback%20-%20Tessaline%20Mailer%206.0"
            "%20(Linux)");
  EXPECT_EQ(feedback_link("", "Linux"),
            "mailto:?subject=Feedback%20-%20Tessaline%20Mailer%206.0%20(Linux)");
}

TEST(FeedbackTextTest, ThisSystemIsDescribedByItsKernelRelease) {
  struct utsname system {};
  ASSERT_EQ(uname(&system), 0);
  String description = this_system_description();
  EXPECT_TRUE(description.ends_with(String(system.sysname) + " " + system.release))
      << description.c_str();
  EXPECT_FALSE(description.contains("IE ")) << description.c_str();
}

// The link that feedback to this address opens on this machine.
String expected_link(const char* address) {
  return feedback_link(address, this_system_description()) + "\n";
}

TEST(FeedbackTest, WithoutASupportPageTheMailIsOpenedAtOnce) {
  FakeOpener opener;
  RecordingUi ui;
  EXPECT_TRUE(technical_support(ui, "help@tessaline.example", ""));
  EXPECT_EQ(opener.opened(), expected_link("help@tessaline.example"));
  EXPECT_EQ(ui.events.count(), 0);
  // What the mail program gets is one argument with no blank in it.
  EXPECT_FALSE(opener.opened().substr(0, opener.opened().length() - 1).contains(' '));
}

TEST(FeedbackTest, WithASupportPageThePersonChooses) {
  struct Case {
    int button;  // -1: the box is closed
    const char* opened;
  };
  const char kPage[] = "https://tessaline.example/support";
  const Case cases[] = {{0, kPage}, {1, nullptr}, {2, ""}, {-1, ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.button);
    FakeOpener opener;
    RecordingUi ui;
    ui.reply_button(c.button);
    EXPECT_TRUE(technical_support(ui, "help@tessaline.example", kPage));
    ASSERT_EQ(ui.events.count(), 1);
    const RecordingUi::Event& box = ui.events[0];
    EXPECT_EQ(box.kind, Kind::kButtons);
    EXPECT_EQ(box.caption, "Send Feedback");
    EXPECT_EQ(box.message,
              "Before asking a question, you may want to see if there is an answer on the "
              "technical support web site.");
    ASSERT_EQ(box.choices.count(), 3);
    EXPECT_EQ(box.choices[0], "Visit the technical support website");
    EXPECT_EQ(box.choices[1], "Send email to technical support");
    EXPECT_EQ(box.choices[2], "Cancel");

    String expected = c.opened == nullptr ? expected_link("help@tessaline.example")
                                          : String(c.opened) + (*c.opened ? "\n" : "");
    if (expected.empty()) {
      // Nothing was opened: the first thing the opener sees is a marker.
      ASSERT_TRUE(open_document("marker"));
      EXPECT_EQ(opener.opened(), "marker\n");
    } else {
      EXPECT_EQ(opener.opened(), expected);
    }
  }
}

TEST(FeedbackTest, AnOpenerThatCannotStartIsReported) {
  FakeOpener opener;
  opener.hide();
  RecordingUi ui;
  EXPECT_FALSE(send_feedback(ui, "help@tessaline.example"));
  ASSERT_NE(ui.last(Kind::kError), nullptr);
  EXPECT_EQ(ui.last(Kind::kError)->caption, "Send Feedback");
  EXPECT_TRUE(ui.last(Kind::kError)->message.starts_with(
      "Unable to open\nmailto:help@tessaline.example?subject=Feedback%20-%20"));

  ui.reply_button(0);
  EXPECT_FALSE(technical_support(ui, "help@tessaline.example", "https://tessaline.example/s"));
  EXPECT_TRUE(ui.last(Kind::kError)->message.starts_with("Unable to open\nhttps://tessaline.example/s\n\n"));
}

}  // namespace
}  // namespace tessaline
