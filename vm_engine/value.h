// Runtime values. A ValueRef is a 16-byte tagged handle: nil, bool, int and float live inline (copying them
// never allocates and never touches a counter); strings, arrays, objects and methods point to atomically
// counted immutable heap objects that change only through copy-on-write (make_unique). Function and native
// values are a name only: they point to a process-wide interned name record, so calling through them never
// touches a counter either (the records live as long as the process, one per distinct name).
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <new>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vm_engine/bytecode.h"

namespace tarnwick {

enum class ValueKind : uint8_t { Nil, Bool, Int, Float, String, Array, Object, Function, Method, NativeFn };

class ValueRef;
class ObjectMap;

// The memory a runtime's values take, charged by the allocations of heap values, container buffers and
// array storage that a thread makes while the account is installed there (ChargeScope), and credited when
// they are freed. Values live in one runtime, so whatever an account is charged for comes back to it.
// Allocation itself only moves a per-thread byte count; the scope settles it with the account.
struct MemoryAccount {
  // Bytes settled; below 0 when values made elsewhere were freed while charging. Atomic: a thread that
  // drops a host's handle to one of the runtime's values settles here while the runtime runs on another.
  std::atomic<int64_t> live{0};
  uint64_t limit = 0;   // 0: no limit
  bool enforce = false; // a large allocation past the limit fails (std::bad_alloc) instead of only counting
  bool exceeded = false;  // set when such an allocation was refused
  // Bytes now, including what the calling thread has not settled yet.
  int64_t current() const noexcept;
  bool over() const noexcept { return limit != 0 && current() > static_cast<int64_t>(limit); }
};

namespace detail {

struct Shape;

}  // namespace detail

// Keyed 64-bit hash of a text, with a key drawn once per process: two keyed multiplications for texts of
// up to 16 bytes, SipHash-1-3 for longer ones.
uint64_t keyed_hash(std::string_view text) noexcept;

namespace detail {

// Bytes this thread's heap values, buffers and arrays took from the system minus what they gave back; the
// installed account, and thread_net() when it was installed (or last settled).
__attribute__((tls_model("initial-exec"))) extern thread_local int64_t t_net;
__attribute__((tls_model("initial-exec"))) extern thread_local MemoryAccount* t_account;
// Read at every settlement (two per host call): 8 bytes more of the static TLS space beside the two above.
__attribute__((tls_model("initial-exec"))) extern thread_local int64_t t_settled;

inline void charge(std::size_t bytes) noexcept { t_net += static_cast<int64_t>(bytes); }
inline void credit(std::size_t bytes) noexcept { t_net -= static_cast<int64_t>(bytes); }
// Before an allocation of many bytes: past the installed account's enforced limit it throws std::bad_alloc.
void check_large(std::size_t bytes);
// The same as a question, for sizes checked before any allocation: false (the account marked) when refused.
bool account_allows(uint64_t bytes) noexcept;
// Bytes the installed account lets one more allocation take: UINT64_MAX unless a limit is enforced.
uint64_t account_room() noexcept;
// Charges (credits) storage the engine holds outside the heap values (the VM's stacks, the front end's
// blocks): `bytes` is checked like check_large first, and on refusal nothing is charged and false returned.
bool charge_checked(std::size_t bytes) noexcept;
// Memory a compilation takes in buffers that outlive it in per-thread pools or that it hands on: while an
// enforced limit is installed, `bytes` is checked (std::bad_alloc when refused) and charged until
// TransientCharges ends; otherwise nothing happens. What a compilation takes thus counts at its peak.
void charge_transient(std::size_t bytes);
class TransientCharges {
 public:
  TransientCharges() noexcept;
  ~TransientCharges();
  TransientCharges(const TransientCharges&) = delete;
  TransientCharges& operator=(const TransientCharges&) = delete;

