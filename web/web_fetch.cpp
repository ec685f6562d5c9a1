#include "web/web_fetch.h"

#include <curl/curl.h>

#include <string>
#include <string_view>

#include "core/fatal_error.h"
#include "web/curl_library.h"

namespace tessaline {

namespace {

struct WebState {
  bool started = false;    // web_startup has run
  bool available = false;  // ... and libcurl is there
  String agent;
  String authorities;
  String error;
};

WebState& state() {
  static WebState web;
  return web;
}

// Where the body goes while a fetch runs: a buffer that grows by doubling,
// handed to the caller's text once the fetch has succeeded.
struct Sink {
  std::string body;
  bool open_only = false;
  bool stopped = false;    // open only: the body began and was not read
  bool too_large = false;
};

size_t take_body(char* data, size_t size, size_t count, void* user) {
  Sink& sink = *static_cast<Sink*>(user);
  size_t n = size * count;
  if (n == 0) return 0;
  if (sink.open_only) {
    sink.stopped = true;
    return 0;  // ends the transfer here
  }
  if (n > static_cast<size_t>(kMaxFetchBytes) - sink.body.size()) {
    sink.too_large = true;
    return 0;
  }
  sink.body.append(data, n);
  return n;
}

// The request headers of a fetch; freed with the fetch.
class Headers {
 public:
  ~Headers() {
    if (list_) curl().slist_free_all(list_);
  }
  bool add(const char* header) {
    curl_slist* longer = curl().slist_append(list_, header);
    if (!longer) return false;
    list_ = longer;
    return true;
  }
  curl_slist* list() const { return list_; }

 private:
  curl_slist* list_ = nullptr;
};

// One easy handle, cleaned up on every way out.
class Transfer {
 public:
  Transfer() : handle_(curl().easy_init()) {}
  ~Transfer() {
    if (handle_) curl().easy_cleanup(handle_);
  }
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;
  CURL* handle() const { return handle_; }

  // Every option must take: a library that refuses one would fetch in a
  // way this program did not ask for.
  template <typename T>
  bool set(CURLoption option, T value) {
    return curl().easy_setopt(handle_, option, value) == CURLE_OK;
  }

 private:
  CURL* handle_;
};

String curl_reason(CURLcode code, const char* detail) {
  if (*detail) return String(detail);
  if (curl().easy_strerror) return String(curl().easy_strerror(code));
  return String::formatted("libcurl error %d", static_cast<int>(code));
}

bool fail(const String& reason) {
  state().error = reason;
  return false;
}

}  // namespace

int web_startup(const char* agent, const char* library) {
  WebState& web = state();
  if (web.started) return kWebStartedBefore;
  web.started = true;
  web.agent = agent ? agent : application_name;
  web.available = load_curl(library);
  return web.available ? kWebStarted : kWebUnavailable;
}

bool is_connected() { return true; }

bool dial(int /*options*/) { return false; }

bool web_fetch(const String& url, String& text, int options, int time_limit_ms) {
  WebState& web = state();
  web.error.clear();
  if (url.empty()) return fail("no address was given");
  if (!web.available) {
    return fail(web.started ? "libcurl, which fetches web pages, could not be loaded"
                            : "the web layer has not been started");
  }
  if (!is_connected() && (!(options & kFetchDial) || !dial(options))) {
    return fail("the computer is not connected");
  }

  Transfer transfer;
  if (!transfer.handle()) return fail("libcurl could not start a transfer");
  Headers headers;
  if (!headers.add("Accept: */*")) return fail("out of memory");
  if ((options & kFetchReload) &&
      !(headers.add("Cache-Control: no-cache") && headers.add("Pragma: no-cache"))) {
    return fail("out of memory");
  }

  Sink sink;
  sink.open_only = (options & kFetchOpenOnly) != 0;
  char detail[CURL_ERROR_SIZE] = "";
  const char* protocols = (options & kFetchSecure) ? "https" : "http,https";

  bool set = transfer.set(CURLOPT_URL, url.c_str()) &&
             transfer.set(CURLOPT_ERRORBUFFER, detail) &&
             transfer.set(CURLOPT_NOSIGNAL, 1L) &&
             transfer.set(CURLOPT_USERAGENT, web.agent.c_str()) &&
             transfer.set(CURLOPT_HTTPHEADER, headers.list()) &&
             transfer.set(CURLOPT_PROTOCOLS_STR, protocols) &&
             transfer.set(CURLOPT_REDIR_PROTOCOLS_STR, protocols) &&
             transfer.set(CURLOPT_FOLLOWLOCATION, 1L) &&
             transfer.set(CURLOPT_MAXREDIRS, 10L) &&
             transfer.set(CURLOPT_SSL_VERIFYPEER, 1L) &&
             transfer.set(CURLOPT_SSL_VERIFYHOST, 2L) &&
             transfer.set(CURLOPT_WRITEFUNCTION, take_body) &&
             transfer.set(CURLOPT_WRITEDATA, &sink) &&
             transfer.set(CURLOPT_TIMEOUT_MS, static_cast<long>(time_limit_ms > 0 ? time_limit_ms : 0));
  // The in-memory cookie engine, for this fetch only: no file is read or
  // written.
  if (set && !(options & kFetchNoCookies)) set = transfer.set(CURLOPT_COOKIEFILE, "");
  if (set && !web.authorities.empty()) {
    set = transfer.set(CURLOPT_CAINFO, web.authorities.c_str()) &&
          transfer.set(CURLOPT_CAPATH, static_cast<const char*>(nullptr));
  }
  if (!set) return fail("this libcurl cannot fetch as the program needs (too old?)");

  CURLcode result = curl().easy_perform(transfer.handle());
  long status = 0;
  curl().easy_getinfo(transfer.handle(), CURLINFO_RESPONSE_CODE, &status);

  bool fetched = false;
  if (result == CURLE_OK || (result == CURLE_WRITE_ERROR && sink.stopped)) {
    if (status >= 400) {
      fail(String::formatted("the server answered with status %ld", status));
    } else if ((options & kFetchError404Page) &&
               sink.body.find("<title>Error 404</title>") != std::string::npos) {
      fail("the server sent an \"Error 404\" page");
    } else {
      fetched = true;
    }
  } else if (sink.too_large) {
    fail(String::formatted("the answer is larger than %d bytes", kMaxFetchBytes));
  } else if (result == CURLE_OPERATION_TIMEDOUT) {
    fail(String::formatted("the time limit of %d milliseconds passed", time_limit_ms));
  } else if (result == CURLE_PEER_FAILED_VERIFICATION) {
    fail("the server's certificate could not be verified: " + curl_reason(result, detail));
  } else {
    fail(curl_reason(result, detail));
  }
  if (fetched) text.append(std::string_view(sink.body));
  return fetched;
}

const String& web_fetch_error() { return state().error; }

void set_web_certificate_authorities(const String& path) { state().authorities = path; }

void reset_web() {
  WebState& web = state();
  web.started = false;
  web.available = false;
  web.error.clear();
  release_curl();
}

}  // namespace tessaline
