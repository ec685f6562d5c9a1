// glob_file.h - GlobFile, numbered records of named, typed fields.
//
// Project files and the settings file are glob files. A GlobFile keeps its
// records in the blocks of a HeapFile, so one record can be rewritten
// without rewriting the others. It works in two directions through the
// field-store interface: storing (begin_record, then transfer() and the
// array operations write fields as they come, end_record) and loading
// (load_record reads a record into memory; transfer() then fetches values
// by name, and begin_array/next_element/end_array walk nested records).
//
// Format, inside the heap file's blocks (all integers and floating-point
// numbers little-endian in their native widths):
//
//   glob header: the first heap block (data offset 27), 10 bytes
//     offset size  meaning
//     0      2     magic 0xBCF1 (bytes F1 BC)
//     2      4     slot table: data offset of its block, signed; 0 while none
//     6      4     slot count, signed
//
//   slot table: slot count entries of 4 bytes, the data offset of the block
//   holding that slot's record, 0 for an empty slot
//
//   record (and each nested record)
//     4 bytes      field count, signed (at most 10000)
//     the fields, one after the other:
//       1 byte     name length n (names are 1 to 255 bytes)
//       n bytes    name
//       1 byte     type code, with bit 0x80 set when the field holds exactly
//                  one value; then, when the bit is clear:
//       4 bytes    value count, signed (below 1: no values)
//       the values, count elements of the type:
//         code  element                          bytes
//         3     String                           4-byte signed length, bytes
//         7     signed 8-bit integer             1
//         12    unsigned 8-bit integer           1
//         26    signed 16-bit integer            2
//         29    unsigned 16-bit integer          2
//         46    32-bit integer                   4
//         68    32-bit floating point            4
//         81    64-bit floating point            8
//         103   String                           2-byte unsigned length, bytes
//         126   nested records (never with 0x80) count records as above
//
// Example: a record with the one field "a" holding the 32-bit value 5 is
// 01 00 00 00  01 61  AE  05 00 00 00.
//
// Storing writes a record in one streaming pass; counts known only at the
// end (fields, elements, element fields) are filled in at remembered
// positions. Loading reads the record as a stream from its offset and does
// not rely on the block's recorded size.
//
// Not for: more than one thread; holding values across load_record calls
// (each load replaces the current record).
//
// Failures: open() reports by code. Structural faults are fatal errors:
// "Error in GlobFile NAME:\nMESSAGE" ("Number of fields: %d", "Attempt to
// access illegal slot #%d (max=%d)", "Empty field name", "Arrays nested
// more than %d deep"), "GlobBucket::allocate type = %d\n%s"
// for an unknown type code, the heap's errors, and the File reading error
// "Read past end of file". A glob file may come from anywhere: every count
// and length is checked against the bytes left in the file before it is
// used for an allocation or a loop, so a damaged file ends in one of these
// errors and never allocates more than a small multiple of the file's size.
#pragma once

#include <cstdint>

#include "core/containers.h"
#include "core/string.h"
#include "core/var.h"
#include "storage/field_store.h"
#include "storage/heap_file.h"

namespace tessaline {

struct GlobBucket;
using GlobRecord = HashTable<GlobBucket, String>;

// One field of a loaded record.
struct GlobBucket {
  uint8_t type = 0;
  int32_t count = 0;  // elements held; 0 for a field without values
  String numbers;     // numeric types: the elements in their file encoding
  Vector<String> strings;     // types 3 and 103
  Array<GlobRecord> records;  // type 126

  // Element i as a Var of the type's value kind (string, character,
  // unsigned character, short, unsigned short, unsigned long, single,
  // double); false, leaving the value alone, past the count or for nested
  // records.
  bool get(int i, Var& value) const;
};

class GlobFile : public FieldStore {
 public:
  // open()'s codes.
  static constexpr int kOpened = 8;
  static constexpr int kCannotOpen = 13;
  static constexpr int kNotGlobFile = 18;

  enum Type : uint8_t {
    kString32 = 3,
    kInt8 = 7,
    kUInt8 = 12,
    kInt16 = 26,
    kUInt16 = 29,
    kInt32 = 46,
    kFloat = 68,
    kDouble = 81,
    kString16 = 103,
    kNested = 126,
  };
  static constexpr uint8_t kSingleValue = 0x80;
  static constexpr uint16_t kMagic = 0xBCF1;
  static constexpr int kHeaderSize = 10;
  static constexpr int32_t kMaxFields = 10000;
  static constexpr int kMaxNameLength = 255;
  static constexpr int kMaxNesting = 64;

