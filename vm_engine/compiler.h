// The VM module's front door for code: the loader (decode, stack-type analysis, specialisation,
// optimizer) and the optimizer's passes.
#pragma once

#include <cstdint>
#include <map>
#include <string_view>
#include <vector>

#include "vm_engine/bytecode.h"

namespace tarnwick {

// Abstract type codes of the stack-type analysis.
enum TypeCode : uint8_t { kTypeUnknown = 0, kTypeInt = 1, kTypeFloat = 2, kTypeBool = 3, kTypeString = 4, kTypeArray = 5 };

struct OptimizeResult {
  std::vector<Instruction> code;
  uint64_t input_count = 0;
  uint64_t optimized_count = 0;
  uint64_t removed = 0;
  uint64_t folds = 0;
  uint64_t peepholes = 0;
  uint64_t strength_reductions = 0;
  uint64_t dead = 0;
};

// What the loader hands to a VM besides the code; the VM keeps it but does not read it. It holds counts
// only: the loader specialises while the analysis runs and keeps no type map (analyze_stack_types gives
// one to callers that want it).
struct LoadInfo {
  uint64_t specialized = 0;
  OptimizeResult counters;  // code left empty here
};

// Stack types per instruction position (before optimization), the exit position included; only positions
// the analysis reaches have an entry. Entries keep at most the top kStackTypeMapDepth codes: the map only
// ever informs decisions about the top two, and full copies would cost memory quadratic in the code length.
using StackTypeMap = std::map<uint64_t, std::vector<uint8_t>>;
inline constexpr size_t kStackTypeMapDepth = 32;

struct LoadedProgram {
  std::vector<Instruction> code;
  LoadInfo info;
};

// Forward stack-type analysis to a fixed point. Terminates for any code, jumps included.
StackTypeMap analyze_stack_types(const std::vector<Instruction>& code);

// How the sweeping analysis ended, for tests and diagnostics.
struct AnalysisReport {
  uint64_t sweeps = 0;
  bool fell_back = false;  // the join rule oscillated; the result comes from the absorbing-conflict lattice
};
// The sweeping analysis itself (analyze_stack_types uses a single pass for code without jumps, which gives
// the same result).
StackTypeMap analyze_stack_types_by_sweeps(const std::vector<Instruction>& code, AnalysisReport* report = nullptr);

// Rewrites generic arithmetic and comparisons into their typed forms where the map knows both operand
// types; returns the number of rewrites.
uint64_t specialize(std::vector<Instruction>& code, const StackTypeMap& types);

// Loads VM-table bytes: decode, analyse, specialise, optimize. Never fails. Time and memory are linear in
// the length: besides the input, the decoded code (16 bytes an instruction) is all it holds at once.
LoadedProgram load_bytes(std::string_view bytes);

// The five optimizer passes exactly as callers of optimize_bytecode and VMEngine see them.
OptimizeResult optimize(const std::vector<Instruction>& code);

// The optimizer as the one-shot pipeline uses it on compiled main code: only rewrites that cannot change
// a result, with the line table kept in step (lines is rewritten alongside the code).
OptimizeResult optimize_main(const std::vector<Instruction>& code, std::vector<uint64_t>& lines);

}  // namespace tarnwick
