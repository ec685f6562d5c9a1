// containers.h - Vector, Array, Stack, List and HashTable.
//
// The program's own containers. Their growth rules are part of how the
// program performs and are kept exactly: Vector grows by half until a step
// would pass 8 KB, then by 8 KB worth of slots, and keeps spare slots at the
// front so that insertion near the start is cheap; HashTable keeps its
// bucket count until its owner rehashes, and iterates in insertion order.
//
// Not for: thread-shared data (nothing here locks).
//
// Diagnostics: a bounds or state violation is a fatal error naming the
// element type: "Vector<T>[i]\nmax_index = n", "Stack<T>::pop",
// "Stack<T>::discard_top", "HashTable<T>::add_bucket(duplicate)".
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string_view>
#include <type_traits>
#include <utility>

#include "core/fatal_error.h"
#include "core/string.h"

namespace tessaline {

// A readable name of T for the container messages ("String", "int").
template <typename T>
constexpr std::string_view type_name() {
  std::string_view f = __PRETTY_FUNCTION__;
  auto start = f.find("T = ");
  if (start == std::string_view::npos) return "?";
  start += 4;
  auto end = f.find_first_of(";]", start);
  std::string_view name = f.substr(start, end - start);
  constexpr std::string_view ns = "tessaline::";
  while (name.starts_with(ns)) name.remove_prefix(ns.size());
  return name;
}

template <typename T>
String type_name_string() {
  return String(type_name<T>());
}

// A type whose objects may be moved to another address with memcpy, their
// old bytes then simply forgotten: true for trivially copyable types and for
// String, whose only resource is a heap buffer that no one points back into.
// Vector moves such elements with realloc and memmove instead of one by one.
template <typename T>
struct is_trivially_relocatable : std::is_trivially_copyable<T> {};
template <>
struct is_trivially_relocatable<String> : std::true_type {};

// ---------------------------------------------------------------------------
// Vector<T>: elements by value in one heap block; element i in slot
// front_gap + i.
template <typename T>
class Vector {
 public:
  using value_type = T;
  using CompareFunction = int (*)(const T&, const T&);

  Vector() = default;
  Vector(std::initializer_list<T> items) {
    for (const T& item : items) append(item);
  }
  Vector(const Vector& other) { copy_from(other); }
  Vector(Vector&& other) noexcept { take(other); }
  ~Vector() { release(); }
  Vector& operator=(const Vector& other) {
    if (this != &other) {
      release();
      copy_from(other);
    }
    return *this;
  }
  Vector& operator=(Vector&& other) noexcept {
    if (this != &other) {
      release();
      take(other);
    }
    return *this;
  }

  int count() const { return count_; }
  int size() const { return count_; }
  bool empty() const { return count_ == 0; }
  int capacity() const { return capacity_; }
  int front_gap() const { return gap_; }

  T& operator[](int i) {
    check_index(i);
    return slots_[gap_ + i];
  }
  const T& operator[](int i) const {
    check_index(i);
    return slots_[gap_ + i];
  }
  T& last() { return (*this)[count_ - 1]; }
  const T& last() const { return (*this)[count_ - 1]; }

  T* begin() { return slots_ ? slots_ + gap_ : nullptr; }
  T* end() { return slots_ ? slots_ + gap_ + count_ : nullptr; }
  const T* begin() const { return slots_ ? slots_ + gap_ : nullptr; }
  const T* end() const { return slots_ ? slots_ + gap_ + count_ : nullptr; }

  T& append(const T& item) { return emplace_at_end(item); }
  T& append(T&& item) { return emplace_at_end(std::move(item)); }
  T& append() { return emplace_at_end(); }

