#include "web/update_check.h"

#include <stdlib.h>

#include <gtest/gtest.h>

#include "core/recording_ui.h"
#include "core/string.h"
#include "web/test_support.h"
#include "web/web_fetch.h"

namespace tessaline {
namespace {

using Kind = RecordingUi::EventKind;
using testing::FakeOpener;

TEST(ProductInfoTest, TheFirstMentionGivesTheVersion) {
  struct Case {
    const char* text;
    ProductVersion result;
    double version;
  };
  const Case cases[] = {
      {"[Products]\nTessaline Mailer=6.5\n", ProductVersion::kFound, 6.5},
      {"tessaline mailer=6.5", ProductVersion::kFound, 6.5},
      {"TESSALINE MAILER: version 7", ProductVersion::kFound, 7.0},
      // Commas are dropped from what follows, so they cannot end the number.
      {"Tessaline Mailer=1,024.5\n", ProductVersion::kFound, 1024.5},
      {"Tessaline Mailer=+6.25", ProductVersion::kFound, 6.25},
      {"Tessaline Mailer=.5", ProductVersion::kFound, 0.5},
      // The number may be found on a later line, even another product's.
      {"Tessaline Mailer=soon\nOther Tool=2.0\n", ProductVersion::kFound, 2.0},
      {"Tessaline Mailer=unknown\n", ProductVersion::kInvalid, 0.0},
      {"Tessaline Mailer", ProductVersion::kInvalid, 0.0},
      {"Tessaline Mailer=0.0\n", ProductVersion::kInvalid, 0.0},
      {"Tessaline Mailer=-6.5\n", ProductVersion::kInvalid, 0.0},
      {"Tessaline Mailer=.\n", ProductVersion::kInvalid, 0.0},
      {"Tessaline Mailer=6e5", ProductVersion::kFound, 6.0},
      {"Tessaline=6.5\nMailer=6.5\n", ProductVersion::kNotListed, 0.0},
      {"", ProductVersion::kNotListed, 0.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    double version = -1.0;
    EXPECT_EQ(find_product_version(c.text, "Tessaline Mailer", version), c.result);
    if (c.result == ProductVersion::kFound) {
      EXPECT_DOUBLE_EQ(version, c.version);
    }
  }
}

TEST(ProductInfoTest, TheSecondMentionGivesThePage) {
  struct Case {
    const char* text;
    const char* address;
  };
  const Case cases[] = {
      {"Tessaline Mailer=6.5\nTessaline Mailer=mailer/index.html\nOther=x\n",
       "https://site.example/mailer/index.html"},
      {"Tessaline Mailer=6.5\r\ntessaline mailer=mailer.html\r\n",
       "https://site.example/mailer.html"},
      // The one character after the name is the separator, whatever it is.
      {"Tessaline Mailer=6.5\nTessaline Mailer  page.html\n", "https://site.example/ page.html"},
      {"Tessaline Mailer=6.5\nTessaline Mailer", "https://site.example/"},
      {"Tessaline Mailer=6.5\n", "https://site.example"},
      {"Tessaline Mailer=6.5 Tessaline Mailer=p.html", "https://site.example/p.html"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(product_page_address(c.text, "Tessaline Mailer", "https://site.example"),
              c.address);
  }
}

TEST(ProductInfoTest, TheRunningVersionIsTheProgramsOwn) {
  EXPECT_DOUBLE_EQ(program_version_number(), 6.0);
  UpdateCheck check;
  EXPECT_EQ(check.product, "Tessaline Mailer");
  EXPECT_DOUBLE_EQ(check.running_version, 6.0);
  EXPECT_EQ(check.time_limit_ms, 15000);
}

// The update check against a real server that serves Products.INI.
class UpdateCheckTest : public testing::HttpServerSuite {
 protected:
  void SetUp() override {
    reset_web();
    server_->forget_file("Products.INI");
  }

  // Checks with the file holding `contents` and returns the one box shown.
  const RecordingUi::Event& check_with(const char* contents, bool expected_result) {
    EXPECT_TRUE(server_->serve("Products.INI", contents));
    EXPECT_EQ(check_for_update(ui_, server_->url(), check_), expected_result);
    EXPECT_EQ(ui_.busy_depth, 0);
    EXPECT_EQ(ui_.count(Kind::kBusyBegin), 1);
    static const RecordingUi::Event kNone;
    return ui_.last_box() ? *ui_.last_box() : kNone;
  }

  RecordingUi ui_;
  UpdateCheck check_;
};

TEST_F(UpdateCheckTest, ANewerVersionIsOfferedWithTwoChoices) {
  const RecordingUi::Event& box = check_with("[Products]\nTessaline Mailer=6.5\n", true);
  EXPECT_EQ(box.kind, Kind::kButtons);
  EXPECT_EQ(box.caption, "Check For Update");
  EXPECT_EQ(box.message,
            "There is a new version of Tessaline Mailer:  version 6.5.  Your current version "
            "is 6.0.");
  ASSERT_EQ(box.choices.count(), 2);
  EXPECT_EQ(box.choices[0], "OK, I'll worry about it later");
  EXPECT_EQ(box.choices[1], "Open the product's home page");
  // No reply: the box was closed, which is "later".
  EXPECT_EQ(ui_.unanswered, 1);
}

TEST_F(UpdateCheckTest, TheMostRecentVersionIsSaid) {
  for (const char* contents : {"Tessaline Mailer=6.0\n", "Tessaline Mailer=5.9\n"}) {
    SCOPED_TRACE(contents);
    ui_.clear_events();
    const RecordingUi::Event& box = check_with(contents, true);
    EXPECT_EQ(box.kind, Kind::kInformation);
    EXPECT_EQ(box.caption, "Check For Update");
    EXPECT_EQ(box.message, "You have the most recent version of Tessaline Mailer, version 6.0.");
  }
}

TEST_F(UpdateCheckTest, TheWholeValueIsComparedAndOneDecimalPrinted) {
  // 6.05 prints as 6.0 and is still newer than 6.0.
  const RecordingUi::Event& box = check_with("TESSALINE MAILER=6.05\n", true);
  EXPECT_EQ(box.kind, Kind::kButtons);
  EXPECT_EQ(box.message,
            "There is a new version of Tessaline Mailer:  version 6.0.  Your current version "
            "is 6.0.");

  // And against a running 6.05, 6.0 is not newer, though it prints the same.
  ui_.clear_events();
  check_.running_version = 6.05;
  const RecordingUi::Event& same = check_with("Tessaline Mailer=6.0\n", true);
  EXPECT_EQ(same.kind, Kind::kInformation);
  EXPECT_EQ(same.message, "You have the most recent version of Tessaline Mailer, version 6.0.");
}

TEST_F(UpdateCheckTest, ProductInformationThatSaysNothingUsable) {
  const RecordingUi::Event& invalid = check_with("[Products]\nTessaline Mailer=unknown\n", false);
  EXPECT_EQ(invalid.kind, Kind::kError);
  EXPECT_EQ(invalid.caption, "Check For Update");
  EXPECT_EQ(invalid.message,
            "Sorry, but the product information is invalid.  Please contact the manufacturer.");

  ui_.clear_events();
  const RecordingUi::Event& missing = check_with("[Products]\nOther Program=2.0\n", false);
  EXPECT_EQ(missing.kind, Kind::kError);
  EXPECT_EQ(missing.message,
            "Sorry, but no information could be found about this program.  Please contact the "
            "manufacturer.");

  // A page that says "Error 404" with a success status is not the file; the
  // check finds no product in it.
  ui_.clear_events();
  const RecordingUi::Event& page =
      check_with("<html><head><title>Error 404</title></head><body>Not here.</body></html>", false);
  EXPECT_EQ(page.message,
            "Sorry, but no information could be found about this program.  Please contact the "
            "manufacturer.");
}

TEST_F(UpdateCheckTest, AFileThatCannotBeFetchedOrIsEmpty) {
  const String unable = "Unable to fetch product information file:\n" +
                        server_->url("/Products.INI") +
                        "\n\nThe most recent version cannot be determined.";
  // Missing: the server answers 404 with its own page.
  EXPECT_FALSE(check_for_update(ui_, server_->url(), check_));
  ASSERT_NE(ui_.last_box(), nullptr);
  EXPECT_EQ(ui_.last_box()->kind, Kind::kError);
  EXPECT_EQ(ui_.last_box()->caption, "Check For Update");
  EXPECT_EQ(ui_.last_box()->message, unable);

  ui_.clear_events();
  EXPECT_EQ(check_with("", false).message, unable);

  // A trailing "/" on the home-page address names the same file.
  ui_.clear_events();
  EXPECT_FALSE(check_for_update(ui_, server_->url("/"), check_));
  EXPECT_EQ(ui_.last_box()->message, unable);
}

TEST_F(UpdateCheckTest, AServerThatStallsPastTheTimeLimit) {
  check_.time_limit_ms = 300;
  EXPECT_FALSE(check_for_update(ui_, server_->url("/stall-headers"), check_));
  EXPECT_EQ(web_fetch_error(), "the time limit of 300 milliseconds passed");
  ASSERT_NE(ui_.last_box(), nullptr);
  EXPECT_EQ(ui_.last_box()->message,
            "Unable to fetch product information file:\n" +
                server_->url("/stall-headers/Products.INI") +
                "\n\nThe most recent version cannot be determined.");
  EXPECT_EQ(ui_.busy_depth, 0);
}

TEST_F(UpdateCheckTest, WithoutLibcurlOrAHomePageTheFileCannotBeFetched) {
  ASSERT_TRUE(server_->serve("Products.INI", "Tessaline Mailer=6.5\n"));
  ASSERT_EQ(web_startup(nullptr, "/nonexistent/libcurl.so.4"), kWebUnavailable);
  EXPECT_FALSE(check_for_update(ui_, server_->url(), check_));
  ASSERT_NE(ui_.last_box(), nullptr);
  EXPECT_EQ(ui_.last_box()->message,
            "Unable to fetch product information file:\n" + server_->url("/Products.INI") +
                "\n\nThe most recent version cannot be determined.");

  reset_web();
  ui_.clear_events();
  server_->clear_requests();
  EXPECT_FALSE(check_for_update(ui_, "", check_));
  EXPECT_EQ(ui_.last_box()->message,
            "Unable to fetch product information file:\nthe program's home-page address is not "
            "set\n\nThe most recent version cannot be determined.");
  EXPECT_EQ(server_->requests(), "<absent>");
}

TEST_F(UpdateCheckTest, TheSecondButtonOpensTheProductsPage) {
  FakeOpener opener;
  ASSERT_TRUE(server_->serve("Products.INI",
                             "[Products]\nTessaline Mailer=6.5\n[Pages]\n"
                             "Tessaline Mailer=mailer/index.html\n"));
  ui_.reply_button(1);
  EXPECT_TRUE(check_for_update(ui_, server_->url(), check_));
  EXPECT_EQ(opener.opened(), server_->url("/mailer/index.html") + "\n");
  EXPECT_EQ(ui_.unanswered, 0);

  // Without a page line the home page itself is opened.
  ASSERT_TRUE(server_->serve("Products.INI", "Tessaline Mailer=6.5\n"));
  ui_.reply_button(1);
  EXPECT_TRUE(check_for_update(ui_, server_->url(), check_));
  EXPECT_EQ(opener.opened(2), server_->url("/mailer/index.html") + "\n" + server_->url() + "\n");

  // No opener: an error box, and the check did not end well.
  opener.hide();
  ui_.clear_events();
  ui_.reply_button(1);
  EXPECT_FALSE(check_for_update(ui_, server_->url(), check_));
  ASSERT_NE(ui_.last_box(), nullptr);
  EXPECT_EQ(ui_.last_box()->kind, Kind::kError);
  EXPECT_EQ(ui_.last_box()->caption, "Check For Update");
  EXPECT_TRUE(ui_.last_box()->message.starts_with("Unable to open\n" + server_->url().std_string() +
                                                  "\n\n"))
      << ui_.last_box()->message.c_str();
}

}  // namespace
}  // namespace tessaline
