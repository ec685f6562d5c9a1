// heap_file.h - HeapFile, one disk file managed like a memory heap.
//
// A HeapFile holds variable-sized blocks that can be added, resized, freed
// and read back by their offset; freed space is kept in the chain of nodes
// and reused first-fit, so the glob file can rewrite one record without
// rewriting the whole file. A block is named by its data offset. Callers
// read and write a block's contents with the File operations after
// positioning the file at that offset.
//
// Format (all integers little-endian, offsets in bytes from the start):
//
//   header, 10 bytes at offset 0
//     offset size  meaning
//     0      2     magic 0xFA9E (bytes 9E FA)
//     2      4     first node offset, signed: 0 while no block exists, else 10
//     6      4     last node offset, signed: 0 while no block exists
//
//   node, 17 bytes, followed at once by its data area
//     offset size  meaning
//     0      1     state: 0xE9 in use, 0xC3 free (0 once absorbed by a neighbour)
//     1      4     size: bytes of data in use, signed
//     5      4     capacity: bytes of the data area, signed, >= size
//     9      4     next node offset, signed; <= 0 for the last node
//     13     4     previous node offset, signed; <= 0 for the first node
//
// Nodes follow each other without gaps: the node at p with capacity c is
// followed by the next at p + 17 + c, so the links run in file order. A
// block's data offset is its node offset + 17; the first block's is 27.
// Free neighbours are merged at once. A new heap file is exactly the
// 10 bytes 9E FA 00 00 00 00 00 00 00 00.
//
// Not for: anything that needs an index of free space (the walk is linear)
// or more than one thread.
//
// Failures: open() reports by code. Every structural fault is a fatal error:
// heap errors as "Error in HeapFile NAME:\nMESSAGE", node damage as
// "Bad HeapFile (NAME) node P", "HeapFile Block (P) bad size (S, C)" and
// "HeapFile is corrupt". Because a heap file may come from anywhere, every
// node is checked before it is trusted: it must lie inside the file, its
// links must point forward past its data area (next) or back before it
// (previous), and a block is loaded only when its data lies inside the
// file. So a damaged file ends in one of these errors; it can never make a
// walk loop, leave the file or allocate more than the file holds.
#pragma once

#include <cstdint>

#include "core/string.h"
#include "storage/file.h"

namespace tessaline {

class HeapFile : public File {
 public:
  // open()'s codes.
  static constexpr int kOpened = 7;
  static constexpr int kCannotOpen = 12;
  static constexpr int kWrongMagic = 17;

  static constexpr uint16_t kMagic = 0xFA9E;
  static constexpr int kHeaderSize = 10;
  static constexpr int kNodeSize = 17;
  static constexpr uint8_t kInUse = 0xE9;
  static constexpr uint8_t kFree = 0xC3;
  // A free node is split off only when at least this many bytes are left.
  static constexpr int kMinSplit = 58;

  // Opens an existing file for reading and writing and reads the header.
  // kWrongMagic also covers a header whose offsets no heap file can hold;
  // the file is then closed again.
  int open(const String& name, bool exclusive);
  // Creates or empties the file and writes an empty heap's header.
  bool create(const String& name, bool exclusive);
  // The same in memory only (File::open_in_memory); memory_image() then
  // holds the file's bytes.
  bool create_in_memory(const String& name);

  // Places a new in-use block of n bytes; its data is not written.
  int32_t add_block(int32_t n);
  // add_block, then positions the file at the block's data and writes n
  // bytes of `data` when given (a failed write is fatal).
  int32_t alloc(int32_t n, const void* data = nullptr);
  // Resizes a block, moving it when it cannot grow in place; an offset of
  // 0 or less acts as add_block. Returns the block's data offset.
  int32_t realloc(int32_t offset, int32_t n);
  // Frees a block and merges it with free neighbours.
  bool remove(int32_t offset);
  // The block's data; empty for a block of size 0.
  String load(int32_t offset);

  // Prepares the last block for streaming writes and positions the file at
  // its data; the caller writes any number of bytes there.
  HeapFile& begin_write();
  // Fixes the streamed block's size at the current position and moves it
  // into the first earlier hole that fits. Returns its data offset.
  int32_t end_write();

  int32_t first_block() const { return first_node_ + kNodeSize; }
  bool seek_first_block();

  int32_t first_node() const { return first_node_; }
  int32_t last_node() const { return last_node_; }

 private:
  struct Node {
    int32_t offset = 0;
    uint8_t state = 0;
    int32_t size = 0;
    int32_t capacity = 0;
    int32_t next = 0;
    int32_t previous = 0;
  };

  [[noreturn]] void heap_error(const char* format, ...) __attribute__((format(printf, 2, 3)));
  [[noreturn]] void corrupt();
  void require_open();
  // True when [from, from + n) lies inside the file as it is now.
  bool inside_file(int64_t from, int64_t n);

  Node read_node(int32_t p);
  Node read_used_node(int32_t data_offset, const char* unused_message);
  bool write_node(const Node& node);
  bool write_header();
  bool start_empty();  // the header of a new, empty heap
  void mark_absorbed(int32_t p);
  // Points the node after `after` (when there is one) back at `previous`;
  // with none, `previous` becomes the last node.
  void relink_after(int32_t next, int32_t previous);
  void insert_free_node(Node& node);

  int32_t first_node_ = 0;
  int32_t last_node_ = 0;
  int64_t known_size_ = 0;  // the file's size when last measured
};

}  // namespace tessaline