  // Inserts before index i (0..count; count appends).
  T& insert(int i, T item) {
    if (i < 0 || i > count_) {
      FatalError("Vector<%s>[%d]\nmax_index = %d", type_name_string<T>().c_str(), i, count_ - 1);
    }
    if (i == count_) return append(std::move(item));
    if (i == 0 && gap_ > 0) {
      --gap_;
      ++count_;
      return *new (slots_ + gap_) T(std::move(item));
    }
    ensure_room(count_ + 1);
    bool back_full = gap_ + count_ == capacity_;
    if (gap_ > 0 && (i < count_ / 2 || back_full)) {
      // The elements before i move one slot toward the front.
      T* base = slots_ + gap_;
      shift(base - 1, base, i);
      --gap_;
    } else {
      if (back_full) recentre();
      T* base = slots_ + gap_;
      shift(base + i + 1, base + i, count_ - i);
    }
    ++count_;
    return *new (slots_ + gap_ + i) T(std::move(item));
  }

  // Removes n elements from index i (clamped to the elements).
  void remove(int i, int n = 1) {
    if (i < 0) {
      n += i;
      i = 0;
    }
    if (n > count_ - i) n = count_ - i;
    if (n <= 0) return;
    if (n == count_) {
      clear();
      return;
    }
    T* base = slots_ + gap_;
    for (int k = i; k < i + n; ++k) base[k].~T();
    int after = count_ - i - n;
    if (i == 0) {
      gap_ += n;
    } else if (after == 0) {
      // only the count drops
    } else if (after < i) {
      move_into_gap(base + i, base + i + n, after);
    } else {
      move_into_gap(base + n, base, i);
      gap_ += n;
    }
    count_ -= n;
  }

  void clear() {
    destroy_all();
    std::free(slots_);
    slots_ = nullptr;
    count_ = gap_ = capacity_ = 0;
  }

  // Grows with default elements or drops the last ones.
  void set_count(int n) {
    if (n < 0) n = 0;
    if (n > count_) {
      ensure_room(n);
      if (gap_ + n > capacity_) recentre_to(0);
      for (int k = count_; k < n; ++k) new (slots_ + gap_ + k) T();
      count_ = n;
      return;
    }
    if (n == count_) return;
    if (n == 0) {
      clear();
      return;
    }
    for (int k = n; k < count_; ++k) slots_[gap_ + k].~T();
    count_ = n;
    int c = capacity_for(n);
    if (static_cast<long long>(capacity_ - c) * static_cast<long long>(sizeof(T)) >= 8192) {
      reallocate(c, (c - n) / 4);
    }
  }

  void sort(CompareFunction compare) {
    if (count_ > 1) quicksort(begin(), 0, count_ - 1, compare);
  }

  int find(const T& item) const {
    for (int i = 0; i < count_; ++i)
      if (slots_[gap_ + i] == item) return i;
    return -1;
  }

  // The capacity for n elements: half again as many, at least 6, and no
  // more than 8 KB of slots beyond n.
  static int capacity_for(int n) {
    long long c = 3LL * n / 2;
    if (c <= 6) return 6;
    if (c * static_cast<long long>(sizeof(T)) > 8192) {
      long long extra = 8192 / static_cast<long long>(sizeof(T));
      c = n + (extra > 0 ? extra : 1);
    }
    if (c > 0x7fffffff) out_of_memory(static_cast<size_t>(-1));
    return static_cast<int>(c);
  }

 private:
  void check_index(int i) const {
    if (i < 0 || i >= count_) {
      FatalError("Vector<%s>[%d]\nmax_index = %d", type_name_string<T>().c_str(), i, count_ - 1);
    }
  }

  template <typename... Args>
  T& emplace_at_end(Args&&... args) {
    if (count_ + 1 > capacity_) {
      // Construct first: args may refer to one of our own elements.
      T item(std::forward<Args>(args)...);
      int c = capacity_for(count_ + 1);
      reallocate(c, gap_ < c - count_ - 1 ? gap_ : c - count_ - 1);
      T* slot = new (slots_ + gap_ + count_) T(std::move(item));
      ++count_;
      return *slot;
    }
    if (gap_ + count_ == capacity_) {
      T item(std::forward<Args>(args)...);
      recentre();
      T* slot = new (slots_ + gap_ + count_) T(std::move(item));
      ++count_;
      return *slot;
    }
    T* slot = new (slots_ + gap_ + count_) T(std::forward<Args>(args)...);
    ++count_;
    return *slot;
  }