 private:
  uint64_t saved_;
};
// Bytes in use by this thread's allocations (what it took from the system less its cached free blocks).
int64_t thread_net() noexcept;
// Moves what the thread counted since the last settlement into the installed account.
void settle() noexcept;

// Long work inside one instruction (rendering a huge value) calls long_work_check() now and then. A running
// VM installs a check there that throws WorkStopped when the run has to stop (an interrupt, a limit), so
// that one instruction cannot keep a host waiting; the run's boundary catches it like std::bad_alloc.
struct WorkStopped {};
using WorkCheck = void (*)(void* ctx);
// Installed and restored by every run (host calls included): in the static TLS space like the counters
// above, since a thread_local of the general model costs a call into the dynamic loader per access.
struct WorkHook {
  WorkCheck check = nullptr;
  void* ctx = nullptr;
};
__attribute__((tls_model("initial-exec"))) extern thread_local WorkHook t_work;
inline void long_work_check() {
  WorkHook& w = t_work;
  if (w.check != nullptr) w.check(w.ctx);
}
// Counts `bytes` of work (made or copied) towards the next long_work_check(), which comes every few MB.
void count_work(std::size_t bytes);

// Common header of every heap value. `next` links objects waiting to be destroyed, so that freeing a
// deeply nested value walks a list instead of recursing on the native stack.
struct HeapObject {
  std::atomic<uint32_t> refs{1};
  ValueKind kind;
  HeapObject* next = nullptr;
  explicit HeapObject(ValueKind k) : kind(k) {}
  // Heap values are small, fixed-size and short-lived: each thread recycles their blocks itself.
  static void* operator new(std::size_t size);
  static void operator delete(void* p, std::size_t size) noexcept;
  // Moves a block of `old_size` bytes from operator new to one of `new_size` (both at least
  // kMovableBytes), keeping its first old_size bytes: the system can then remap a large block's pages
  // instead of copying them.
  static void* resize(void* p, std::size_t old_size, std::size_t new_size);
  static constexpr std::size_t kMovableBytes = std::size_t{64} << 10;
};

// Offers the whole huge pages inside storage of `bytes` bytes at `p` (when it is large) to be backed by huge
// pages; called before the storage is first written, which is when the system places its pages.
void prefer_huge_pages(void* p, std::size_t bytes) noexcept;

// Storage for the element buffers of small containers, recycled per thread like the heap values.
void* buffer_allocate(std::size_t bytes);
void buffer_release(void* p, std::size_t bytes) noexcept;

template <class T>
struct BufferAllocator {
  using value_type = T;
  BufferAllocator() = default;
  template <class U>
  BufferAllocator(const BufferAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) { return static_cast<T*>(buffer_allocate(n * sizeof(T))); }
  void deallocate(T* p, std::size_t n) noexcept { buffer_release(p, n * sizeof(T)); }
  template <class U>
  bool operator==(const BufferAllocator<U>&) const noexcept { return true; }
  template <class U>
  bool operator!=(const BufferAllocator<U>&) const noexcept { return false; }
};

// Drops the last reference: destroys the object and, iteratively, everything it alone kept alive.
void destroy_heap(HeapObject* obj) noexcept;

}  // namespace detail

#define TARNWICK_INLINE inline __attribute__((always_inline))

class ValueRef {
 public:
  TARNWICK_INLINE ValueRef() noexcept : kind_(ValueKind::Nil), i_(0) {}
  TARNWICK_INLINE ~ValueRef() { release(); }

  TARNWICK_INLINE ValueRef(const ValueRef& o) noexcept : kind_(o.kind_), i_(o.i_) { retain(); }
  TARNWICK_INLINE ValueRef(ValueRef&& o) noexcept : kind_(o.kind_), i_(o.i_) { o.kind_ = ValueKind::Nil; }
  TARNWICK_INLINE ValueRef& operator=(const ValueRef& o) noexcept {
    if (this != &o) {
      o.retain();
      release();
      kind_ = o.kind_;
      i_ = o.i_;
    }
    return *this;
  }
  TARNWICK_INLINE ValueRef& operator=(ValueRef&& o) noexcept {
    if (this != &o) {
      release();
      kind_ = o.kind_;
      i_ = o.i_;
      o.kind_ = ValueKind::Nil;
    }
    return *this;
  }

