// registry.h - the registry layer: a stack of open keys and typed values.
//
// Dialog positions and the window toolkit's settings are kept under
// registry keys such as HKEY_CURRENT_USER\Software\Tessaline\Tessaline Mailer.
// On Linux all keys live in one per-user text file in the REGEDIT4 format
// (reg_file.h): "registry.reg" in the configuration folder (user_folders.h;
// TESSALINE_HOME moves it). Every root, the local machine's included, is
// kept in that one file of the user. The file is read again whenever the
// outermost key is opened, so hand edits made while the program runs are
// seen; every change rewrites it atomically at once. A file that exists but
// cannot be read is never overwritten: writes then fail.
//
// The state is process-wide and belongs to the user-interface thread: the
// current key, the keys that were current before it, and the current key's
// path text for messages. Every successful open_key() is paired with one
// close_key(); value operations address the innermost key and do nothing
// (false, or the default) while no key is open.
//
// Values keep their registry types: numbers are REG_DWORD, texts REG_SZ
// (stored with their terminating zero), byte strings REG_BINARY; numbers
// with a fraction, points, rectangles and window placements are REG_SZ
// texts ("2.5", "10,20", "10,20,630,470", "max 10,20,630,470").
//
// Not for: program options (the settings file) or project values.
//
// Failures: a key that cannot be opened or created gives 0 from open_key;
// writes report failure as false and never stop the program; unreadable
// values give the caller's defaults. Only a missing value read with
// kRegRequired ends the program, with an explanation.
#pragma once

#include <cstdint>

#include "core/string.h"
#include "core/var.h"
#include "storage/field_store.h"

namespace tessaline {
namespace registry {

enum class Root { kClassesRoot, kCurrentUser, kLocalMachine, kUsers, kCurrentConfig };

// Flags of the value and key operations.
constexpr int kRequired = 0x02;     // a missing value is a fatal error
constexpr int kDeleteEmpty = 0x08;  // an empty or zero value deletes the name instead
constexpr int kOpenOnly = 0x40;     // open an existing key only, never create it

// open_key's results.
constexpr int kOpenFailed = 0;
constexpr int kOpenedExisting = 1;
constexpr int kCreated = 2;

struct Point {
  int x = 0;
  int y = 0;
};

struct Rect {
  int left = 0;
  int top = 0;
  int right = 0;
  int bottom = 0;
  bool operator==(const Rect&) const = default;
};

// get_rect's answer for an absent or unreadable value.
constexpr Rect kEmptyRect = {0x7fffffff, 0x7fffffff, static_cast<int>(0x80000000u),
                             static_cast<int>(0x80000000u)};

enum class WindowState { kNormal, kMaximized, kMinimized };

// "HKEY_CURRENT_USER\" and the other roots' names.
const char* root_name(Root root);

// The registry file's path (its folder is created when missing).
String registry_file_path();

// --- keys ---
int open_key(Root root, const String& path, int flags = 0);
// "Software\" + name under the current user (or the local machine).
int open_software_key(const String& name, bool current_user = true, int flags = 0);
// A key below the current one; kOpenFailed when no key is open.
int open_subkey(const String& path, int flags = 0);
void close_key();
bool key_is_open();
// The current key's path text, "HKEY_CURRENT_USER\Software\..."; empty when
// none is open.
String current_key_path();

// --- values of the current key ---
// REG_SZ gives a text value (type 12), REG_DWORD an integer, REG_BINARY and
// REG_MULTI_SZ a string value (type 11) of all the bytes; other types give
// false. A missing value is false, or the fatal error with kRequired.
bool read_value(const char* name, Var& value, int flags = 0);
// An empty Var deletes the name (with kDeleteEmpty, also a zero or empty
// one). Integers and Booleans are written as REG_DWORD, string values
// (type 11) as REG_BINARY, everything else as its text form in REG_SZ.
bool set_value(const char* name, const Var& value, int flags = 0);

bool get_string(const char* name, String& text, int flags = 0);
String get_string(const char* name, const char* default_text, int flags = 0);
int get_int(const char* name, int default_value, int flags = 0);
bool get_bool(const char* name, bool default_value, int flags = 0);
double get_double(const char* name, double default_value, int flags = 0);
Point get_point(const char* name, int default_x, int default_y, int flags = 0);
Rect get_rect(const char* name, int flags = 0);

bool set_string(const char* name, const String& text, int flags = 0);
bool set_int(const char* name, int value, int flags = 0);
bool set_bool(const char* name, bool value, int flags = 0);
// A negative precision writes "%.6f" less trailing zeros and point.
bool set_double(const char* name, double value, int precision = -1, int flags = 0);
bool set_point(const char* name, int x, int y, int flags = 0);
bool set_rect(const char* name, const Rect& rect, int flags = 0);
bool set_binary(const char* name, const String& bytes, int flags = 0);

bool delete_value(const char* name);
bool value_exists(const char* name);

// --- texts of points, rectangles and window placements ---
// Skips to the first "-" or digit, then reads four integers separated by
// commas; false when a comma is missing.
bool parse_rect(const String& text, Rect& rect);
String rect_text(const Rect& rect);
// "max " or "min " for a maximised or minimised window, then its normal
// (restored) rectangle.
String placement_text(const Rect& normal, WindowState state);
bool parse_placement(const String& text, Rect& normal, WindowState& state);

// A window's placement under "Software\" + key of the current user, in the
// value `name` ("WindowPosition" when empty). load_ is false and changes
// nothing when the value is absent or unreadable.
bool save_window_placement(const String& key, const char* name, const Rect& normal,
                           WindowState state);
bool load_window_placement(const String& key, const char* name, Rect& normal,
                           WindowState& state);

// The field store over the current key: storing writes with set_value(),
// loading reads with read_value(). It has no arrays.
class RegistryFieldStore : public FieldStore {
 public:
  explicit RegistryFieldStore(bool storing) { set_storing(storing); }
  void end_array() override {}
  bool transfer(const String& name, Var& value) override;
  bool begin_array(const String&) override { return false; }
};

}  // namespace registry
}  // namespace tessaline
