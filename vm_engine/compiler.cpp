// The VM module's loader and optimizer (the second compiler stage, after parser/compiler.cpp): decoding
// instruction bytes, stack-type analysis, specialisation to typed instructions, and the optimizer's passes.
#include "vm_engine/compiler.h"

#include <algorithm>
#include <array>
#include <limits>

#include "vm_engine/instr_info.h"

namespace tarnwick {

namespace {

using Regs = std::array<uint8_t, 256>;
using Stack = std::vector<uint8_t>;

// ---------------------------------------------------------------------------------------------------------
// Transfer rules of the stack-type analysis

uint8_t pop_code(Stack& st) {
  if (st.empty()) return kTypeUnknown;
  uint8_t c = st.back();
  st.pop_back();
  return c;
}

void pop_codes(Stack& st, uint64_t n) {
  st.resize(st.size() - static_cast<size_t>(std::min<uint64_t>(n, st.size())));
}

void set_top(Stack& st, uint8_t code) {
  if (st.empty()) {
    st.push_back(code);
  } else {
    st.back() = code;
  }
}

uint8_t arithmetic_result(uint8_t a, uint8_t b) {
  if (a == kTypeInt && b == kTypeInt) return kTypeInt;
  if (a == kTypeFloat || b == kTypeFloat) return kTypeFloat;
  return kTypeUnknown;
}

void transfer(const Instruction& ins, Stack& st, Regs& regs) {
  switch (ins.opcode) {
    case Opcode::Nop:
    case Opcode::Jump:
      break;
    case Opcode::Push:
      st.push_back(kTypeInt);
      break;
    case Opcode::Pop:
    case Opcode::JumpIfFalse:
    case Opcode::JumpIfTrue:
    case Opcode::Return:
    case Opcode::StoreGlobal:
      pop_code(st);
      break;
    case Opcode::Dup:
      if (!st.empty()) {
        uint8_t top = st.back();
        st.push_back(top);
      }
      break;
    case Opcode::Swap:
      if (st.size() >= 2) std::swap(st[st.size() - 1], st[st.size() - 2]);
      break;
    case Opcode::Add:
    case Opcode::Sub:
    case Opcode::Mul:
    case Opcode::Mod: {
      uint8_t b = pop_code(st);
      uint8_t a = pop_code(st);
      st.push_back(arithmetic_result(a, b));
      break;
    }
    case Opcode::Div:
    case Opcode::Pow:
    case Opcode::AddFloat:
    case Opcode::SubFloat:
    case Opcode::MulFloat:
    case Opcode::DivFloat:
    case Opcode::ModFloat:
      pop_codes(st, 2);
      st.push_back(kTypeFloat);
      break;
    case Opcode::AddInt:
    case Opcode::SubInt:
    case Opcode::MulInt:
    case Opcode::ModInt:
      pop_codes(st, 2);
      st.push_back(kTypeInt);
      break;
    case Opcode::Neg:
      if (!st.empty() && st.back() != kTypeInt && st.back() != kTypeFloat) st.back() = kTypeUnknown;
      break;
    case Opcode::Eq:
    case Opcode::Ne:
    case Opcode::Lt:
    case Opcode::Le:
    case Opcode::Gt:
    case Opcode::Ge:
    case Opcode::And:
    case Opcode::Or:
    case Opcode::EqInt:
    case Opcode::EqFloat:
    case Opcode::LtInt:
    case Opcode::LtFloat:
      pop_codes(st, 2);
      st.push_back(kTypeBool);
      break;
    case Opcode::Not:
      set_top(st, kTypeBool);
      break;
    case Opcode::Concat:
      pop_codes(st, 2);
      st.push_back(kTypeString);
      break;
    case Opcode::Len:
      set_top(st, kTypeInt);
      break;
    case Opcode::GetIter:
      set_top(st, kTypeArray);
      break;
    case Opcode::IterNext:
      set_top(st, kTypeArray);
      st.push_back(kTypeUnknown);
      break;
    case Opcode::Halt:
      st.clear();
      break;
    case Opcode::Call:
      pop_codes(st, ins.arg);
      pop_code(st);
      st.push_back(kTypeUnknown);
      break;
    case Opcode::StoreReg: {
      uint8_t c = pop_code(st);
      if (ins.arg < regs.size()) regs[ins.arg] = c;
      break;
    }
    case Opcode::LoadReg:
      st.push_back(ins.arg < regs.size() ? regs[ins.arg] : uint8_t{kTypeUnknown});
      break;
    case Opcode::LoadGlobal:
    case Opcode::LoadConst:
      st.push_back(kTypeUnknown);
      break;
    case Opcode::MakeArray:
      pop_codes(st, ins.arg);
      st.push_back(kTypeArray);
      break;
    case Opcode::MakeObject:
      // Two codes per pair; a count too large to double simply empties the stack.
      pop_codes(st, ins.arg > std::numeric_limits<uint64_t>::max() / 2 ? std::numeric_limits<uint64_t>::max()
                                                                        : ins.arg * 2);
      st.push_back(kTypeUnknown);
      break;
    case Opcode::GetIndex:
      pop_codes(st, 2);
      st.push_back(kTypeUnknown);
      break;
    case Opcode::SetIndex: {
      pop_codes(st, 2);
      uint8_t container = pop_code(st);
      st.push_back(container);
      break;
    }
  }
}

// Positions an instruction can hand its state to; `exit` is the position after the last instruction.
template <class F>
void for_each_successor(const Instruction& ins, size_t pos, size_t exit, F&& f) {
  switch (instr_info(ins.opcode).flow) {
    case Flow::Jump:
      if (ins.arg <= exit) f(static_cast<size_t>(ins.arg));
      break;
    case Flow::Branch:
      f(pos + 1);
      if (ins.arg <= exit) f(static_cast<size_t>(ins.arg));
      break;
    case Flow::Return:
    case Flow::Halt:
      f(exit);
      break;
    case Flow::Next:
      f(pos + 1);
      break;
  }
}

std::vector<uint8_t> map_entry(const Stack& st) {
  size_t keep = std::min(st.size(), kStackTypeMapDepth);
  return std::vector<uint8_t>(st.end() - static_cast<std::ptrdiff_t>(keep), st.end());
}

// ---------------------------------------------------------------------------------------------------------
// The sweeping analysis

// Internal code for "two different known types met here". It only exists inside the fallback lattice:
// copies of a code (Dup, Swap, registers) carry it along, every computed result treats it as nothing
// known, and the finished map shows it as nothing known.
constexpr uint8_t kConflict = 0xFF;

enum class Join {
  Plain,      // a conflict gives "nothing known", which a later known type overwrites again
  Absorbing,  // a conflict stays a conflict: monotone, so the sweeps always settle
};

struct AbsState {
  bool set = false;
  Stack stack;
  Regs regs{};