  static ValueRef nil() noexcept { return ValueRef(); }
  static ValueRef boolean(bool b) noexcept { ValueRef v; v.kind_ = ValueKind::Bool; v.i_ = b ? 1 : 0; return v; }
  static ValueRef integer(int64_t i) noexcept { ValueRef v; v.kind_ = ValueKind::Int; v.i_ = i; return v; }
  static ValueRef floating(double f) noexcept { ValueRef v; v.kind_ = ValueKind::Float; v.f_ = f; return v; }
  // An empty text gives the process-wide shared empty string.
  static ValueRef string(std::string_view s);
  // A new String of `size` bytes whose bytes the caller writes at `bytes` before sharing it.
  static ValueRef string_for_writing(size_t size, char*& bytes);
  static ValueRef array(std::vector<ValueRef> items);
  static ValueRef object(ObjectMap map);
  // An object of the keys of `shape` (shared) whose values the caller adds through object_mut().add_value,
  // one per key in order, before sharing it.
  static ValueRef object_of_shape(detail::Shape* shape);
  // Later pairs with the same key replace earlier ones (keeping the first one's position).
  static ValueRef object(std::vector<std::pair<std::string, ValueRef>> entries);
  static ValueRef function(std::string name);
  static ValueRef native(std::string name);
  static ValueRef method(ValueRef receiver, std::string name);
  // A method implemented by the function that `function` (a Function value) names.
  static TARNWICK_INLINE ValueRef method(ValueRef receiver, const ValueRef& function);
  static ValueRef from_constant(const Constant& c);

  ValueKind kind() const noexcept { return kind_; }
  bool is_nil() const noexcept { return kind_ == ValueKind::Nil; }
  bool is_int() const noexcept { return kind_ == ValueKind::Int; }
  bool is_float() const noexcept { return kind_ == ValueKind::Float; }
  bool is_number() const noexcept { return kind_ == ValueKind::Int || kind_ == ValueKind::Float; }
  // Points to a heap record (strings, arrays, objects, methods, and the interned function names).
  bool is_heap() const noexcept { return kind_ >= ValueKind::String; }
  // Holds a counted reference (every heap kind except the interned names).
  bool is_counted() const noexcept { return (kCountedKinds >> static_cast<unsigned>(kind_)) & 1u; }

  // Accessors; each requires the matching kind.
  bool as_bool() const noexcept { return i_ != 0; }
  int64_t as_int() const noexcept { return i_; }
  double as_float() const noexcept { return f_; }
  // Int as is converted, Float as is; callers check is_number() first.
  double number_as_double() const noexcept { return kind_ == ValueKind::Int ? static_cast<double>(i_) : f_; }
  // A String's bytes; valid while a handle to the value lives.
  inline std::string_view as_string() const noexcept;
  inline const std::vector<ValueRef>& as_array() const noexcept;
  inline const ObjectMap& as_object() const noexcept;
  // Name of a Function, Method (the implementing function) or NativeFn.
  inline const std::string& function_name() const noexcept;
  inline const ValueRef& method_receiver() const noexcept;
  // The receiver slot of a Method held by this handle alone (unique()): the caller may move it out.
  inline ValueRef& method_receiver_mut() noexcept;
  // Frees a Method this handle alone holds whose receiver has been moved out (method_receiver_mut()),
  // leaving nil: nothing else can be reached from it.
  inline void free_spent_method() noexcept;
  // The Function value naming a Method's implementation (interned: compare with heap_identity()).
  inline ValueRef method_function() const noexcept;

  // Mutable views for in-place changes; only valid while this handle is the only one (unique(), or right
  // after make_unique()).
  inline std::vector<ValueRef>& array_mut() noexcept;
  inline ObjectMap& object_mut() noexcept;
  // Makes room for a String held by this handle alone to be `size` bytes long (at least its length now),
  // keeping its text, and returns where its bytes start: those past the old length are for the caller to
  // write. The value may move to a larger block (this handle then points there).
  char* string_grow(size_t size);
  // Bytes a String can hold without moving (string_grow up to this keeps the block).
  inline size_t string_capacity() const noexcept;

