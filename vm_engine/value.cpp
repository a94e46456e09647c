// Runtime values: construction, rendering (print's and str()'s texts), equality, and the heap objects'
// copy-on-write.
#include "vm_engine/value.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <mutex>
#include <random>
#include <unordered_map>

#include <sys/mman.h>
#include <unistd.h>

#include "common/numfmt.h"
#include "vm_engine/limits.h"
#include "vm_engine/pool.h"

namespace tarnwick {

namespace detail {
namespace {

void destroy_one(HeapObject* obj) noexcept {
  switch (obj->kind) {
    case ValueKind::String: StringObj::free(static_cast<StringObj*>(obj)); break;
    case ValueKind::Array: delete static_cast<ArrayObj*>(obj); break;
    case ValueKind::Object: delete static_cast<ObjectObj*>(obj); break;
    case ValueKind::Method: delete static_cast<MethodObj*>(obj); break;
    default: delete static_cast<NameObj*>(obj); break;
  }
}

// Recycled blocks of the heap values, per thread and per 16-byte size class. Sanitizer builds leave every
// block to the allocator, so that a use after free is still caught.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kRecycleBlocks = false;
#else
constexpr bool kRecycleBlocks = true;
#endif
constexpr size_t kBlockClasses = 8;   // blocks of 16, 32, ..., 128 bytes
constexpr uint32_t kMaxFreeBlocks = 4096;  // per class and thread

// Container buffers: power-of-two classes of 64 to 1024 bytes.
constexpr size_t kBufferClasses = 5;
constexpr uint32_t kMaxFreeBuffers = 1024;

struct FreeBlock {
  FreeBlock* next;
};
// What each thread keeps of the heap: its recycled blocks, and the values waiting to be destroyed.
struct ThreadHeap {
  FreeBlock* head[kBlockClasses + kBufferClasses] = {};
  uint32_t count[kBlockClasses + kBufferClasses] = {};
  // The bytes of all the blocks above, kept as they come and go so that a settlement reads one number.
  int64_t cached_bytes = 0;
  StackBounds stack;
  HeapObject* pending = nullptr;
  bool draining = false;
  ~ThreadHeap() {
    for (FreeBlock*& h : head) {
      while (h != nullptr) {
        FreeBlock* b = h;
        h = b->next;
        ::operator delete(b);
      }
    }
  }
};

// The engine runs inside a shared library, where a thread_local of the general model costs a call per
// access and one with a destructor a guard check besides. Every allocation and release reads the state, so
// it is reached through one pointer of the initial-exec model (a single load from the thread register; it
// takes 16 bytes of the static TLS space that the dynamic loader keeps for libraries like this one). The
// state itself is made on the thread's first use and freed at the thread's exit by `t_heap_owner`; after
// that the thread allocates and frees without recycling.
__attribute__((tls_model("initial-exec"))) thread_local ThreadHeap* t_heap = nullptr;
__attribute__((tls_model("initial-exec"))) thread_local bool t_heap_gone = false;

struct ThreadHeapOwner {
  ThreadHeap* heap = nullptr;
  ~ThreadHeapOwner() {
    t_heap = nullptr;
    t_heap_gone = true;
    delete heap;
  }
};
thread_local ThreadHeapOwner t_heap_owner;

__attribute__((noinline)) ThreadHeap* make_thread_heap() noexcept {
  if (t_heap_gone) return nullptr;
  auto* heap = new (std::nothrow) ThreadHeap();
  if (heap == nullptr) return nullptr;
  t_heap_owner.heap = heap;
  t_heap = heap;
  return heap;
}

// This thread's heap state, or null when the thread is past its end (or out of memory for it).
inline ThreadHeap* thread_heap() noexcept {
  ThreadHeap* heap = t_heap;
  if (__builtin_expect(heap != nullptr, 1)) return heap;
  return make_thread_heap();
}

}  // namespace

// Allocations from this size up are checked against an enforced memory limit before they happen.
constexpr std::size_t kLargeBytes = 4096;
// Buffers from this size on are aligned for huge pages and offered to them.
constexpr std::size_t kHugeBytes = std::size_t{4} << 20;
constexpr std::align_val_t kHugeAlign{std::size_t{2} << 20};

__attribute__((tls_model("initial-exec"))) thread_local WorkHook t_work;

thread_local int64_t t_net = 0;
thread_local MemoryAccount* t_account = nullptr;
__attribute__((tls_model("initial-exec"))) thread_local int64_t t_settled = 0;

bool account_allows(uint64_t bytes) noexcept {
  MemoryAccount* a = t_account;
  if (a == nullptr || a->limit == 0 || !a->enforce) return true;
  // Refused before it is taken, so that one instruction cannot take far more than the limit.
  if (bytes <= a->limit && a->current() + static_cast<int64_t>(bytes) <= static_cast<int64_t>(a->limit)) return true;
  a->exceeded = true;
  return false;
}

// Large allocations stand for work in proportion (a copy, a text, a table): past a quantum of them, the
// running VM is asked whether to stop, so that a loop whose every step copies a big array still polls in
// time. Outside a run, and while a native or the host's print/input runs, nothing is installed.
constexpr std::size_t kWorkQuantumBytes = std::size_t{8} << 20;
thread_local std::size_t t_work_bytes = 0;

void count_work(std::size_t bytes) {
  t_work_bytes += bytes;
  if (t_work_bytes >= kWorkQuantumBytes) [[unlikely]] {
    t_work_bytes = 0;
    long_work_check();
  }
}

void check_large(std::size_t bytes) {
  if (!account_allows(bytes)) throw std::bad_alloc();
  count_work(bytes);
}

uint64_t account_room() noexcept {
  MemoryAccount* a = t_account;
  if (a == nullptr || a->limit == 0 || !a->enforce) return UINT64_MAX;
  int64_t room = static_cast<int64_t>(a->limit) - a->current();
  return room > 0 ? static_cast<uint64_t>(room) : 0;
}

namespace {
thread_local uint64_t t_transient = 0;
}  // namespace

void charge_transient(std::size_t bytes) {
  MemoryAccount* a = t_account;
  if (a == nullptr || a->limit == 0 || !a->enforce) return;
  check_large(bytes);
  charge(bytes);
  t_transient += bytes;
}

TransientCharges::TransientCharges() noexcept : saved_(t_transient) { t_transient = 0; }

TransientCharges::~TransientCharges() {
  credit(t_transient);
  t_transient = saved_;
}

bool charge_checked(std::size_t bytes) noexcept {
  if (!account_allows(bytes)) return false;
  charge(bytes);
  return true;
}

// Memory is counted where it comes from the system and goes back to it; a recycled block is counted as
// in use unless it sits in the thread's cache (see thread_net), so the hot paths count nothing.
void* HeapObject::operator new(std::size_t size) {
  size_t c = (size - 1) / 16;
  if (kRecycleBlocks && c < kBlockClasses) {
    if (ThreadHeap* cache = thread_heap()) {
      if (FreeBlock* b = cache->head[c]) {
        cache->head[c] = b->next;
        --cache->count[c];
        cache->cached_bytes -= static_cast<int64_t>((c + 1) * 16);
        return b;
      }
    }
    charge((c + 1) * 16);
    return ::operator new((c + 1) * 16);
  }
  if (size >= kLargeBytes) [[unlikely]] check_large(size);
  charge(size);
  if (size >= kMovableBytes) [[unlikely]] {
    // Taken from malloc itself, so that resize() can hand it to realloc.
    void* p = std::malloc(size);
    if (p == nullptr) throw std::bad_alloc();
    return p;
  }
  return ::operator new(size);
}

// Kept out of line: the block it returns is freed by operator delete, which hands large ones to free().
[[gnu::noinline]] void* HeapObject::resize(void* p, std::size_t old_size, std::size_t new_size) {
  check_large(new_size);
  void* q = std::realloc(p, new_size);
  if (q == nullptr) throw std::bad_alloc();
  charge(new_size);
  credit(old_size);
  return q;
}

void HeapObject::operator delete(void* p, std::size_t size) noexcept {
  size_t c = (size - 1) / 16;
  if (kRecycleBlocks && c < kBlockClasses) {
    ThreadHeap* cache = thread_heap();
    if (cache != nullptr && cache->count[c] < kMaxFreeBlocks) {
      auto* b = static_cast<FreeBlock*>(p);
      b->next = cache->head[c];
      cache->head[c] = b;
      ++cache->count[c];
      cache->cached_bytes += static_cast<int64_t>((c + 1) * 16);
      return;
    }
    credit((c + 1) * 16);
    ::operator delete(p);
    return;
  }
  credit(size);
  if (size >= kMovableBytes) [[unlikely]] {
    std::free(p);
    return;
  }
  ::operator delete(p);
}

namespace {
// The buffer class of a size: 0 for up to 64 bytes, 1 for up to 128, ...; kBufferClasses when larger.
inline size_t buffer_class(std::size_t bytes) {
  if (bytes <= 64) return 0;
  size_t c = static_cast<size_t>(64 - __builtin_clzll(bytes - 1)) - 6;
  return c < kBufferClasses ? c : kBufferClasses;
}
}  // namespace

void prefer_huge_pages(void* p, std::size_t bytes) noexcept {
  if (bytes < kHugeBytes) return;
  constexpr uintptr_t kHuge = uintptr_t{2} << 20;
  uintptr_t first = (reinterpret_cast<uintptr_t>(p) + kHuge - 1) & ~(kHuge - 1);
  uintptr_t last = (reinterpret_cast<uintptr_t>(p) + bytes) & ~(kHuge - 1);
  if (first < last) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

void* buffer_allocate(std::size_t bytes) {
  size_t c = buffer_class(bytes);
  if (kRecycleBlocks && c < kBufferClasses) {
    if (ThreadHeap* cache = thread_heap()) {
      if (FreeBlock* b = cache->head[kBlockClasses + c]) {
        cache->head[kBlockClasses + c] = b->next;
        --cache->count[kBlockClasses + c];
        cache->cached_bytes -= static_cast<int64_t>(size_t{64} << c);
        return b;
      }
    }
    charge(size_t{64} << c);
    return ::operator new(size_t{64} << c);
  }
  if (bytes >= kLargeBytes) [[unlikely]] check_large(bytes);
  charge(bytes);
  if (bytes >= kHugeBytes) [[unlikely]] {
    // A big table (the keys, values and index of a large object) is read at random places: backed by huge
    // pages where the system grants them, a look-up misses the address cache far less often.
    void* p = ::operator new(bytes, kHugeAlign);
    prefer_huge_pages(p, bytes);
    return p;
  }
  return ::operator new(bytes);
}

void buffer_release(void* p, std::size_t bytes) noexcept {
  size_t c = buffer_class(bytes);
  if (kRecycleBlocks && c < kBufferClasses) {
    ThreadHeap* cache = thread_heap();
    if (cache != nullptr && cache->count[kBlockClasses + c] < kMaxFreeBuffers) {
      auto* b = static_cast<FreeBlock*>(p);
      b->next = cache->head[kBlockClasses + c];
      cache->head[kBlockClasses + c] = b;
      ++cache->count[kBlockClasses + c];
      cache->cached_bytes += static_cast<int64_t>(size_t{64} << c);
      return;
    }
    credit(size_t{64} << c);
    ::operator delete(p);
    return;
  }
  credit(bytes);
  if (bytes >= kHugeBytes) [[unlikely]] {
    ::operator delete(p, kHugeAlign);
    return;
  }
  ::operator delete(p);
}

StackBounds* thread_stack_bounds() noexcept {
  ThreadHeap* heap = thread_heap();
  return heap != nullptr ? &heap->stack : nullptr;
}

int64_t thread_net() noexcept {
  ThreadHeap* heap = t_heap;
  return t_net - (heap != nullptr ? heap->cached_bytes : 0);
}

void settle() noexcept {
  int64_t net = thread_net();
  if (t_account != nullptr) t_account->live.fetch_add(net - t_settled, std::memory_order_relaxed);
  t_settled = net;
}

namespace {

// Destroying an array drops its elements; any element that dies with it is queued here instead of being
// destroyed recursively, so a value nested a million levels deep frees with constant native stack.

[[gnu::noinline]] void destroy_queued(HeapObject* obj) noexcept {
  ThreadHeap* heap = thread_heap();
  if (heap == nullptr) {
    // Past the thread's end (or without memory for its state): no queue, nested values free recursively.
    destroy_one(obj);
    return;
  }
  obj->next = heap->pending;
  heap->pending = obj;
  if (heap->draining) return;
  heap->draining = true;
  while (heap->pending != nullptr) {
    HeapObject* o = heap->pending;
    heap->pending = o->next;
    destroy_one(o);
  }
  heap->draining = false;
}

}  // namespace

void destroy_heap(HeapObject* obj) noexcept {
  // A string keeps nothing else alive: it goes straight back to its block, without the queue.
  if (obj->kind == ValueKind::String) {
    StringObj::free(static_cast<StringObj*>(obj));
    return;
  }
  destroy_queued(obj);
}

StringObj* StringObj::make(size_t size, size_t capacity) {
  // Whole 16-byte steps: the block classes are that fine, and the slack is room to grow in place.
  if (capacity > SIZE_MAX / 2) throw std::bad_alloc();
  size_t bytes = (sizeof(StringObj) + capacity + 15) & ~size_t{15};
  void* block = HeapObject::operator new(bytes);
  return ::new (block) StringObj(size, bytes - sizeof(StringObj));
}

void StringObj::free(StringObj* s) noexcept {
  size_t bytes = sizeof(StringObj) + s->capacity;
  s->~StringObj();
  HeapObject::operator delete(s, bytes);
}

}  // namespace detail

int64_t MemoryAccount::current() const noexcept {
  return live.load(std::memory_order_relaxed) +
         (detail::t_account == this ? detail::thread_net() - detail::t_settled : 0);
}

using detail::ArrayObj;
using detail::MethodObj;
using detail::NameObj;
using detail::ObjectObj;
using detail::StringObj;

// --- Construction and access ---------------------------------------------------------------------------

ValueRef shared_empty_string() { return ValueRef::string(std::string()); }

ValueRef ValueRef::string(std::string_view s) {
  if (s.empty()) {
    // Created once, race-free, and never freed: the static handle keeps its count above zero.
    static const ValueRef* empty = new ValueRef(StringObj::make(0, 0));
    return *empty;
  }
  StringObj* obj = StringObj::make(s.size(), s.size());
  std::memcpy(obj->data(), s.data(), s.size());
  return ValueRef(obj);
}

ValueRef ValueRef::string_for_writing(size_t size, char*& bytes) {
  StringObj* obj = StringObj::make(size, size);
  bytes = obj->data();
  return ValueRef(obj);
}

char* ValueRef::string_grow(size_t size) {
  auto* s = static_cast<StringObj*>(p_);
  if (size > s->capacity) {
    // Doubling keeps a text that grows a little at a time at amortised constant cost per byte; a short
    // one starts with room for a line or so.
    size_t capacity = std::max({size, 2 * s->capacity, size_t{48}});
    size_t old_bytes = sizeof(StringObj) + s->capacity;
    if (old_bytes >= detail::HeapObject::kMovableBytes) {
      if (capacity > SIZE_MAX / 2) throw std::bad_alloc();
      size_t bytes = (sizeof(StringObj) + capacity + 15) & ~size_t{15};
      s = static_cast<StringObj*>(detail::HeapObject::resize(s, old_bytes, bytes));
      s->capacity = bytes - sizeof(StringObj);
      p_ = s;
    } else {
      StringObj* grown = StringObj::make(size, capacity);
      std::memcpy(grown->data(), s->data(), s->size);
      StringObj::free(s);
      p_ = s = grown;
    }
  }
  s->size = size;
  return s->data();
}

ValueRef ValueRef::array(std::vector<ValueRef> items) { return ValueRef(new ArrayObj(std::move(items))); }
ValueRef ValueRef::object(ObjectMap map) { return ValueRef(new ObjectObj(std::move(map))); }
ValueRef ValueRef::object_of_shape(detail::Shape* shape) { return ValueRef(new ObjectObj(shape)); }
ValueRef ValueRef::object(std::vector<std::pair<std::string, ValueRef>> entries) {
  ObjectMap map;
  map.reserve(entries.size());
  for (auto& [k, v] : entries) map.set(std::move(k), std::move(v));
  return object(std::move(map));
}
namespace {

// One immutable record per distinct (kind, name), never freed: function values are compared and cached by
// record address, and copying them costs no atomic operation.
NameObj* intern_name(ValueKind kind, std::string name) {
  static std::mutex lock;
  static auto* table = new std::unordered_map<std::string, NameObj*>[2];
  std::lock_guard<std::mutex> guard(lock);
  auto& map = table[kind == ValueKind::Function ? 0 : 1];
  auto it = map.find(name);
  if (it != map.end()) return it->second;
  auto* obj = new NameObj(kind, name);
  map.emplace(std::move(name), obj);
  return obj;
}

}  // namespace

ValueRef ValueRef::function(std::string name) { return ValueRef(intern_name(ValueKind::Function, std::move(name))); }
ValueRef ValueRef::native(std::string name) { return ValueRef(intern_name(ValueKind::NativeFn, std::move(name))); }
ValueRef ValueRef::method(ValueRef receiver, std::string name) {
  return ValueRef(new MethodObj(std::move(receiver), intern_name(ValueKind::Function, std::move(name))));
}

ValueRef ValueRef::from_constant(const Constant& c) {
  switch (c.kind) {
    case Constant::Kind::Nil: return ValueRef();
    case Constant::Kind::Bool: return boolean(c.bool_value);
    case Constant::Kind::Int: return integer(c.int_value);
    case Constant::Kind::Float: return floating(c.float_value);
    case Constant::Kind::String: return string(c.string_value);
  }
  return ValueRef();
}

// --- Object maps -----------------------------------------------------------------------------------------

namespace {

inline uint64_t rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct HashKey {
  uint64_t k0, k1;
};

const HashKey& hash_key() {
  static const HashKey key = [] {
    std::random_device rd;
    auto draw = [&] { return (static_cast<uint64_t>(rd()) << 32) ^ rd(); };
    return HashKey{draw(), draw()};
  }();
  return key;
}

}  // namespace

// The n < 8 bytes at p as one little-endian word: for n >= 4 two overlapping four-byte reads, below that the
// first, middle and last bytes (with the length, these determine the bytes).
inline uint64_t short_word(const char* p, size_t n) {
  if (n >= 4) {
    uint32_t lo, hi;
    std::memcpy(&lo, p, 4);
    std::memcpy(&hi, p + n - 4, 4);
    return static_cast<uint64_t>(lo) | (static_cast<uint64_t>(hi) << (8 * (n - 4)));
  }
  if (n == 0) return 0;
  auto byte = [&](size_t i) { return static_cast<uint64_t>(static_cast<unsigned char>(p[i])) << (8 * i); };
  return byte(0) | byte(n / 2) | byte(n - 1);
}

// The high and low halves of a full 64 × 64-bit product, folded together.
inline uint64_t fold_multiply(uint64_t a, uint64_t b) {
  unsigned __int128 r = static_cast<unsigned __int128>(a) * b;
  return static_cast<uint64_t>(r) ^ static_cast<uint64_t>(r >> 64);
}

uint64_t keyed_hash(std::string_view text) noexcept {
  const HashKey& key = hash_key();
  const char* data = text.data();
  size_t len = text.size();
  // Map keys are mostly short: up to 16 bytes, two keyed multiplications of the text read as two words
  // (overlapping, so the words and the length determine the text) replace the rounds below.
  if (len <= 16) {
    uint64_t a, b = 0;
    if (len >= 8) {
      std::memcpy(&a, data, 8);
      std::memcpy(&b, data + len - 8, 8);
    } else {
      a = short_word(data, len);
    }
    uint64_t h = fold_multiply(a ^ key.k0, b ^ key.k1 ^ (static_cast<uint64_t>(len) << 56));
    return fold_multiply(h ^ 0x9e3779b97f4a7c15ULL, key.k0 ^ 0xd6e8feb86659fd93ULL);
  }
  uint64_t v0 = 0x736f6d6570736575ULL ^ key.k0;
  uint64_t v1 = 0x646f72616e646f6dULL ^ key.k1;
  uint64_t v2 = 0x6c7967656e657261ULL ^ key.k0;
  uint64_t v3 = 0x7465646279746573ULL ^ key.k1;
  auto round = [&] {
    v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
    v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
    v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
    v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
  };
  size_t blocks = len / 8;
  for (size_t i = 0; i < blocks; ++i) {
    uint64_t m;
    std::memcpy(&m, data + i * 8, 8);
    v3 ^= m;
    round();
    v0 ^= m;
  }
  // The last len % 8 bytes under the length.
  uint64_t b = (static_cast<uint64_t>(len) << 56) | short_word(data + blocks * 8, len % 8);
  v3 ^= b;
  round();
  v0 ^= b;
  v2 ^= 0xff;
  round();
  round();
  round();
  return v0 ^ v1 ^ v2 ^ v3;
}

namespace detail {

namespace {

// The hash bits a slot keeps above the position: from the hash's high half, which the home place (the
// low bits) does not use.
inline uint32_t slot_tag(uint64_t hash, uint32_t pos_bits) noexcept {
  return pos_bits >= 32 ? 0 : static_cast<uint32_t>(hash >> 32) & ~((uint32_t{1} << pos_bits) - 1);
}

}  // namespace

size_t Shape::find_hashed(std::string_view key, uint64_t hash) const noexcept {
  size_t mask = index.size() - 1;
  uint32_t low = (uint32_t{1} << pos_bits) - 1;
  uint32_t tag = slot_tag(hash, pos_bits);
  for (size_t i = hash & mask;; i = (i + 1) & mask) {
    uint32_t slot = index[i];
    if (slot == 0) return npos;
    if ((slot & ~low) == tag && same_text(keys[(slot & low) - 1], key)) return (slot & low) - 1;
  }
}

void Shape::place(uint32_t pos, uint64_t hash) noexcept {
  size_t mask = index.size() - 1;
  size_t i = hash & mask;
  while (index[i] != 0) i = (i + 1) & mask;
  index[i] = pos | slot_tag(hash, pos_bits);
}

void Shape::build_index(const std::string* extra, uint64_t extra_hash) {
  size_t n = keys.size() + (extra != nullptr ? 1 : 0);
  uint32_t bits = 4;  // at least 16 places
  while ((size_t{1} << bits) < n * 2) ++bits;
  Index fresh(size_t{1} << bits, 0);  // may throw: the shape is unchanged then
  index.swap(fresh);
  pos_bits = bits;
  for (size_t k = 0; k < keys.size(); ++k) place(static_cast<uint32_t>(k + 1), keyed_hash(keys[k]));
  if (extra != nullptr) place(static_cast<uint32_t>(keys.size() + 1), extra_hash);
}

void Shape::append(std::string key, uint64_t hash, bool have_hash) {
  // Room grows by doubling: reserving one more each time would move every key on every insert.
  if (keys.size() == keys.capacity()) keys.reserve(std::max<size_t>(4, keys.capacity() * 2));
  size_t n = keys.size() + 1;
  if (n > kScanLimit) {
    if (!have_hash) hash = keyed_hash(key);
    if (index.empty() || n * 2 > index.size()) build_index(&key, hash);
    else place(static_cast<uint32_t>(n), hash);
  }
  keys.push_back(std::move(key));  // room reserved: cannot fail
}

Shape* Shape::make_frozen(Keys k) {
  auto* s = new Shape();
  s->keys = std::move(k);
  if (s->keys.size() > kScanLimit) {
    try {
      s->build_index(nullptr, 0);
    } catch (...) {
      delete s;
      throw;
    }
  }
  s->frozen = true;
  return s;
}

}  // namespace detail

// An object grows one store at a time, so a loop can grow it without end; past the value ceiling the store
// fails like any other allocation (the run ends with "Out of memory").
void ObjectMap::grow_check() const {
  constexpr size_t kEntryBytes = sizeof(ValueRef) + sizeof(std::string) + 2 * sizeof(uint32_t);
  // Below a page of entries no ceiling worth setting can be reached: skip asking.
  if ((values_.size() + 1) * kEntryBytes <= 4096) return;
  if (!value_fits((values_.size() + 1) * kEntryBytes)) throw std::bad_alloc();
}

void ObjectMap::set(std::string key, ValueRef value) {
  // A large map hashes the key once, for the look-up and for the insert.
  if (shape_ != nullptr && shape_->hashed()) {
    uint64_t hash = keyed_hash(key);
    size_t i = shape_->find_hashed(key, hash);
    if (i != npos) {
      values_[i] = std::move(value);
      return;
    }
    append_new(std::move(key), std::move(value), hash, true);
    return;
  }
  size_t i = find_slot(key);
  if (i != npos) {
    values_[i] = std::move(value);
    return;
  }
  append_new(std::move(key), std::move(value));
}

void ObjectMap::append_new(std::string key, ValueRef value, uint64_t hash, bool have_hash) {
  grow_check();
  values_.reserve(values_.size() + 1);
  // Keys are added to a shape this map alone holds: a shared one (another object's, or a literal's that a
  // cache may remember) is copied first.
  if (shape_ == nullptr || shape_->refs.load(std::memory_order_acquire) != 1) {
    auto* own = shape_ == nullptr ? new detail::Shape() : new detail::Shape(*shape_);
    detail::Shape::release(shape_);
    shape_ = own;
  }
  shape_->frozen = false;
  shape_->append(std::move(key), hash, have_hash);
  values_.push_back_reserved(std::move(value));
}

namespace {

// A key under its first eight bytes as one big-endian number, short keys padded with zero bytes (which
// order like the end of a text): entries with different prefixes are in the order of their prefixes.
struct KeyEntry {
  uint64_t prefix;
  std::string_view key;
};

// Orders entries by prefix, stably: a least-significant-byte-first radix sort that skips every byte
// position where all prefixes agree.
void sort_by_prefix(std::vector<KeyEntry>& entries) {
  size_t n = entries.size();
  std::vector<size_t> counts(8 * 256, 0);
  for (const KeyEntry& e : entries)
    for (int b = 0; b < 8; ++b) ++counts[b * 256 + ((e.prefix >> (8 * b)) & 0xFF)];
  std::vector<KeyEntry> spare(n);
  KeyEntry* from = entries.data();
  KeyEntry* to = spare.data();
  for (int b = 0; b < 8; ++b) {
    size_t* count = &counts[b * 256];
    if (count[(from[0].prefix >> (8 * b)) & 0xFF] == n) continue;
    size_t at = 0;
    for (int v = 0; v < 256; ++v) {
      size_t c = count[v];
      count[v] = at;
      at += c;
    }
    for (size_t i = 0; i < n; ++i) to[count[(from[i].prefix >> (8 * b)) & 0xFF]++] = from[i];
    std::swap(from, to);
  }
  if (from != entries.data()) std::copy(from, from + n, entries.data());
}

}  // namespace

std::vector<ValueRef> ObjectMap::sorted_keys() const {
  std::vector<KeyEntry> entries;
  entries.reserve(size());
  for (size_t j = 0; j < size(); ++j) {
    std::string_view k = key(j);
    uint64_t prefix = 0;
    for (size_t b = 0; b < 8; ++b)
      prefix = (prefix << 8) | (b < k.size() ? static_cast<unsigned char>(k[b]) : 0u);
    entries.push_back(KeyEntry{prefix, k});
  }
  auto by_text = [](const KeyEntry& a, const KeyEntry& b) { return a.key < b.key; };
  if (entries.size() < 64) {
    std::sort(entries.begin(), entries.end(), [](const KeyEntry& a, const KeyEntry& b) {
      return a.prefix != b.prefix ? a.prefix < b.prefix : a.key < b.key;
    });
  } else {
    sort_by_prefix(entries);
    // Runs of one prefix (keys alike in their first eight bytes) are put in order by their texts.
    for (size_t i = 0; i < entries.size();) {
      size_t j = i + 1;
      while (j < entries.size() && entries[j].prefix == entries[i].prefix) ++j;
      if (j - i > 1) std::sort(entries.begin() + i, entries.begin() + j, by_text);
      i = j;
    }
  }
  std::vector<ValueRef> out;
  out.reserve(entries.size());
  for (const KeyEntry& e : entries) out.push_back(ValueRef::string(e.key));
  return out;
}

// --- Rules -----------------------------------------------------------------------------------------------

const char* type_name(ValueKind k) noexcept {
  switch (k) {
    case ValueKind::Nil: return "nil";
    case ValueKind::Bool: return "bool";
    case ValueKind::Int: return "int";
    case ValueKind::Float: return "float";
    case ValueKind::String: return "string";
    case ValueKind::Array: return "array";
    case ValueKind::Object: return "object";
    case ValueKind::Function: return "function";
    case ValueKind::Method: return "function";
    case ValueKind::NativeFn: return "native_fn";
  }
  return "nil";
}
const char* type_name(const ValueRef& v) noexcept { return type_name(v.kind()); }

bool is_truthy_heap(const ValueRef& v) noexcept {
  switch (v.kind()) {
    case ValueKind::String: return !v.as_string().empty();
    case ValueKind::Array: return !v.as_array().empty();
    case ValueKind::Object: return !v.as_object().empty();
    default: return true;
  }
}

bool values_equal(const ValueRef& a, const ValueRef& b) noexcept {
  constexpr double kEpsilon = 2.220446049250313e-16;  // 2^-52
  ValueKind ka = a.kind(), kb = b.kind();
  if (a.is_number() && b.is_number()) {
    if (ka == ValueKind::Int && kb == ValueKind::Int) return a.as_int() == b.as_int();
    return std::fabs(a.number_as_double() - b.number_as_double()) < kEpsilon;
  }
  if (ka != kb) return false;
  switch (ka) {
    case ValueKind::Nil: return true;
    case ValueKind::Bool: return a.as_bool() == b.as_bool();
    case ValueKind::String: return a.as_string() == b.as_string();
    default: return false;
  }
}

std::string float_text(double d) {
  if (std::isnan(d)) return "NaN";
  if (std::isinf(d)) return d > 0 ? "inf" : "-inf";
  if (d == std::trunc(d)) {
    char buf[400];
    auto res = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::fixed, 1);
    return std::string(buf, res.ptr);
  }
  return shortest_fixed(d);
}

// Renderings refuse to build texts larger than half the machine's memory: such a request can only come
// from a script multiplying shared nested values, and trying would take the process down.
size_t text_limit() noexcept {
  static const size_t half_memory = [] {
    long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || page <= 0) return static_cast<size_t>(1) << 32;
    return static_cast<size_t>(pages) / 2 * static_cast<size_t>(page);
  }();
  return std::min<uint64_t>(half_memory, current_limits().max_value_bytes);
}

