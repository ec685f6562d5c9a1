// curl_library.h - libcurl, loaded at run time.
//
// The program never links against libcurl: load_curl() opens
// libcurl.so.4 with dlopen and resolves the entry points the web layer uses
// by name from one table. A row marked required that the library lacks
// makes the load fail; an optional one leaves its pointer null and the code
// that would call it checks first. Without the library the program starts
// and works as before; only fetching from the web (the update check) fails.
//
// The libcurl headers are included for their types and constants only.
//
// Not for: HTTP itself (web/web_fetch.h), anything but libcurl.
//
// Failures: load_curl() returns false when the library cannot be opened,
// lacks a required entry point, or its global initialisation fails; the
// pointers then stay null.
#pragma once

#include <cstddef>

#include <curl/curl.h>

namespace tessaline {

// The entry points, resolved by name; null when not loaded (or an optional
// one is missing). The members drop the "curl_" prefix: the libcurl headers
// define some of the full names as macros.
struct CurlEntryPoints {
  decltype(&::curl_global_init) global_init = nullptr;
  decltype(&::curl_global_cleanup) global_cleanup = nullptr;
  decltype(&::curl_easy_init) easy_init = nullptr;
  decltype(&::curl_easy_setopt) easy_setopt = nullptr;
  decltype(&::curl_easy_perform) easy_perform = nullptr;
  decltype(&::curl_easy_getinfo) easy_getinfo = nullptr;
  decltype(&::curl_easy_cleanup) easy_cleanup = nullptr;
  decltype(&::curl_easy_strerror) easy_strerror = nullptr;
  decltype(&::curl_slist_append) slist_append = nullptr;
  decltype(&::curl_slist_free_all) slist_free_all = nullptr;
};

// One row of the resolution table: the exported name, the offset of its
// pointer in CurlEntryPoints, and whether the web layer can do without it.
struct CurlEntryPointRow {
  const char* name;
  size_t offset;
  bool optional;
};

extern const CurlEntryPointRow kCurlEntryPointTable[];
extern const int kCurlEntryPointCount;

// The library name dlopen is given when load_curl has none.
inline constexpr const char* kCurlLibrary = "libcurl.so.4";

// Loads `library` (kCurlLibrary when null), resolves every row of the table
// (all rows are tried, even after a failure) and initialises libcurl.
// Returns whether it can be used. Calling it again after a success does
// nothing and returns true. The global state is cleaned up at exit.
bool load_curl(const char* library = nullptr);

// The loaded entry points (all null before load_curl succeeds).
const CurlEntryPoints& curl();

// Cleans libcurl's global state and forgets the entry points; the library
// stays mapped until the process ends (its threads and handlers may still
// run). Registered with atexit by load_curl; tests call it to load another
// library.
void release_curl();

}  // namespace tessaline
