// The arena's block list: new blocks when the current one is full, all of them freed together.
#include "parser/arena.h"

#include <cstdlib>
#include <new>

#include "vm_engine/value.h"

namespace tarnwick {

namespace {

// Blocks of the largest size, kept by each thread for its next compilation. A large source fills dozens
// of them; freshly mapped memory costs a page fault per page on first touch, which for a large program
// costs about as much as building the tree, so a thread that compiles again reuses the pages it has.
// At most kKeptBlocks blocks (32 MiB) are kept. The list itself is trivially destructible, so an arena
// freed late in a thread's exit still finds it; a separate guard frees the kept blocks when the thread
// ends and closes the list from then on.
struct BlockCache {
  static constexpr size_t kKeptBlocks = 8;
  void* blocks[kKeptBlocks];
  size_t count;
  bool closed;
};
thread_local BlockCache t_cache{};

struct BlockCacheGuard {
  bool armed = false;
  ~BlockCacheGuard() {
    t_cache.closed = true;
    while (t_cache.count > 0) std::free(t_cache.blocks[--t_cache.count]);
  }
};
thread_local BlockCacheGuard t_cache_guard;

void* reuse_block() { return t_cache.count > 0 ? t_cache.blocks[--t_cache.count] : nullptr; }

bool keep_block(void* block) {
  if (t_cache.closed || t_cache.count == BlockCache::kKeptBlocks) return false;
  t_cache_guard.armed = true;  // its first use in a thread arranges the release at the thread's end
  t_cache.blocks[t_cache.count++] = block;
  return true;
}

}  // namespace

void* Arena::allocate_slow(size_t size) {
  constexpr size_t kHeader = alignof(std::max_align_t);
  static_assert(sizeof(Block) <= kHeader);
  // A request larger than a block gets a block of its own; the current block stays in use.
  const bool own = size > block_size_ / 4;
  const size_t bytes = kHeader + (own ? size : block_size_);
  if (bytes < size) throw std::bad_alloc();
  // The tree of a program that a runtime runs is the script's memory too: a block past the runtime's
  // memory limit is refused before it is taken (counted whether it is fresh or kept from before).
  if (!detail::charge_checked(bytes)) throw std::bad_alloc();
  Block* block = nullptr;
  if (!own && block_size_ == kLargestBlock) block = static_cast<Block*>(reuse_block());
  if (block == nullptr) {
    block = static_cast<Block*>(std::malloc(bytes));
    if (block == nullptr) {
      detail::credit(bytes);
      throw std::bad_alloc();
    }
  }
  block->size = bytes - kHeader;
  char* data = reinterpret_cast<char*>(block) + kHeader;
  if (own && head_ != nullptr) {
    // Link it behind the current block so the current block's free space stays where it is.
    block->prev = head_->prev;
    head_->prev = block;
    return data;
  }
  block->prev = head_;
  head_ = block;
  if (!own) {
    next_ = data + size;
    end_ = data + block_size_;
    if (block_size_ < kLargestBlock) block_size_ *= 2;
  } else {
    next_ = end_ = data + size;
  }
  return data;
}

void Arena::release() noexcept {
  for (Block* b = head_; b != nullptr;) {
    Block* prev = b->prev;
    detail::credit(alignof(std::max_align_t) + b->size);
    if (b->size != kLargestBlock || !keep_block(b)) std::free(b);
    b = prev;
  }
  head_ = nullptr;
  next_ = end_ = nullptr;
}

}  // namespace tarnwick
