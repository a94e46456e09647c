#include <gtest/gtest.h>

#include <climits>
#include <random>

#include "tests/cpp/code_text.h"
#include "vm_engine/compiler.h"

using namespace tarnwick;
using tarnwick::testing::code_from_text;
using tarnwick::testing::code_to_text;

namespace {

// A small model of the machine for ints and bools, enough to tell whether a rewrite kept the meaning of
// code: arithmetic wants ints (saturating like the VM), Not gives a bool, registers come from `regs`.
struct Outcome {
  std::string text;  // "int 5", "bool 1", "empty" or "error ..."
  bool operator==(const Outcome&) const = default;
};

Outcome evaluate(const std::vector<Instruction>& code, const std::vector<int64_t>& regs = {}) {
  struct V {
    int64_t v;
    bool is_bool;
  };
  std::vector<V> st;
  auto pop = [&](V& out) {
    if (st.empty()) return false;
    out = st.back();
    st.pop_back();
    return true;
  };
  size_t pc = 0;
  for (int steps = 0; pc < code.size() && steps < 10000; ++steps) {
    const Instruction& ins = code[pc++];
    V a{}, b{};
    switch (ins.opcode) {
      case Opcode::Push: st.push_back({ins.imm, false}); break;
      case Opcode::LoadReg: st.push_back({regs.at(ins.arg), false}); break;
      case Opcode::Nop: break;
      case Opcode::Pop: if (!pop(a)) return {"error underflow"}; break;
      case Opcode::Dup: if (!pop(a)) return {"error underflow"}; st.push_back(a); st.push_back(a); break;
      case Opcode::Swap:
        if (st.size() < 2) return {"error underflow"};
        std::swap(st[st.size() - 1], st[st.size() - 2]);
        break;
      case Opcode::Not: if (!pop(a)) return {"error underflow"}; st.push_back({a.v == 0, true}); break;
      case Opcode::Neg:
        if (!pop(a)) return {"error underflow"};
        if (a.is_bool) return {"error neg type"};
        st.push_back({a.v == INT64_MIN ? a.v : -a.v, false});
        break;
      case Opcode::Add: case Opcode::Sub: case Opcode::Mul: case Opcode::Mod: case Opcode::Pow: {
        if (!pop(b) || !pop(a)) return {"error underflow"};
        std::string op = opcode_name(ins.opcode);
        if (a.is_bool || b.is_bool) return {"error type " + op};
        int64_t r = 0;
        bool over = false;
        if (ins.opcode == Opcode::Add) over = __builtin_add_overflow(a.v, b.v, &r);
        if (ins.opcode == Opcode::Sub) over = __builtin_sub_overflow(a.v, b.v, &r);
        if (ins.opcode == Opcode::Mul) over = __builtin_mul_overflow(a.v, b.v, &r);
        if (over) r = ((a.v < 0) != (b.v < 0) && ins.opcode != Opcode::Sub) ? INT64_MIN : INT64_MAX;
        if (ins.opcode == Opcode::Mod) {
          if (b.v == 0) return {"error mod by zero"};
          r = b.v == -1 ? 0 : a.v % b.v;
        }
        if (ins.opcode == Opcode::Pow) return {"error pow unsupported"};
        st.push_back({r, false});
        break;
      }
      case Opcode::Jump: pc = ins.arg; break;
      case Opcode::JumpIfFalse: case Opcode::JumpIfTrue:
        if (!pop(a)) return {"error underflow"};
        if ((a.v != 0) == (ins.opcode == Opcode::JumpIfTrue)) pc = ins.arg;
        break;
      case Opcode::Halt: pc = code.size(); break;
      default: return {"error unsupported"};
    }
  }
  if (st.empty()) return {"empty"};
  return {(st.back().is_bool ? "bool " : "int ") + std::to_string(st.back().v)};
}

struct PassCase {
  const char* name;
  const char* input;
  const char* expected;
  uint64_t folds, peepholes, strength, dead;
};

class OptimizerPasses : public ::testing::TestWithParam<PassCase> {};

TEST_P(OptimizerPasses, RewritesAndCounts) {
  const PassCase& c = GetParam();
  auto input = code_from_text(c.input);
  OptimizeResult r = optimize(input);
  EXPECT_EQ(code_to_text(r.code), c.expected);
  EXPECT_EQ(r.folds, c.folds);
  EXPECT_EQ(r.peepholes, c.peepholes);
  EXPECT_EQ(r.strength_reductions, c.strength);
  EXPECT_EQ(r.dead, c.dead);
  EXPECT_EQ(r.input_count, input.size());
  EXPECT_EQ(r.optimized_count, r.code.size());
  EXPECT_EQ(r.removed, input.size() - r.code.size());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OptimizerPasses,
    ::testing::Values(
        PassCase{"fold_mul", "Push 2; Push 3; Mul; Halt", "Push 6; Halt", 1, 0, 0, 0},
        PassCase{"fold_mod_truncates", "Push -7; Push 2; Mod; Halt", "Push -1; Halt", 1, 0, 0, 0},
        PassCase{"no_fold_overflow", "Push 2147483647; Push 1; Add", "Push 2147483647; Push 1; Add", 0, 0, 0, 0},
        PassCase{"no_fold_big_product", "Push 65536; Push 65536; Mul", "Push 65536; Push 65536; Mul", 0, 0, 0, 0},
        PassCase{"no_fold_mod_zero", "Push 5; Push 0; Mod", "Push 5; Push 0; Mod", 0, 0, 0, 0},
        PassCase{"no_fold_min_mod_minus_one", "Push -2147483648; Push -1; Mod", "Push -2147483648; Push -1; Mod", 0, 0,
                 0, 0},
        PassCase{"no_fold_div", "Push 6; Push 3; Div", "Push 6; Push 3; Div", 0, 0, 0, 0},
        PassCase{"one_fold_per_pass", "Push 1; Push 2; Add; Push 3; Add", "Push 3; Push 3; Add", 1, 0, 0, 0},
        PassCase{"fold_scan_skips_its_result", "Push 1; Push 2; Push 3; Add; Add", "Push 1; Push 5; Add", 1, 0, 0, 0},
        PassCase{"dup_pop", "Dup; Pop; Halt", "Halt", 0, 1, 0, 0},
        PassCase{"not_not", "Not; Not; Add", "Add", 0, 1, 0, 0},
        PassCase{"add_zero_sub_zero_mul_one", "Push 0; Add; Push 0; Sub; Push 1; Mul", "", 0, 3, 0, 0},
        PassCase{"negate_constant", "Push 5; Neg; Push -2147483648; Neg", "Push -5; Push 2147483647", 0, 2, 0, 0},
        PassCase{"pair_scan_resumes_after_rewrite", "Push 1; Neg; Neg", "Push -1; Neg", 0, 1, 0, 0},
        PassCase{"square", "Push 2; Pow; Halt", "Dup; Mul; Halt", 0, 0, 1, 0},
        PassCase{"fold_wins_over_peephole", "Push 0; Push 0; Add; Add", "Push 0; Add", 1, 0, 0, 0},
        PassCase{"dead_after_halt", "Halt; Add; Sub", "Halt", 0, 0, 0, 2},
        PassCase{"dead_after_jump", "Jump 3; Pop; Pop; Halt", "Jump 1; Halt", 0, 0, 0, 2},
        PassCase{"return_and_branches_keep_going", "Return; Pop; JumpIfFalse 9; Pop", "Return; Pop; JumpIfFalse 3; Pop",
                 0, 0, 0, 0},
        PassCase{"target_moves_to_next_kept", "JumpIfTrue 2; Pop; Nop; Nop; Len; Halt",
                 "JumpIfTrue 2; Pop; Len; Halt", 0, 0, 0, 0},
        PassCase{"target_past_end_goes_to_last", "JumpIfTrue 40; Pop; Halt", "JumpIfTrue 2; Pop; Halt", 0, 0, 0, 0},
        PassCase{"all_removed", "Nop; Nop", "", 0, 0, 0, 0}),
    [](const ::testing::TestParamInfo<PassCase>& info) { return std::string(info.param.name); });

TEST(OptimizerWindows, NoRewriteReachesOverAJumpTarget) {
  // x + (c ? 1 : 0): the else branch jumps straight to "Push 0", whose pair with the Add must survive,
  // and the then branch jumps to the Add itself.
  auto ternary = code_from_text(
      "LoadReg 0; LoadReg 1; JumpIfFalse 5; Push 1; Jump 6; Push 0; Add; Halt");
  OptimizeResult r = optimize(ternary);
  EXPECT_EQ(r.peepholes, 0u);
  for (int64_t c : {0, 1}) EXPECT_EQ(evaluate(r.code, {10, c}), evaluate(ternary, {10, c})) << c;
  EXPECT_EQ(evaluate(r.code, {10, 1}).text, "int 11");

  // A jump into the middle of Push, Push, Mul, and into the second half of Push 2, Pow and Dup, Pop.
  auto fold_target = code_from_text("LoadReg 0; JumpIfTrue 3; Push 7; Push 3; Mul; Halt");
  EXPECT_EQ(optimize(fold_target).folds, 0u);
  auto pow_target = code_from_text("LoadReg 0; LoadReg 1; JumpIfTrue 4; Push 2; Pow; Halt");
  EXPECT_EQ(optimize(pow_target).strength_reductions, 0u);
  auto pair_target = code_from_text("LoadReg 0; JumpIfTrue 3; Dup; Pop; Halt");
  EXPECT_EQ(optimize(pair_target).peepholes, 0u);

  // A window may begin at a target: jumping to a folded Push still finds the folded value.
  auto starts_at_target = code_from_text("LoadReg 0; JumpIfTrue 2; Push 7; Push 3; Mul; Halt");
  OptimizeResult s = optimize(starts_at_target);
  EXPECT_EQ(s.folds, 1u);
  EXPECT_EQ(code_to_text(s.code), "LoadReg; JumpIfTrue 2; Push 21; Halt");
}

TEST(OptimizeMain, KeepsEveryResultAndError) {
  struct Case {
    const char* code;
    const char* result;
  };
  // Each of these is rewritten by the full optimizer into something that computes differently.
  const Case cases[] = {
      {"Push 5; Not; Not; Halt", "bool 1"},
      {"Push 5; Not; Push 0; Add; Halt", "error type Add"},
      {"Push 4; Not; Push 1; Mul; Halt", "error type Mul"},
      {"Push -2147483648; Neg; Halt", "int 2147483648"},
      {"Push 3; Push 2; Pow; Halt", "error pow unsupported"},
  };
  for (const auto& c : cases) {
    auto code = code_from_text(c.code);
    std::vector<uint64_t> lines(code.size(), 1);
    OptimizeResult r = optimize_main(code, lines);
    EXPECT_EQ(evaluate(code).text, c.result) << c.code;
    EXPECT_EQ(evaluate(r.code), evaluate(code)) << c.code << " -> " << code_to_text(r.code);
    EXPECT_NE(evaluate(optimize(code).code), evaluate(code)) << c.code;
  }
}

TEST(OptimizeMain, RandomStraightCodeComputesTheSame) {
  const char* ops[] = {"Push 0", "Push 1", "Push 2", "Push -3", "Push 2147483647", "Push -2147483648", "Dup", "Pop",
                       "Swap", "Add", "Sub", "Mul", "Mod", "Neg", "Not", "Nop"};
  std::mt19937 rng(7);
  int rewritten = 0;
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    int len = 1 + static_cast<int>(rng() % 10);
    for (int i = 0; i < len; ++i) text += std::string(ops[rng() % std::size(ops)]) + ";";
    text += "Halt";
    auto code = code_from_text(text);
    std::vector<uint64_t> lines;
    for (size_t i = 0; i < code.size(); ++i) lines.push_back(100 + i);
    Outcome before = evaluate(code);
    if (before.text == "error underflow") continue;  // compiled code never runs the stack dry
    OptimizeResult r = optimize_main(code, lines);
    rewritten += r.code.size() != code.size();
    ASSERT_EQ(evaluate(r.code), before) << text << " -> " << code_to_text(r.code);
    ASSERT_EQ(lines.size(), r.code.size());
  }
  EXPECT_GT(rewritten, 100);  // the comparison above is not vacuous
}

