#include "web/web_fetch.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/string.h"
#include "storage/test_directory.h"
#include "web/test_support.h"

namespace tessaline {
namespace {

using testing::TestCertificates;
using testing::TestHttpServer;

// A port of 127.0.0.1 on which nothing listens (it was free a moment ago).
int closed_port() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
  getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
  close(s);
  return ntohs(address.sin_port);
}

class WebFetchTest : public testing::HttpServerSuite {
 protected:
  void SetUp() override {
    // Other tests start the web layer in their own ways.
    reset_web();
    ASSERT_EQ(web_startup(), kWebStarted);
    ASSERT_TRUE(server_->serve("Products.INI", "[Products]\nTessaline Mailer=6.5\n"));
    server_->clear_requests();
  }
};

TEST_F(WebFetchTest, FetchesTheDocumentWithTheRequestTheOptionsAskFor) {
  String text;
  ASSERT_TRUE(web_fetch(server_->url("/Products.INI"), text,
                        kFetchNoCookies | kFetchUnattended | kFetchReload | kFetchNoCacheWrite,
                        15000))
      << web_fetch_error().c_str();
  EXPECT_EQ(text, "[Products]\nTessaline Mailer=6.5\n");
  EXPECT_EQ(web_fetch_error(), "");
  String request = server_->requests();
  EXPECT_TRUE(request.starts_with("GET /Products.INI HTTP/1.1\n")) << request.c_str();
  EXPECT_TRUE(request.contains("\nAccept: */*\n")) << request.c_str();
  EXPECT_TRUE(request.contains("\nUser-Agent: Tessaline Mailer\n")) << request.c_str();
  EXPECT_TRUE(request.contains("\nCache-Control: no-cache\n")) << request.c_str();
  EXPECT_TRUE(request.contains("\nPragma: no-cache\n")) << request.c_str();

  // Without a reload nothing is said about caches; the body is appended.
  server_->clear_requests();
  ASSERT_TRUE(web_fetch(server_->url("/Products.INI"), text, 0, 15000));
  EXPECT_EQ(text, "[Products]\nTessaline Mailer=6.5\n[Products]\nTessaline Mailer=6.5\n");
  EXPECT_FALSE(server_->requests().contains("Cache-Control")) << server_->requests().c_str();
  EXPECT_FALSE(server_->requests().contains("Pragma")) << server_->requests().c_str();
}

TEST_F(WebFetchTest, FailuresLeaveTheTextAsItWasAndSayWhy) {
  struct Case {
    String url;
    int options;
    int time_limit_ms;
    const char* reason;
  };
  const Case cases[] = {
      {"", 0, 15000, "no address was given"},
      // Python's handler answers a missing file with status 404 and a page.
      {server_->url("/Missing.INI"), 0, 15000, "the server answered with status 404"},
      {server_->url("/Missing.INI"), kFetchOpenOnly, 15000, "the server answered with status 404"},
      // A server that stalls before its answer, or in the middle of it.
      {server_->url("/stall-headers"), 0, 300, "the time limit of 300 milliseconds passed"},
      {server_->url("/stall-body"), 0, 300, "the time limit of 300 milliseconds passed"},
      {server_->url(String::formatted("/big?bytes=%d", kMaxFetchBytes + 1).c_str()), 0, 60000,
       "the answer is larger than 8388608 bytes"},
      // Only https:// when the fetch must be secure.
      {server_->url("/Products.INI"), kFetchSecure, 15000, nullptr},
      {String::formatted("http://127.0.0.1:%d/Products.INI", closed_port()), 0, 15000, nullptr},
      {"ftp://127.0.0.1/Products.INI", 0, 15000, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url.c_str());
    String text = "kept";
    EXPECT_FALSE(web_fetch(c.url, text, c.options, c.time_limit_ms));
    EXPECT_EQ(text, "kept");
    if (c.reason) {
      EXPECT_EQ(web_fetch_error(), c.reason);
    } else {
      EXPECT_NE(web_fetch_error(), "");
    }
  }
}

TEST_F(WebFetchTest, AnErrorPageCountsAsAFailureOnlyWhenAskedAndInExactCase) {
  ASSERT_TRUE(server_->serve("soft404.html",
                             "<html><head><title>Error 404</title></head><body>No such page."
                             "</body></html>"));
  ASSERT_TRUE(server_->serve("upper.html", "<html><head><TITLE>Error 404</TITLE></head></html>"));
  String text;
  EXPECT_TRUE(web_fetch(server_->url("/soft404.html"), text, 0, 15000));
  EXPECT_TRUE(text.contains("No such page."));
  text.clear();
  EXPECT_FALSE(web_fetch(server_->url("/soft404.html"), text, kFetchError404Page, 15000));
  EXPECT_EQ(text, "");
  EXPECT_EQ(web_fetch_error(), "the server sent an \"Error 404\" page");
  EXPECT_TRUE(web_fetch(server_->url("/upper.html"), text, kFetchError404Page, 15000));
}

TEST_F(WebFetchTest, OpenOnlyReadsNoBody) {
  String text = "kept";
  EXPECT_TRUE(web_fetch(server_->url("/big?bytes=4000000"), text, kFetchOpenOnly, 15000))
      << web_fetch_error().c_str();
  EXPECT_EQ(text, "kept");
  ASSERT_TRUE(server_->serve("empty.txt", ""));
  EXPECT_TRUE(web_fetch(server_->url("/empty.txt"), text, kFetchOpenOnly, 15000));
  // An empty document is fetched: its body is empty.
  EXPECT_TRUE(web_fetch(server_->url("/empty.txt"), text, 0, 15000));
  EXPECT_EQ(text, "kept");
}

TEST_F(WebFetchTest, RedirectsAreFollowedAndCookiesLiveOneFetchAtMost) {
  String text;
  ASSERT_TRUE(web_fetch(server_->url("/moved"), text, 0, 15000)) << web_fetch_error().c_str();
  EXPECT_EQ(text, "[Products]\nTessaline Mailer=6.5\n");

  // The cookie set on the redirect goes back to the server within the fetch...
  text.clear();
  ASSERT_TRUE(web_fetch(server_->url("/cookie"), text, 0, 15000)) << web_fetch_error().c_str();
  EXPECT_EQ(text, "cookie: visit=1");
  // ... but not when cookies are off, and never into the next fetch.
  text.clear();
  ASSERT_TRUE(web_fetch(server_->url("/cookie"), text, kFetchNoCookies, 15000));
  EXPECT_EQ(text, "cookie: none");
  text.clear();
  ASSERT_TRUE(web_fetch(server_->url("/cookie-check"), text, 0, 15000));
  EXPECT_EQ(text, "cookie: none");
}

TEST_F(WebFetchTest, LinuxIsAlwaysConnectedAndNeverDials) {
  EXPECT_TRUE(is_connected());
  EXPECT_FALSE(dial(kFetchUnattended));
  EXPECT_FALSE(dial(0));
}

TEST(WebFetchHttpsTest, CertificatesAreChecked) {
  TestDirectory keys;
  TestCertificates certificates;
  ASSERT_TRUE(certificates.make(keys));
  TestHttpServer good, wrong;
  ASSERT_TRUE(good.start(certificates.good_cert, certificates.good_key)) << good.error().c_str();
  ASSERT_TRUE(wrong.start(certificates.wrong_cert, certificates.wrong_key)) << wrong.error().c_str();
  ASSERT_TRUE(good.serve("Products.INI", "Tessaline Mailer=7.0\n"));
  ASSERT_TRUE(wrong.serve("Products.INI", "Tessaline Mailer=7.0\n"));
  reset_web();
  ASSERT_EQ(web_startup(), kWebStarted);

  // The system's authorities do not know the test's own.
  String text;
  EXPECT_FALSE(web_fetch(good.url("/Products.INI"), text, kFetchSecure, 15000));
  EXPECT_TRUE(web_fetch_error().starts_with("the server's certificate could not be verified"))
      << web_fetch_error().c_str();

  set_web_certificate_authorities(certificates.authority);
  EXPECT_TRUE(web_fetch(good.url("/Products.INI"), text, kFetchSecure, 15000))
      << web_fetch_error().c_str();
  EXPECT_EQ(text, "Tessaline Mailer=7.0\n");
  // A certificate the authority signed, but for another host.
  text.clear();
  EXPECT_FALSE(web_fetch(wrong.url("/Products.INI"), text, 0, 15000));
  EXPECT_TRUE(web_fetch_error().starts_with("the server's certificate could not be verified"))
      << web_fetch_error().c_str();
  EXPECT_EQ(text, "");
  set_web_certificate_authorities(String());
}

TEST(WebStartupTest, StartsOnceAndWithoutLibcurlEveryFetchFails) {
  reset_web();
  EXPECT_EQ(web_startup(nullptr, "/nonexistent/libcurl.so.4"), kWebUnavailable);
  // A failed start is not tried again.
  EXPECT_EQ(web_startup(), kWebStartedBefore);
  String text;
  EXPECT_FALSE(web_fetch("http://127.0.0.1:9/Products.INI", text, 0, 1000));
  EXPECT_EQ(web_fetch_error(), "libcurl, which fetches web pages, could not be loaded");

  // A library that lacks the entry points the fetch needs.
  reset_web();
  EXPECT_EQ(web_startup(nullptr, "libc.so.6"), kWebUnavailable);

  reset_web();
  EXPECT_FALSE(web_fetch("http://127.0.0.1:9/Products.INI", text, 0, 1000));
  EXPECT_EQ(web_fetch_error(), "the web layer has not been started");
  EXPECT_EQ(web_startup(), kWebStarted);
  EXPECT_EQ(web_startup(), kWebStartedBefore);
}

}  // namespace
}  // namespace tessaline
