// What each instruction does to the operand stack and to control flow, read from the instruction list
// (vm_engine/opcodes.h) so that the places that need it cannot disagree with it or with each other.
#pragma once

#include <cstdint>
#include <limits>

#include "vm_engine/bytecode.h"

namespace tarnwick {

enum class Flow : uint8_t {
#define TARNWICK_FLOW_ENUM(name) name,
  TARNWICK_FLOW_KINDS(TARNWICK_FLOW_ENUM)
#undef TARNWICK_FLOW_ENUM
};

enum class Traits : uint8_t {
#define TARNWICK_TRAIT_ENUM(name) name,
  TARNWICK_TRAITS(TARNWICK_TRAIT_ENUM)
#undef TARNWICK_TRAIT_ENUM
};

struct InstrInfo {
  int8_t pops;    // a count, or one of the operand-dependent forms below
  int8_t pushes;
  Flow flow;
  Traits traits;
};

namespace instr_counts {
// Operand-dependent pop counts of the list's rows.
inline constexpr int8_t Arg = -1;         // the operand (array items)
inline constexpr int8_t ArgPlusOne = -2;  // the operand and one more (a call's arguments and callee)
inline constexpr int8_t TwiceArg = -3;    // twice the operand (object key/value pairs)

inline constexpr InstrInfo kInfo[] = {
#define TARNWICK_INFO_ROW(name, vm, compile, operand, pops, pushes, flow, traits) \
  InstrInfo{pops, pushes, Flow::flow, Traits::traits},
    TARNWICK_OPCODES(TARNWICK_INFO_ROW)
#undef TARNWICK_INFO_ROW
};
static_assert(sizeof(kInfo) / sizeof(kInfo[0]) == static_cast<size_t>(kOpcodeCount), "one row per opcode");
}  // namespace instr_counts

inline const InstrInfo& instr_info(Opcode op) { return instr_counts::kInfo[static_cast<uint32_t>(op)]; }

// The values `in` takes from the stack when it completes (saturating for operands no stack could hold).
inline uint64_t instr_pops(const Instruction& in) {
  const int8_t p = instr_info(in.opcode).pops;
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  switch (p) {
    case instr_counts::Arg: return in.arg;
    case instr_counts::ArgPlusOne: return in.arg == kMax ? kMax : in.arg + 1;
    case instr_counts::TwiceArg: return in.arg > kMax / 2 ? kMax : in.arg * 2;
    default: return static_cast<uint64_t>(p);
  }
}
inline uint64_t instr_pushes(const Instruction& in) { return static_cast<uint64_t>(instr_info(in.opcode).pushes); }

inline bool may_throw(Opcode op) {
  const Traits t = instr_info(op).traits;
  return t == Traits::Throws || t == Traits::OperandThrows;
}
// A side-effect-free step of an expression: a load or an operator that neither writes, calls nor jumps.
inline bool is_operand_step(Opcode op) {
  const Traits t = instr_info(op).traits;
  return t == Traits::Operand || t == Traits::OperandThrows;
}

}  // namespace tarnwick
