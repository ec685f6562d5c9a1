#include "storage/reg_file.h"

namespace tessaline {

namespace {

constexpr const char* kHeader = "REGEDIT4";
constexpr int kHexLineWidth = 76;

bool holds_line_break_or_zero(const String& text) {
  for (char c : text)
    if (c == '\n' || c == '\r' || c == '\0') return true;
  return false;
}

String normal_path(const String& path) {
  String p = path;
  p.trim(" \t");
  while (!p.empty() && p.last() == '\\') p.remove_last(1);
  return p;
}

bool path_fits(const String& path) {
  return !path.empty() && path.first() != '-' && !holds_line_break_or_zero(path);
}

// True when `path` is `base` or lies below it.
bool is_at_or_below(const String& path, const String& base) {
  if (path.length() < base.length() || path.compare(base, false, base.length()) != 0) return false;
  return path.length() == base.length() || path[base.length()] == '\\';
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads a quoted text starting at text[i] == '"'. Returns the index after
// the closing quote, or -1 when there is none.
int read_quoted(const String& text, int i, String& out) {
  out.clear();
  for (++i; i < text.length(); ++i) {
    char c = text[i];
    if (c == '"') return i + 1;
    if (c == '\\' && i + 1 < text.length() && (text[i + 1] == '\\' || text[i + 1] == '"')) c = text[++i];
    out.append(c);
  }
  return -1;
}

void append_quoted(String& out, const String& text) {
  out.append('"');
  for (char c : text) {
    if (c == '\\' || c == '"') out.append('\\');
    out.append(c);
  }
  out.append('"');
}

int skip_blanks(const String& text, int i) {
  while (i < text.length() && (text[i] == ' ' || text[i] == '\t')) ++i;
  return i;
}

// "01,02, ff" -> bytes; false for anything else. An empty list is no bytes.
bool read_hex_list(const String& list, String& bytes) {
  bytes.clear();
  String rest = list;
  rest.trim(" \t");
  if (rest.empty()) return true;
  int start = 0;
  while (start <= rest.length()) {
    int comma = rest.find(',', start);
    if (comma < 0) comma = rest.length();
    String item = rest.substr(start, comma - start);
    item.trim(" \t");
    if (item.empty()) {
      // Only a trailing comma may leave an empty item.
      if (comma < rest.length()) return false;
    } else {
      if (item.length() > 2) return false;
      int value = 0;
      for (char c : item) {
        int d = hex_digit(c);
        if (d < 0) return false;
        value = value * 16 + d;
      }
      bytes.append(static_cast<char>(value));
    }
    start = comma + 1;
  }
  return true;
}

// Reads the data after "=": a quoted text, dword:, hex: or hex(N):. Sets
// `remove` for "-".
bool read_data(const String& text, uint32_t& type, String& data, bool& remove) {
  remove = false;
  String rest = text;
  rest.trim(" \t");
  if (rest == "-") {
    remove = true;
    return true;
  }
  if (rest.first() == '"') {
    String value;
    int end = read_quoted(rest, 0, value);
    if (end != rest.length()) return false;
    type = kRegSz;
    data = RegDocument::sz_data(value);
    return true;
  }
  if (rest.starts_with_ignore_case("dword:")) {
    String digits = rest.substr(6);
    digits.trim(" \t");
    if (digits.empty() || digits.length() > 8) return false;
    uint32_t value = 0;
    for (char c : digits) {
      int d = hex_digit(c);
      if (d < 0) return false;
      value = value * 16 + static_cast<uint32_t>(d);
    }
    type = kRegDword;
    data = RegDocument::dword_data(value);
    return true;
  }
  if (rest.starts_with_ignore_case("hex:")) {
    type = kRegBinary;
    return read_hex_list(rest.substr(4), data);
  }
  if (rest.starts_with_ignore_case("hex(")) {
    int close = rest.find("):");
    if (close < 5 || close > 12) return false;
    uint32_t value = 0;
    for (int i = 4; i < close; ++i) {
      int d = hex_digit(rest[i]);
      if (d < 0) return false;
      value = value * 16 + static_cast<uint32_t>(d);
    }
    type = value;
    return read_hex_list(rest.substr(close + 2), data);
  }
  return false;
}

void append_hex(String& out, const String& data, int line_start) {
  for (int i = 0; i < data.length(); ++i) {
    out.append_format("%02x", static_cast<unsigned char>(data[i]));
    if (i + 1 < data.length()) {
      out.append(',');
      if (out.length() - line_start > kHexLineWidth) {
        out.append("\\\n  ");
        line_start = out.length() - 2;
      }
    }
  }
}

// A REG_SZ that a quoted text can hold: one terminating zero and no zero or
// line break before it.
bool sz_fits_quotes(const String& data) {
  if (data.empty() || data.last() != '\0') return false;
  return !holds_line_break_or_zero(data.substr(0, data.length() - 1));
}

void append_value(String& out, const RegValue& value) {
  int line_start = out.length();
  if (value.name.empty()) out.append('@');
  else append_quoted(out, value.name);
  out.append('=');
  if (value.type == kRegSz && sz_fits_quotes(value.data)) {
    append_quoted(out, value.data.substr(0, value.data.length() - 1));
  } else if (value.type == kRegDword && value.data.length() == 4) {
    const auto* b = reinterpret_cast<const unsigned char*>(value.data.c_str());
    uint32_t v = b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<uint32_t>(b[3]) << 24);
    out.append_format("dword:%08x", v);
  } else {
    if (value.type == kRegBinary) out.append("hex:");
    else out.append_format("hex(%x):", value.type);
    append_hex(out, value.data, line_start);
  }
  out.append('\n');
}

}  // namespace

String RegDocument::sz_data(const String& text) {
  String data = text;
  data.append('\0');
  return data;
}

String RegDocument::dword_data(uint32_t value) {
  char bytes[4] = {static_cast<char>(value), static_cast<char>(value >> 8),
                   static_cast<char>(value >> 16), static_cast<char>(value >> 24)};
  return String(bytes, 4);
}

void RegDocument::clear() {
  preamble_.clear();
  keys_.clear();
}

void RegDocument::parse(const String& text) {
  clear();
  String rest = text;
  if (rest.starts_with("\xEF\xBB\xBF")) rest.remove_first(3);
  rest.to_lf();
  rest.replace_char('\r', '\n');
  Vector<String> lines;
  for (int start = 0; start < rest.length();) {
    int end = rest.find('\n', start);
    if (end < 0) end = rest.length();
    lines.append(rest.substr(start, end - start));
    start = end + 1;
  }
  bool header_possible = true;
  int current = -1;
  for (int i = 0; i < lines.count(); ++i) {
    String check = lines[i];
    check.trim(" \t");
    if (check.empty()) continue;
    if (header_possible) {
      header_possible = false;
      if (check == kHeader || check.starts_with("Windows Registry Editor Version")) continue;
    }
    // A value whose hex list goes on over the following lines, each but the
    // last ending in "\". The lines are joined only when the whole reads as
    // a value: a broken line keeps its neighbours from being swallowed.
    int last = i;
    while ((check.first() == '"' || check.first() == '@') && last + 1 < lines.count()) {
      String tail = lines[last];
      tail.trim(" \t");
      String next = lines[last + 1];
      next.trim(" \t");
      if (tail.last() != '\\' || next.empty()) break;
      ++last;
    }
    if (last > i) {
      String joined = lines[i];
      for (int k = i + 1; k <= last; ++k) {
        joined.append('\n');
        joined.append(lines[k]);
      }
      if (parse_line(joined, current, false)) {
        i = last;
        continue;
      }
    }
    parse_line(lines[i], current, true);
  }
}

bool RegDocument::parse_line(const String& line, int& current, bool keep_unreadable) {
  String text = line;
  text.trim(" \t\n");
  auto keep_raw = [&] {
    if (!keep_unreadable) return false;
    if (current >= 0) {
      RegEntry& entry = keys_[current].entries.append();
      entry.raw = line;
    } else {
      preamble_.append(line);
    }
    return true;
  };

  if (text.first() == '[') {
    int close = text.rfind(']');
    if (close < 1 || close != text.length() - 1) {
      return keep_raw();
    }
    String path = text.substr(1, close - 1);
    if (path.first() == '-') {
      delete_key(normal_path(path.substr(1)));
      current = -1;
      return true;
    }
    path = normal_path(path);
    if (!path_fits(path)) {
      return keep_raw();
    }
    add_key(path);
    for (int i = 0; i < keys_.count(); ++i)
      if (keys_[i].path.equals_ignore_case(path.c_str()) && keys_[i].path.length() == path.length()) current = i;
    return true;
  }
  if (current < 0 || (text.first() != '"' && text.first() != '@')) {
    return keep_raw();
  }

  // Hex lists that were continued over several lines are one line here.
  String joined;
  for (int i = 0; i < text.length(); ++i) {
    if (text[i] == '\\' && i + 1 < text.length() && text[i + 1] == '\n') {
      i = skip_blanks(text, i + 2) - 1;
      continue;
    }
    joined.append(text[i]);
  }
  String name;
  int i;
  if (joined.first() == '@') {
    i = 1;
  } else {
    i = read_quoted(joined, 0, name);
    if (i < 0 || name.empty()) {
      return keep_raw();
    }
  }
  i = skip_blanks(joined, i);
  uint32_t type = kRegNone;
  String data;
  bool remove = false;
  if (joined.char_at(i) != '=' || !read_data(joined.substr(i + 1), type, data, remove) ||
      holds_line_break_or_zero(name)) {
    return keep_raw();
  }
  const String path = keys_[current].path;
  if (remove) delete_value(path, name);
  else set_value(path, name, type, data);
  return true;
}

String RegDocument::serialize() const {
  // A kept line ending in "\" would join the line after it when read
  // again; a blank line after it keeps the two apart, as they were.
  auto append_raw = [](String& out, const String& raw, bool more_follow) {
    out.append(raw);
    out.append('\n');
    String trimmed = raw;
    trimmed.trim(" \t\n");
    if (more_follow && trimmed.last() == '\\') out.append('\n');
  };
  String out(kHeader);
  out.append('\n');
  for (int i = 0; i < preamble_.count(); ++i) append_raw(out, preamble_[i], i + 1 < preamble_.count());
  for (const RegKey& key : keys_) {
    out.append_format("\n[%s]\n", key.path.c_str());
    for (int i = 0; i < key.entries.count(); ++i) {
      const RegEntry& entry = key.entries[i];
      if (entry.is_value) append_value(out, entry.value);
      else append_raw(out, entry.raw, i + 1 < key.entries.count());
    }
  }
  return out;
}

RegKey* RegDocument::find_key_mutable(const String& path) {
  String p = normal_path(path);
  for (RegKey& key : keys_)
    if (key.path.length() == p.length() && key.path.equals_ignore_case(p.c_str())) return &key;
  return nullptr;
}

const RegKey* RegDocument::find_key(const String& path) const {
  return const_cast<RegDocument*>(this)->find_key_mutable(path);
}

bool RegDocument::key_exists(const String& path) const {
  String p = normal_path(path);
  if (p.empty()) return false;
  for (const RegKey& key : keys_)
    if (is_at_or_below(key.path, p)) return true;
  return false;
}

RegKey* RegDocument::add_key(const String& path) {
  String p = normal_path(path);
  if (!path_fits(p)) return nullptr;
  if (RegKey* key = find_key_mutable(p)) return key;
  RegKey& key = keys_.append();
  key.path = p;
  return &key;
}

bool RegDocument::delete_key(const String& path) {
  String p = normal_path(path);
  bool found = false;
  for (int i = keys_.count() - 1; i >= 0; --i) {
    if (is_at_or_below(keys_[i].path, p)) {
      keys_.remove(i);
      found = true;
    }
  }
  return found;
}

const RegValue* RegDocument::find_value(const String& path, const String& name) const {
  const RegKey* key = find_key(path);
  if (!key) return nullptr;
  for (const RegEntry& entry : key->entries) {
    if (entry.is_value && entry.value.name.length() == name.length() &&
        entry.value.name.equals_ignore_case(name.c_str()))
      return &entry.value;
  }
  return nullptr;
}

bool RegDocument::set_value(const String& path, const String& name, uint32_t type,
                            const String& data) {
  if (holds_line_break_or_zero(name)) return false;
  RegKey* key = add_key(path);
  if (!key) return false;
  for (RegEntry& entry : key->entries) {
    if (entry.is_value && entry.value.name.length() == name.length() &&
        entry.value.name.equals_ignore_case(name.c_str())) {
      entry.value.type = type;
      entry.value.data = data;
      return true;
    }
  }
  RegEntry& entry = key->entries.append();
  entry.is_value = true;
  entry.value.name = name;
  entry.value.type = type;
  entry.value.data = data;
  return true;
}

bool RegDocument::delete_value(const String& path, const String& name) {
  RegKey* key = find_key_mutable(path);
  if (!key) return false;
  for (int i = 0; i < key->entries.count(); ++i) {
    const RegEntry& entry = key->entries[i];
    if (entry.is_value && entry.value.name.length() == name.length() &&
        entry.value.name.equals_ignore_case(name.c_str())) {
      key->entries.remove(i);
      return true;
    }
  }
  return false;
}

}  // namespace tessaline
