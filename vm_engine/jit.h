// The trace recorder (hot loops become LLVM IR and are built into native code) and the native build.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "vm_engine/bytecode.h"

namespace tarnwick {

struct Trace {
  std::string name;
  std::vector<Instruction> instructions;
  std::optional<std::string> ir;
  uint64_t count = 0;
  bool hot = false;
  void* native_entry = nullptr;
};

struct JitState {
  static constexpr uint64_t kHotThreshold = 1000;
  static constexpr size_t kCapacity = 256;

  std::unordered_map<std::string, Trace> traces;
  uint64_t total_traces = 0;
  uint64_t hot_traces = 0;
  uint64_t compiled = 0;
  uint64_t total_executions = 0;

  // "JIT Stats:\n  Total traces: ...\n" as shown by VMEngine.stats().
  std::string stats_text() const;
};

// Called by the interpreter after a taken jump whose target `start` lies before the jump's own index
// `end`, with the code unit that is running. Never changes execution.
void on_backward_jump(JitState& jit, const std::vector<Instruction>& code, uint64_t start, uint64_t end);

// Builds IR into a shared library with the external tools and loads it; nullptr on any failure.
void* build_native(const std::string& name, const std::string& ir);

}  // namespace tarnwick