  // In-place writes for the interpreter's hot paths. Each requires that this handle holds no counted
  // reference (nil, bool, int, float or a function name): there is nothing to release first.
  TARNWICK_INLINE void put_int(int64_t i) noexcept { kind_ = ValueKind::Int; i_ = i; }
  TARNWICK_INLINE void put_float(double f) noexcept { kind_ = ValueKind::Float; f_ = f; }
  TARNWICK_INLINE void put_bool(bool b) noexcept { kind_ = ValueKind::Bool; i_ = b ? 1 : 0; }
  TARNWICK_INLINE void put_nil() noexcept { kind_ = ValueKind::Nil; }
  TARNWICK_INLINE void put(const ValueRef& o) noexcept {
    o.retain();
    kind_ = o.kind_;
    i_ = o.i_;
  }
  TARNWICK_INLINE void put(ValueRef&& o) noexcept {
    kind_ = o.kind_;
    i_ = o.i_;
    o.kind_ = ValueKind::Nil;
  }
  // Drops whatever this handle holds, leaving nil.
  TARNWICK_INLINE void clear() noexcept {
    release();
    kind_ = ValueKind::Nil;
  }
  // The heap record of a heap kind (the caller has checked the kind).
  const void* heap_identity() const noexcept { return p_; }

  // Handle identity (heap kinds; two functions of the same name share one) and sharing (counted kinds
  // only; others report 0 and are always unique).
  const void* identity() const noexcept { return is_heap() ? p_ : nullptr; }
  uint32_t use_count() const noexcept { return is_counted() ? p_->refs.load(std::memory_order_acquire) : 0; }
  bool unique() const noexcept { return !is_counted() || p_->refs.load(std::memory_order_acquire) == 1; }

 private:
  friend ValueRef shallow_copy(const ValueRef&);
  explicit ValueRef(detail::HeapObject* p) noexcept : kind_(p->kind), p_(p) {}

  static constexpr unsigned kCountedKinds = (1u << static_cast<unsigned>(ValueKind::String)) |
                                            (1u << static_cast<unsigned>(ValueKind::Array)) |
                                            (1u << static_cast<unsigned>(ValueKind::Object)) |
                                            (1u << static_cast<unsigned>(ValueKind::Method));

  TARNWICK_INLINE void retain() const noexcept {
    if (is_counted()) p_->refs.fetch_add(1, std::memory_order_relaxed);
  }
  TARNWICK_INLINE void release() noexcept {
    if (is_counted() && p_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) detail::destroy_heap(p_);
  }

  ValueKind kind_;
  union {
    int64_t i_;
    double f_;
    detail::HeapObject* p_;
  };
};
static_assert(sizeof(ValueRef) == 16);

namespace detail {

// The ordered key list of an object. Objects built by the same literal share one shape, so building one
// copies no key text and a member read can remember "this shape keeps key k in slot i". A shape changes
// in place only while a single holder has it; a frozen shape never changes (until one holder alone is
// left), which is what lets caches key on its address while they hold a reference to it.
struct Shape {
  using Keys = std::vector<std::string, BufferAllocator<std::string>>;
  static constexpr size_t kScanLimit = 8;  // small key lists are scanned, larger ones hashed
  static constexpr size_t npos = ~size_t{0};
  // The open-addressed index has one 32-bit slot per place: 0 when empty, else the key's position + 1 in
  // the low `pos_bits` bits (the index has at least twice the keys' places, so that fits) and bits of the
  // key's hash above them, which let a probe pass most other keys without reading their text.
  using Index = std::vector<uint32_t, BufferAllocator<uint32_t>>;
  std::atomic<uint32_t> refs{1};
  bool frozen = false;
  Keys keys;
  Index index;  // empty while the keys are few enough to scan; otherwise a power-of-two size
  uint32_t pos_bits = 0;  // log2(index.size())

  Shape() = default;
  Shape(const Shape& o) : keys(o.keys), index(o.index), pos_bits(o.pos_bits) {}
  Shape& operator=(const Shape&) = delete;
  static void* operator new(std::size_t size) { return buffer_allocate(size); }
  static void operator delete(void* p, std::size_t size) noexcept { buffer_release(p, size); }

