#include "vm_engine/limits.h"

#include <algorithm>
#include <atomic>

#include <unistd.h>

namespace tarnwick {

namespace {

const Limits kDefaults;
std::atomic<uint64_t> g_value_bytes{kDefaults.max_value_bytes};
std::atomic<uint64_t> g_stack_slots{kDefaults.max_stack_slots};
std::atomic<uint64_t> g_call_depth{kDefaults.max_call_depth};

uint64_t physical_memory() noexcept {
  static const uint64_t bytes = [] {
    long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || page <= 0) return uint64_t{1} << 34;
    return static_cast<uint64_t>(pages) * static_cast<uint64_t>(page);
  }();
  return bytes;
}

}  // namespace

Limits current_limits() noexcept {
  Limits l;
  l.max_value_bytes = g_value_bytes.load(std::memory_order_relaxed);
  l.max_stack_slots = g_stack_slots.load(std::memory_order_relaxed);
  l.max_call_depth = g_call_depth.load(std::memory_order_relaxed);
  return l;
}

void set_limits(const Limits& limits) noexcept {
  g_value_bytes.store(limits.max_value_bytes, std::memory_order_relaxed);
  g_stack_slots.store(limits.max_stack_slots, std::memory_order_relaxed);
  g_call_depth.store(limits.max_call_depth, std::memory_order_relaxed);
}

bool value_fits(uint64_t bytes) noexcept {
  return bytes <= std::min(g_value_bytes.load(std::memory_order_relaxed), physical_memory());
}

}  // namespace tarnwick