  GlobFile() = default;
  GlobFile(const GlobFile&) = delete;
  GlobFile& operator=(const GlobFile&) = delete;

  // kNotGlobFile also covers a glob header whose slot table lies outside
  // the file; the file is then closed again.
  int open(const String& name, bool exclusive);
  bool create(const String& name, bool exclusive);
  // A new glob file in memory only: storing into it cannot fail for want
  // of disk space, and heap().memory_image() holds its bytes until close().
  bool create_in_memory(const String& name);
  bool close();
  bool is_open() const { return heap_.is_open(); }
  HeapFile& heap() { return heap_; }
  int32_t slot_count() const { return slot_count_; }
  // The data offset of the slot's record, 0 when empty; a slot outside
  // the table is the illegal-slot error.
  int32_t record_offset(int32_t slot);

  // --- loading ---
  // False when the file is not open or the slot is outside the table or
  // empty.
  bool load_record(int32_t slot);
  // The field of the cursor's record, or null.
  const GlobBucket* field(const String& name) const;
  const GlobRecord* cursor_record() const { return cursor_.record; }
  bool next_element();

  // --- storing ---
  void begin_record(int32_t slot);
  bool end_record();
  void begin_nested(const String& name);
  void begin_element();
  void end_element();
  void end_nested();

  // Typed writers: one field with count values; a count below 1, an empty
  // name or one longer than 255 bytes writes nothing and gives false.
  bool write_field(const String& name, const int8_t* values, int count);
  bool write_field(const String& name, const uint8_t* values, int count);
  bool write_field(const String& name, const int16_t* values, int count);
  bool write_field(const String& name, const uint16_t* values, int count);
  bool write_field(const String& name, const int32_t* values, int count);
  bool write_field(const String& name, const uint32_t* values, int count);
  bool write_field(const String& name, const float* values, int count);
  bool write_field(const String& name, const double* values, int count);
  // Type 103; a text longer than 65535 bytes makes the field type 3, so
  // that nothing is cut.
  bool write_field(const String& name, const String* values, int count);
  // Write nothing for a 0 or an empty text.
  bool write_unless_default(const String& name, int8_t value);
  bool write_unless_default(const String& name, int32_t value);
  bool write_unless_default(const String& name, const String& value);

  // --- the field store ---
  void end_array() override;
  bool transfer(const String& name, Var& value) override;
  bool begin_array(const String& name) override;

 private:
  struct Cursor {
    GlobRecord* record = nullptr;
    GlobBucket* array = nullptr;  // the nested field being walked
    int index = 0;
  };

  [[noreturn]] void glob_error(const char* format, ...) __attribute__((format(printf, 2, 3)));
  bool write_header();
  bool start_new();  // the header of a new, empty glob file
  int32_t read_slot(int32_t slot);
  bool write_slot(int32_t slot, int32_t offset);
  void reset_loading();

  // Streaming writes go through a buffer that is flushed before the heap
  // moves the block.
  int64_t position() const { return pending_start_ + pending_length_; }
  void put(const void* bytes, int n);
  void put32(int32_t value);
  void patch32(int64_t at, int32_t value);
  void flush_pending();
  bool begin_field(const String& name, uint8_t type, int count);
  bool write_raw_field(const String& name, uint8_t type, int count, const String& encoded);
  bool write_texts(const String& name, const String* values, int count);

  HeapFile heap_;
  int32_t table_ = 0;
  int32_t slot_count_ = 0;

  GlobRecord current_;
  Cursor cursor_;
  Stack<Cursor> enclosing_;

  bool writing_ = false;
  int32_t slot_ = 0;
  int32_t field_count_ = 0;
  int32_t element_count_ = 0;
  Stack<int64_t> count_positions_;
  Stack<int32_t> saved_counts_;
  String pending_;           // kWriteChunk bytes once used; pending_length_ of them hold data
  int pending_length_ = 0;
  int64_t pending_start_ = 0;  // the file position of pending_'s first byte
};

}  // namespace tessaline