  void retain() noexcept { refs.fetch_add(1, std::memory_order_relaxed); }
  static void release(Shape* s) noexcept {
    if (s != nullptr && s->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete s;
  }
  // A frozen shape of these keys, which must be distinct.
  static Shape* make_frozen(Keys keys);

  bool hashed() const noexcept { return !index.empty(); }
  size_t find(std::string_view key) const noexcept {
    if (hashed()) return find_hashed(key, keyed_hash(key));
    for (size_t i = 0, n = keys.size(); i < n; ++i)
      if (same_text(keys[i], key)) return i;
    return npos;
  }
  // The same for a shape that is hashed(), with the key's keyed_hash().
  size_t find_hashed(std::string_view key, uint64_t hash) const noexcept;
  // Adds a key the shape does not hold; `hash` is its keyed_hash() when the caller has it, or 0 and
  // `have_hash` false. On failure (std::bad_alloc) the shape is unchanged.
  void append(std::string key, uint64_t hash = 0, bool have_hash = false);

  static bool same_text(const std::string& a, std::string_view b) noexcept {
    size_t n = a.size();
    if (n != b.size()) return false;
    const char* x = a.data();
    const char* y = b.data();
    if (n > 16) return std::char_traits<char>::compare(x, y, n) == 0;
    for (size_t i = 0; i < n; ++i)
      if (x[i] != y[i]) return false;
    return true;
  }

 private:
  // Rebuilds the index for the keys plus `extra` (when not null) at the end, with places for at least
  // twice as many; extra_hash is extra's keyed_hash().
  void build_index(const std::string* extra, uint64_t extra_hash);
  // Puts key position `pos` with hash `hash` in the first free place from its home.
  void place(uint32_t pos, uint64_t hash) noexcept;
};

// A counted reference to a shape, for the caches that remember one.
class ShapeRef {
 public:
  ShapeRef() = default;
  explicit ShapeRef(const Shape* s) noexcept : s_(const_cast<Shape*>(s)) {
    if (s_ != nullptr) s_->retain();
  }
  ShapeRef(const ShapeRef& o) noexcept : ShapeRef(o.s_) {}
  ShapeRef& operator=(const ShapeRef& o) noexcept {
    ShapeRef copy(o);
    std::swap(s_, copy.s_);
    return *this;
  }
  ~ShapeRef() { Shape::release(s_); }
  const Shape* get() const noexcept { return s_; }
  Shape* get_mut() const noexcept { return s_; }

 private:
  Shape* s_ = nullptr;
};

}  // namespace detail

namespace detail {

// The values of an object: the first few in place (an object of a few entries is one allocation), more in
// a recycled buffer.
class ObjectValues {
 public:
  static constexpr uint32_t kInline = 4;

  ObjectValues() noexcept : data_(inline_slots()) {}
  ObjectValues(const ObjectValues& o) : ObjectValues() {
    reserve(o.size_);
    for (uint32_t i = 0; i < o.size_; ++i) new (data_ + i) ValueRef(o.data_[i]);
    size_ = o.size_;
  }
  ObjectValues(ObjectValues&& o) noexcept : ObjectValues() {
    if (o.data_ != o.inline_slots()) {
      data_ = o.data_;
      cap_ = o.cap_;
      size_ = o.size_;
      o.data_ = o.inline_slots();
      o.cap_ = kInline;
    } else {
      for (uint32_t i = 0; i < o.size_; ++i) {
        new (data_ + i) ValueRef(std::move(o.data_[i]));
        o.data_[i].~ValueRef();
      }
      size_ = o.size_;
    }
    o.size_ = 0;
  }
  ObjectValues& operator=(const ObjectValues&) = delete;
  ~ObjectValues() { clear_all(); }

