// Code units and the machine's set-up: the executable copy of each body (with its fused instructions),
// construction, loading a program (new bodies replace old ones of the same name), natives, the state text.
#include "vm_engine/vm.h"

#include <algorithm>
#include <cstdio>

#include "vm_engine/instr_info.h"
#include "vm_engine/vm_internal.h"

namespace tarnwick {

using detail::CallSite;
using detail::CodeUnit;
using detail::GlobalCache;
using namespace detail::cmp;
using detail::kHostCallUnit;
using detail::kRegisterLimit;

namespace {

int cmp_kind(Opcode op) {
  switch (op) {
    case Opcode::Lt: return kCmpLt;
    case Opcode::Le: return kCmpLe;
    case Opcode::Gt: return kCmpGt;
    case Opcode::Ge: return kCmpGe;
    case Opcode::Eq: return kCmpEq;
    case Opcode::Ne: return kCmpNe;
    default: return -1;
  }
}

int arith_kind(Opcode op) {
  switch (op) {
    case Opcode::Add: return 0;
    case Opcode::Sub: return 1;
    case Opcode::Mul: return 2;
    default: return -1;
  }
}

int bin_kind(Opcode op) {
  switch (op) {
    case Opcode::Add: return detail::kBinAdd;
    case Opcode::Sub: return detail::kBinSub;
    case Opcode::Mul: return detail::kBinMul;
    case Opcode::Div: return detail::kBinDiv;
    case Opcode::Lt: return detail::kBinLt;
    case Opcode::Le: return detail::kBinLe;
    case Opcode::Gt: return detail::kBinGt;
    case Opcode::Ge: return detail::kBinGe;
    case Opcode::Mod: return detail::kBinMod;
    case Opcode::Eq: return detail::kBinEq;
    case Opcode::Ne: return detail::kBinNe;
    default: return -1;
  }
}

// For `Dup; LoadReg t; GetIndex` at i: when it opens the nested store g[t][k] = v as the compiler writes it
// (the element, then the key and the value computed from registers, constants and operators only, then
// SetIndex; Dup; StoreReg res; LoadReg t; Swap; SetIndex; Dup; StoreReg g; Pop), the register g; else -1.
// Nothing between the read and the write-back may read g, write a register, call or jump, so that moving
// the element out of g (and putting the updated one back) is seen by no one.
int64_t nested_store_root(const std::vector<Instruction>& code, size_t i, size_t n) {
  auto at = [&](size_t j, Opcode op) { return j < n && code[j].opcode == op; };
  if (!at(i, Opcode::Dup) || !at(i + 1, Opcode::LoadReg) || !at(i + 2, Opcode::GetIndex)) return -1;
  const uint64_t t = code[i + 1].arg;
  // Find the store into the element: the stack holds the element (depth 1 here) and must not go below it.
  size_t j = i + 3;
  int64_t depth = 1;
  std::vector<uint64_t> reads;
  for (; j < n && !(depth == 3 && code[j].opcode == Opcode::SetIndex); ++j) {
    const Instruction& in = code[j];
    if (!is_operand_step(in.opcode)) return -1;
    if (in.opcode == Opcode::LoadReg) reads.push_back(in.arg);
    // Operators take their operands from above the element and the two values over it.
    const int64_t pops = static_cast<int64_t>(instr_pops(in));
    if (pops > 1 && depth < 1 + pops) return -1;
    depth += static_cast<int64_t>(instr_pushes(in)) - pops;
    if (j - i > 64) return -1;
  }
  if (!(at(j, Opcode::SetIndex) && at(j + 1, Opcode::Dup) && at(j + 2, Opcode::StoreReg) && at(j + 3, Opcode::LoadReg) &&
        code[j + 3].arg == t && at(j + 4, Opcode::Swap) && at(j + 5, Opcode::SetIndex) && at(j + 6, Opcode::Dup) &&
        at(j + 7, Opcode::StoreReg) && at(j + 8, Opcode::Pop)))
    return -1;
  const uint64_t g = code[j + 7].arg;
  if (g >= kRegisterLimit || t >= kRegisterLimit || g == t || code[j + 2].arg == g || code[j + 2].arg == t) return -1;
  for (uint64_t r : reads)
    if (r == g) return -1;
  return static_cast<int64_t>(g);
}

// For `LoadReg a; LoadReg i` at s (`offset`: `LoadReg a; LoadReg i; Push k; Add`) opening the store
// a[i] = v (a[i + k] = v) whose value is computed from registers, constants and operators only and which
// ends in SetIndex; Dup; StoreReg a; Pop: the index of that SetIndex, else 0. Nothing after s up to the
// Pop may be a jump target, write a register, call or jump, so the closing store is reached only from s
// with a untouched: whatever the stack holds under the index, a's own value is the container.
size_t register_store_end(const std::vector<Instruction>& code, size_t s, size_t n, const std::vector<bool>& target,
                          bool offset) {
  auto at = [&](size_t j, Opcode op) { return j < n && code[j].opcode == op; };
  if (!at(s, Opcode::LoadReg) || !at(s + 1, Opcode::LoadReg)) return 0;
  const uint64_t a = code[s].arg, i = code[s + 1].arg;
  if (a >= kRegisterLimit || i >= kRegisterLimit || a == i) return 0;
  size_t j = s + 2;
  if (offset) {
    if (!at(s + 2, Opcode::Push) || !at(s + 3, Opcode::Add)) return 0;
    j = s + 4;
  }
  // The value's own depth on the stack: it may never reach under the index.
  int64_t depth = 0;
  for (; j < n && !(depth == 1 && code[j].opcode == Opcode::SetIndex); ++j) {
    const Instruction& in = code[j];
    if (!is_operand_step(in.opcode)) return 0;
    if (in.opcode == Opcode::LoadReg && in.arg >= kRegisterLimit) return 0;
    const int64_t pops = static_cast<int64_t>(instr_pops(in));
    if (depth < pops) return 0;
    depth += static_cast<int64_t>(instr_pushes(in)) - pops;
    if (j - s > 64) return 0;
  }
  if (!(at(j, Opcode::SetIndex) && at(j + 1, Opcode::Dup) && at(j + 2, Opcode::StoreReg) && code[j + 2].arg == a &&
        at(j + 3, Opcode::Pop)))
    return 0;
  for (size_t k = s + 1; k <= j + 3; ++k)
    if (target[k]) return 0;
  return j;
}

// For n loads (LoadReg of a register, LoadConst of a constant in the table) at i followed by n - 1 Concat,
// 2 <= n <= kJoinMax: the FusedJoin operand (n in bits 0-3, bit 4 + k set when load k is a LoadConst,
// and in bits 12-20 one more than the register a StoreReg, or Dup; StoreReg, right after the run stores
// the text into, or 0); else 0.
uint32_t join_form(const std::vector<Instruction>& code, size_t i, size_t n, size_t constant_count) {
  uint32_t loads = 0, consts = 0;
  for (size_t j = i; j < n && loads < detail::kJoinMax; ++j, ++loads) {
    const Instruction& in = code[j];
    if (in.opcode == Opcode::LoadConst && in.arg < constant_count) {
      consts |= 1u << loads;
    } else if (!(in.opcode == Opcode::LoadReg && in.arg < kRegisterLimit)) {
      break;
    }
  }
  if (loads < 2) return 0;
  size_t after = i + loads;
  for (uint32_t k = 1; k < loads; ++k, ++after)
    if (after >= n || code[after].opcode != Opcode::Concat) return 0;
  if (after < n && code[after].opcode == Opcode::Concat) return 0;  // more Concat than loads: joins what lies below
  if (after < n && code[after].opcode == Opcode::Dup) ++after;
  uint32_t target = after < n && code[after].opcode == Opcode::StoreReg && code[after].arg < kRegisterLimit
                        ? static_cast<uint32_t>(code[after].arg) + 1
                        : 0;
  return loads | (consts << 4) | (target << 12);
}

// The executable copy of a body; with `sequences` off, only the single-instruction rewrites are made.
std::vector<Instruction> fuse(const std::vector<Instruction>& code, size_t n, const std::vector<ValueRef>& constants,
                              bool sequences) {
  std::vector<Instruction> out = code;
  auto is = [&](size_t i, Opcode op) { return i < n && code[i].opcode == op; };
  auto reg = [&](size_t i, Opcode op) { return is(i, op) && code[i].arg < kRegisterLimit; };
  // A LoadConst of a number, with an index that fits the fused operand.
  auto num_const = [&](size_t i) {
    return is(i, Opcode::LoadConst) && code[i].arg < constants.size() && code[i].arg <= 0xFFFFFFFFu &&
           constants[code[i].arg].is_number();
  };
  auto forward = [&](size_t i, Opcode op) { return is(i, op) && code[i].arg > i && code[i].arg < n; };
  auto make = [](uint32_t op, int32_t imm, uint64_t arg) { return Instruction{static_cast<Opcode>(op), imm, arg}; };
  auto bin = [](int op, uint32_t form) { return detail::kFusedBin + static_cast<uint32_t>(op) * detail::kBinForms + form; };
  std::vector<bool> target(n + 1, false);
  for (size_t i = 0; i < n; ++i) {
    Opcode op = code[i].opcode;
    if ((op == Opcode::Jump || op == Opcode::JumpIfFalse || op == Opcode::JumpIfTrue) && code[i].arg < n)
      target[code[i].arg] = true;
  }
  // The closing stores of register element stores, placed once the loop is done (over what it put there).
  // They stand in the copy without sequences too: an opening that ran before the sequences were dropped
  // still finds its store.
  std::vector<std::pair<size_t, Instruction>> closings;
  for (size_t i = 0; i < n; ++i) {
    for (bool offset : {false, true}) {
      size_t j = register_store_end(code, i, n, target, offset);
      if (j == 0) continue;
      closings.emplace_back(j, make(detail::kOpFusedStoreEnd, 0, code[i].arg));
      int op = bin_kind(code[j - 1].opcode);
      if (sequences && (op <= static_cast<int>(detail::kBinDiv) || op == static_cast<int>(detail::kBinMod)) && op >= 0) {
        uint32_t end = op == static_cast<int>(detail::kBinMod) ? detail::kOpFusedStoreEndMod
                                                               : detail::kOpFusedStoreEndAdd + static_cast<uint32_t>(op);
        closings.emplace_back(j - 1, make(end, 0, code[i].arg));
      }
    }
  }
  for (size_t i = 0; i < n; ++i) {
    if (sequences) {
      if (int64_t g = nested_store_root(code, i, n); g >= 0) {
        out[i] = make(detail::kOpFusedTakeElement, 0, static_cast<uint64_t>(g) | (code[i + 1].arg << 8));
        continue;
      }
      // a[i] = v with the array, the index and the value in registers, immediates or constants.
      if (reg(i, Opcode::LoadReg) && reg(i + 1, Opcode::LoadReg) && is(i + 3, Opcode::SetIndex) &&
          is(i + 4, Opcode::Dup) && reg(i + 5, Opcode::StoreReg) && code[i + 5].arg == code[i].arg &&
          is(i + 6, Opcode::Pop)) {
        uint64_t ai = code[i].arg | (code[i + 1].arg << 8);
        if (reg(i + 2, Opcode::LoadReg) && code[i + 2].arg != code[i].arg) {
          out[i] = make(detail::kOpFusedStoreRRR, 0, ai | (code[i + 2].arg << 16));
          continue;
        }
        if (is(i + 2, Opcode::Push)) {
          out[i] = make(detail::kOpFusedStoreRRI, code[i + 2].imm, ai);
          continue;
        }
        if (is(i + 2, Opcode::LoadConst) && code[i + 2].arg < constants.size() && code[i + 2].arg <= 0xFFFFFFFFu) {
          out[i] = make(detail::kOpFusedStoreRRC, 0, ai | (code[i + 2].arg << 32));
          continue;
        }
      }
      if (register_store_end(code, i, n, target, true) != 0) {
        out[i] = make(detail::kOpFusedStoreBeginRRI, code[i + 2].imm, code[i].arg | (code[i + 1].arg << 8));
        continue;
      }
      if (register_store_end(code, i, n, target, false) != 0) {
        out[i] = make(detail::kOpFusedStoreBeginRR, 0, code[i].arg | (code[i + 1].arg << 8));
        continue;
      }
      if (reg(i, Opcode::LoadReg) && is(i + 1, Opcode::IterNext) && is(i + 2, Opcode::Swap) &&
          is(i + 3, Opcode::StoreReg) && code[i + 3].arg == code[i].arg && is(i + 4, Opcode::Dup) &&
          is(i + 5, Opcode::LoadConst) && code[i + 5].arg < constants.size() && constants[code[i + 5].arg].is_nil() &&
          is(i + 6, Opcode::Eq) && forward(i + 7, Opcode::JumpIfTrue) && reg(i + 8, Opcode::StoreReg)) {
        out[i] = make(detail::kFusedForNext, 0, code[i].arg | (code[i + 8].arg << 8) | (code[i + 7].arg << 32));
        continue;
      }
      if (is(i, Opcode::Call) && code[i].arg == 2 && is(i + 1, Opcode::GetIter)) {
        out[i] = make(detail::kOpFusedRangeIter, 0, code[i].arg);
        continue;
      }
      if (uint32_t join = join_form(code, i, n, constants.size()); join != 0) {
        out[i] = make(detail::kFusedJoin, static_cast<int32_t>(join), code[i].arg);
        continue;
      }
      if (is(i, Opcode::Concat) && is(i + 1, Opcode::Concat)) {
        size_t m = 2;
        while (is(i + m, Opcode::Concat)) ++m;
        out[i] = make(detail::kFusedConcat, 0, m);
        continue;
      }
      if (reg(i, Opcode::LoadReg) && (is(i + 1, Opcode::Push) || reg(i + 1, Opcode::LoadReg)) && i + 2 < n) {
        bool imm = is(i + 1, Opcode::Push);
        uint64_t a = code[i].arg, b = imm ? 0 : code[i + 1].arg;
        int32_t k = imm ? code[i + 1].imm : 0;
        int cmp = cmp_kind(code[i + 2].opcode);
        if (cmp >= 0 && (forward(i + 3, Opcode::JumpIfFalse) || forward(i + 3, Opcode::JumpIfTrue)) &&
            code[i + 3].arg > i + 3) {
          uint64_t sense = code[i + 3].opcode == Opcode::JumpIfTrue ? 1 : 0;
          uint64_t arg = a | (b << 8) | (static_cast<uint64_t>(cmp) << 16) | (sense << 20) | (code[i + 3].arg << 32);
          out[i] = make((imm ? detail::kFusedCmpRegImm : detail::kFusedCmpRegReg) + cmp, k, arg);
          continue;
        }
        int ar = arith_kind(code[i + 2].opcode);
        if (ar >= 0 && is(i + 3, Opcode::Dup) && reg(i + 4, Opcode::StoreReg) && is(i + 5, Opcode::Pop)) {
          out[i] = make(detail::kFusedArith + static_cast<uint32_t>(ar) * 2 + (imm ? 1 : 0), k,
                        a | (b << 8) | (code[i + 4].arg << 24));
          continue;
        }
        int op = bin_kind(code[i + 2].opcode);
        int op2 = i + 3 < n ? bin_kind(code[i + 3].opcode) : -1;
        if (!imm && op >= 0 && op <= static_cast<int>(detail::kBinDiv) && op2 >= 0 &&
            op2 <= static_cast<int>(detail::kBinDiv)) {
          out[i] = make(detail::kFusedPair + static_cast<uint32_t>(op * 4 + op2), 0, a | (b << 8));
          continue;
        }
        if (op >= 0 && reg(i + 3, Opcode::StoreReg)) {
          out[i] = make(bin(op, imm ? detail::kRI_S : detail::kRR_S), k, a | (b << 8) | (code[i + 3].arg << 16));
          continue;
        }
        if (op >= 0) {
          out[i] = make(bin(op, imm ? detail::kRI : detail::kRR), k, a | (b << 8));
          continue;
        }
      }
      if (reg(i, Opcode::LoadReg) && num_const(i + 1)) {
        int op = i + 2 < n ? bin_kind(code[i + 2].opcode) : -1;
        if (op >= 0) {
          bool store = reg(i + 3, Opcode::StoreReg);
          uint64_t c = store ? code[i + 3].arg : 0;
          out[i] = make(bin(op, store ? detail::kRC_S : detail::kRC), 0, code[i].arg | (c << 16) | (code[i + 1].arg << 32));
          continue;
        }
      }
      // Element reads straight from a register.
      if (reg(i, Opcode::LoadReg) && is(i + 2, Opcode::GetIndex)) {
        if (is(i + 1, Opcode::LoadConst) && code[i + 1].arg < constants.size() && code[i + 1].arg <= 0xFFFFFFFFu &&
            constants[code[i + 1].arg].kind() == ValueKind::String && is(i + 3, Opcode::Call) && code[i + 3].arg == 0) {
          out[i] = make(detail::kOpFusedCallMethodRC, 0, code[i].arg | (code[i + 1].arg << 32));
          continue;
        }
        if (reg(i + 1, Opcode::LoadReg)) {
          out[i] = make(detail::kFusedIndexRR, 0, code[i].arg | (code[i + 1].arg << 8));
          continue;
        }
        if (is(i + 1, Opcode::Push)) {
          out[i] = make(detail::kFusedIndexRI, code[i + 1].imm, code[i].arg);
          continue;
        }
        if (is(i + 1, Opcode::LoadConst) && code[i + 1].arg < constants.size() && code[i + 1].arg <= 0xFFFFFFFFu) {
          out[i] = make(detail::kFusedIndexRC, 0, code[i].arg | (code[i + 1].arg << 32));
          continue;
        }
      }
      if (reg(i, Opcode::LoadReg) && reg(i + 1, Opcode::LoadReg) && is(i + 2, Opcode::Push) && is(i + 3, Opcode::Add) &&
          is(i + 4, Opcode::GetIndex)) {
        out[i] = make(detail::kFusedIndexRRI, code[i + 2].imm, code[i].arg | (code[i + 1].arg << 8));
        continue;
      }
      // A number constant and a register, the constant on the left.
      if (num_const(i) && reg(i + 1, Opcode::LoadReg) && i + 2 < n) {
        int op = bin_kind(code[i + 2].opcode);
        if (op >= 0) {
          out[i] = make(bin(op, detail::kCR), static_cast<int32_t>(code[i + 1].arg), code[i].arg);
          continue;
        }
      }
      // One operand pushed and combined with the value below it.
      if ((reg(i, Opcode::LoadReg) || is(i, Opcode::Push) || num_const(i)) && i + 1 < n) {
        int op = bin_kind(code[i + 1].opcode);
        if (op >= 0) {
          bool store = reg(i + 2, Opcode::StoreReg);
          uint64_t c = store ? code[i + 2].arg : 0;
          if (code[i].opcode == Opcode::LoadReg) {
            out[i] = make(bin(op, store ? detail::kTR_S : detail::kTR), 0, code[i].arg | (c << 16));
          } else if (code[i].opcode == Opcode::Push) {
            out[i] = make(bin(op, store ? detail::kTI_S : detail::kTI), code[i].imm, c << 16);
          } else {
            out[i] = make(bin(op, store ? detail::kTC_S : detail::kTC), static_cast<int32_t>(c), code[i].arg);
          }
          continue;
        }
      }
      if (reg(i, Opcode::LoadReg) && (forward(i + 1, Opcode::JumpIfFalse) || forward(i + 1, Opcode::JumpIfTrue)) &&
          code[i + 1].arg > i + 1) {
        uint64_t sense = code[i + 1].opcode == Opcode::JumpIfTrue ? 1 : 0;
        out[i] = make(detail::kOpFusedTestReg, 0, code[i].arg | (sense << 8) | (code[i + 1].arg << 32));
        continue;
      }
      if (reg(i, Opcode::LoadReg) && is(i + 1, Opcode::Return)) {
        out[i] = make(detail::kFusedReturnReg, 0, code[i].arg);
        continue;
      }
      if (reg(i, Opcode::LoadReg) && reg(i + 1, Opcode::StoreReg)) {
        out[i] = make(detail::kFusedMove, 0, code[i].arg | (code[i + 1].arg << 8));
        continue;
      }
      if (is(i, Opcode::Push) && reg(i + 1, Opcode::StoreReg)) {
        out[i] = make(detail::kFusedSetImm, code[i].imm, code[i + 1].arg << 8);
        continue;
      }
      if (is(i, Opcode::LoadConst) && code[i].arg < constants.size() && reg(i + 1, Opcode::StoreReg)) {
        out[i] = make(detail::kFusedSetConst, static_cast<int32_t>(code[i + 1].arg), code[i].arg);
        continue;
      }
      {
        int op = bin_kind(code[i].opcode);
        bool arith = (op >= 0 && op <= static_cast<int>(detail::kBinDiv)) || op == static_cast<int>(detail::kBinMod);
        if (arith && reg(i + 1, Opcode::StoreReg)) {
          out[i] = make(bin(op, detail::kSS_S), 0, code[i + 1].arg);
          continue;
        }
        if (op >= 0 && op <= static_cast<int>(detail::kBinDiv) && is(i + 1, Opcode::Return)) {
          out[i] = make(detail::kOpFusedReturnAdd + static_cast<uint32_t>(op), 0, 0);
          continue;
        }
        int cmp = cmp_kind(code[i].opcode);
        if (cmp >= 0 && forward(i + 1, Opcode::JumpIfFalse)) {
          out[i] = make(detail::kFusedCmpBranch + cmp, 0, code[i + 1].arg);
          continue;
        }
      }
      if (is(i, Opcode::And) && forward(i + 1, Opcode::JumpIfFalse)) {
        out[i] = make(detail::kFusedAndBranch, 0, code[i + 1].arg);
        continue;
      }
      if (is(i, Opcode::SetIndex) && is(i + 1, Opcode::Dup) && reg(i + 2, Opcode::StoreReg) && is(i + 3, Opcode::Pop)) {
        out[i] = make(detail::kFusedSetIndexStore, 0, code[i + 2].arg);
        continue;
      }
      if (is(i, Opcode::Dup) && reg(i + 1, Opcode::StoreReg) && is(i + 2, Opcode::Pop)) {
        out[i] = make(detail::kFusedStoreTop, 0, code[i + 1].arg);
        continue;
      }
    }  // sequences
    // Single instructions whose operand decides their path once and for all.
    const Instruction& in = code[i];
    switch (in.opcode) {
      case Opcode::LoadReg:
      case Opcode::StoreReg:
        if (in.arg >= kRegisterLimit) out[i] = make(detail::kRegisterError, 0, in.arg);
        break;
      case Opcode::Jump:
      case Opcode::JumpIfFalse:
      case Opcode::JumpIfTrue: {
        uint32_t which = static_cast<uint32_t>(in.opcode) - static_cast<uint32_t>(Opcode::Jump);
        if (in.arg >= n) {
          out[i] = make(detail::kJumpOut + which, 0, in.arg);
        } else if (in.arg <= i) {
          out[i] = make(detail::kJumpBack + which, 0, in.arg);
        }
        break;
      }
      default: break;
    }
  }
  for (const auto& [at, in] : closings) out[at] = in;
  return out;
}

}  // namespace

const char* detail::fused_name(uint32_t code) {
  static constexpr const char* kNames[] = {
#define TARNWICK_FUSED_NAME(name) #name,
      TARNWICK_FUSED(TARNWICK_FUSED_NAME)
#undef TARNWICK_FUSED_NAME
  };
  return code > kEndOpcode && code < kFusedEnd ? kNames[code - kEndOpcode - 1] : "?";
}

detail::CodeUnit::CodeUnit(std::string n, std::vector<Instruction> c, std::vector<ValueRef> k,
                           std::vector<uint64_t> l, uint64_t a)
    : name(std::move(n)), code(std::move(c)), constants(std::move(k)), lines(std::move(l)), arity(a) {
  code_size = code.size();
  size_t calls = 0;
  for (auto& ins : code) {
    if (static_cast<uint32_t>(ins.opcode) >= static_cast<uint32_t>(kOpcodeCount)) ins = make_instr(Opcode::Nop);
    if ((ins.opcode == Opcode::LoadReg || ins.opcode == Opcode::StoreReg) && ins.arg < kRegisterLimit)
      reg_count = std::max<size_t>(reg_count, ins.arg + 1);
    if (ins.opcode == Opcode::Call) ++calls;
  }
  bind_limit = std::min<uint64_t>(arity, reg_count);
  code.push_back(Instruction{static_cast<Opcode>(detail::kEndOpcode), 0, 0});
  exec = fuse(code, code_size, constants, true);
  global_cache.resize(constants.size());
  sites.resize(calls);
  int32_t member_reads = 0, object_builds = 0;
  for (size_t i = 0; i < code_size; ++i) {
    if (code[i].opcode == Opcode::GetIndex) ++member_reads;
    if (code[i].opcode == Opcode::MakeObject) ++object_builds;
  }
  number_sites(exec);
  method_sites.resize(static_cast<size_t>(member_reads));
  object_sites.resize(static_cast<size_t>(object_builds));
  mark_poll_points();
  charged = (code.capacity() + exec.capacity()) * sizeof(Instruction) +
            lines.capacity() * sizeof(uint64_t) + global_cache.capacity() * sizeof(GlobalCache) +
            sites.capacity() * sizeof(CallSite) + method_sites.capacity() * sizeof(MethodSite) +
            object_sites.capacity() * sizeof(ObjectSite) + poll_ops.capacity() * sizeof(uint32_t);
  charge(charged);  // refused, if at all, before the program was loaded
}

// Member-read and object sites are numbered by the GetIndex or MakeObject they belong to, so both
// executable copies share them; a fused read uses the site of the GetIndex that ends its sequence.
void detail::CodeUnit::number_sites(std::vector<Instruction>& copy) {
  std::vector<int32_t> site_of(code_size, -1);
  int32_t member_reads = 0, object_builds = 0;
  for (size_t i = 0; i < code_size; ++i) {
    if (code[i].opcode == Opcode::GetIndex) site_of[i] = member_reads++;
    if (code[i].opcode == Opcode::MakeObject) site_of[i] = object_builds++;
  }
  int32_t next_site = 0;
  for (size_t i = 0; i < code_size; ++i) {
    Instruction& in = copy[i];
    uint32_t op = static_cast<uint32_t>(in.opcode);
    if (in.opcode == Opcode::GetIndex || in.opcode == Opcode::MakeObject) {
      in.imm = site_of[i];
    } else if (op == detail::kFusedIndexRR || op == detail::kFusedIndexRC || op == detail::kOpFusedCallMethodRC) {
      in.imm = site_of[i + 2];
    } else if (in.opcode == Opcode::Call || op == detail::kOpFusedRangeIter) {
      in.imm = next_site++;
    } else if (in.opcode == Opcode::LoadGlobal && in.arg < global_cache.size()) {
      in = Instruction{static_cast<Opcode>(detail::kLoadGlobalCached), 0,
                       reinterpret_cast<uint64_t>(&global_cache[in.arg])};
    } else if (in.opcode == Opcode::LoadConst && in.arg >= constants.size()) {
      in = Instruction{static_cast<Opcode>(detail::kConstantError), 0, in.arg};
    }
  }
}

// The copy without fused sequences is made only when the machine gives them up (rarely: near the stack
// ceiling), and written over the running copy in place, since frames and the loop point into it. Its poll
// points are where the running copy's are: an instruction marked there stands as itself in both.
void detail::CodeUnit::use_plain_code() {
  std::vector<Instruction> plain = fuse(code, code_size, constants, false);
  number_sites(plain);
  for (size_t i = 0; i < poll_ops.size(); ++i)
    if (poll_ops[i] != 0) plain[i].opcode = static_cast<Opcode>(kOpPollPoint);
  std::copy(plain.begin(), plain.end(), exec.begin());
}

// Polls come at calls and back edges; a long stretch of code with neither (a generated program of many
// thousand statements) gets poll points. Only an instruction that stands as itself in both copies is
// marked, and not one whose handler tells variants apart by its code (the conditional jumps). One inside
// a fused sequence never runs as itself, so marks come often enough that the stretch still polls.
void detail::CodeUnit::mark_poll_points() {
  size_t stretch = 0;
  for (size_t i = 0; i < code_size; ++i) {
    const Opcode op = code[i].opcode;
    const bool back = (op == Opcode::Jump || op == Opcode::JumpIfFalse || op == Opcode::JumpIfTrue) && code[i].arg <= i;
    if (op == Opcode::Call || back) {
      stretch = 0;
      continue;
    }
    if (++stretch < kPollStretch) continue;
    // Unchanged from the code (or only resolved, as a global read is) in the running copy: the copy
    // without sequences, which changes the code in the same places and in fewer, has it as itself too.
    const uint32_t fast = static_cast<uint32_t>(exec[i].opcode);
    const bool as_itself = exec[i].opcode == op || fast == kLoadGlobalCached;
    if (!as_itself || op == Opcode::Jump || op == Opcode::JumpIfFalse || op == Opcode::JumpIfTrue) continue;
    if (poll_ops.empty()) poll_ops.assign(code_size, 0);
    poll_ops[i] = fast;
    exec[i].opcode = static_cast<Opcode>(kOpPollPoint);
    stretch = 0;
  }
}

VM::VM() {
  for (const auto& name : builtin_names()) globals_[name] = ValueRef::function(name);
  main_ = std::make_unique<CodeUnit>("", std::vector<Instruction>{}, std::vector<ValueRef>{}, std::vector<uint64_t>{}, 0);
  unit_ = main_.get();
  stack_.resize(1024);
  base_ = stack_.data();
  regs_.resize(64);
  window_ = regs_.data();
  frames_.resize(128);
  frame_top_ = frames_.data();
  recharge_stacks();
}

VM::VM(std::vector<Instruction> code, std::vector<uint64_t> lines, std::vector<Constant> constants,
       std::vector<FunctionRecord> functions)
    : VM() {
  load(std::move(code), std::move(lines), std::move(constants), std::move(functions));
}

void VM::load(std::vector<Instruction> code, std::vector<uint64_t> lines, std::vector<Constant> constants,
              std::vector<FunctionRecord> functions, const std::string& origin) {
  reset_execution();
  std::vector<ValueRef> k;
  k.reserve(constants.size());
  for (const auto& c : constants) k.push_back(ValueRef::from_constant(c));
  // A huge program's table would otherwise be held twice while its code is set up.
  std::vector<Constant>().swap(constants);
  // Each new body is finished as it is made: a later function of the same name replaces (and frees) it.
  auto finish = [this, &origin](CodeUnit& unit) {
    unit.origin = origin;
    // Bodies loaded after the machine gave up its fused sequences run without them too.
    if (sequences_dropped_) unit.use_plain_code();
  };
  main_ = std::make_unique<CodeUnit>("", std::move(code), std::move(k), std::move(lines), 0);
  finish(*main_);
  for (auto& f : functions) {
    std::vector<ValueRef> fk;
    fk.reserve(f.constants.size());
    for (const auto& c : f.constants) fk.push_back(c ? ValueRef::from_constant(*c) : ValueRef());
    std::string name = f.name;
    auto& slot = functions_[name];
    slot = std::make_unique<CodeUnit>(std::move(f.name), std::move(f.code), std::move(fk), std::move(f.lines), f.arity);
    finish(*slot);
    // A native of the same name wins the call, so the name must read as that native too.
    set_global(name, natives_.count(name) != 0 ? ValueRef::native(name) : ValueRef::function(name));
  }
  // Call sites of the bodies kept may point at a body just replaced, and a class may have changed.
  forget_resolutions();
  max_window_ = 0;
  for (const auto& entry : functions_) max_window_ = std::max(max_window_, entry.second->reg_count);
  ensure_registers(main_->reg_count);
  unit_ = main_.get();
  pc_ = 0;
  state_ = VMState();
  update_frame_room();
}

void VM::forget_resolutions() {
  auto forget = [](const CodeUnit& unit) {
    for (CallSite& site : unit.sites) site = CallSite();
    for (detail::MethodSite& site : unit.method_sites) site = detail::MethodSite();
  };
  forget(*main_);
  for (const auto& entry : functions_) forget(*entry.second);
  for (const auto& entry : call_stubs_) forget(*entry.second);
  resolved_calls_.clear();
  std::lock_guard<std::mutex> lock(method_cache_lock_);
  method_cache_.clear();
}

void VM::reset_execution() {
  for (ValueRef& v : stack_) v.clear();
  for (ValueRef& v : regs_) v.clear();
  sp_ = 0;
  base_ = stack_.data();
  window_ = regs_.data();
  frame_top_ = frames_.data();
  unit_ = main_.get();
  pc_ = main_->code_size;
  operands_taken_ = false;
  update_frame_room();
  release_spare_stacks();
}

void VM::release_grown_stacks() {
  // Storage a deep run grew is given back when it ends: it stays charged while kept, and a runtime with a
  // memory limit would otherwise start every later run near it.
  if (sp_ != 0 || frame_top_ != frames_.data()) return;
  bool moved = false;
  if (stack_.size() > kKeptSlots) {
    std::vector<ValueRef>(1024).swap(stack_);
    moved = true;
  }
  if (regs_.size() > kKeptSlots) {
    std::vector<ValueRef>(64).swap(regs_);
    moved = true;
  }
  if (frames_.size() > kKeptFrames) {
    std::vector<Frame>(128).swap(frames_);
    moved = true;
  }
  if (!moved) return;
  base_ = stack_.data();
  window_ = regs_.data();
  frame_top_ = frames_.data();
  recharge_stacks();
  update_frame_room();
}

VM::~VM() { detail::credit(stacks_charged_); }

void VM::add_native(const std::string& name, std::shared_ptr<NativeCallable> fn) {
  natives_[name] = std::move(fn);
  resolved_calls_.clear();
  // A native wins over a function or builtin of its name: forget what the call sites resolved.
  auto forget = [](const CodeUnit& unit) {
    for (CallSite& site : unit.sites) site = CallSite();
  };
  forget(*main_);
  for (const auto& entry : functions_) forget(*entry.second);
  for (const auto& entry : call_stubs_) forget(*entry.second);
  set_global(name, ValueRef::native(name));
}

void VM::enable_jit() { jit_ = std::make_unique<JitState>(); }

namespace {

std::string debug_escape(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char buf[16];
          std::snprintf(buf, sizeof buf, "\\u{%x}", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out;
}

}  // namespace

std::string VM::state_debug_text() const {
  switch (state_.kind) {
    case VMStateKind::Running: return "Running";
    case VMStateKind::Paused: return "Paused";
    case VMStateKind::Halted: return "Halted";
    case VMStateKind::Error: return "Error(\"" + debug_escape(state_.message) + "\")";
  }
  return "Running";
}

}  // namespace tarnwick