namespace {

void append_scalar(std::string& out, const ValueRef& v) {
  // Texts that stay within a page cannot reach any ceiling worth setting: only longer ones ask.
  if (v.kind() == ValueKind::String && out.size() + v.as_string().size() > 4096 &&
      v.as_string().size() > text_limit() - std::min(out.size(), text_limit()))
    throw std::bad_alloc();
  switch (v.kind()) {
    case ValueKind::Nil: out += "nil"; break;
    case ValueKind::Bool: out += v.as_bool() ? "true" : "false"; break;
    case ValueKind::Int: {
      char buf[24];
      auto res = std::to_chars(buf, buf + sizeof buf, v.as_int());
      out.append(buf, res.ptr);
      break;
    }
    case ValueKind::Float: out += float_text(v.as_float()); break;
    case ValueKind::String: out += v.as_string(); break;
    case ValueKind::Function: out += "<function "; out += v.function_name(); out += '>'; break;
    case ValueKind::Method: out += "<method "; out += v.function_name(); out += '>'; break;
    case ValueKind::NativeFn: out += "<native "; out += v.function_name(); out += '>'; break;
    default: break;
  }
}

// Length of a scalar's plain text (what append_scalar writes).
uint64_t scalar_text_size(const ValueRef& v) {
  switch (v.kind()) {
    case ValueKind::Nil: return 3;
    case ValueKind::Bool: return v.as_bool() ? 4 : 5;
    case ValueKind::Int: {
      char buf[24];
      return static_cast<uint64_t>(std::to_chars(buf, buf + sizeof buf, v.as_int()).ptr - buf);
    }
    case ValueKind::Float: return float_text(v.as_float()).size();
    case ValueKind::String: return v.as_string().size();
    case ValueKind::Function: return 11 + v.function_name().size();
    case ValueKind::Method:
    case ValueKind::NativeFn: return 9 + v.function_name().size();
    default: return 0;
  }
}

// Length of the plain text of a container, without building it; past `cap` it stops and answers cap + 1.
// A value can hold one array many times over (each level of `a = [a, a]` doubles its text), so every
// container is measured once and remembered by identity: the work follows the distinct parts, not the
// length of the text.
uint64_t measure_text(const ValueRef& root, uint64_t cap) {
  struct Open {
    const ValueRef* container;
    size_t next;
    uint64_t length;
  };
  const uint64_t over = cap == UINT64_MAX ? cap : cap + 1;
  auto add = [over](uint64_t a, uint64_t b) { return b > over - std::min(a, over) ? over : a + b; };
  std::unordered_map<const void*, uint64_t> measured;
  std::vector<Open> open;
  open.push_back({&root, 0, 2});
  uint32_t steps = 1u << 16;
  for (;;) {
    if (--steps == 0) {
      steps = 1u << 16;
      detail::long_work_check();
    }
    Open& top = open.back();
    if (top.length >= over) return over;
    const bool array = top.container->kind() == ValueKind::Array;
    size_t n = array ? top.container->as_array().size() : top.container->as_object().size();
    if (top.next == n) {
      uint64_t done = top.length;
      measured.emplace(top.container->heap_identity(), done);
      open.pop_back();
      if (open.empty()) return done;
      open.back().length = add(open.back().length, done);
      continue;
    }
    size_t i = top.next++;
    uint64_t length = top.length + (i > 0 ? 2 : 0);
    const ValueRef* item;
    if (array) {
      item = &top.container->as_array()[i];
    } else {
      const ObjectMap& map = top.container->as_object();
      length = add(length, map.key(i).size() + 2);
      item = &map.value(i);
    }
    if (item->kind() == ValueKind::Array || item->kind() == ValueKind::Object) {
      auto known = measured.find(item->heap_identity());
      if (known == measured.end()) {
        top.length = length;
        open.push_back({item, 0, 2});  // `top` is not used past this point
        continue;
      }
      length = add(length, known->second);
    } else {
      length = add(length, scalar_text_size(*item));
    }
    top.length = length;
  }
}

}  // namespace