  void ensure_room(int n) {
    if (n > capacity_) reallocate(capacity_for(n), gap_);
  }

  // The back is full: the elements move so that the front gap becomes a
  // quarter of the spare slots.
  void recentre() {
    int spare = capacity_ - count_ - 1;
    int g = spare / 4;
    if (g < 0) g = 0;
    if (g > spare) g = spare < 0 ? 0 : spare;
    recentre_to(g);
  }

  void recentre_to(int new_gap) {
    if (new_gap == gap_) return;
    T* from = slots_ + gap_;
    T* to = slots_ + new_gap;
    shift(to, from, count_);
    gap_ = new_gap;
  }

  // Moves n live elements from `from` to `to` (ranges may overlap); the
  // source slots end up destroyed, the target slots constructed.
  static void shift(T* to, T* from, int n) {
    if (n <= 0 || to == from) return;
    if constexpr (kRelocatable) {
      std::memmove(static_cast<void*>(to), static_cast<const void*>(from), sizeof(T) * n);
    } else if (to < from) {
      for (int k = 0; k < n; ++k) {
        new (to + k) T(std::move(from[k]));
        from[k].~T();
      }
    } else {
      for (int k = n - 1; k >= 0; --k) {
        new (to + k) T(std::move(from[k]));
        from[k].~T();
      }
    }
  }

  // Like shift, into slots whose elements were already destroyed.
  static void move_into_gap(T* to, T* from, int n) { shift(to, from, n); }

  void reallocate(int new_capacity, int new_gap) {
    if (new_gap + count_ > new_capacity) new_gap = new_capacity - count_;
    if (new_gap < 0) new_gap = 0;
    size_t bytes = static_cast<size_t>(new_capacity) * sizeof(T);
    if constexpr (kRelocatable) {
      // realloc can often grow a large block in place or by remapping its
      // pages, which keeps the 8 KB growth steps from copying everything.
      if (new_capacity < capacity_) shift(slots_ + new_gap, slots_ + gap_, count_);
      slots_ = static_cast<T*>(checked_realloc(slots_, bytes));
      if (new_capacity >= capacity_) shift(slots_ + new_gap, slots_ + gap_, count_);
      capacity_ = new_capacity;
      gap_ = new_gap;
      return;
    }
    T* fresh = static_cast<T*>(checked_malloc(bytes));
    for (int k = 0; k < count_; ++k) {
      new (fresh + new_gap + k) T(std::move(slots_[gap_ + k]));
      slots_[gap_ + k].~T();
    }
    std::free(slots_);
    slots_ = fresh;
    capacity_ = new_capacity;
    gap_ = new_gap;
  }

  void destroy_all() {
    for (int k = 0; k < count_; ++k) slots_[gap_ + k].~T();
    count_ = 0;
  }

  void release() { clear(); }

  void copy_from(const Vector& other) {
    if (other.count_ == 0) return;
    reallocate(capacity_for(other.count_), 0);
    for (int k = 0; k < other.count_; ++k) new (slots_ + k) T(other.slots_[other.gap_ + k]);
    count_ = other.count_;
  }

  void take(Vector& other) {
    slots_ = other.slots_;
    count_ = other.count_;
    gap_ = other.gap_;
    capacity_ = other.capacity_;
    other.slots_ = nullptr;
    other.count_ = other.gap_ = other.capacity_ = 0;
  }

  static void quicksort(T* a, int lo, int hi, CompareFunction compare) {
    while (lo < hi) {
      T pivot(a[lo + (hi - lo) / 2]);
      int i = lo, j = hi;
      while (i <= j) {
        while (compare(a[i], pivot) < 0) ++i;
        while (compare(a[j], pivot) > 0) --j;
        if (i <= j) {
          if (i != j) std::swap(a[i], a[j]);
          ++i;
          --j;
        }
      }
      // Recurse into the smaller side so the depth stays logarithmic.
      if (j - lo < hi - i) {
        if (lo < j) quicksort(a, lo, j, compare);
        lo = i;
      } else {
        if (i < hi) quicksort(a, i, hi, compare);
        hi = j;
      }
    }
  }

