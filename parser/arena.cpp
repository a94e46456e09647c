// The arena's block list: new blocks when the current one is full, all of them freed together.
#include "parser/arena.h"

#include <cstdlib>
#include <new>

namespace tarnwick {

void* Arena::allocate_slow(size_t size) {
  constexpr size_t kHeader = alignof(std::max_align_t);
  static_assert(sizeof(Block) <= kHeader);
  // A request larger than a block gets a block of its own; the current block stays in use.
  const bool own = size > block_size_ / 4;
  const size_t bytes = kHeader + (own ? size : block_size_);
  if (bytes < size) throw std::bad_alloc();
  auto* block = static_cast<Block*>(std::malloc(bytes));
  if (block == nullptr) throw std::bad_alloc();
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
    std::free(b);
    b = prev;
  }
  head_ = nullptr;
  next_ = end_ = nullptr;
}

}  // namespace tarnwick
