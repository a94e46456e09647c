// Process-wide shared values. Nil, booleans and ints are held inline by ValueRef, so "sharing" them costs
// nothing at all; the only shared heap value is the empty string, created once (race-free) and never freed.
#pragma once

#include <cstdint>

#include "vm_engine/value.h"

namespace tarnwick {

inline ValueRef shared_nil() noexcept { return ValueRef(); }
inline ValueRef shared_true() noexcept { return ValueRef::boolean(true); }
inline ValueRef shared_false() noexcept { return ValueRef::boolean(false); }
inline ValueRef shared_bool(bool b) noexcept { return ValueRef::boolean(b); }
ValueRef shared_empty_string();

// The small-int pool covers -1..255 (257 slots, indexed by n + 1). Every int is inline here, so an int in
// that range and one outside it are equally free; the accessor exists for callers that speak of the pool.
struct SmallIntPool {
  static constexpr int64_t kMin = -1;
  static constexpr int64_t kMax = 255;
  static constexpr size_t kSlots = 257;
  static bool covers(int64_t n) noexcept { return static_cast<uint64_t>(n) + 1 <= 256; }
  static ValueRef get(int64_t n) noexcept { return ValueRef::integer(n); }
};

}  // namespace tarnwick
