// Shared by the fuzz targets that run the VM: keeps every run bounded in time, depth and memory, and
// checks what a host relies on after a run. Include it in exactly one file per fuzz binary: it replaces
// the global operator new/delete to enforce a memory budget while a VM runs.
//
// Bounds:
// - instructions: the poll hook (asked every kPollInterval backward jumps and calls) stops a run past
//   kInstructionBudget;
// - call depth and stack slots: the engine's own ceilings, lowered here so that they are reached quickly;
// - memory: one value at most kValueBytes (engine ceiling); all live heap at most kHeapBudget more than
//   when the run started, enforced by operator new throwing std::bad_alloc, which the VM must turn into
//   an "Out of memory" error at its run boundary (this also exercises every allocation site's exception
//   safety: a bad_alloc in a noexcept function aborts the fuzzer).
#pragma once

#include <malloc.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <optional>
#include <string>

#include "vm_engine/limits.h"
#include "vm_engine/vm.h"

namespace fuzz_harness {

inline constexpr uint64_t kInstructionBudget = 50'000;
inline constexpr uint64_t kValueBytes = 16 * 1024;
// A loop body can be long and each of its instructions can copy a value: poll often.
inline constexpr uint32_t kPollInterval = 16;
inline constexpr size_t kHeapBudget = 256u << 20;

inline std::atomic<size_t> g_live{0};
inline std::atomic<size_t> g_ceiling{0};  // 0: not enforcing

inline std::FILE* g_null_in = nullptr;
inline std::FILE* g_null_out = nullptr;

inline void init() {
  // print and input must neither flood the terminal nor wait for a person.
  g_null_out = std::fopen("/dev/null", "w");
  g_null_in = std::fopen("/dev/null", "r");
  if (std::freopen("/dev/null", "w", stdout) == nullptr || std::freopen("/dev/null", "r", stdin) == nullptr)
    std::abort();
  // A hot trace would start the external tools; pointing the build at a missing directory makes the
  // native build fail at once while the recorder and the IR emitter still run.
  setenv("TMPDIR", "/nonexistent/tarnwick-fuzz", 1);
  tarnwick::Limits l;
  l.max_value_bytes = kValueBytes;
  l.max_stack_slots = 1 << 14;
  l.max_call_depth = 1024;
  tarnwick::set_limits(l);
}

inline std::optional<std::string> poll(void* ctx) {
  auto* vm = static_cast<tarnwick::VM*>(ctx);
  if (vm->instructions_executed() > kInstructionBudget) return std::string("fuzz: instruction budget");
  return std::nullopt;
}

// The heap budget for work done outside run_bounded (a Runtime's runs and calls).
inline void arm() {
  g_ceiling.store(g_live.load(std::memory_order_relaxed) + kHeapBudget, std::memory_order_relaxed);
}
inline void disarm() { g_ceiling.store(0, std::memory_order_relaxed); }

// Runs the VM with every bound in place and checks what must hold afterwards; returns the result's text.
inline std::string run_bounded(tarnwick::VM& vm) {
  vm.set_stdio(g_null_in, g_null_out);
  vm.set_poll_hook(&poll, &vm);
  vm.set_poll_interval(kPollInterval);
  g_ceiling.store(g_live.load(std::memory_order_relaxed) + kHeapBudget, std::memory_order_relaxed);
  tarnwick::RunResult r = vm.run();
  g_ceiling.store(0, std::memory_order_relaxed);
  if (vm.interrupted() && r.ok()) __builtin_trap();
  if (!r.ok()) {
    if (r.error().empty()) __builtin_trap();
    return "error: " + r.error();
  }
  std::string text = tarnwick::to_display(r.value());
  if (text.empty()) __builtin_trap();
  // Rendering the plain text of a result must respect the value ceiling, never the native stack.
  try {
    (void)tarnwick::to_text(r.value());
  } catch (const std::bad_alloc&) {
  }
  return text;
}

}  // namespace fuzz_harness

// Counting allocator: live bytes as the allocator reports them, refused past the ceiling while armed.
void* operator new(size_t n) {
  size_t ceiling = fuzz_harness::g_ceiling.load(std::memory_order_relaxed);
  if (ceiling != 0 && fuzz_harness::g_live.load(std::memory_order_relaxed) + n > ceiling) throw std::bad_alloc();
  void* p = std::malloc(n == 0 ? 1 : n);
  if (p == nullptr) throw std::bad_alloc();
  fuzz_harness::g_live.fetch_add(malloc_usable_size(p), std::memory_order_relaxed);
  return p;
}
void* operator new[](size_t n) { return operator new(n); }
void* operator new(size_t n, const std::nothrow_t&) noexcept {
  try {
    return operator new(n);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](size_t n, const std::nothrow_t&) noexcept { return operator new(n, std::nothrow); }
void operator delete(void* p) noexcept {
  if (p == nullptr) return;
  fuzz_harness::g_live.fetch_sub(malloc_usable_size(p), std::memory_order_relaxed);
  std::free(p);
}
void operator delete[](void* p) noexcept { operator delete(p); }
void operator delete(void* p, size_t) noexcept { operator delete(p); }
void operator delete[](void* p, size_t) noexcept { operator delete(p); }
