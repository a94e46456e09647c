// A bump allocator for everything one compilation builds: syntax-tree nodes, their lists and their texts.
// Objects placed in an arena are never destroyed one by one; the arena hands all its blocks back at once
// when it goes, so it only takes trivially destructible types (a node refers to its children and texts by
// pointer, span and string_view, all into the same arena).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace tarnwick {

class Arena {
 public:
  Arena() = default;
  Arena(Arena&& other) noexcept { take(other); }
  Arena& operator=(Arena&& other) noexcept {
    if (this != &other) {
      release();
      take(other);
    }
    return *this;
  }
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;
  ~Arena() { release(); }

  // `size` bytes aligned to `align` (a power of two no larger than alignof(std::max_align_t)); throws
  // std::bad_alloc when the system has no memory left.
  void* allocate(size_t size, size_t align) {
    size_t pad = static_cast<size_t>(-reinterpret_cast<uintptr_t>(next_)) & (align - 1);
    if (static_cast<size_t>(end_ - next_) < size + pad) return allocate_slow(size);
    char* at = next_ + pad;
    next_ = at + size;
    return at;
  }

  template <class T, class... Args>
  T* make(Args&&... args) {
    static_assert(std::is_trivially_destructible_v<T>, "arena objects are never destroyed");
    return new (allocate(sizeof(T), alignof(T))) T(std::forward<Args>(args)...);
  }

  std::string_view copy(std::string_view text) {
    if (text.empty()) return {};
    char* at = static_cast<char*>(allocate(text.size(), 1));
    std::memcpy(at, text.data(), text.size());
    return {at, text.size()};
  }

  template <class T>
  std::span<T> copy(std::span<const T> items) {
    static_assert(std::is_trivially_destructible_v<T>, "arena objects are never destroyed");
    if (items.empty()) return {};
    T* at = static_cast<T*>(allocate(sizeof(T) * items.size(), alignof(T)));
    std::uninitialized_copy(items.begin(), items.end(), at);
    return {at, items.size()};
  }
  template <class T>
  std::span<T> copy(const std::vector<T>& items) {
    return copy(std::span<const T>(items));
  }

 private:
  struct Block {
    Block* prev;
    size_t size;  // usable bytes after the header
  };
  // Blocks grow with the arena, so a large compilation asks the system for few of them and a small one
  // stays small.
  static constexpr size_t kFirstBlock = 16 * 1024;
  static constexpr size_t kLargestBlock = 4 * 1024 * 1024;

  void* allocate_slow(size_t size);
  void release() noexcept;
  void take(Arena& other) noexcept {
    next_ = std::exchange(other.next_, nullptr);
    end_ = std::exchange(other.end_, nullptr);
    head_ = std::exchange(other.head_, nullptr);
    block_size_ = std::exchange(other.block_size_, kFirstBlock);
  }

  char* next_ = nullptr;
  char* end_ = nullptr;
  Block* head_ = nullptr;
  size_t block_size_ = kFirstBlock;
};

}  // namespace tarnwick
