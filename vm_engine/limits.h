// Ceilings on what one script can make the engine allocate or nest. Past one of them the run ends with a
// runtime error ("Out of memory", "Stack overflow") instead of the host process being killed by the
// system or overflowing its native stack. The ceilings are process-wide; embedders and fuzzers may lower
// them (they are read at the point of each check, so a change applies to runs already in progress).
#pragma once

#include <cstdint>

namespace tarnwick {

#if defined(__SANITIZE_ADDRESS__) || !defined(__OPTIMIZE__)
inline constexpr uint64_t kDefaultNativeStackReserve = uint64_t{192} << 10;
#else
inline constexpr uint64_t kDefaultNativeStackReserve = uint64_t{80} << 10;
#endif

struct Limits {
  // Bytes of one string, or of the element storage of one array or object (elements at 16 bytes, object
  // entries at their in-memory size, a string split into characters at the size of its pieces).
  uint64_t max_value_bytes = uint64_t{1} << 30;
  // Slots of one VM's value stack, and separately of its register stack.
  uint64_t max_stack_slots = uint64_t{1} << 24;
  // Call frames of one VM.
  uint64_t max_call_depth = uint64_t{1} << 20;
  // Native stack that must be left when a run starts. Script calls never use the native stack, but a
  // native that runs another program nests runs on it; the deepest then fails with "Stack overflow"
  // instead of overflowing the thread's stack. The reserve covers what one more level takes before its
  // own check: the native bridge and the host's frames, then lexing, parsing (up to the parser's nesting
  // limit) and compiling the nested program. Measured through Python, natives nesting runs without end
  // on threads of 96 KiB to 1 MiB: a plain level takes about 3 KiB in an optimised build and 33 KiB
  // under AddressSanitizer (whose frames carry red zones); a level whose program is nested 90 deep
  // needed a reserve of 64 KiB (56 was too little) and 168 KiB (160 was too little). Any more than
  // needed would refuse even the first run to threads with small stacks.
  uint64_t min_native_stack = kDefaultNativeStackReserve;
  // Wall-clock milliseconds one external tool of the native trace build may run before it is killed with
  // its process group and the build fails: a tool that hangs must not hold the host (and its interpreter
  // lock) for ever.
  uint64_t max_tool_millis = 60000;
};

Limits current_limits() noexcept;
void set_limits(const Limits& limits) noexcept;

// True when the calling thread's native stack has at least `bytes` left below the caller's frame (also
// when the thread's stack bounds cannot be found).
bool native_stack_room(uint64_t bytes) noexcept;

namespace detail {
// Where a thread keeps the lowest address of its native stack, found on its first check (0 when unknown).
struct StackBounds {
  bool known = false;
  uintptr_t low = 0;
};
// The calling thread's bounds, kept in its heap state (reached with one load, where a thread_local of the
// general model costs a call per run); nullptr when the thread has none (past its end).
StackBounds* thread_stack_bounds() noexcept;
}  // namespace detail

// True when a value of `bytes` stays within max_value_bytes and within the machine's physical memory.
bool value_fits(uint64_t bytes) noexcept;

}  // namespace tarnwick
