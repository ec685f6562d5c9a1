// web_fetch.h - fetching a document over HTTP or HTTPS.
//
// The web layer starts once (web_startup loads libcurl, web/curl_library.h)
// and then fetches whole documents into a String. Each fetch is a fresh GET
// with its own connection: nothing is cached or kept between fetches, not
// even cookies. HTTPS certificates are always checked against the system's
// certificate authorities and the host name; a plain http:// address is
// fetched as it is. Redirects to http:// and https:// addresses are
// followed (at most 10). Proxies come from the usual environment variables
// (http_proxy, https_proxy, no_proxy), the system's preconfigured access
// on Linux.
//
// A fetch has a time limit counted from its start: connecting, the request
// and every read must be over by then, so a server that stalls in the
// middle of an answer cannot hold the program beyond it.
//
// Not for: uploads, anything but http and https, answers larger than
// kMaxFetchBytes (the product-information file is a few lines).
//
// Failures: web_fetch returns false and leaves the output as it was; the
// reason is kept for diagnosis in web_fetch_error(). Without libcurl
// web_startup returns kWebUnavailable and every fetch fails; the rest of the
// program is not affected.
#pragma once

#include "core/string.h"

namespace tessaline {

// Fetch options: bits that may be combined.
enum WebFetchOptions : int {
  // Sends no cookies. Without it a cookie a server sets during the fetch
  // (on a redirect, say) goes back to it for the rest of that fetch only.
  kFetchNoCookies = 1,
  // Asks nothing of the person; a connection set up by the fetch would be
  // unattended. Every fetch here is.
  kFetchUnattended = 2,
  // Only https:// addresses, also for redirects; a plain http:// one fails.
  kFetchSecure = 4,
  // A fresh copy from the origin server: tells caches on the way not to
  // answer from what they hold ("Cache-Control: no-cache").
  kFetchReload = 8,
  // Keeps no copy of the answer. The program keeps none anyway.
  kFetchNoCacheWrite = 16,
  // Opens the address only: succeeds when the server answers without an
  // error status; the body is not read and the output stays as it was.
  kFetchOpenOnly = 32,
  // When there is no connection, sets one up instead of failing. Linux is
  // always connected, so this never comes into play.
  kFetchDial = 64,
  // A body that contains "<title>Error 404</title>" (exactly that case) is
  // a failed fetch: some servers answer a missing page with such a page and
  // a success status.
  kFetchError404Page = 128,
};

// web_startup's answers.
inline constexpr int kWebUnavailable = 0;   // no libcurl, or it would not start
inline constexpr int kWebStarted = 2;       // ready
inline constexpr int kWebStartedBefore = 3;  // it has run before (whatever came of it)

// The largest answer a fetch takes in.
inline constexpr int kMaxFetchBytes = 8 * 1024 * 1024;

// Starts the web layer once: loads libcurl (`library`, or libcurl.so.4 when
// null) and remembers the agent name sent with every request (`agent`, or
// the program's name when null). Later calls return kWebStartedBefore and
// change nothing, also after a failed first start.
int web_startup(const char* agent = nullptr, const char* library = nullptr);

// Whether the machine is online. Linux has no dial-up connections to wait
// for: always true.
bool is_connected();

// Sets up a dial-up connection. There are none on Linux: always false.
bool dial(int options);

// Fetches `url` (http:// or https://) and appends the body to `text`.
// `options` are WebFetchOptions bits; `time_limit_ms` bounds the whole
// fetch (0: no limit). False when the address is empty, the web layer has
// not started or lacks libcurl, the server cannot be reached, the time
// limit passes, the certificate does not check out, the server answers
// with an error status (400 and above: the body is then an error page, not
// the document), the answer exceeds kMaxFetchBytes, or kFetchError404Page
// applies.
bool web_fetch(const String& url, String& text, int options, int time_limit_ms);

// Why the last fetch failed, in words; empty after a success.
const String& web_fetch_error();

// A file of certificate authorities to trust instead of the system's ones
// (empty: the system's). For tests, which make their own.
void set_web_certificate_authorities(const String& path);

// Forgets the start, so that web_startup runs again (with another library,
// say). For tests.
void reset_web();

}  // namespace tessaline