TEST(OptimizeMain, LineTableFollowsTheKeptInstructions) {
  auto code = code_from_text("Push 2; Push 3; Mul; Dup; Pop; LoadReg 0; JumpIfFalse 9; Push 4; Neg; Jump 10; Halt; Len");
  std::vector<uint64_t> lines = {1, 1, 1, 2, 2, 3, 3, 4, 4, 4, 5, 6};
  OptimizeResult r = optimize_main(code, lines);
  EXPECT_EQ(code_to_text(r.code), "Push 6; LoadReg; JumpIfFalse 4; Push -4; Jump 5; Halt");
  EXPECT_EQ(lines, (std::vector<uint64_t>{1, 3, 3, 4, 4, 5}));
  EXPECT_EQ(r.dead, 1u);

  // A jump whose old target has no surviving instruction after it still runs off the end.
  auto off_end = code_from_text("LoadReg 0; JumpIfTrue 3; Halt; Dup; Pop");
  std::vector<uint64_t> l2(off_end.size(), 7);
  EXPECT_EQ(code_to_text(optimize_main(off_end, l2).code), "LoadReg; JumpIfTrue 3; Halt");
  EXPECT_EQ(l2.size(), 3u);
}

// ---------------------------------------------------------------------------------------------------------
// Loader: analysis and specialisation

