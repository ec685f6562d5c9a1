#include "storage/heap_file.h"

#include <cstdarg>
#include <cstdint>

#include "core/fatal_error.h"

namespace tessaline {

namespace {

constexpr int64_t kMaxOffset = INT32_MAX;

void put16(unsigned char* p, uint16_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}

void put32(unsigned char* p, int32_t value) {
  uint32_t v = static_cast<uint32_t>(value);
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

int32_t get32(const unsigned char* p) {
  return static_cast<int32_t>(p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24));
}

}  // namespace

void HeapFile::heap_error(const char* format, ...) {
  String message;
  va_list args;
  va_start(args, format);
  message.append_vformat(format, args);
  va_end(args);
  FatalError("Error in HeapFile %s:\n%s", name().c_str(), message.c_str());
}

void HeapFile::corrupt() { FatalError("HeapFile is corrupt"); }

void HeapFile::require_open() {
  if (!is_open()) FatalError("Attempt to access a HeapFile that is not open.");
}

bool HeapFile::inside_file(int64_t from, int64_t n) {
  if (from < 0 || n < 0) return false;
  if (from + n <= known_size_) return true;
  // The file grows under the caller's writes; measure again before saying no.
  known_size_ = size();
  return from + n <= known_size_;
}

int HeapFile::open(const String& file_name, bool exclusive) {
  if (!open_existing(file_name, true, true, exclusive)) return kCannotOpen;
  unsigned char header[kHeaderSize];
  bool readable = seek(0) && read(header, kHeaderSize);
  uint16_t magic = static_cast<uint16_t>(header[0] | (header[1] << 8));
  if (!readable || magic != kMagic) {
    close();
    return kWrongMagic;
  }
  first_node_ = get32(header + 2);
  last_node_ = get32(header + 6);
  known_size_ = size();
  // No block yet, or a chain that starts at 10 and ends inside the file.
  bool empty = first_node_ < 1;
  bool chained = first_node_ == kHeaderSize && last_node_ >= kHeaderSize &&
                 last_node_ + int64_t{kNodeSize} <= known_size_;
  if (!empty && !chained) {
    close();
    return kWrongMagic;
  }
  if (empty) first_node_ = last_node_ = 0;
  return kOpened;
}

bool HeapFile::create(const String& file_name, bool exclusive) {
  if (!File::create(file_name, exclusive)) return false;
  return start_empty();
}

bool HeapFile::create_in_memory(const String& name) {
  open_in_memory(name);
  return start_empty();
}

bool HeapFile::start_empty() {
  first_node_ = last_node_ = 0;
  if (!write_header()) {
    close();
    return false;
  }
  known_size_ = kHeaderSize;
  return true;
}

bool HeapFile::write_header() {
  unsigned char header[kHeaderSize];
  put16(header, kMagic);
  put32(header + 2, first_node_);
  put32(header + 6, last_node_);
  return seek(0) && write(header, kHeaderSize);
}

HeapFile::Node HeapFile::read_node(int32_t p) {
  require_open();
  if (p < kHeaderSize || !inside_file(p, kNodeSize)) corrupt();
  unsigned char bytes[kNodeSize];
  if (!seek(p) || !read(bytes, kNodeSize)) corrupt();
  Node node;
  node.offset = p;
  node.state = bytes[0];
  node.size = get32(bytes + 1);
  node.capacity = get32(bytes + 5);
  node.next = get32(bytes + 9);
  node.previous = get32(bytes + 13);
  if (node.state != kInUse && node.state != kFree) {
    FatalError("Bad HeapFile (%s) node %ld", name().c_str(), static_cast<long>(p));
  }
  if (node.size < 0 || node.capacity < 0 || node.capacity < node.size) {
    FatalError("HeapFile Block (%ld) bad size (%d, %d)", static_cast<long>(p), node.size,
               node.capacity);
  }
  // The links run in file order: the next node starts after this one's data
  // area, the previous one ends before this node. Anything else would let a
  // walk loop or nodes overlap.
  int64_t data_end = int64_t{p} + kNodeSize + node.capacity;
  if (data_end > kMaxOffset) corrupt();
  if (node.next > 0 && node.next < data_end) corrupt();
  if (node.previous > 0 && int64_t{node.previous} + kNodeSize > p) corrupt();
  return node;
}

HeapFile::Node HeapFile::read_used_node(int32_t data_offset, const char* unused_message) {
  Node node = read_node(data_offset - kNodeSize);
  if (node.state != kInUse) heap_error("%s", unused_message);
  return node;
}

bool HeapFile::write_node(const Node& node) {
  unsigned char bytes[kNodeSize];
  bytes[0] = node.state;
  put32(bytes + 1, node.size);
  put32(bytes + 5, node.capacity);
  put32(bytes + 9, node.next);
  put32(bytes + 13, node.previous);
  return seek(node.offset) && write(bytes, kNodeSize);
}

void HeapFile::mark_absorbed(int32_t p) {
  unsigned char zero = 0;
  if (seek(p)) write(&zero, 1);
}

void HeapFile::relink_after(int32_t next, int32_t previous) {
  if (next > 0) {
    Node after = read_node(next);
    after.previous = previous;
    write_node(after);
  } else {
    last_node_ = previous;
    write_header();
  }
}

void HeapFile::insert_free_node(Node& node) {
  if (node.next <= 0) heap_error("insert_free_node");
  Node free_node;
  free_node.offset = node.offset + kNodeSize + node.size;
  free_node.state = kFree;
  free_node.size = 0;
  free_node.capacity = node.capacity - node.size - kNodeSize;
  free_node.next = node.next;
  free_node.previous = node.offset;
  Node following = read_node(node.next);
  if (following.state == kInUse) {
    following.previous = free_node.offset;
    write_node(following);
    write_node(free_node);
  } else {
    free_node.capacity += following.capacity + kNodeSize;
    free_node.next = following.next;
    mark_absorbed(following.offset);
    write_node(free_node);
    relink_after(following.next, free_node.offset);
  }
  node.capacity = node.size;
  node.next = free_node.offset;
}

int32_t HeapFile::add_block(int32_t n) {
  require_open();
  if (n < 1) heap_error("Cannot add a block of size %ld.", static_cast<long>(n));
  Node node;
  if (first_node_ < 1) {
    if (kHeaderSize + int64_t{kNodeSize} + n > kMaxOffset) {
      heap_error("Cannot add a block of size %ld.", static_cast<long>(n));
    }
    node.offset = kHeaderSize;
    node.capacity = n;
    first_node_ = kHeaderSize;
  } else {
    int32_t p = first_node_;
    for (;;) {
      Node current = read_node(p);
      if (current.state == kFree && current.next <= 0) {
        // The free last node grows or shrinks to whatever is asked.
        if (current.offset + int64_t{kNodeSize} + n > kMaxOffset) {
          heap_error("Cannot add a block of size %ld.", static_cast<long>(n));
        }
        node = current;
        node.capacity = n;
        break;
      }
      if (current.state == kFree && current.capacity >= n) {
        node = current;
        if (node.capacity - n >= kMinSplit) {
          node.size = n;
          insert_free_node(node);
        }
        break;
      }
      if (current.next <= 0) {
        // Past the last node: a new one goes right after its data.
        int64_t at = current.offset + int64_t{kNodeSize} + current.size;
        if (at + kNodeSize + n > kMaxOffset) {
          heap_error("Cannot add a block of size %ld.", static_cast<long>(n));
        }
        current.capacity = current.size;
        current.next = static_cast<int32_t>(at);
        write_node(current);
        node.offset = current.next;
        node.capacity = n;
        node.next = 0;
        node.previous = current.offset;
        break;
      }
      p = current.next;
    }
  }
  node.state = kInUse;
  node.size = n;
  write_node(node);
  if (node.next <= 0) {
    last_node_ = node.offset;
    write_header();
  }
  return node.offset + kNodeSize;
}

int32_t HeapFile::alloc(int32_t n, const void* data) {
  require_open();
  if (n < 0) heap_error("HeapFile::alloc(%d)", n);
  int32_t offset = add_block(n);
  seek(offset);
  if (data) write_or_fail(data, n);
  return offset;
}

int32_t HeapFile::realloc(int32_t offset, int32_t n) {
  require_open();
  if (offset <= 0) return add_block(n);
  if (n < 1) heap_error("Cannot realloc block to %ld", static_cast<long>(n));
  Node node = read_used_node(offset, "Attempt to realloc an unused block");
  if (n == node.size) return offset;
  if (node.next <= 0) {
    // The last block grows into the end of the file, or leaves its tail idle.
    if (node.offset + int64_t{kNodeSize} + n > kMaxOffset) {
      heap_error("Cannot realloc block to %ld", static_cast<long>(n));
    }
    node.size = node.capacity = n;
    write_node(node);
    return offset;
  }
  if (n <= node.capacity) {
    node.size = n;
    if (node.capacity - n >= kMinSplit) insert_free_node(node);
    write_node(node);
    return offset;
  }
  String data = load(offset);
  remove(offset);
  int32_t moved = add_block(n);
  seek(moved);
  write_or_fail(data.c_str(), data.length());
  return moved;
}

bool HeapFile::remove(int32_t offset) {
  require_open();
  Node node = read_used_node(offset, "Attempt to remove an unused block.");
  if (node.next > 0) {
    Node following = read_node(node.next);
    if (following.state == kFree) {
      node.capacity += following.capacity + kNodeSize;
      node.next = following.next;
      mark_absorbed(following.offset);
      relink_after(following.next, node.offset);
    }
  }
  if (node.previous > 0) {
    Node before = read_node(node.previous);
    if (before.next != node.offset) corrupt();
    if (before.state == kFree) {
      before.capacity += node.capacity + kNodeSize;
      before.next = node.next;
      mark_absorbed(node.offset);
      write_node(before);
      relink_after(node.next, before.offset);
      return true;
    }
  }
  node.state = kFree;
  node.size = 0;
  return write_node(node);
}

String HeapFile::load(int32_t offset) {
  require_open();
  Node node = read_node(offset - kNodeSize);
  if (node.state != kInUse) {
    FatalError("HeapFile (%s): attempt to load an unused block @ %ld", name().c_str(),
               static_cast<long>(node.offset));
  }
  String data;
  if (node.size == 0) return data;
  // The size is checked against the file before anything is allocated.
  if (!inside_file(offset, node.size)) corrupt();
  char* buffer = data.extend(node.size);
  seek(offset);
  read_or_fail(buffer, node.size);
  return data;
}

HeapFile& HeapFile::begin_write() {
  require_open();
  if (first_node_ < 1) {
    seek(add_block(10));
    return *this;
  }
  Node last = read_node(last_node_);
  if (last.next > 0) corrupt();
  if (last.state == kInUse) {
    int64_t at = last.offset + int64_t{kNodeSize} + last.size;
    if (at + kNodeSize > kMaxOffset) heap_error("Cannot add a block of size %ld.", 0L);
    last.capacity = last.size;
    last.next = static_cast<int32_t>(at);
    write_node(last);
    Node fresh;
    fresh.offset = last.next;
    fresh.state = kInUse;
    fresh.previous = last.offset;
    write_node(fresh);
    last_node_ = fresh.offset;
    write_header();
  }
  seek(last_node_ + kNodeSize);
  return *this;
}

int32_t HeapFile::end_write() {
  require_open();
  int64_t length = tell() - last_node_ - kNodeSize;
  if (length < 0 || last_node_ + kNodeSize + length > kMaxOffset) {
    heap_error("end_write() failure %ld", static_cast<long>(length));
  }
  Node last = read_node(last_node_);
  last.state = kInUse;
  last.size = last.capacity = static_cast<int32_t>(length);
  write_node(last);
  int32_t offset = last.offset + kNodeSize;
  // An empty stream stays where it is: there is nothing to move.
  if (length == 0) return offset;
  String data = load(offset);
  remove(offset);
  return alloc(data.length(), data.c_str());
}

bool HeapFile::seek_first_block() {
  require_open();
  if (first_node_ < 1) return false;
  return seek(first_block());
}

}  // namespace tessaline