  size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  ValueRef& operator[](size_t i) noexcept { return data_[i]; }
  const ValueRef& operator[](size_t i) const noexcept { return data_[i]; }
  void reserve(size_t n) {
    if (n > cap_) grow(n);
  }
  // Room for one more is the caller's to make first (reserve).
  void push_back_reserved(ValueRef v) noexcept {
    new (data_ + size_) ValueRef(std::move(v));
    ++size_;
  }
  // Drops what this holds and takes what `o` holds.
  void replace_with(ObjectValues&& o) noexcept {
    this->~ObjectValues();
    new (this) ObjectValues(std::move(o));
  }

 private:
  ValueRef* inline_slots() noexcept { return reinterpret_cast<ValueRef*>(inline_); }
  void clear_all() noexcept {
    for (uint32_t i = 0; i < size_; ++i) data_[i].~ValueRef();
    if (data_ != inline_slots()) buffer_release(data_, size_t{cap_} * sizeof(ValueRef));
    size_ = 0;
  }
  void grow(size_t n) {
    if (n > UINT32_MAX / sizeof(ValueRef)) throw std::bad_alloc();
    size_t cap = std::max<size_t>(n, size_t{cap_} * 2);
    if (cap > UINT32_MAX / sizeof(ValueRef)) cap = n;
    auto* fresh = static_cast<ValueRef*>(buffer_allocate(cap * sizeof(ValueRef)));
    for (uint32_t i = 0; i < size_; ++i) {
      new (fresh + i) ValueRef(std::move(data_[i]));
      data_[i].~ValueRef();
    }
    if (data_ != inline_slots()) buffer_release(data_, size_t{cap_} * sizeof(ValueRef));
    data_ = fresh;
    cap_ = static_cast<uint32_t>(cap);
  }

  ValueRef* data_;
  uint32_t size_ = 0;
  uint32_t cap_ = kInline;
  alignas(ValueRef) unsigned char inline_[kInline * sizeof(ValueRef)];
};

}  // namespace detail

// Text-keyed map of an Object: a shape (the keys, in insertion order; a replaced key keeps its first
// position) and the values in the same order. Maps of more than a few keys look keys up through a hashed
// index keyed with a per-process random key, so scripts cannot choose keys that collide.
class ObjectMap {
 public:
  static constexpr size_t npos = detail::Shape::npos;

  ObjectMap() = default;
  // An empty map that takes the keys of `shape` (retained); the caller adds one value per key, in order.
  explicit ObjectMap(detail::Shape* shape) noexcept : shape_(shape) { shape->retain(); }
  ObjectMap(const ObjectMap& o) : shape_(o.shape_), values_(o.values_) {
    if (shape_ != nullptr) shape_->retain();
  }
  ObjectMap(ObjectMap&& o) noexcept : shape_(o.shape_), values_(std::move(o.values_)) { o.shape_ = nullptr; }
  ObjectMap& operator=(const ObjectMap& o) {
    if (this != &o) *this = ObjectMap(o);
    return *this;
  }
  ObjectMap& operator=(ObjectMap&& o) noexcept {
    if (this != &o) {
      detail::Shape::release(shape_);
      shape_ = o.shape_;
      o.shape_ = nullptr;
      values_.replace_with(std::move(o.values_));
    }
    return *this;
  }
  ~ObjectMap() { detail::Shape::release(shape_); }

  size_t size() const noexcept { return values_.size(); }
  bool empty() const noexcept { return values_.empty(); }
  size_t find_slot(std::string_view key) const noexcept { return shape_ == nullptr ? npos : shape_->find(key); }
  const ValueRef* find(std::string_view key) const noexcept {
    size_t i = find_slot(key);
    return i == npos ? nullptr : &values_[i];
  }
  const std::string& key(size_t i) const noexcept { return shape_->keys[i]; }
  const ValueRef& value(size_t i) const noexcept { return values_[i]; }
  const detail::Shape* shape() const noexcept { return shape_; }
  // Inserts or replaces; an insert past the value ceiling throws std::bad_alloc.
  void set(std::string key, ValueRef value);
  // Inserts a key the map does not hold yet (the caller has looked), with its keyed_hash() if known.
  void append_new(std::string key, ValueRef value, uint64_t hash = 0, bool have_hash = false);
  void reserve(size_t n) { values_.reserve(n); }
  // The keys as string values, in byte order.
  std::vector<ValueRef> sorted_keys() const;
  // For maps made from a shape: the value of the next key.
  void add_value(ValueRef v) {
    values_.reserve(values_.size() + 1);
    values_.push_back_reserved(std::move(v));
  }
  // Marks the map's shape as one that never changes while others hold it, so that later objects may
  // share it and caches may remember it; gives the shape (null for an empty map).
  const detail::Shape* freeze_shape() noexcept {
    if (shape_ != nullptr) shape_->frozen = true;
    return shape_;
  }

