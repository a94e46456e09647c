// Building texts: the decimal text of ints, and the join behind Concat and runs of Concat, which writes
// every operand's text straight into the bytes of the resulting string.
#pragma once

#include <cstdint>
#include <cstring>

#include "vm_engine/value.h"

namespace tarnwick {

namespace detail {

// Digits of v in decimal (1 for 0).
TARNWICK_INLINE unsigned decimal_digits(uint64_t v) noexcept {
  static constexpr uint64_t kPow10[20] = {1ULL,
                                          10ULL,
                                          100ULL,
                                          1000ULL,
                                          10000ULL,
                                          100000ULL,
                                          1000000ULL,
                                          10000000ULL,
                                          100000000ULL,
                                          1000000000ULL,
                                          10000000000ULL,
                                          100000000000ULL,
                                          1000000000000ULL,
                                          10000000000000ULL,
                                          100000000000000ULL,
                                          1000000000000000ULL,
                                          10000000000000000ULL,
                                          100000000000000000ULL,
                                          1000000000000000000ULL,
                                          10000000000000000000ULL};
  // v | 1 has as many digits as v (a power of ten is even), and gives 0 its one digit.
  v |= 1;
  unsigned bits = 64u - static_cast<unsigned>(__builtin_clzll(v));
  unsigned guess = (bits * 1233u) >> 12;  // floor(bits * log10(2)): the count, or one short
  return guess + (v >= kPow10[guess] ? 1u : 0u);
}

struct DigitPairs {
  char text[200];
  constexpr DigitPairs() : text() {
    for (int i = 0; i < 100; ++i) {
      text[2 * i] = static_cast<char>('0' + i / 10);
      text[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
  }
};
inline constexpr DigitPairs kDigitPairs{};

}  // namespace detail

// Length of the decimal text of v ("-" and digits).
TARNWICK_INLINE size_t int_text_size(int64_t v) noexcept {
  uint64_t u = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
  return detail::decimal_digits(u) + (v < 0 ? 1 : 0);
}

// Writes the decimal text of v, `size` bytes long (int_text_size(v)), at `out`; returns its end.
TARNWICK_INLINE char* write_int_text(char* out, int64_t v, size_t size) noexcept {
  uint64_t u = static_cast<uint64_t>(v);
  if (v < 0) {
    out[0] = '-';
    u = 0 - u;
  }
  char* end = out + size;
  char* p = end;
  while (u >= 100) {
    p -= 2;
    std::memcpy(p, detail::kDigitPairs.text + (u % 100) * 2, 2);
    u /= 100;
  }
  if (u >= 10) {
    std::memcpy(p - 2, detail::kDigitPairs.text + u * 2, 2);
  } else {
    p[-1] = static_cast<char>('0' + u);
  }
  return end;
}

// The same, measuring first (room for 20 bytes is always enough).
TARNWICK_INLINE char* write_int_text(char* out, int64_t v) noexcept { return write_int_text(out, v, int_text_size(v)); }

// Replaces *first with the String of the plain texts of first[0], ..., end[-1] joined in that order, and
// returns true; the caller drops the other operands. When first holds a String that no other handle
// shares, the text grows in place. `target`, when not null, is the register that the result is stored
// over next: its value is as good as gone, so when it holds the String being extended it is let go first
// (the text can then grow in place), and when it holds a String of its own that fits, that block is
// reused for the result (in those two cases the register is left nil; otherwise it is not touched).
// Returns false, changing nothing, when an operand is an array or an object or when the text would pass
// the rendering limit (text_limit()): the caller renders those one Concat at a time, where the one that
// passes the limit fails.
bool join_texts(ValueRef* first, ValueRef* end, ValueRef* target);

// The same join read in place: `out` (nil on entry) receives the String of the texts of *ops[0], ...,
// *ops[n - 1], which stay untouched except as follows. `target`, when not null, is the register the result
// is stored over next: when it is ops[0] alone, holding a String nothing else shares, that text is moved
// out and extended in place; when it is none of the operands and holds an unshared String that fits, its
// block is reused (the register is left nil in both cases). Returns false, changing nothing, unless every
// operand is a String or an Int and the text stays within the rendering limit.
bool join_in_place(const ValueRef* const* ops, size_t n, ValueRef* target, ValueRef& out);

}  // namespace tarnwick