  static constexpr bool kRelocatable = is_trivially_relocatable<T>::value && alignof(T) <= alignof(std::max_align_t);

  T* slots_ = nullptr;
  int count_ = 0;
  int gap_ = 0;
  int capacity_ = 0;
};

// Array<T>: an indexable array; a Vector used only for indexed access.
template <typename T>
using Array = Vector<T>;

// ---------------------------------------------------------------------------
// Stack<T>: last in, first out.
template <typename T>
class Stack {
 public:
  int count() const { return items_.count(); }
  bool empty() const { return items_.empty(); }
  void push(T item) { items_.append(std::move(item)); }
  T& top() {
    if (items_.empty()) FatalError("Stack<%s>::top", type_name_string<T>().c_str());
    return items_.last();
  }
  T pop() {
    if (items_.empty()) FatalError("Stack<%s>::pop", type_name_string<T>().c_str());
    T item(std::move(items_.last()));
    items_.remove(items_.count() - 1);
    return item;
  }
  void discard_top() {
    if (items_.empty()) FatalError("Stack<%s>::discard_top", type_name_string<T>().c_str());
    items_.remove(items_.count() - 1);
  }
  void clear() { items_.clear(); }
  // From the bottom to the top.
  T& operator[](int i) { return items_[i]; }
  const T& operator[](int i) const { return items_[i]; }

 private:
  Vector<T> items_;
};

// ---------------------------------------------------------------------------
// List<T>: a doubly linked list. Nodes never move, so a pointer to a value
// stays valid until its node is removed.
template <typename T>
class List {
 public:
  struct Node {
    Node* previous = nullptr;
    Node* next = nullptr;
    T value;
    template <typename... Args>
    explicit Node(Args&&... args) : value(std::forward<Args>(args)...) {}
  };

  List() = default;
  List(const List& other) {
    for (const T& v : other) append(v);
  }
  List& operator=(const List& other) {
    if (this != &other) {
      clear();
      for (const T& v : other) append(v);
    }
    return *this;
  }
  List(List&& other) noexcept { take(other); }
  List& operator=(List&& other) noexcept {
    if (this != &other) {
      clear();
      take(other);
    }
    return *this;
  }
  ~List() { clear(); }

  int count() const { return count_; }
  bool empty() const { return count_ == 0; }
  Node* first() const { return first_; }
  Node* last() const { return last_; }

  template <typename... Args>
  T& append(Args&&... args) {
    Node* node = new Node(std::forward<Args>(args)...);
    link_last(node);
    return node->value;
  }
  template <typename... Args>
  T& prepend(Args&&... args) {
    Node* node = new Node(std::forward<Args>(args)...);
    node->next = first_;
    if (first_) first_->previous = node; else last_ = node;
    first_ = node;
    ++count_;
    return node->value;
  }

  // Takes a node out without destroying it, or puts one back at the end.
  void unlink(Node* node) {
    (node->previous ? node->previous->next : first_) = node->next;
    (node->next ? node->next->previous : last_) = node->previous;
    node->previous = node->next = nullptr;
    --count_;
  }
  void link_last(Node* node) {
    node->previous = last_;
    node->next = nullptr;
    (last_ ? last_->next : first_) = node;
    last_ = node;
    ++count_;
  }
  void remove(Node* node) {
    unlink(node);
    delete node;
  }
  void clear() {
    for (Node* n = first_; n;) {
      Node* next = n->next;
      delete n;
      n = next;
    }
    first_ = last_ = nullptr;
    count_ = 0;
  }

  template <typename V, typename N>
  class Iter {
   public:
    explicit Iter(N* n) : n_(n) {}
    V& operator*() const { return n_->value; }
    V* operator->() const { return &n_->value; }
    Iter& operator++() {
      n_ = n_->next;
      return *this;
    }
    bool operator!=(const Iter& o) const { return n_ != o.n_; }
    bool operator==(const Iter& o) const { return n_ == o.n_; }

