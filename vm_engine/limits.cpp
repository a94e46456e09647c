// The process-wide ceilings on allocation and nesting, and the check of the native stack's room.
#include "vm_engine/limits.h"

#include <algorithm>
#include <atomic>

#include <pthread.h>
#include <unistd.h>

namespace tarnwick {

namespace {

const Limits kDefaults;
std::atomic<uint64_t> g_value_bytes{kDefaults.max_value_bytes};
std::atomic<uint64_t> g_stack_slots{kDefaults.max_stack_slots};
std::atomic<uint64_t> g_call_depth{kDefaults.max_call_depth};
std::atomic<uint64_t> g_native_stack{kDefaults.min_native_stack};
std::atomic<uint64_t> g_tool_millis{kDefaults.max_tool_millis};

// This thread's stack bounds when its heap state is gone.
thread_local detail::StackBounds t_stack;

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
  l.min_native_stack = g_native_stack.load(std::memory_order_relaxed);
  l.max_tool_millis = g_tool_millis.load(std::memory_order_relaxed);
  return l;
}

void set_limits(const Limits& limits) noexcept {
  g_value_bytes.store(limits.max_value_bytes, std::memory_order_relaxed);
  g_stack_slots.store(limits.max_stack_slots, std::memory_order_relaxed);
  g_call_depth.store(limits.max_call_depth, std::memory_order_relaxed);
  g_native_stack.store(limits.min_native_stack, std::memory_order_relaxed);
  g_tool_millis.store(limits.max_tool_millis, std::memory_order_relaxed);
}

bool native_stack_room(uint64_t bytes) noexcept {
  detail::StackBounds* bounds = detail::thread_stack_bounds();
  detail::StackBounds& stack = bounds != nullptr ? *bounds : t_stack;
  if (!stack.known) {
    stack.known = true;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
      void* addr = nullptr;
      size_t size = 0;
      if (pthread_attr_getstack(&attr, &addr, &size) == 0) stack.low = reinterpret_cast<uintptr_t>(addr);
      pthread_attr_destroy(&attr);
    }
  }
  if (stack.low == 0) return true;
  // The frame address, not a local's: under AddressSanitizer locals may live on a separate fake stack.
  auto here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  return here > stack.low && here - stack.low >= bytes;
}

bool value_fits(uint64_t bytes) noexcept {
  return bytes <= std::min(g_value_bytes.load(std::memory_order_relaxed), physical_memory());
}

}  // namespace tarnwick
