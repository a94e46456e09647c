// The arena behind the syntax tree: what it hands out stays put and intact, whatever mix of sizes is asked
// for and wherever the arena itself is moved.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "parser/arena.h"

namespace tarnwick {
namespace {

struct Piece {
  char* at;
  size_t size;
  char fill;
};

// Fills each piece with its own byte, so an overlap between two pieces shows as a wrong byte in one.
bool intact(const std::vector<Piece>& pieces) {
  for (const Piece& p : pieces)
    for (size_t i = 0; i < p.size; ++i)
      if (p.at[i] != p.fill) return false;
  return true;
}

TEST(Arena, MixedRequestsStayAlignedAndApartAcrossBlocksAndMoves) {
  Arena arena;
  std::vector<Piece> pieces;
  // Small requests fill several blocks; every so often one larger than a block gets a block of its own
  // while the current block keeps serving the small ones.
  const size_t sizes[] = {1, 3, 8, 24, 7, 96, 5, 40};
  const size_t aligns[] = {1, 2, 8, 16};
  for (int k = 0; k < 20000; ++k) {
    size_t size = k % 997 == 0 ? 3 * 1024 * 1024 + static_cast<size_t>(k) : sizes[k % 8];
    size_t align = aligns[k % 4];
    auto* at = static_cast<char*>(arena.allocate(size, align));
    ASSERT_EQ(reinterpret_cast<uintptr_t>(at) % align, 0u) << k;
    char fill = static_cast<char>('a' + k % 26);
    std::memset(at, fill, size);
    pieces.push_back(Piece{at, size, fill});
  }
  EXPECT_TRUE(intact(pieces));
  Arena moved(std::move(arena));
  Arena assigned;
  assigned.allocate(10, 1);
  assigned = std::move(moved);
  EXPECT_TRUE(intact(pieces));  // the blocks changed owner, not place
  // The old owners are empty and usable.
  EXPECT_NE(arena.allocate(4, 4), nullptr);
  EXPECT_NE(moved.allocate(4, 4), nullptr);
}

// Large arenas hand their biggest blocks to the next arena of the same thread: a block must go to one
// arena at a time, and the kept ones are released when the thread ends (the sanitizer build's leak check
// sees it). The pieces are large enough to fill many of the largest blocks.
TEST(Arena, KeptBlocksGoToOneArenaAtATimeAndLeaveWithTheirThread) {
  bool ok = false;
  std::thread worker([&ok] {
    auto fill = [](Arena& arena, char c, std::vector<Piece>& pieces) {
      for (int k = 0; k < 10240; ++k) {  // 40 MiB in pieces small enough to share blocks
        auto* at = static_cast<char*>(arena.allocate(4096, 16));
        std::memset(at, c, 4096);
        pieces.push_back(Piece{at, 4096, c});
      }
    };
    std::vector<Piece> first_pieces;
    {
      Arena first;
      fill(first, 'x', first_pieces);
    }
    Arena a, b;
    std::vector<Piece> pieces;
    fill(a, 'a', pieces);
    fill(b, 'b', pieces);
    ok = intact(pieces);
  });
  worker.join();
  EXPECT_TRUE(ok);
}

TEST(Arena, CopiesOfTextsAndLists) {
  Arena arena;
  std::string source = "name";
  std::string_view copy = arena.copy(source);
  source.assign("other");
  EXPECT_EQ(copy, "name");
  EXPECT_TRUE(arena.copy(std::string_view()).empty());
  std::vector<int64_t> values{1, -2, 3};
  std::span<int64_t> list = arena.copy(values);
  values.assign({7, 7, 7});
  EXPECT_EQ(std::vector<int64_t>(list.begin(), list.end()), (std::vector<int64_t>{1, -2, 3}));
  EXPECT_TRUE(arena.copy(std::vector<int64_t>{}).empty());
}

}  // namespace
}  // namespace tarnwick