   private:
    N* n_;
  };
  Iter<T, Node> begin() { return Iter<T, Node>(first_); }
  Iter<T, Node> end() { return Iter<T, Node>(nullptr); }
  Iter<const T, const Node> begin() const { return Iter<const T, const Node>(first_); }
  Iter<const T, const Node> end() const { return Iter<const T, const Node>(nullptr); }

 private:
  void take(List& other) {
    first_ = other.first_;
    last_ = other.last_;
    count_ = other.count_;
    other.first_ = other.last_ = nullptr;
    other.count_ = 0;
  }

  Node* first_ = nullptr;
  Node* last_ = nullptr;
  int count_ = 0;
};

// ---------------------------------------------------------------------------
// HashTable<T,K>: values of T under keys of K (String, int, unsigned or a
// pointer). String keys hash with String::hash and compare case-sensitively;
// integer and pointer keys hash to their own value.

inline uint32_t hash_key(const String& key) { return key.hash(); }
inline uint32_t hash_key(int key) { return static_cast<uint32_t>(key); }
inline uint32_t hash_key(unsigned key) { return key; }
template <typename P>
uint32_t hash_key(P* key) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(key));
}

template <typename T, typename K>
class HashTable;

// One entry: its key and value, the chain of all entries in insertion order,
// and the bucket it lives in.
template <typename T, typename K>
struct Bucket {
  K key{};
  T value{};
  Bucket* next_in_order = nullptr;
  Bucket* previous_in_order = nullptr;
  List<Bucket>* bucket_list = nullptr;
  void* node = nullptr;  // the list node that holds this entry
};

template <typename T, typename K = String>
class HashTable {
 public:
  using Entry = Bucket<T, K>;
  using BucketList = List<Entry>;
  using Node = typename BucketList::Node;

  HashTable() = default;
  explicit HashTable(int bucket_count) { init(bucket_count); }
  HashTable(const HashTable& other) { copy_from(other); }
  HashTable& operator=(const HashTable& other) {
    if (this != &other) {
      release();
      copy_from(other);
    }
    return *this;
  }
  HashTable(HashTable&& other) noexcept { take(other); }
  HashTable& operator=(HashTable&& other) noexcept {
    if (this != &other) {
      release();
      take(other);
    }
    return *this;
  }
  ~HashTable() { release(); }

  // Sets the bucket count and empties the table.
  void init(int bucket_count) {
    release();
    if (bucket_count < 0) bucket_count = 0;
    bucket_count_ = bucket_count;
    if (bucket_count_ > 0) buckets_ = new BucketList[bucket_count_];
  }
  bool initialized() const { return bucket_count_ > 0; }
  int bucket_count() const { return bucket_count_; }
  int count() const { return entry_count_; }
  bool empty() const { return entry_count_ == 0; }

  // Adds an entry with a default value and returns the value to fill in.
  // A key already present is a fatal error.
  T& add_bucket(const K& key) {
    if (find(key)) {
      FatalError("HashTable<%s>::add_bucket(duplicate)", type_name_string<T>().c_str());
    }
    return add_new(key).value;
  }

  T* find(const K& key) {
    Entry* e = find_entry(key);
    return e ? &e->value : nullptr;
  }
  const T* find(const K& key) const {
    const Entry* e = const_cast<HashTable*>(this)->find_entry(key);
    return e ? &e->value : nullptr;
  }
  bool contains(const K& key) const { return find(key) != nullptr; }

  T& find_or_add(const K& key) {
    if (Entry* e = find_entry(key)) return e->value;
    return add_new(key).value;
  }

  bool remove(const K& key) {
    Node* node = find_node(key);
    if (!node) return false;
    Entry& e = node->value;
    (e.previous_in_order ? e.previous_in_order->next_in_order : first_) = e.next_in_order;
    (e.next_in_order ? e.next_in_order->previous_in_order : last_) = e.previous_in_order;
    e.bucket_list->remove(node);
    --entry_count_;
    return true;
  }