std::string load(const std::string& bytes) { return code_to_text(load_bytes(bytes).code); }

TEST(Loader, SpecialisesFromStackTypes) {
  EXPECT_EQ(load("\x06\x02\x10"), "Len; Dup; AddInt");
  EXPECT_EQ(load("\x06\x02\x13"), "Len; Dup; DivFloat");
  EXPECT_EQ(load("\x06\x06\x10"), "Len; Len; Add");
  EXPECT_EQ(load("\x06\x02\x13\x06\x10"), "Len; Dup; DivFloat; Len; Add");  // Len replaced the float
  EXPECT_EQ(load("\x06\x02\x13\x02\x12\x02\x20"), "Len; Dup; DivFloat; Dup; MulFloat; Dup; EqFloat");
  EXPECT_EQ(load("\x06\x02\x32\x22"), "Len; Dup; Not; Lt");  // a bool is neither int nor float
  EXPECT_EQ(load("\x08\x06\x03\x01\x02\x10"), "IterNext; Len; Swap; Pop; Dup; AddInt");
  EXPECT_EQ(load("\x08\x06\x01\x02\x10"), "IterNext; Len; Pop; Dup; Add");
  EXPECT_EQ(load("\x06\x02\x13\x02\x06\x11"), "Len; Dup; DivFloat; Dup; Len; SubFloat");
  EXPECT_EQ(load("\x06\x02\x02\x15\x14"), "Len; Dup; Dup; Pow; ModFloat");

  LoadedProgram p = load_bytes(std::string("\x00\x06\x02\x10\x02\x21\x06\x02\x14\xFF", 10));
  EXPECT_EQ(code_to_text(p.code), "Len; Dup; AddInt; Dup; Ne; Len; Dup; ModInt; Halt");
  EXPECT_EQ(p.info.specialized, 2u);
  EXPECT_EQ(p.info.counters.input_count, 10u);
  EXPECT_EQ(p.info.counters.removed, 1u);
  EXPECT_TRUE(p.info.counters.code.empty());
}

