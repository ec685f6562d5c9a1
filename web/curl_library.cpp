// curl_library.cpp - dlopen of libcurl and its entry-point table.
#include "web/curl_library.h"

#include <dlfcn.h>

#include <cstdlib>

namespace tessaline {
namespace {

CurlEntryPoints g_entry_points;
bool g_loaded = false;
bool g_exit_registered = false;

void release_at_exit() { release_curl(); }

}  // namespace

#define TESSALINE_CURL_ROW(member, optional) \
  {"curl_" #member, offsetof(CurlEntryPoints, member), optional}

// Cleanup and error texts are conveniences; everything else a fetch needs.
const CurlEntryPointRow kCurlEntryPointTable[] = {
    TESSALINE_CURL_ROW(global_init, false),    TESSALINE_CURL_ROW(global_cleanup, true),
    TESSALINE_CURL_ROW(easy_init, false),      TESSALINE_CURL_ROW(easy_setopt, false),
    TESSALINE_CURL_ROW(easy_perform, false),   TESSALINE_CURL_ROW(easy_getinfo, false),
    TESSALINE_CURL_ROW(easy_cleanup, false),   TESSALINE_CURL_ROW(easy_strerror, true),
    TESSALINE_CURL_ROW(slist_append, false),   TESSALINE_CURL_ROW(slist_free_all, false),
};
const int kCurlEntryPointCount =
    static_cast<int>(sizeof(kCurlEntryPointTable) / sizeof(kCurlEntryPointTable[0]));
static_assert(sizeof(kCurlEntryPointTable) / sizeof(kCurlEntryPointTable[0]) ==
              sizeof(CurlEntryPoints) / sizeof(void*));

bool load_curl(const char* library) {
  if (g_loaded) return true;
  void* handle = dlopen(library ? library : kCurlLibrary, RTLD_NOW | RTLD_LOCAL);
  if (!handle) return false;

  CurlEntryPoints found;
  bool complete = true;
  for (int i = 0; i < kCurlEntryPointCount; ++i) {
    const CurlEntryPointRow& row = kCurlEntryPointTable[i];
    void* address = dlsym(handle, row.name);
    if (!address && !row.optional) complete = false;
    *reinterpret_cast<void**>(reinterpret_cast<char*>(&found) + row.offset) = address;
  }
  // The handle is never closed: a library that was mapped once stays, as
  // unloading code that may have started threads is never safe.
  if (!complete || found.global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) return false;

  g_entry_points = found;
  g_loaded = true;
  if (!g_exit_registered) {
    std::atexit(release_at_exit);
    g_exit_registered = true;
  }
  return true;
}

const CurlEntryPoints& curl() { return g_entry_points; }

void release_curl() {
  if (g_loaded && g_entry_points.global_cleanup) g_entry_points.global_cleanup();
  g_entry_points = CurlEntryPoints();
  g_loaded = false;
}

}  // namespace tessaline