  // Iteration yields (key, value) pairs of references.
  class const_iterator {
   public:
    using value_type = std::pair<const std::string&, const ValueRef&>;
    const_iterator(const ObjectMap* m, size_t i) noexcept : m_(m), i_(i) {}
    value_type operator*() const noexcept { return {m_->key(i_), m_->value(i_)}; }
    const_iterator& operator++() noexcept {
      ++i_;
      return *this;
    }
    bool operator==(const const_iterator& o) const noexcept { return i_ == o.i_; }
    bool operator!=(const const_iterator& o) const noexcept { return i_ != o.i_; }

   private:
    const ObjectMap* m_;
    size_t i_;
  };
  const_iterator begin() const noexcept { return {this, 0}; }
  const_iterator end() const noexcept { return {this, values_.size()}; }

 private:
  // Throws std::bad_alloc when one more entry would pass the value ceiling.
  void grow_check() const;

  detail::Shape* shape_ = nullptr;  // counted; null while the map is empty
  detail::ObjectValues values_;
};

// Installs `account` on this thread for the scope's life (nullptr: none), restoring the one before.
class ChargeScope {
 public:
  explicit ChargeScope(MemoryAccount* account) noexcept : saved_(detail::t_account) {
    if (account == saved_) return;  // already charged there: nothing to settle
    detail::settle();
    detail::t_account = account;
  }
  ~ChargeScope() {
    if (detail::t_account == saved_) return;
    detail::settle();
    detail::t_account = saved_;
  }
  ChargeScope(const ChargeScope&) = delete;
  ChargeScope& operator=(const ChargeScope&) = delete;

