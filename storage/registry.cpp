#include "storage/registry.h"

#include <cerrno>
#include <cstdio>

#include "core/containers.h"
#include "core/fatal_error.h"
#include "platform/atomic_write.h"
#include "platform/user_folders.h"
#include "storage/reg_file.h"

namespace tessaline {
namespace registry {

namespace {

constexpr const char* kFileName = "registry.reg";

struct OpenKey {
  String path;  // the key's path in the document
  String text;  // its path text for messages
};

struct State {
  RegDocument document;
  String file;
  bool writable = true;
  Stack<OpenKey> keys;  // the innermost (current) key on top
};

State& state() {
  static State* s = new State;  // never destroyed: used until exit
  return *s;
}

void load_document(State& s) {
  s.file = registry_file_path();
  s.document.clear();
  s.writable = true;
  FILE* f = std::fopen(s.file.c_str(), "rb");
  if (!f) {
    // A missing file is an empty registry; one we cannot read must not be
    // overwritten with what little we know.
    s.writable = errno == ENOENT;
    return;
  }
  String text;
  char buffer[8192];
  size_t n;
  // Bytes, not C text: a value may hold zero bytes.
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(std::string_view(buffer, n));
  if (std::ferror(f)) s.writable = false;
  std::fclose(f);
  s.document.parse(text);
}

bool save_document(State& s) {
  String error;
  if (s.writable && !s.file.empty() &&
      write_file_atomically(s.file, s.document.serialize(), error))
    return true;
  // Memory follows the disk: the change that could not be stored is dropped.
  load_document(s);
  return false;
}

const OpenKey* current() {
  State& s = state();
  return s.keys.empty() ? nullptr : &s.keys.top();
}

// What a value holds, read the way the registry hands it out.
struct Reading {
  bool integer = false;
  int32_t number = 0;
  String text;
};

bool query(const char* name, int flags, Reading& out) {
  const OpenKey* key = current();
  if (!key) return false;
  const RegValue* value = state().document.find_value(key->path, String(name));
  if (!value) {
    if (flags & kRequired) {
      String path = key->text;
      if (!path.empty() && path.last() != '\\') path.append('\\');
      FatalError(
          "The following registry key is required by %s, but is invalid or does not "
          "exist:\n\n%s%s\n\nIf you have tried moving this program to a different computer by "
          "copying files, this will not work.  This program must be reinstalled.",
          application_name, path.c_str(), name);
    }
    return false;
  }
  switch (value->type) {
    case kRegSz:
    case kRegExpandSz:
      out.text = value->data;
      // The terminator is not part of the text; a hand-written hex(1): form
      // may lack it.
      if (!out.text.empty() && out.text.last() == '\0') out.text.remove_last(1);
      return true;
    case kRegDword: {
      if (value->data.length() != 4) return false;
      const auto* b = reinterpret_cast<const unsigned char*>(value->data.c_str());
      out.integer = true;
      out.number = static_cast<int32_t>(b[0] | (b[1] << 8) | (b[2] << 16) |
                                        (static_cast<uint32_t>(b[3]) << 24));
      out.text.format("%d", out.number);
      return true;
    }
    case kRegBinary:
    case kRegMultiSz:
      out.text = value->data;
      return true;
    default:
      return false;
  }
}

// The leading integer of a text: optional sign and digits, else 0.
int32_t leading_int(const String& text) {
  int i = 0;
  bool negative = false;
  if (text.char_at(0) == '-' || text.char_at(0) == '+') negative = text[i++] == '-';
  int64_t value = 0;
  while (is_digit(text.char_at(i)) && value <= 0xffffffffLL) value = value * 10 + (text[i++] - '0');
  return static_cast<int32_t>(negative ? -value : value);
}

// The leading decimal of a text: sign, digits, point and digits; no exponent.
double leading_double(const String& text) {
  int i = 0;
  if (text.char_at(0) == '-' || text.char_at(0) == '+') ++i;
  while (is_digit(text.char_at(i))) ++i;
  if (text.char_at(i) == '.') {
    ++i;
    while (is_digit(text.char_at(i))) ++i;
  }
  String number = text.substr(0, i);
  double value = 0;
  if (std::sscanf(number.c_str(), "%lf", &value) != 1) return 0.0;
  return value;
}

bool store(const char* name, uint32_t type, const String& data) {
  const OpenKey* key = current();
  if (!key) return false;
  State& s = state();
  if (!s.document.set_value(key->path, String(name), type, data)) return false;
  return save_document(s);
}

// Deletion in place of writing an empty value: success when the value is
// gone afterwards, whether or not it was there.
bool erase(const char* name) {
  const OpenKey* key = current();
  if (!key) return false;
  State& s = state();
  if (!s.document.delete_value(key->path, String(name))) return true;
  return save_document(s);
}

String trimmed_double(double value, int precision) {
  String text;
  if (precision >= 0) return text.format("%.*f", precision, value);
  text.format("%.6f", value);
  if (text.contains('.')) {
    while (text.last() == '0') text.remove_last(1);
    if (text.last() == '.') text.remove_last(1);
  }
  return text;
}

}  // namespace

const char* root_name(Root root) {
  switch (root) {
    case Root::kClassesRoot: return "HKEY_CLASSES_ROOT\\";
    case Root::kCurrentUser: return "HKEY_CURRENT_USER\\";
    case Root::kLocalMachine: return "HKEY_LOCAL_MACHINE\\";
    case Root::kUsers: return "HKEY_USERS\\";
    case Root::kCurrentConfig: return "HKEY_CURRENT_CONFIG\\";
  }
  return "";
}

String registry_file_path() {
  String path, error;
  if (!user_file_path(UserFolder::kConfiguration, kFileName, path, error))
    return user_folder(UserFolder::kConfiguration) + "/" + kFileName;
  return path;
}

namespace {

int open_path(const String& path, const String& text, int flags) {
  State& s = state();
  if (s.keys.empty()) load_document(s);
  String p = path;
  while (!p.empty() && p.last() == '\\') p.remove_last(1);
  int result = kOpenedExisting;
  if (!s.document.key_exists(p)) {
    if (flags & kOpenOnly) return kOpenFailed;
    if (!s.document.add_key(p) || !save_document(s)) return kOpenFailed;
    result = kCreated;
  }
  s.keys.push(OpenKey{p, text});
  return result;
}

}  // namespace

int open_key(Root root, const String& path, int flags) {
  String full = String(root_name(root)) + path;
  return open_path(full, full, flags);
}

int open_software_key(const String& name, bool current_user, int flags) {
  return open_key(current_user ? Root::kCurrentUser : Root::kLocalMachine,
                  String("Software\\") + name, flags);
}

int open_subkey(const String& path, int flags) {
  const OpenKey* key = current();
  if (!key) return kOpenFailed;
  String sub = path;
  while (sub.first() == '\\') sub.remove_first(1);
  String full = key->path + "\\" + sub;
  String text = key->text;
  if (!text.empty() && text.last() != '\\') text.append('\\');
  text.append(sub);
  return open_path(full, text, flags);
}

void close_key() {
  State& s = state();
  if (!s.keys.empty()) s.keys.discard_top();
}

bool key_is_open() { return current() != nullptr; }

String current_key_path() {
  const OpenKey* key = current();
  return key ? key->text : String();
}

bool read_value(const char* name, Var& value, int flags) {
  const OpenKey* key = current();
  if (!key) return false;
  Reading r;
  if (!query(name, flags, r)) return false;
  const RegValue* stored = state().document.find_value(key->path, String(name));
  if (r.integer) value.set_int32(r.number);
  else if (stored->type == kRegSz || stored->type == kRegExpandSz) value.set_text(r.text);
  else value.set_string(r.text);
  return true;
}

bool set_value(const char* name, const Var& value, int flags) {
  if (value.type() == kTypeEmpty || ((flags & kDeleteEmpty) && value.is_empty())) {
    return erase(name);
  }
  if (value.kind() == kKindInteger) {
    return store(name, kRegDword, RegDocument::dword_data(static_cast<uint32_t>(value.integer_field())));
  }
  if (value.type() == kTypeString) return store(name, kRegBinary, value.as_text());
  return store(name, kRegSz, RegDocument::sz_data(value.as_text()));
}

bool RegistryFieldStore::transfer(const String& name, Var& value) {
  return storing() ? set_value(name.c_str(), value) : read_value(name.c_str(), value);
}

bool get_string(const char* name, String& text, int flags) {
  Reading r;
  if (!query(name, flags, r)) return false;
  text = r.text;
  return true;
}

String get_string(const char* name, const char* default_text, int flags) {
  String text;
  return get_string(name, text, flags) ? text : String(default_text);
}

int get_int(const char* name, int default_value, int flags) {
  Reading r;
  if (!query(name, flags, r)) return default_value;
  return r.integer ? r.number : leading_int(r.text);
}

bool get_bool(const char* name, bool default_value, int flags) {
  Reading r;
  if (!query(name, flags, r)) return default_value;
  return (r.integer ? r.number : leading_int(r.text)) != 0;
}

double get_double(const char* name, double default_value, int flags) {
  Reading r;
  if (!query(name, flags, r)) return default_value;
  return r.integer ? r.number : leading_double(r.text);
}

Point get_point(const char* name, int default_x, int default_y, int flags) {
  Point p{default_x, default_y};
  Reading r;
  if (!query(name, flags, r)) return p;
  int x, y;
  if (std::sscanf(r.text.c_str(), "%d,%d", &x, &y) == 2) p = Point{x, y};
  return p;
}

Rect get_rect(const char* name, int flags) {
  Reading r;
  Rect rect;
  if (!query(name, flags, r) || !parse_rect(r.text, rect)) return kEmptyRect;
  return rect;
}

bool set_string(const char* name, const String& text, int flags) {
  if ((flags & kDeleteEmpty) && text.empty()) return erase(name);
  return store(name, kRegSz, RegDocument::sz_data(text));
}

bool set_int(const char* name, int value, int flags) {
  if ((flags & kDeleteEmpty) && value == 0) return erase(name);
  return store(name, kRegDword, RegDocument::dword_data(static_cast<uint32_t>(value)));
}

bool set_bool(const char* name, bool value, int flags) { return set_int(name, value ? 1 : 0, flags); }

bool set_double(const char* name, double value, int precision, int flags) {
  if ((flags & kDeleteEmpty) && value == 0.0) return erase(name);
  return set_string(name, trimmed_double(value, precision), 0);
}

bool set_point(const char* name, int x, int y, int flags) {
  return set_string(name, String::formatted("%d,%d", x, y), flags);
}

bool set_rect(const char* name, const Rect& rect, int flags) {
  return set_string(name, rect_text(rect), flags);
}

bool set_binary(const char* name, const String& bytes, int flags) {
  if ((flags & kDeleteEmpty) && bytes.empty()) return erase(name);
  return store(name, kRegBinary, bytes);
}

bool delete_value(const char* name) {
  const OpenKey* key = current();
  if (!key) return false;
  State& s = state();
  if (!s.document.delete_value(key->path, String(name))) return false;
  return save_document(s);
}

bool value_exists(const char* name) {
  const OpenKey* key = current();
  return key && state().document.find_value(key->path, String(name)) != nullptr;
}

bool parse_rect(const String& text, Rect& rect) {
  int i = 0;
  while (i < text.length() && text[i] != '-' && !is_digit(text[i])) ++i;
  int values[4];
  for (int k = 0; k < 4; ++k) {
    if (k > 0) {
      if (text.char_at(i) != ',') return false;
      ++i;
    }
    int start = i;
    if (text.char_at(i) == '-') ++i;
    if (!is_digit(text.char_at(i))) return false;
    while (is_digit(text.char_at(i))) ++i;
    values[k] = leading_int(text.substr(start, i - start));
  }
  rect = Rect{values[0], values[1], values[2], values[3]};
  return true;
}

String rect_text(const Rect& r) {
  return String::formatted("%d,%d,%d,%d", r.left, r.top, r.right, r.bottom);
}

String placement_text(const Rect& normal, WindowState state) {
  String text;
  if (state == WindowState::kMaximized) text = "max ";
  if (state == WindowState::kMinimized) text = "min ";
  return text + rect_text(normal);
}

bool parse_placement(const String& text, Rect& normal, WindowState& state) {
  Rect rect;
  if (!parse_rect(text, rect)) return false;
  normal = rect;
  state = WindowState::kNormal;
  if (text.starts_with("max")) state = WindowState::kMaximized;
  if (text.starts_with("min")) state = WindowState::kMinimized;
  return true;
}

bool save_window_placement(const String& key, const char* name, const Rect& normal,
                           WindowState state) {
  if (!name || !name[0]) name = "WindowPosition";
  if (open_software_key(key) == kOpenFailed) return false;
  bool ok = set_string(name, placement_text(normal, state));
  close_key();
  return ok;
}

bool load_window_placement(const String& key, const char* name, Rect& normal,
                           WindowState& state) {
  if (!name || !name[0]) name = "WindowPosition";
  if (open_software_key(key, true, kOpenOnly) == kOpenFailed) return false;
  String text;
  bool ok = get_string(name, text) && parse_placement(text, normal, state);
  close_key();
  return ok;
}

}  // namespace registry
}  // namespace tessaline
