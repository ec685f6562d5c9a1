#include "storage/glob_file.h"

#include <cstdarg>
#include <cstring>
#include <type_traits>

#include "core/fatal_error.h"

namespace tessaline {

namespace {

constexpr int kReadChunk = 65536;
constexpr int kWriteChunk = 65536;

void encode32(unsigned char* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

uint32_t decode(const char* p, int width) {
  uint32_t v = 0;
  for (int i = 0; i < width; ++i) v |= static_cast<uint32_t>(static_cast<unsigned char>(p[i])) << (8 * i);
  return v;
}

uint64_t decode64(const char* p) {
  return decode(p, 4) | (static_cast<uint64_t>(decode(p + 4, 4)) << 32);
}

// Bytes per element in the file; for texts, the least an element can take.
int element_width(int type) {
  switch (type) {
    case GlobFile::kInt8:
    case GlobFile::kUInt8: return 1;
    case GlobFile::kInt16:
    case GlobFile::kUInt16:
    case GlobFile::kString16: return 2;
    case GlobFile::kInt32:
    case GlobFile::kFloat:
    case GlobFile::kString32:
    case GlobFile::kNested: return 4;  // a nested record's field count
    case GlobFile::kDouble: return 8;
    default: return 0;
  }
}

// Little-endian encodings of the typed writers' values.
template <typename T>
String encode_values(const T* values, int count) {
  String out;
  for (int i = 0; i < count; ++i) {
    uint64_t bits = 0;
    if constexpr (std::is_floating_point_v<T>) {
      if constexpr (sizeof(T) == 4) {
        uint32_t b;
        std::memcpy(&b, &values[i], 4);
        bits = b;
      } else {
        std::memcpy(&bits, &values[i], 8);
      }
    } else {
      bits = static_cast<uint64_t>(static_cast<std::make_unsigned_t<T>>(values[i]));
    }
    for (size_t k = 0; k < sizeof(T); ++k) out.append(static_cast<char>(bits >> (8 * k)));
  }
  return out;
}

// Reads a record as a stream from the heap file, a chunk at a time. Every
// count is checked against the bytes left in the file before it is used.
class RecordReader {
 public:
  RecordReader(HeapFile& heap, int64_t start)
      : heap_(heap), file_size_(heap.size()), buffer_start_(start) {}

  int64_t remaining() const { return file_size_ - (buffer_start_ + cursor_); }

  // Fails as a read past the end would when fewer than n bytes are left.
  void need(int64_t n) {
    if (n > remaining()) fail("Read past end of file");
  }

  void read(void* out, int n) {
    need(n);
    char* to = static_cast<char*>(out);
    while (n > 0) {
      if (cursor_ == buffer_.length()) fill();
      int take = buffer_.length() - cursor_;
      if (take > n) take = n;
      std::memcpy(to, buffer_.c_str() + cursor_, take);
      cursor_ += take;
      to += take;
      n -= take;
    }
  }

  uint8_t u8() {
    unsigned char b;
    read(&b, 1);
    return b;
  }
  int32_t i32() {
    char b[4];
    read(b, 4);
    return static_cast<int32_t>(decode(b, 4));
  }
  uint16_t u16() {
    char b[2];
    read(b, 2);
    return static_cast<uint16_t>(decode(b, 2));
  }
  String bytes(int n) {
    need(n);
    String s;
    if (n > 0) read(s.extend(n), n);
    return s;
  }

  [[noreturn]] void fail(const char* reason) const {
    FatalError("An error has occurred while reading data from a file:\n%s\n\nFile: %s", reason,
               heap_.name().c_str());
  }

 private:
  void fill() {
    buffer_start_ += buffer_.length();
    cursor_ = 0;
    int64_t left = file_size_ - buffer_start_;
    int n = left < kReadChunk ? static_cast<int>(left) : kReadChunk;
    buffer_.set_length(n);
    if (n <= 0 || !heap_.seek(buffer_start_) || !heap_.read(buffer_.data(), n)) {
      fail(heap_.last_error().empty() ? "Read past end of file" : heap_.last_error().c_str());
    }
  }

  HeapFile& heap_;
  int64_t file_size_;
  String buffer_;
  int64_t buffer_start_;
  int cursor_ = 0;
};

class RecordParser {
 public:
  RecordParser(GlobFile& glob, RecordReader& in) : glob_(glob), in_(in) {}

  void record(GlobRecord& out, int depth);

 private:
  [[noreturn]] void glob_error(const String& message) {
    FatalError("Error in GlobFile %s:\n%s", glob_.heap().name().c_str(), message.c_str());
  }
  void values(GlobBucket& bucket, const String& name, int32_t count, int depth);

  GlobFile& glob_;
  RecordReader& in_;
};

void RecordParser::record(GlobRecord& out, int depth) {
  int32_t n = in_.i32();
  out.clear();
  if (n == 0) return;
  if (n < 0 || n > GlobFile::kMaxFields) glob_error(String::formatted("Number of fields: %d", n));
  // A field takes at least a length byte, one name byte and a code byte.
  in_.need(int64_t{n} * 3);
  out.init(n + 1);
  for (int32_t i = 0; i < n; ++i) {
    int length = in_.u8();
    if (length == 0) glob_error("Empty field name");
    String name = in_.bytes(length);
    GlobBucket& bucket = out.add_bucket(name);
    uint8_t code = in_.u8();
    int32_t count = 1;
    if (code & GlobFile::kSingleValue) {
      bucket.type = code & 0x7f;
    } else {
      bucket.type = code;
      count = in_.i32();
    }
    if (count >= 1) values(bucket, name, count, depth);
  }
}

void RecordParser::values(GlobBucket& bucket, const String& name, int32_t count, int depth) {
  int width = element_width(bucket.type);
  if (width == 0) FatalError("GlobBucket::allocate type = %d\n%s", bucket.type, name.c_str());
  // Every element takes at least `width` bytes: the count must fit in what
  // is left of the file before anything is allocated for it.
  in_.need(int64_t{count} * width);
  switch (bucket.type) {
    case GlobFile::kString16:
    case GlobFile::kString32:
      bucket.strings.set_count(count);
      for (int32_t i = 0; i < count; ++i) {
        int32_t length = bucket.type == GlobFile::kString16 ? in_.u16() : in_.i32();
        if (length < 0) in_.fail(String::formatted("Illegal block size %d", length).c_str());
        bucket.strings[i] = in_.bytes(length);
      }
      break;
    case GlobFile::kNested:
      if (depth >= GlobFile::kMaxNesting) {
        glob_error(String::formatted("Arrays nested more than %d deep", GlobFile::kMaxNesting));
      }
      bucket.records.set_count(count);
      for (int32_t i = 0; i < count; ++i) record(bucket.records[i], depth + 1);
      break;
    default:
      bucket.numbers = in_.bytes(count * width);
      break;
  }
  bucket.count = count;
}

}  // namespace

bool GlobBucket::get(int i, Var& value) const {
  if (i < 0 || i >= count) return false;
  if (type == GlobFile::kString16 || type == GlobFile::kString32) {
    value.set_string(strings[i]);
    return true;
  }
  int width = element_width(type);
  if (type == GlobFile::kNested || width == 0 || numbers.length() < (i + 1) * width) return false;
  const char* p = numbers.c_str() + i * width;
  switch (type) {
    case GlobFile::kInt8: value.set_int8(static_cast<int8_t>(decode(p, 1))); break;
    case GlobFile::kUInt8: value.set_uint8(static_cast<uint8_t>(decode(p, 1))); break;
    case GlobFile::kInt16: value.set_int16(static_cast<int16_t>(decode(p, 2))); break;
    case GlobFile::kUInt16: value.set_uint16(static_cast<uint16_t>(decode(p, 2))); break;
    case GlobFile::kInt32: value.set_uint32(decode(p, 4)); break;
    case GlobFile::kFloat: {
      uint32_t bits = decode(p, 4);
      float x;
      std::memcpy(&x, &bits, 4);
      value.set_float(x);
      break;
    }
    case GlobFile::kDouble: {
      uint64_t bits = decode64(p);
      double x;
      std::memcpy(&x, &bits, 8);
      value.set_double(x);
      break;
    }
    default: return false;
  }
  return true;
}

}  // namespace tessaline

namespace tessaline {

void GlobFile::glob_error(const char* format, ...) {
  String message;
  va_list args;
  va_start(args, format);
  message.append_vformat(format, args);
  va_end(args);
  FatalError("Error in GlobFile %s:\n%s", heap_.name().c_str(), message.c_str());
}

int GlobFile::open(const String& name, bool exclusive) {
  close();
  int code = heap_.open(name, exclusive);
  if (code == HeapFile::kCannotOpen) return kCannotOpen;
  if (code != HeapFile::kOpened) return kNotGlobFile;
  unsigned char header[kHeaderSize];
  bool valid = heap_.first_node() == HeapFile::kHeaderSize &&
               heap_.read_at(heap_.first_block(), header, kHeaderSize) &&
               decode(reinterpret_cast<const char*>(header), 2) == kMagic;
  if (valid) {
    table_ = static_cast<int32_t>(decode(reinterpret_cast<const char*>(header) + 2, 4));
    slot_count_ = static_cast<int32_t>(decode(reinterpret_cast<const char*>(header) + 6, 4));
    // The slot table must lie inside the file, or walking the slots would
    // read what is not there.
    int64_t table_end = int64_t{table_} + int64_t{slot_count_} * 4;
    valid = slot_count_ == 0 ||
            (slot_count_ > 0 && table_ >= heap_.first_block() && table_end <= heap_.size());
  }
  if (!valid) {
    heap_.close();
    table_ = slot_count_ = 0;
    return kNotGlobFile;
  }
  storing_ = false;
  return kOpened;
}

bool GlobFile::create(const String& name, bool exclusive) {
  close();
  return heap_.create(name, exclusive) && start_new();
}

bool GlobFile::create_in_memory(const String& name) {
  close();
  return heap_.create_in_memory(name) && start_new();
}

bool GlobFile::start_new() {
  table_ = slot_count_ = 0;
  int32_t offset = heap_.add_block(kHeaderSize);
  TESSALINE_CHECK(offset == heap_.first_block(), "Globfile");
  if (!write_header()) {
    heap_.close();
    return false;
  }
  storing_ = true;
  return true;
}

bool GlobFile::close() {
  reset_loading();
  current_.clear();
  writing_ = false;
  pending_.clear();
  pending_length_ = 0;
  count_positions_.clear();
  saved_counts_.clear();
  table_ = slot_count_ = 0;
  return heap_.is_open() ? heap_.close() : true;
}

bool GlobFile::write_header() {
  unsigned char header[kHeaderSize];
  header[0] = static_cast<unsigned char>(kMagic);
  header[1] = static_cast<unsigned char>(kMagic >> 8);
  encode32(header + 2, static_cast<uint32_t>(table_));
  encode32(header + 6, static_cast<uint32_t>(slot_count_));
  return heap_.write_at(heap_.first_block(), header, kHeaderSize);
}

int32_t GlobFile::read_slot(int32_t slot) {
  char entry[4];
  if (!heap_.read_at(int64_t{table_} + int64_t{slot} * 4, entry, 4)) {
    FatalError("An error has occurred while reading data from a file:\n%s\n\nFile: %s",
               heap_.last_error().c_str(), heap_.name().c_str());
  }
  return static_cast<int32_t>(decode(entry, 4));
}

bool GlobFile::write_slot(int32_t slot, int32_t offset) {
  unsigned char entry[4];
  encode32(entry, static_cast<uint32_t>(offset));
  return heap_.write_at(int64_t{table_} + int64_t{slot} * 4, entry, 4);
}

int32_t GlobFile::record_offset(int32_t slot) {
  if (slot < 0 || slot >= slot_count_) {
    glob_error("Attempt to access illegal slot #%d (max=%d)", slot, slot_count_ - 1);
  }
  return read_slot(slot);
}

void GlobFile::reset_loading() {
  cursor_ = Cursor{};
  enclosing_.clear();
}

// --- loading ----------------------------------------------------------------

bool GlobFile::load_record(int32_t slot) {
  TESSALINE_CHECK(!writing_, "Globfile");
  if (!is_open() || slot < 0 || slot >= slot_count_) return false;
  int32_t offset = read_slot(slot);
  if (offset <= 0) return false;
  storing_ = false;
  reset_loading();
  RecordReader in(heap_, offset);
  RecordParser parser(*this, in);
  parser.record(current_, 0);
  cursor_.record = &current_;
  return true;
}

const GlobBucket* GlobFile::field(const String& name) const {
  return cursor_.record ? cursor_.record->find(name) : nullptr;
}

bool GlobFile::next_element() {
  if (!cursor_.array) return false;
  if (cursor_.index + 1 < cursor_.array->count) {
    ++cursor_.index;
    cursor_.record = &cursor_.array->records[cursor_.index];
    return true;
  }
  cursor_.record = nullptr;
  return false;
}

// --- storing ----------------------------------------------------------------

void GlobFile::put(const void* bytes, int n) {
  if (n <= 0) return;
  // A piece is never split between the file and the buffer, so a count
  // patched later lies wholly in one of them.
  if (pending_length_ + n > kWriteChunk) flush_pending();
  if (n > kWriteChunk) {
    heap_.seek(pending_start_);
    heap_.write_or_fail(bytes, n);
    pending_start_ += n;
    return;
  }
  if (pending_.length() < kWriteChunk) pending_.set_length(kWriteChunk);
  std::memcpy(pending_.data() + pending_length_, bytes, n);
  pending_length_ += n;
}

void GlobFile::put32(int32_t value) {
  unsigned char b[4];
  encode32(b, static_cast<uint32_t>(value));
  put(b, 4);
}

void GlobFile::patch32(int64_t at, int32_t value) {
  unsigned char b[4];
  encode32(b, static_cast<uint32_t>(value));
  if (at >= pending_start_) {
    std::memcpy(pending_.data() + (at - pending_start_), b, 4);
  } else if (!heap_.write_at(at, b, 4)) {
    FatalError("An error has occurred while writing data to a file:\n%s", heap_.last_error().c_str());
  }
}

void GlobFile::flush_pending() {
  if (pending_length_ == 0) return;
  heap_.seek(pending_start_);
  heap_.write_or_fail(pending_.c_str(), pending_length_);
  pending_start_ += pending_length_;
  pending_length_ = 0;
}

void GlobFile::begin_record(int32_t slot) {
  TESSALINE_CHECK(!writing_, "Globfile");
  if (slot < 0) glob_error("Attempt to access illegal slot #%d (max=%d)", slot, slot_count_ - 1);
  if (slot >= slot_count_) {
    if (slot >= (INT32_MAX - heap_.first_block()) / 4) {
      glob_error("Attempt to access illegal slot #%d (max=%d)", slot, slot_count_ - 1);
    }
    int32_t size = (slot + 1) * 4;
    table_ = table_ > 0 ? heap_.realloc(table_, size) : heap_.add_block(size);
    String zeros;
    zeros.set_length((slot + 1 - slot_count_) * 4);
    std::memset(zeros.data(), 0, zeros.length());
    heap_.seek(int64_t{table_} + int64_t{slot_count_} * 4);
    heap_.write_or_fail(zeros.c_str(), zeros.length());
    slot_count_ = slot + 1;
    write_header();
  } else {
    int32_t old = read_slot(slot);
    if (old > 0) {
      heap_.remove(old);
      write_slot(slot, 0);
    }
  }
  heap_.begin_write();
  pending_start_ = heap_.tell();
  pending_length_ = 0;
  count_positions_.clear();
  saved_counts_.clear();
  writing_ = true;
  storing_ = true;
  slot_ = slot;
  field_count_ = 0;
  element_count_ = 0;
  put32(0);  // the field count, filled in by end_record
}

bool GlobFile::end_record() {
  TESSALINE_CHECK(writing_ && count_positions_.empty(), "Globfile");
  flush_pending();
  writing_ = false;
  int32_t offset = heap_.end_write();
  unsigned char b[4];
  encode32(b, static_cast<uint32_t>(field_count_));
  bool ok = write_slot(slot_, offset) && heap_.write_at(offset, b, 4);
  storing_ = false;
  return ok;
}

bool GlobFile::begin_field(const String& name, uint8_t type, int count) {
  TESSALINE_CHECK(writing_, "Globfile");
  // A name the loader would refuse, or cut into another's, is not written.
  if (name.empty() || name.length() > kMaxNameLength) return false;
  unsigned char length = static_cast<unsigned char>(name.length());
  put(&length, 1);
  put(name.c_str(), name.length());
  if (count == 1 && type != kNested) {
    uint8_t code = type | kSingleValue;
    put(&code, 1);
  } else {
    put(&type, 1);
    if (type != kNested) put32(count);
  }
  return true;
}

bool GlobFile::write_raw_field(const String& name, uint8_t type, int count, const String& encoded) {
  if (count < 1 || !begin_field(name, type, count)) return false;
  put(encoded.c_str(), encoded.length());
  ++field_count_;
  return true;
}

bool GlobFile::write_texts(const String& name, const String* values, int count) {
  if (count < 1) return false;
  bool long_text = false;
  for (int i = 0; i < count; ++i) long_text |= values[i].length() > 0xffff;
  uint8_t type = long_text ? kString32 : kString16;
  if (!begin_field(name, type, count)) return false;
  for (int i = 0; i < count; ++i) {
    unsigned char length[4];
    encode32(length, static_cast<uint32_t>(values[i].length()));
    put(length, long_text ? 4 : 2);
    put(values[i].c_str(), values[i].length());
  }
  ++field_count_;
  return true;
}

void GlobFile::begin_nested(const String& name) {
  TESSALINE_CHECK(begin_field(name, kNested, 0), "Globfile");
  count_positions_.push(position());
  put32(0);
  saved_counts_.push(element_count_);
  element_count_ = 0;
}

void GlobFile::begin_element() {
  count_positions_.push(position());
  put32(0);
  saved_counts_.push(field_count_);
  field_count_ = 0;
}

void GlobFile::end_element() {
  patch32(count_positions_.pop(), field_count_);
  field_count_ = saved_counts_.pop();
  ++element_count_;
}

void GlobFile::end_nested() {
  patch32(count_positions_.pop(), element_count_);
  element_count_ = saved_counts_.pop();
  ++field_count_;
}

bool GlobFile::write_field(const String& name, const int8_t* v, int n) {
  return write_raw_field(name, kInt8, n, encode_values(v, n));
}
bool GlobFile::write_field(const String& name, const uint8_t* v, int n) {
  return write_raw_field(name, kUInt8, n, encode_values(v, n));
}
bool GlobFile::write_field(const String& name, const int16_t* v, int n) {
  return write_raw_field(name, kInt16, n, encode_values(v, n));
}
bool GlobFile::write_field(const String& name, const uint16_t* v, int n) {
  return write_raw_field(name, kUInt16, n, encode_values(v, n));
}
bool GlobFile::write_field(const String& name, const int32_t* v, int n) {
  return write_raw_field(name, kInt32, n, encode_values(v, n));
}
bool GlobFile::write_field(const String& name, const uint32_t* v, int n) {
  return write_raw_field(name, kInt32, n, encode_values(v, n));
}
bool GlobFile::write_field(const String& name, const float* v, int n) {
  return write_raw_field(name, kFloat, n, encode_values(v, n));
}
bool GlobFile::write_field(const String& name, const double* v, int n) {
  return write_raw_field(name, kDouble, n, encode_values(v, n));
}
bool GlobFile::write_field(const String& name, const String* v, int n) {
  return write_texts(name, v, n);
}

bool GlobFile::write_unless_default(const String& name, int8_t value) {
  return value != 0 && write_field(name, &value, 1);
}
bool GlobFile::write_unless_default(const String& name, int32_t value) {
  return value != 0 && write_field(name, &value, 1);
}
bool GlobFile::write_unless_default(const String& name, const String& value) {
  return !value.empty() && write_field(name, &value, 1);
}

// --- the field store ----------------------------------------------------------

bool GlobFile::transfer(const String& name, Var& value) {
  if (!storing_) {
    const GlobBucket* bucket = field(name);
    if (!bucket) return false;
    bucket->get(0, value);
    return true;
  }
  switch (value.type()) {
    case kTypeBool:
    case kTypeInt8: {
      int8_t v = value.as_char();
      return write_field(name, &v, 1);
    }
    case kTypeUInt8: {
      uint8_t v = value.as_uint8();
      return write_field(name, &v, 1);
    }
    case kTypeInt16: {
      int16_t v = value.as_int16();
      return write_field(name, &v, 1);
    }
    case kTypeUInt16: {
      uint16_t v = value.as_uint16();
      return write_field(name, &v, 1);
    }
    case kTypeInt32:
    case kTypeUInt32: {
      int32_t v = value.integer_field();
      return write_field(name, &v, 1);
    }
    case kTypeFloat: {
      float v = value.as_float();
      return write_field(name, &v, 1);
    }
    case kTypeDouble: {
      double v = value.as_double();
      return write_field(name, &v, 1);
    }
    case kTypeString:
    case kTypeText: {
      String text = value.as_text();
      return write_field(name, &text, 1);
    }
    case kTypeDate: {
      String text = value.formatted_date("m/d/y");
      return write_field(name, &text, 1);
    }
    case kTypeDateTime: {
      String text = value.formatted_date("m/d/y h:ii:ssap");
      return write_field(name, &text, 1);
    }
    default:
      return false;
  }
}

bool GlobFile::begin_array(const String& name) {
  if (storing_) {
    begin_nested(name);
    begin_element();
    return true;
  }
  GlobBucket* bucket = cursor_.record ? cursor_.record->find(name) : nullptr;
  if (!bucket || bucket->type != kNested || bucket->count < 1) return false;
  enclosing_.push(cursor_);
  cursor_ = Cursor{&bucket->records[0], bucket, 0};
  return true;
}

void GlobFile::end_array() {
  if (storing_) {
    end_element();
    end_nested();
    return;
  }
  if (!enclosing_.empty()) cursor_ = enclosing_.pop();
}

}  // namespace tessaline