uint64_t text_size(const ValueRef& v, uint64_t cap) {
  if (v.kind() != ValueKind::Array && v.kind() != ValueKind::Object) {
    uint64_t n = scalar_text_size(v);
    return n > cap ? cap + 1 : n;
  }
  return measure_text(v, cap);
}

namespace {

// Renderings measure their text once it passes this size: below it no ceiling worth setting is near, and
// small texts (the common case) are not walked twice.
constexpr size_t kMeasureFrom = size_t{64} << 10;

}  // namespace

void append_text(std::string& out, const ValueRef& root) {
  if (root.kind() != ValueKind::Array && root.kind() != ValueKind::Object) {
    append_scalar(out, root);
    return;
  }
  const size_t start_size = out.size();
  // Explicit work stack: one entry per open container, so depth costs heap, not native stack.
  struct Open {
    const ValueRef* container;
    size_t next;
  };
  std::vector<Open> open;
  const size_t limit = text_limit();
  const size_t start = out.size();
  bool measured = false;
  // A text that grows large is measured whole before it grows further: one past the ceiling, or past what
  // the runtime's memory limit leaves, is refused before it is built (the measure takes a fraction of the
  // time), and one within them gets its exact room at once.
  auto measure = [&] {
    measured = true;
    uint64_t room = start < limit ? limit - start : 0;
    uint64_t total = measure_text(root, std::min<uint64_t>({room, detail::account_room(), UINT64_MAX - 1}));
    if (total > room || !detail::account_allows(total)) throw std::bad_alloc();
    out.reserve(start + total);
  };
  auto begin = [&](const ValueRef& v) {
    if (v.kind() == ValueKind::Array) {
      out += '[';
      open.push_back({&v, 0});
    } else if (v.kind() == ValueKind::Object) {
      out += '{';
      open.push_back({&v, 0});
    } else {
      append_scalar(out, v);
    }
    if (out.size() - start > kMeasureFrom && !measured) [[unlikely]] measure();
    if (out.size() > limit) throw std::bad_alloc();
  };
  begin(root);
  uint32_t steps = 1u << 16;
  while (!open.empty()) {
    if (--steps == 0) {
      steps = 1u << 16;
      detail::long_work_check();
    }
    Open& top = open.back();
    if (top.container->kind() == ValueKind::Array) {
      const auto& items = top.container->as_array();
      if (top.next == items.size()) {
        out += ']';
        open.pop_back();
        continue;
      }
      if (top.next > 0) out += ", ";
      const ValueRef& item = items[top.next++];
      begin(item);
    } else {
      const ObjectMap& map = top.container->as_object();
      if (top.next == map.size()) {
        out += '}';
        open.pop_back();
        continue;
      }
      if (top.next > 0) out += ", ";
      size_t i = top.next++;
      out += map.key(i);
      out += ": ";
      begin(map.value(i));
    }
  }
  // Many middling renders in a loop add up to long work too.
  detail::count_work(out.size() - start_size);
}