TEST(Loader, StackTypeMapCoversReachedPositionsAndExit) {
  // Len, Dup, Add, Halt, Len: the instruction after Halt is never reached.
  StackTypeMap expected = {{0, {}}, {1, {1}}, {2, {1, 1}}, {3, {1}}, {5, {}}};
  EXPECT_EQ(analyze_stack_types(decode_vm_bytes("\x06\x02\x10\xFF\x06")), expected);

  // IterNext on an empty stack: an iterator code and an unknown element; Concat leaves a string.
  StackTypeMap m = analyze_stack_types(code_from_text("IterNext; Concat; Neg; Div"));
  StackTypeMap expected2 = {{0, {}}, {1, {5, 0}}, {2, {4}}, {3, {0}}, {4, {2}}};
  EXPECT_EQ(m, expected2);

  LoadedProgram empty = load_bytes(std::string("\xFE\x40", 2));
  EXPECT_TRUE(empty.code.empty());
  EXPECT_EQ(empty.info.counters.input_count, 0u);
}

TEST(Loader, DeepStacksStayCheap) {
  // Every IterNext grows the stack by one; whole-stack copies per position would need gigabytes here.
  std::string bytes(200000, '\x08');
  bytes += "\x10";
  StackTypeMap types = analyze_stack_types(decode_vm_bytes(bytes));
  ASSERT_EQ(types.size(), bytes.size() + 1);
  const auto& before_add = types.at(bytes.size() - 1);
  EXPECT_EQ(before_add.size(), kStackTypeMapDepth);
  EXPECT_EQ(before_add.back(), kTypeUnknown);
  EXPECT_EQ(before_add[before_add.size() - 2], kTypeArray);
}

TEST(Loader, KeepsOnlyTheCode) {
  // A million instructions: the loaded program holds the instructions it kept and no room for the others.
  const std::string units[] = {std::string(4, '\0'), std::string("\x06\x00\x00\x01", 4), "\x06\x02\x10\x01"};
  for (const std::string& unit : units) {
    std::string bytes;
    for (int i = 0; i < 250000; ++i) bytes += unit;
    LoadedProgram p = load_bytes(bytes);
    EXPECT_EQ(p.info.counters.input_count, bytes.size());
    EXPECT_EQ(p.code.capacity(), p.code.size());
  }
}