 private:
  MemoryAccount* saved_;
};

namespace detail {

// A string's bytes follow its header in the same block, so a string is one allocation; blocks of short
// strings come from the per-thread cache of heap blocks. `capacity` is what the block holds past the header:
// a text held by one handle grows in place up to it.
struct StringObj : HeapObject {
  size_t size;
  size_t capacity;
  StringObj(size_t n, size_t cap) : HeapObject(ValueKind::String), size(n), capacity(cap) {}
  char* data() noexcept { return reinterpret_cast<char*>(this + 1); }
  const char* data() const noexcept { return reinterpret_cast<const char*>(this + 1); }
  std::string_view text() const noexcept { return {data(), size}; }
  // A string of `size` bytes, left for the caller to write, with room for at least `capacity` bytes.
  static StringObj* make(size_t size, size_t capacity);
  static void free(StringObj* s) noexcept;
};
static_assert(sizeof(StringObj) == 32);
struct ArrayObj : HeapObject {
  std::vector<ValueRef> items;
  size_t charged;  // bytes of element storage charged to the memory account when the array was made
  explicit ArrayObj(std::vector<ValueRef> v)
      : HeapObject(ValueKind::Array), items(std::move(v)), charged(items.capacity() * sizeof(ValueRef)) {
    charge(charged);  // the storage exists already: counted, never refused
  }
  ~ArrayObj() { credit(charged); }
};
struct ObjectObj : HeapObject {
  ObjectMap map;
  explicit ObjectObj(ObjectMap m) : HeapObject(ValueKind::Object), map(std::move(m)) {}
  explicit ObjectObj(Shape* shape) noexcept : HeapObject(ValueKind::Object), map(shape) {}
};
// Function and NativeFn: a name only.
struct NameObj : HeapObject {
  std::string name;
  NameObj(ValueKind k, std::string n) : HeapObject(k), name(std::move(n)) {}
};
// The implementation is named by its interned Function record, so making a method copies no text.
struct MethodObj : HeapObject {
  ValueRef receiver;
  NameObj* fn;
  MethodObj(ValueRef r, NameObj* f) : HeapObject(ValueKind::Method), receiver(std::move(r)), fn(f) {}
};

}  // namespace detail

std::string_view ValueRef::as_string() const noexcept { return static_cast<const detail::StringObj*>(p_)->text(); }
size_t ValueRef::string_capacity() const noexcept { return static_cast<const detail::StringObj*>(p_)->capacity; }
const std::vector<ValueRef>& ValueRef::as_array() const noexcept {
  return static_cast<const detail::ArrayObj*>(p_)->items;
}
const ObjectMap& ValueRef::as_object() const noexcept { return static_cast<const detail::ObjectObj*>(p_)->map; }
std::vector<ValueRef>& ValueRef::array_mut() noexcept { return static_cast<detail::ArrayObj*>(p_)->items; }
ObjectMap& ValueRef::object_mut() noexcept { return static_cast<detail::ObjectObj*>(p_)->map; }
const std::string& ValueRef::function_name() const noexcept {
  if (kind_ == ValueKind::Method) return static_cast<const detail::MethodObj*>(p_)->fn->name;
  return static_cast<const detail::NameObj*>(p_)->name;
}
const ValueRef& ValueRef::method_receiver() const noexcept {
  return static_cast<const detail::MethodObj*>(p_)->receiver;
}
ValueRef& ValueRef::method_receiver_mut() noexcept { return static_cast<detail::MethodObj*>(p_)->receiver; }
TARNWICK_INLINE ValueRef ValueRef::method(ValueRef receiver, const ValueRef& function) {
  return ValueRef(new detail::MethodObj(std::move(receiver), static_cast<detail::NameObj*>(function.p_)));
}
void ValueRef::free_spent_method() noexcept {
  auto* m = static_cast<detail::MethodObj*>(p_);
  m->~MethodObj();
  detail::HeapObject::operator delete(m, sizeof(detail::MethodObj));
  kind_ = ValueKind::Nil;
}
ValueRef ValueRef::method_function() const noexcept { return ValueRef(static_cast<const detail::MethodObj*>(p_)->fn); }

// "nil", "bool", "int", "float", "string", "array", "object", "function" (also for methods), "native_fn".
const char* type_name(const ValueRef& v) noexcept;
const char* type_name(ValueKind k) noexcept;
bool is_truthy_heap(const ValueRef& v) noexcept;
TARNWICK_INLINE bool is_truthy(const ValueRef& v) noexcept {
  switch (v.kind()) {
    case ValueKind::Nil: return false;
    case ValueKind::Bool: return v.as_bool();
    case ValueKind::Int: return v.as_int() != 0;
    case ValueKind::Float: return v.as_float() != 0.0;
    default: return is_truthy_heap(v);
  }
}
bool values_equal(const ValueRef& a, const ValueRef& b) noexcept;
// Plain rendering (str, Concat, object keys, error texts). Nested containers of any depth render without
// recursion on the native stack.
std::string to_text(const ValueRef& v);
void append_text(std::string& out, const ValueRef& v);
// The largest text a rendering builds; past it, append_text and to_text throw std::bad_alloc.
size_t text_limit() noexcept;
// The length of to_text(v), found without building it, in steps proportional to the distinct containers
// in v; past `cap` it stops and answers cap + 1.
uint64_t text_size(const ValueRef& v, uint64_t cap = UINT64_MAX - 1);
// Display rendering (print, results): strings quoted, arrays and objects as counts.
std::string to_display(const ValueRef& v);
// Float rendering shared by both: integral values with ".0", others shortest round-trip, NaN, inf, -inf.
std::string float_text(double d);
// A new handle to a fresh copy for heap kinds (elements and entries shared); inline kinds as they are.
ValueRef shallow_copy(const ValueRef& v);
// Makes `v` the only handle to its value, copying first when it is shared.
void make_unique(ValueRef& v);

}  // namespace tarnwick