  bool operator==(const AbsState&) const = default;
};

bool combine(uint8_t& slot, uint8_t incoming, Join join) {
  if (slot == incoming) return false;
  uint8_t r;
  if (slot == kTypeUnknown) {
    r = incoming;
  } else if (incoming == kTypeUnknown) {
    r = slot;
  } else {
    r = join == Join::Plain ? uint8_t{kTypeUnknown} : kConflict;
  }
  if (r == slot) return false;
  slot = r;
  return true;
}

bool merge(AbsState& into, const AbsState& copy, Join join) {
  if (!into.set) {
    into = copy;
    into.set = true;
    return true;
  }
  bool changed = false;
  if (copy.stack.size() < into.stack.size()) {
    into.stack.resize(copy.stack.size());
    changed = true;
  }
  for (size_t i = 0; i < into.stack.size(); ++i) changed |= combine(into.stack[i], copy.stack[i], join);
  for (size_t r = 0; r < into.regs.size(); ++r) changed |= combine(into.regs[r], copy.regs[r], join);
  return changed;
}

void forget_conflicts(AbsState& s) {
  for (auto& c : s.stack) c = c == kConflict ? uint8_t{kTypeUnknown} : c;
  for (auto& c : s.regs) c = c == kConflict ? uint8_t{kTypeUnknown} : c;
}

bool sweep(std::vector<AbsState>& states, const std::vector<Instruction>& code, Join join) {
  bool changed = false;
  const size_t exit = code.size();
  for (size_t pos = 0; pos < exit; ++pos) {
    if (!states[pos].set) continue;
    AbsState copy = states[pos];
    transfer(code[pos], copy.stack, copy.regs);
    for_each_successor(code[pos], pos, exit, [&](size_t succ) { changed |= merge(states[succ], copy, join); });
  }
  return changed;
}

std::vector<AbsState> initial_states(size_t count) {
  std::vector<AbsState> states(count + 1);
  states[0].set = true;
  return states;
}

// Upper bound on position visits spent on the plain join before it is declared oscillating; code reaching
// it without a repeated state is far outside anything a compiler emits.
constexpr uint64_t kSweepBudget = uint64_t{1} << 24;
constexpr uint64_t kMinSweeps = 64;

}  // namespace

namespace {

// The sweeping analysis: hands the settled stack types of every reached position, the exit position
// included, to visit(pos, stack) in position order (whole stacks, top last).
template <class Visit>
void sweep_to_fixed_point(const std::vector<Instruction>& code, AnalysisReport* report, Visit&& visit) {
  const size_t count = code.size();
  std::vector<AbsState> states = initial_states(count);
  AnalysisReport local;

  // The plain join can cycle forever at a join of two different types (the conflict is forgotten and
  // re-learned on every sweep). A sweep is a pure function of the states, so a repeated state proves a
  // cycle; Brent's scheme finds one with a single saved snapshot.
  const uint64_t max_sweeps = std::max<uint64_t>(kMinSweeps, kSweepBudget / (count + 1));
  std::vector<AbsState> snapshot = states;
  uint64_t power = 1, lambda = 0;
  bool settled = false;
  while (local.sweeps < max_sweeps) {
    ++local.sweeps;
    if (!sweep(states, code, Join::Plain)) {
      settled = true;
      break;
    }
    if (states == snapshot) break;
    if (++lambda == power) {
      snapshot = states;
      power *= 2;
      lambda = 0;
    }
  }
  snapshot.clear();
  if (!settled) {
    local.fell_back = true;
    states = initial_states(count);
    do {
      ++local.sweeps;
    } while (sweep(states, code, Join::Absorbing));
  }

  for (size_t pos = 0; pos <= count; ++pos) {
    if (!states[pos].set) continue;
    forget_conflicts(states[pos]);
    visit(pos, states[pos].stack);
  }
  if (report != nullptr) *report = local;
}

// The analysis as the loader and analyze_stack_types run it: visit(pos, stack) for every reached
// position in order, as sweep_to_fixed_point gives them. Code without jumps takes one forward pass with a
// single working stack, which reaches the same fixed point (every position has one predecessor) and
// keeps nothing per position. There `visit` may replace the instruction at `pos` by one with the same
// effect on the types (its typed form): the pass reads an instruction only after visiting its position.
template <class Code, class Visit>
void for_each_stack_state(Code& code, Visit&& visit) {
  if (std::any_of(code.begin(), code.end(), [](const Instruction& i) { return is_jump(i.opcode); })) {
    sweep_to_fixed_point(code, nullptr, visit);
    return;
  }
  Stack st;
  Regs regs{};
  const size_t count = code.size();
  for (size_t pos = 0; pos < count; ++pos) {
    visit(pos, st);
    transfer(code[pos], st, regs);
    if (code[pos].opcode == Opcode::Halt || code[pos].opcode == Opcode::Return) break;
  }
  visit(count, st);
}

// The typed form of a generic operation whose two operands have the types `a` (below) and `b` (top), or
// the operation itself when they do not decide one.
Opcode typed_form(Opcode op, uint8_t a, uint8_t b) {
  const bool ints = a == kTypeInt && b == kTypeInt;
  const bool floats = a == kTypeFloat || b == kTypeFloat;
  auto pick = [&](Opcode int_form, Opcode float_form) { return ints ? int_form : floats ? float_form : op; };
  switch (op) {
    case Opcode::Add: return pick(Opcode::AddInt, Opcode::AddFloat);
    case Opcode::Sub: return pick(Opcode::SubInt, Opcode::SubFloat);
    case Opcode::Mul: return pick(Opcode::MulInt, Opcode::MulFloat);
    case Opcode::Mod: return pick(Opcode::ModInt, Opcode::ModFloat);
    case Opcode::Eq: return pick(Opcode::EqInt, Opcode::EqFloat);
    case Opcode::Lt: return pick(Opcode::LtInt, Opcode::LtFloat);
    // Division always gives a float, so two ints take the float form as well.
    case Opcode::Div: return ints || floats ? Opcode::DivFloat : op;
    default: return op;
  }
}

}  // namespace

StackTypeMap analyze_stack_types_by_sweeps(const std::vector<Instruction>& code, AnalysisReport* report) {
  StackTypeMap map;
  sweep_to_fixed_point(code, report, [&map](size_t pos, const Stack& st) { map.emplace(pos, map_entry(st)); });
  return map;
}

StackTypeMap analyze_stack_types(const std::vector<Instruction>& code) {
  StackTypeMap map;
  for_each_stack_state(code, [&map](size_t pos, const Stack& st) { map.emplace(pos, map_entry(st)); });
  return map;
}

uint64_t specialize(std::vector<Instruction>& code, const StackTypeMap& types) {
  uint64_t rewrites = 0;
  for (const auto& [pos, st] : types) {
    if (pos >= code.size() || st.size() < 2) continue;
    Opcode typed = typed_form(code[pos].opcode, st[st.size() - 2], st[st.size() - 1]);
    if (typed != code[pos].opcode) {
      code[pos].opcode = typed;
      ++rewrites;
    }
  }
  return rewrites;
}

// ---------------------------------------------------------------------------------------------------------
// Optimizer

namespace {

enum class Rewrites {
  All,    // every pass as callers of optimize_bytecode and VMEngine know them
  Exact,  // only rewrites that keep every result and every error of the code
};

bool is_foldable(Opcode op) {
  return op == Opcode::Add || op == Opcode::Sub || op == Opcode::Mul || op == Opcode::Mod;
}

bool fold(Opcode op, int32_t x, int32_t y, int32_t& out) {
  const int64_t a = x, b = y;
  int64_t r;
  switch (op) {
    case Opcode::Add: r = a + b; break;
    case Opcode::Sub: r = a - b; break;
    case Opcode::Mul: r = a * b; break;  // both factors fit 32 bits, so the product fits 64
    case Opcode::Mod:
      if (y == 0 || (x == std::numeric_limits<int32_t>::min() && y == -1)) return false;
      r = a % b;
      break;
    default:
      return false;
  }
  if (r < std::numeric_limits<int32_t>::min() || r > std::numeric_limits<int32_t>::max()) return false;
  out = static_cast<int32_t>(r);
  return true;
}

bool is_push(const Instruction& ins, int32_t value) { return ins.opcode == Opcode::Push && ins.imm == value; }

// A rewrite window may start at a jump target but must not reach over one: code jumping into the middle
// of the window would find its pieces gone (x + (c ? 1 : 0) jumps to the Push 0 just before the Add).
std::vector<bool> jump_targets(const std::vector<Instruction>& code) {
  std::vector<bool> targets(code.size(), false);
  for (const auto& ins : code) {
    if (is_jump(ins.opcode) && ins.arg < code.size()) targets[ins.arg] = true;
  }
  return targets;
}

void fold_constants(std::vector<Instruction>& code, const std::vector<bool>& targets, OptimizeResult& r) {
  const size_t n = code.size();
  if (n < 3) return;
  size_t m = 0;
  while (m + 2 < n) {
    int32_t value;
    if (code[m].opcode == Opcode::Push && code[m + 1].opcode == Opcode::Push && is_foldable(code[m + 2].opcode) &&
        !targets[m + 1] && !targets[m + 2] && fold(code[m + 2].opcode, code[m].imm, code[m + 1].imm, value)) {
      code[m] = make_push(value);
      code[m + 1] = make_instr(Opcode::Nop);
      code[m + 2] = make_instr(Opcode::Nop);
      ++r.folds;
      m += 3;
    } else {
      ++m;
    }
  }
}

bool peephole_pair(Instruction& first, Instruction& second, Rewrites mode) {
  const Opcode a = first.opcode, b = second.opcode;
  bool to_nops = false;
  if (a == Opcode::Dup && b == Opcode::Pop) {
    to_nops = true;
  } else if (mode == Rewrites::All) {
    // !!x is a bool, x + 0 may be a type error or -0.0: these pairs are not no-ops at run time.
    to_nops = (a == Opcode::Not && b == Opcode::Not) ||
              (is_push(first, 0) && (b == Opcode::Add || b == Opcode::Sub)) || (is_push(first, 1) && b == Opcode::Mul);
  }
  if (to_nops) {
    first = make_instr(Opcode::Nop);
    second = make_instr(Opcode::Nop);
    return true;
  }
  if (a == Opcode::Push && b == Opcode::Neg) {
    if (first.imm == std::numeric_limits<int32_t>::min()) {
      // The run-time negation gives 2147483648, which no immediate holds.
      if (mode == Rewrites::Exact) return false;
      first = make_push(std::numeric_limits<int32_t>::max());
    } else {
      first = make_push(-first.imm);
    }
    second = make_instr(Opcode::Nop);
    return true;
  }
  return false;
}

void peephole(std::vector<Instruction>& code, const std::vector<bool>& targets, Rewrites mode, OptimizeResult& r) {
  const size_t n = code.size();
  if (n < 2) return;
  size_t k = 0;
  while (k + 1 < n) {
    if (!targets[k + 1] && peephole_pair(code[k], code[k + 1], mode)) {
      ++r.peepholes;
      k += 2;
    } else {
      ++k;
    }
  }
}

void reduce_strength(std::vector<Instruction>& code, const std::vector<bool>& targets, OptimizeResult& r) {
  const size_t n = code.size();
  if (n < 2) return;
  size_t k = 0;
  while (k + 1 < n) {
    if (is_push(code[k], 2) && code[k + 1].opcode == Opcode::Pow && !targets[k + 1]) {
      code[k] = make_instr(Opcode::Dup);
      code[k + 1] = make_instr(Opcode::Mul);
      ++r.strength_reductions;
      k += 2;
    } else {
      ++k;
    }
  }
}

void remove_dead_code(std::vector<Instruction>& code, const std::vector<bool>& targets, OptimizeResult& r) {
  bool unreachable = false;
  for (size_t pos = 0; pos < code.size(); ++pos) {
    if (targets[pos]) {
      unreachable = false;
    } else if (unreachable) {
      if (code[pos].opcode != Opcode::Nop) ++r.dead;
      code[pos] = make_instr(Opcode::Nop);
    }
    if (code[pos].opcode == Opcode::Jump || code[pos].opcode == Opcode::Halt) unreachable = true;
  }
}

// Drops every Nop, in place, and renumbers jump targets; `lines`, when given, loses the entries of dropped
// positions. The storage shrinks to what is kept: a program of mostly Nops keeps no room for them.
void compact(std::vector<Instruction>& code, Rewrites mode, std::vector<uint64_t>* lines) {
  const size_t n = code.size();
  uint64_t kept = 0;
  bool jumps = false;
  for (size_t pos = 0; pos < n; ++pos) {
    kept += code[pos].opcode != Opcode::Nop;
    jumps |= is_jump(code[pos].opcode);
  }
  std::vector<uint64_t> next_kept;  // new index of the first kept instruction at or after; only with jumps
  if (jumps) {
    next_kept.assign(n + 1, UINT64_MAX);
    uint64_t index = kept;
    for (size_t pos = n; pos-- > 0;) {
      if (code[pos].opcode != Opcode::Nop) index = index - 1;
      next_kept[pos] = index < kept ? index : UINT64_MAX;
    }
  }

  size_t out = 0;
  const bool keep_lines = lines != nullptr;
  std::vector<uint64_t> no_lines;
  std::vector<uint64_t>& line_table = keep_lines ? *lines : no_lines;
  size_t lines_out = 0;
  for (size_t pos = 0; pos < n; ++pos) {
    if (code[pos].opcode == Opcode::Nop) continue;
    Instruction ins = code[pos];
    if (is_jump(ins.opcode)) {
      if (ins.arg < n && next_kept[ins.arg] != UINT64_MAX) {
        ins.arg = next_kept[ins.arg];
      } else if (mode == Rewrites::Exact) {
        // Everything from the old target on is gone, so the jump runs off the end, as it did before.
        ins.arg = kept;
      } else {
        ins.arg = kept == 0 ? 0 : kept - 1;
      }
    }
    code[out++] = ins;
    if (keep_lines && pos < line_table.size()) line_table[lines_out++] = line_table[pos];
  }
  code.resize(out);
  code.shrink_to_fit();
  if (keep_lines) line_table.resize(lines_out);
}

OptimizeResult run_passes(std::vector<Instruction> code, Rewrites mode, std::vector<uint64_t>* lines) {
  OptimizeResult r;
  r.input_count = code.size();
  // The passes never move an instruction or change a jump before compaction, so one target set serves all.
  const std::vector<bool> targets = jump_targets(code);
  fold_constants(code, targets, r);
  peephole(code, targets, mode, r);
  if (mode == Rewrites::All) reduce_strength(code, targets, r);
  remove_dead_code(code, targets, r);
  compact(code, mode, lines);
  r.code = std::move(code);
  r.optimized_count = r.code.size();
  r.removed = r.input_count > r.optimized_count ? r.input_count - r.optimized_count : 0;
  return r;
}

}  // namespace

OptimizeResult optimize(const std::vector<Instruction>& code) { return run_passes(code, Rewrites::All, nullptr); }

OptimizeResult optimize_main(const std::vector<Instruction>& code, std::vector<uint64_t>& lines) {
  return run_passes(code, Rewrites::Exact, &lines);
}

LoadedProgram load_bytes(std::string_view bytes) {
  LoadedProgram program;
  std::vector<Instruction> code = decode_vm_bytes(bytes);
  // The analysis specialises as it goes instead of keeping a type map of every position: the loader's
  // memory stays the code itself.
  uint64_t rewrites = 0;
  if (!code.empty()) {
    for_each_stack_state(code, [&code, &rewrites](size_t pos, const Stack& st) {
      if (pos >= code.size() || st.size() < 2) return;
      Opcode typed = typed_form(code[pos].opcode, st[st.size() - 2], st[st.size() - 1]);
      if (typed != code[pos].opcode) {
        code[pos].opcode = typed;
        ++rewrites;
      }
    });
  }
  program.info.specialized = rewrites;
  OptimizeResult r = run_passes(std::move(code), Rewrites::All, nullptr);
  program.code = std::move(r.code);
  r.code = {};
  program.info.counters = std::move(r);
  return program;
}

}  // namespace tarnwick