TEST(Analysis, SinglePassAgreesWithSweepsOnStraightCode) {
  const char* ops[] = {"Nop", "Pop", "Dup", "Swap", "Add", "Sub", "Mul", "Div", "Mod", "Pow", "Neg", "Eq", "Lt",
                       "And", "Not", "Concat", "Len", "GetIter", "IterNext", "Halt", "Push 1", "StoreReg 3",
                       "LoadReg 3", "MakeArray 2", "SetIndex", "Return"};
  std::mt19937 rng(11);
  for (int round = 0; round < 500; ++round) {
    std::string text;
    int len = static_cast<int>(rng() % 14);
    for (int i = 0; i < len; ++i) text += std::string(ops[rng() % std::size(ops)]) + ";";
    auto code = code_from_text(text);
    AnalysisReport report;
    StackTypeMap swept = analyze_stack_types_by_sweeps(code, &report);
    ASSERT_EQ(analyze_stack_types(code), swept) << text;
    EXPECT_FALSE(report.fell_back);
    EXPECT_LE(report.sweeps, 2u);
  }
}

TEST(Analysis, LoopsWithAgreeingTypesSettle) {
  // r0 = 0; while (r0 < 10) r0 = r0 + 1: the register stays int around the loop.
  auto code = code_from_text("Push 0; StoreReg 0; LoadReg 0; Push 10; Lt; JumpIfFalse 11; LoadReg 0; Push 1; Add; "
                             "StoreReg 0; Jump 2; LoadReg 0; Halt");
  AnalysisReport report;
  StackTypeMap m = analyze_stack_types_by_sweeps(code, &report);
  EXPECT_FALSE(report.fell_back);
  EXPECT_EQ(m.at(4), (std::vector<uint8_t>{1, 1}));
  EXPECT_EQ(m.at(8), (std::vector<uint8_t>{1, 1}));
  EXPECT_EQ(m.at(12), (std::vector<uint8_t>{1}));
  EXPECT_EQ(m, analyze_stack_types(code));
  std::vector<Instruction> typed = code;
  EXPECT_EQ(specialize(typed, m), 2u);
  EXPECT_EQ(typed[4].opcode, Opcode::LtInt);
  EXPECT_EQ(typed[8].opcode, Opcode::AddInt);

  // A join of a shorter and a longer stack keeps the common bottom.
  auto uneven = code_from_text("Len; Dup; LoadGlobal; JumpIfTrue 5; Pop; Nop; Halt");
  EXPECT_EQ(analyze_stack_types(uneven).at(5), (std::vector<uint8_t>{1}));
}

TEST(Analysis, ConflictingJoinsTerminate) {
  struct Case {
    const char* code;
    uint64_t pos;
    std::vector<uint8_t> stack;
  };
  const Case cases[] = {
      // c ? 1 : "s" as an if/else whose join sees int and string.
      {"LoadGlobal; JumpIfFalse 4; Push 1; Jump 5; Concat; Dup; Add; Halt", 5, {0}},
      // A register that is int before the loop and string inside it.
      {"Push 1; StoreReg 0; LoadReg 0; Pop; Concat; StoreReg 0; Jump 2", 3, {0}},
      // An unconditional self-loop that changes the type of the value it keeps on the stack.
      {"Len; Neg; Not; Jump 1", 1, {0}},
  };
  for (const auto& c : cases) {
    AnalysisReport report;
    StackTypeMap m = analyze_stack_types_by_sweeps(code_from_text(c.code), &report);
    EXPECT_TRUE(report.fell_back) << c.code;
    EXPECT_EQ(m.at(c.pos), c.stack) << c.code;
    EXPECT_EQ(m, analyze_stack_types(code_from_text(c.code))) << c.code;
  }
}

TEST(Analysis, JumpTargetsOutsideTheCodeAreIgnored) {
  auto code = code_from_text("Len; JumpIfTrue 99; Len; Jump 5; Halt");
  StackTypeMap m = analyze_stack_types(code);
  EXPECT_EQ(m.count(4), 0u);  // reached only by the jump, which targets the exit position
  EXPECT_EQ(m.at(5), (std::vector<uint8_t>{1}));
}

}  // namespace
