// reg_file.h - the registry file: keys and typed values in REGEDIT4 text.
//
// On Linux the program's registry keys live in one text file per user in
// the format of a registry export, so that a person can read and edit it:
//
//   REGEDIT4
//
//   [HKEY_CURRENT_USER\Software\Tessaline\Tessaline Mailer]
//   "PreviewPosition"="max 10,20,630,470"      REG_SZ
//   "PreviewSplitter"=dword:000000c8           REG_DWORD
//   "Data"=hex:01,02,ff                        REG_BINARY
//   @="the key's unnamed value"
//   "Other"=hex(7):61,00,00                    any other type, by number
//
// Strings escape only "\" and the double quote ("\\", "\""); a string that
// holds a zero byte or a line break is written in the hex(1): form instead,
// so every value keeps its type and its exact bytes. Long hex lists wrap
// with a trailing "\" and continue on the next line.
//
// Reading is lenient, for files a person edited: a UTF-8 byte-order mark,
// CR LF line ends, blank lines, blanks around "=" and a missing header are
// all accepted; a backslash that escapes nothing is kept as a backslash;
// "[-key]" deletes a key with its subkeys and "name"=- a value, as an import
// would; a name that appears twice keeps its last value. Comments (";") and
// lines that cannot be read are kept verbatim in their place and written
// back, so nothing a person typed is lost by a rewrite.
//
// Keys and value names compare case-insensitively (ASCII), as the registry
// does; their spelling as first seen is kept.
//
// Not for: the registry layer's key stack and typed access (registry.h).
//
// Failures: parse() never fails; a key path or value name that a line of
// the format cannot hold (a line break, an empty path) is refused by the
// setters with false.
#pragma once

#include <cstdint>

#include "core/containers.h"
#include "core/string.h"

namespace tessaline {

// Registry value types, by their numbers.
enum RegType : uint32_t {
  kRegNone = 0,
  kRegSz = 1,
  kRegExpandSz = 2,
  kRegBinary = 3,
  kRegDword = 4,
  kRegMultiSz = 7,
};

struct RegValue {
  String name;  // empty for the unnamed value "@"
  uint32_t type = kRegNone;
  String data;  // the bytes as the registry keeps them: REG_SZ with its
                // terminating zero, REG_DWORD as 4 little-endian bytes
};

// One line of a key's section, in file order: a value, or a line kept
// verbatim (a comment or a line that could not be read).
struct RegEntry {
  bool is_value = false;
  RegValue value;
  String raw;
};

struct RegKey {
  String path;  // "HKEY_CURRENT_USER\Software\..." without a trailing "\"
  Vector<RegEntry> entries;
};

class RegDocument {
 public:
  // Replaces the document with the keys of the text.
  void parse(const String& text);
  String serialize() const;

  // The key itself, or null.
  const RegKey* find_key(const String& path) const;
  // True when the key or any key below it is present.
  bool key_exists(const String& path) const;
  // The key, added at the end when missing; null for a path a section line
  // cannot hold.
  RegKey* add_key(const String& path);
  // Removes the key and every key below it; true when one was there.
  bool delete_key(const String& path);

  const RegValue* find_value(const String& path, const String& name) const;
  // Replaces the value in its place, or appends it; adds the key when
  // missing. False for a name or path the format cannot hold.
  bool set_value(const String& path, const String& name, uint32_t type, const String& data);
  bool delete_value(const String& path, const String& name);

  int key_count() const { return keys_.count(); }
  void clear();

  // The form of a REG_SZ value's bytes: text plus one terminating zero.
  static String sz_data(const String& text);
  static String dword_data(uint32_t value);

 private:
  RegKey* find_key_mutable(const String& path);
  // Applies one line (or joined lines) of the file. An unreadable line is
  // kept verbatim when `keep_unreadable`, else the result is false.
  bool parse_line(const String& line, int& current, bool keep_unreadable);

  Vector<String> preamble_;  // lines kept before the first key
  Vector<RegKey> keys_;
};

}  // namespace tessaline