  // Empties the table; the bucket count stays.
  void clear() {
    for (int i = 0; i < bucket_count_; ++i) buckets_[i].clear();
    first_ = last_ = nullptr;
    entry_count_ = 0;
  }

  // n >= 1: rebuild with n buckets. n < 1: grow to max(16, 1.5 x entries)
  // once the entries reach twice the bucket count. Entries keep their
  // addresses and their order.
  void rehash(int n = 0) {
    if (n < 1) {
      if (entry_count_ / 2 < bucket_count_) return;
      n = entry_count_ + entry_count_ / 2;
      if (n < 16) n = 16;
    }
    if (n == bucket_count_) return;
    BucketList* fresh = new BucketList[n];
    for (Entry* e = first_; e;) {
      Entry* next = e->next_in_order;
      Node* node = node_of(e);
      e->bucket_list->unlink(node);
      BucketList& target = fresh[hash_key(e->key) % static_cast<uint32_t>(n)];
      target.link_last(node);
      e->bucket_list = &target;
      e = next;
    }
    delete[] buckets_;
    buckets_ = fresh;
    bucket_count_ = n;
  }

  // Iteration in insertion order over the entries (entry.key, entry.value).
  template <typename E>
  class Iter {
   public:
    explicit Iter(E* e) : e_(e) {}
    E& operator*() const { return *e_; }
    E* operator->() const { return e_; }
    Iter& operator++() {
      e_ = e_->next_in_order;
      return *this;
    }
    bool operator!=(const Iter& o) const { return e_ != o.e_; }
    bool operator==(const Iter& o) const { return e_ == o.e_; }

   private:
    E* e_;
  };
  Iter<Entry> begin() { return Iter<Entry>(first_); }
  Iter<Entry> end() { return Iter<Entry>(nullptr); }
  Iter<const Entry> begin() const { return Iter<const Entry>(first_); }
  Iter<const Entry> end() const { return Iter<const Entry>(nullptr); }
  Entry* first() const { return first_; }
  Entry* last() const { return last_; }

 private:
  static Node* node_of(Entry* e) { return static_cast<Node*>(e->node); }

  Node* find_node(const K& key) {
    if (bucket_count_ <= 0) return nullptr;
    BucketList& list = buckets_[hash_key(key) % static_cast<uint32_t>(bucket_count_)];
    for (Node* n = list.first(); n; n = n->next)
      if (n->value.key == key) return n;
    return nullptr;
  }
  Entry* find_entry(const K& key) {
    Node* n = find_node(key);
    return n ? &n->value : nullptr;
  }

  Entry& add_new(const K& key) {
    // Owners init their tables before use; one that did not gets a
    // modest table rather than a division by zero.
    if (bucket_count_ <= 0) init(32);
    BucketList& list = buckets_[hash_key(key) % static_cast<uint32_t>(bucket_count_)];
    list.append();
    Node* node = list.last();
    Entry& e = node->value;
    e.node = node;
    e.key = key;
    e.bucket_list = &list;
    e.previous_in_order = last_;
    (last_ ? last_->next_in_order : first_) = &e;
    last_ = &e;
    ++entry_count_;
    return e;
  }

  void release() {
    delete[] buckets_;
    buckets_ = nullptr;
    bucket_count_ = 0;
    first_ = last_ = nullptr;
    entry_count_ = 0;
  }

  void copy_from(const HashTable& other) {
    init(other.bucket_count_);
    for (const Entry& e : other) add_new(e.key).value = e.value;
  }

  void take(HashTable& other) {
    buckets_ = other.buckets_;
    bucket_count_ = other.bucket_count_;
    first_ = other.first_;
    last_ = other.last_;
    entry_count_ = other.entry_count_;
    other.buckets_ = nullptr;
    other.bucket_count_ = 0;
    other.first_ = other.last_ = nullptr;
    other.entry_count_ = 0;
  }

  BucketList* buckets_ = nullptr;
  int bucket_count_ = 0;
  int entry_count_ = 0;
  Entry* first_ = nullptr;
  Entry* last_ = nullptr;
};

}  // namespace tessaline