std::string to_text(const ValueRef& v) {
  std::string out;
  append_text(out, v);
  return out;
}

std::string to_display(const ValueRef& v) {
  switch (v.kind()) {
    case ValueKind::String: {
      std::string_view text = v.as_string();
      std::string out;
      out.reserve(text.size() + 2);
      out += '"';
      out += text;
      out += '"';
      return out;
    }
    case ValueKind::Array: return "[array:" + std::to_string(v.as_array().size()) + "]";
    case ValueKind::Object: return "{object:" + std::to_string(v.as_object().size()) + "}";
    default: return to_text(v);
  }
}

ValueRef shallow_copy(const ValueRef& v) {
  switch (v.kind()) {
    case ValueKind::String: {
      std::string_view text = v.as_string();
      char* bytes;
      ValueRef copy = ValueRef::string_for_writing(text.size(), bytes);
      if (!text.empty()) std::memcpy(bytes, text.data(), text.size());
      return copy;
    }
    case ValueKind::Array: {
      // The copy's storage is taken before ArrayObj counts it: ask first, so that a loop of copies cannot
      // run far past the limit between two polls. Asking counts the copy as work towards the next poll too.
      uint64_t bytes = uint64_t{v.as_array().size()} * sizeof(ValueRef);
      if (bytes >= 4096) detail::check_large(bytes);
      return ValueRef(new ArrayObj(v.as_array()));
    }
    case ValueKind::Object: return ValueRef(new ObjectObj(v.as_object()));  // its buffer asks itself
    case ValueKind::Function:
    case ValueKind::NativeFn: return v;  // interned: the copy is the record itself
    case ValueKind::Method: return ValueRef::method(v.method_receiver(), v.method_function());
    default: return v;
  }
}

void make_unique(ValueRef& v) {
  if (!v.unique()) v = shallow_copy(v);
}

}  // namespace tarnwick
