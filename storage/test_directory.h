// test_directory.h - a fresh folder for one test, removed with everything in
// it when the test ends. For tests only.
#pragma once

#include <ftw.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "core/string.h"

namespace tessaline {

class TestDirectory {
 public:
  TestDirectory() {
    char pattern[] = "/tmp/tessaline-test-XXXXXX";
    if (mkdtemp(pattern)) path_ = pattern;
  }
  ~TestDirectory() {
    if (path_.empty()) return;
    // Read-only entries are removed as well: the folder stays writable.
    nftw(
        path_.c_str(),
        [](const char* name, const struct stat*, int, struct FTW*) { return ::remove(name); },
        16, FTW_DEPTH | FTW_PHYS);
  }
  TestDirectory(const TestDirectory&) = delete;
  TestDirectory& operator=(const TestDirectory&) = delete;

  bool ok() const { return !path_.empty(); }
  const String& path() const { return path_; }
  // The path of an entry of the folder.
  String operator/(const char* name) const { return path_ + "/" + name; }

  // Writes a file with the given bytes; false on any failure.
  bool put(const char* name, const String& contents) const {
    FILE* f = std::fopen((*this / name).c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(contents.c_str(), 1, contents.length(), f) ==
              static_cast<size_t>(contents.length());
    return std::fclose(f) == 0 && ok;
  }
  // The bytes of a file, or "<absent>" when it cannot be read.
  String get(const char* name) const { return read(*this / name); }
  static String read(const String& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return "<absent>";
    String contents;
    char block[4096];
    size_t n;
    while ((n = std::fread(block, 1, sizeof block, f)) > 0) contents.append(std::string_view(block, n));
    std::fclose(f);
    return contents;
  }

 private:
  String path_;
};

}  // namespace tessaline
