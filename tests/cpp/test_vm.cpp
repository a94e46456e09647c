#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <new>
#include <stdexcept>
#include <utility>

#include "tests/cpp/vm_test_util.h"
#include "vm_engine/limits.h"
#include "vm_engine/pool.h"

using namespace tarnwick;
using namespace tarnwick::testing;
using O = Opcode;

namespace {

Constant I64(int64_t v) { return Constant::integer(v); }
Constant F(double v) { return Constant::floating(v); }
Constant S(std::string s) { return Constant::string(std::move(s)); }

// --- Single instructions: operands from constants, one opcode, the result or the error ----------------

struct OpCase {
  const char* name;
  std::vector<Constant> operands;  // pushed in order by LoadConst
  Opcode opcode;
  std::string expected;
};

class OneInstruction : public ::testing::TestWithParam<OpCase> {};

TEST_P(OneInstruction, GivesTheExpectedOutcome) {
  const OpCase& c = GetParam();
  Program p;
  for (size_t i = 0; i < c.operands.size(); ++i) p.code.push_back(op(O::LoadConst, i));
  p.code.push_back(op(c.opcode));
  p.constants = c.operands;
  EXPECT_EQ(run(std::move(p)), c.expected);
}

const double kNaN = std::nan("");
const double kInf = HUGE_VAL;

INSTANTIATE_TEST_SUITE_P(
    Arithmetic, OneInstruction,
    ::testing::Values(
        OpCase{"IntDivGivesFloat", {I64(7), I64(2)}, O::Div, "ok:3.5"},
        OpCase{"ExactIntDivStillFloat", {I64(6), I64(3)}, O::Div, "ok:2.0"},
        OpCase{"IntDivByZero", {I64(1), I64(0)}, O::Div, "err:Division by zero"},
        OpCase{"FloatDivByIntZero", {F(1.5), I64(0)}, O::Div, "err:Division by zero"},
        OpCase{"FloatDivByNegZero", {F(1.5), F(-0.0)}, O::Div, "err:Division by zero"},
        OpCase{"NaNDivisorIsNotZero", {F(1.0), F(kNaN)}, O::Div, "ok:NaN"},
        OpCase{"ModTruncates", {I64(-7), I64(2)}, O::Mod, "ok:-1"},
        OpCase{"ModByZero", {I64(3), I64(0)}, O::Mod, "err:Modulo by zero"},
        OpCase{"FloatModSignOfA", {F(-7.5), F(2.0)}, O::Mod, "ok:-1.5"},
        OpCase{"ModMinByMinusOne", {I64(INT64_MIN), I64(-1)}, O::Mod, "ok:0"},
        OpCase{"ModIntMinByMinusOne", {I64(INT64_MIN), I64(-1)}, O::ModInt, "ok:0"},
        OpCase{"AddSaturatesHigh", {I64(INT64_MAX), I64(1)}, O::Add, "ok:9223372036854775807"},
        OpCase{"SubSaturatesLow", {I64(INT64_MIN), I64(1)}, O::Sub, "ok:-9223372036854775808"},
        OpCase{"MulSaturatesBySign", {I64(INT64_MIN), I64(2)}, O::Mul, "ok:-9223372036854775808"},
        OpCase{"MulIntSaturates", {I64(INT64_MAX), I64(-3)}, O::MulInt, "ok:-9223372036854775808"},
        OpCase{"PowOfIntsIsFloat", {I64(2), I64(10)}, O::Pow, "ok:1024.0"},
        OpCase{"MixedAddIsFloat", {I64(1), F(0.5)}, O::Add, "ok:1.5"},
        OpCase{"StringPlusInt", {S("a"), I64(1)}, O::Add, "err:Type error: cannot apply add to string and int"},
        OpCase{"NilTimesFloat", {Constant::nil(), F(1)}, O::Mul, "err:Type error: cannot apply mul to nil and float"},
        OpCase{"IntModString", {I64(1), S("x")}, O::Mod, "err:Type error: cannot apply mod to int and string"},
        OpCase{"NegMinStays", {I64(INT64_MIN)}, O::Neg, "ok:-9223372036854775808"},
        OpCase{"NegFloat", {F(2.5)}, O::Neg, "ok:-2.5"},
        OpCase{"NegString", {S("x")}, O::Neg, "err:Type error: unary negation requires a number"},
        OpCase{"AddIntNeedsInts", {I64(1), F(1)}, O::AddInt, "err:Type error: expected int"},
        OpCase{"AddFloatNeedsFloats", {F(1), I64(1)}, O::AddFloat, "err:Type error: expected float"},
        OpCase{"DivFloatByZero", {F(1), F(0)}, O::DivFloat, "err:Division by zero"},
        OpCase{"ModFloatByZero", {F(1), F(0)}, O::ModFloat, "err:Modulo by zero"},
        OpCase{"ModIntByZero", {I64(1), I64(0)}, O::ModInt, "err:Modulo by zero"},
        OpCase{"EqFloatTolerance", {F(0.1 + 0.2), F(0.3)}, O::EqFloat, "ok:true"},
        OpCase{"LtIntNeedsInts", {F(1), I64(1)}, O::LtInt, "err:Type error: expected int"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Comparisons, OneInstruction,
    ::testing::Values(
        OpCase{"IntEqualsFloat", {I64(1), F(1.0)}, O::Eq, "ok:true"},
        OpCase{"StringsEqual", {S("ab"), S("ab")}, O::Eq, "ok:true"},
        OpCase{"NilNotEqualsFalse", {Constant::nil(), Constant::boolean(false)}, O::Eq, "ok:false"},
        OpCase{"NeNegates", {I64(1), I64(2)}, O::Ne, "ok:true"},
        OpCase{"LtMixed", {I64(1), F(1.5)}, O::Lt, "ok:true"},
        OpCase{"GeEqual", {I64(2), I64(2)}, O::Ge, "ok:true"},
        OpCase{"NaNComparesFalse", {F(kNaN), F(kNaN)}, O::Le, "ok:false"},
        OpCase{"InfGreater", {F(kInf), I64(INT64_MAX)}, O::Gt, "ok:true"},
        OpCase{"LtString", {S("a"), I64(1)}, O::Lt, "err:Type error: expected number"},
        OpCase{"AndTruthiness", {S("x"), F(0.0)}, O::And, "ok:false"},
        OpCase{"OrTruthiness", {Constant::nil(), S("0")}, O::Or, "ok:true"},
        OpCase{"NotNaN", {F(kNaN)}, O::Not, "ok:false"},
        OpCase{"ConcatTexts", {I64(1), F(2.0)}, O::Concat, "ok:\"12.0\""},
        OpCase{"ConcatEmpty", {Constant::nil(), Constant::nil()}, O::Concat, "ok:\"nilnil\""},
        OpCase{"LenString", {S("h\xC3\xA9")}, O::Len, "ok:3"},
        OpCase{"LenInt", {I64(3)}, O::Len, "err:Type error: len() requires string/array/object"},
        OpCase{"IndexString", {S("abc"), I64(0)}, O::GetIndex, "err:Invalid index operation"},
        OpCase{"IterInt", {I64(3)}, O::GetIter, "err:Type error: cannot iterate over value"},
        OpCase{"IterNextOnInt", {I64(3)}, O::IterNext, "err:Invalid iterator state"}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Stack discipline -----------------------------------------------------------------------------------

TEST(Stack, UnderflowsReportAndDiscardWhatWasPopped) {
  struct Case {
    std::vector<Instruction> code;
    std::string expected;
    uint64_t depth_after;
  };
  std::vector<Case> cases = {
      {{op(O::Pop)}, "err:Stack underflow", 0},
      {{push(1), op(O::Swap)}, "err:Stack underflow on Swap", 1},  // nothing popped
      {{push(1), op(O::Add)}, "err:Stack underflow", 0},           // b popped and lost
      {{push(1), op(O::Lt)}, "err:Stack underflow", 0},
      {{op(O::LoadConst, 0), push(1), op(O::Lt)}, "err:Type error: expected number", 0},
      {{push(1), op(O::LoadConst, 0), op(O::Lt)}, "err:Type error: expected number", 1},  // a never popped
      {{push(1), push(2), op(O::SetIndex)}, "err:Stack underflow", 0},
      {{push(1), op(O::MakeArray, 2)}, "err:Stack underflow", 0},
      {{push(1), push(2), push(3), op(O::MakeObject, 2)}, "err:Stack underflow", 0},
      {{push(1), op(O::Call, 1)}, "err:Stack underflow", 0},
      {{push(1), op(O::Call, 0xFFFFFFFFFFFFull)}, "err:Stack underflow", 0},    // no huge reservation
      {{push(1), op(O::MakeArray, 0xFFFFFFFFFFFFull)}, "err:Stack underflow", 0},
      {{push(1), op(O::StoreReg, 256)}, "err:Register 256 out of bounds", 1},  // tested before popping
      {{op(O::LoadReg, 300)}, "err:Register 300 out of bounds", 0},
      {{op(O::LoadConst, 5)}, "err:Constant pool index 5 out of bounds", 0},
      {{op(O::Return)}, "err:Return without matching call", 0},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    auto vm = make_vm({cases[i].code, {S("s")}, {}, {}});
    EXPECT_EQ(outcome(vm->run()), cases[i].expected) << "case " << i;
    EXPECT_EQ(vm->stack_depth(), cases[i].depth_after) << "case " << i;
  }
}

TEST(Stack, ErrorsCarryTheLineOfTheFailingInstruction) {
  EXPECT_EQ(run({{push(1), push(0), op(O::Div)}, {}, {3, 4, 12}, {}}), "err:Line 12: Division by zero");
  EXPECT_EQ(run({{push(1), push(0), op(O::Div)}, {}, {3, 4, 0}, {}}), "err:Division by zero");
  EXPECT_EQ(run({{push(1), push(0), op(O::Div)}, {}, {3, 4}, {}}), "err:Division by zero");
}

TEST(Stack, RunsEndWithTheTopValueAndContinueWhereTheyStopped) {
  auto vm = make_vm({{push(1), push(2), op(O::Halt)}, {}, {}, {}});
  EXPECT_EQ(vm->state_debug_text(), "Running");
  EXPECT_EQ(outcome(vm->run()), "ok:2");
  EXPECT_EQ(vm->state_debug_text(), "Halted");
  EXPECT_EQ(vm->instructions_executed(), 3u);
  EXPECT_EQ(outcome(vm->run()), "ok:1");  // no instruction runs again
  EXPECT_EQ(outcome(vm->run()), "ok:nil");
  EXPECT_EQ(vm->instructions_executed(), 3u);
  EXPECT_EQ(run({}), "ok:nil");
}

TEST(Stack, JumpsPastTheEndFinishNormally) {
  EXPECT_EQ(run({{push(7), op(O::Jump, 1000), push(8)}, {}, {}, {}}), "ok:7");
  EXPECT_EQ(run({{push(0), op(O::JumpIfFalse, 4), push(1), op(O::Jump, 5), push(2)}, {}, {}, {}}), "ok:2");
}

TEST(Stack, CountedLoopUsesBackwardJumps) {
  // r0 = 0; r1 = 0; while r0 < 1000 { r1 = r1 + r0; r0 = r0 + 1 }; r1
  Program p{{push(0), op(O::StoreReg, 0), push(0), op(O::StoreReg, 1),
             op(O::LoadReg, 0), push(1000), op(O::Lt), op(O::JumpIfFalse, 17),
             op(O::LoadReg, 1), op(O::LoadReg, 0), op(O::Add), op(O::StoreReg, 1),
             op(O::LoadReg, 0), push(1), op(O::Add), op(O::StoreReg, 0), op(O::Jump, 4),
             op(O::LoadReg, 1)},
            {}, {}, {}};
  auto vm = make_vm(p);
  EXPECT_EQ(outcome(vm->run()), "ok:499500");
  // 4 set-up + 1000 iterations of 13 + the failing test (4) + the final load: every instruction counted once,
  // however the loop runs them.
  EXPECT_EQ(vm->instructions_executed(), 13009u);
}

// Common sequences run as one step when nothing in them can fail; these check that what is observable
// (results, counts, errors, where a run stops) matches instruction-by-instruction execution.
TEST(Stack, SequencesBehaveAsTheirInstructions) {
  // r1 = r0 + 1 written as the compiler does: LoadReg, Push, Add, Dup, StoreReg, Pop.
  auto body = [](Constant r0) {
    return Program{{op(O::LoadConst, 0), op(O::StoreReg, 0), op(O::LoadReg, 0), push(1), op(O::Add), op(O::Dup),
                    op(O::StoreReg, 1), op(O::Pop), op(O::LoadReg, 1)},
                   {std::move(r0)}, {1, 1, 2, 2, 3, 4, 4, 4, 5}, {}};
  };
  auto ok = make_vm(body(I64(41)));
  EXPECT_EQ(outcome(ok->run()), "ok:42");
  EXPECT_EQ(ok->instructions_executed(), 9u);
  auto flt = make_vm(body(F(0.5)));
  EXPECT_EQ(outcome(flt->run()), "ok:1.5");
  auto bad = make_vm(body(S("s")));
  EXPECT_EQ(outcome(bad->run()), "err:Line 3: Type error: cannot apply add to string and int");
  EXPECT_EQ(bad->instructions_executed(), 4u);
  EXPECT_EQ(bad->stack_depth(), 0u);
  EXPECT_EQ(bad->pc(), 5u);

  // A compare-and-branch over a non-number fails at the comparison: a non-number b is popped, a stays.
  auto cmp = make_vm({{op(O::LoadConst, 0), op(O::StoreReg, 0), push(1), op(O::StoreReg, 1), op(O::LoadReg, 1),
                       op(O::LoadReg, 0), op(O::Lt), op(O::JumpIfFalse, 9), push(1), push(2)},
                      {Constant::nil()}, {}, {}});
  EXPECT_EQ(outcome(cmp->run()), "err:Type error: expected number");
  EXPECT_EQ(cmp->stack_depth(), 1u);
  EXPECT_EQ(cmp->instructions_executed(), 6u);

  // A jump into the middle of such a sequence runs the rest of it as written.
  auto mid = make_vm({{push(5), op(O::StoreReg, 0), push(10), op(O::Jump, 5), op(O::LoadReg, 0), op(O::LoadReg, 0),
                       op(O::Sub)},
                      {}, {}, {}});
  EXPECT_EQ(outcome(mid->run()), "ok:5");  // 10 - r0
  EXPECT_EQ(mid->instructions_executed(), 6u);

  // Float registers take the fast path too, with the same results as the generic comparison.
  auto ge = [](double v) {
    return run({{op(O::LoadConst, 0), op(O::StoreReg, 0), op(O::LoadReg, 0), op(O::LoadReg, 0), op(O::Ge),
                 op(O::JumpIfTrue, 8), push(1), op(O::Jump, 9), push(2)},
                {F(v)}, {}, {}});
  };
  EXPECT_EQ(ge(std::nan("")), "ok:1");  // NaN >= NaN is false: no jump
  EXPECT_EQ(ge(0.5), "ok:2");
}

// --- Globals ---------------------------------------------------------------------------------------------

TEST(Globals, AbsentNamesReadNilAndNewNamesAreSeenAfterCaching) {
  // Load x (absent, remembered as absent), store x, load x again: the store must be visible.
  auto vm = make_vm({{op(O::LoadGlobal, 0), op(O::Pop), push(5), op(O::StoreGlobal, 0), op(O::LoadGlobal, 0),
                      op(O::LoadGlobal, 1), op(O::MakeArray, 2)},
                     {S("x"), S("never")}, {}, {}});
  auto r = vm->run();
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(to_text(r.value()), "[5, nil]");
  EXPECT_EQ(to_text(vm->global("x")), "5");
}

TEST(Globals, NonStringConstantsNameGlobalsByIndex) {
  auto vm = make_vm({{push(9), op(O::StoreGlobal, 0), push(8), op(O::StoreGlobal, 7)}, {I64(3)}, {}, {}});
  ASSERT_TRUE(vm->run().ok());
  EXPECT_EQ(to_text(vm->global("global_0")), "9");
  EXPECT_EQ(to_text(vm->global("global_7")), "8");
}

TEST(Globals, BuiltinsAndFunctionsAreGlobals) {
  auto vm = make_vm({{}, {}, {}, {function("f", 0, {op(O::Return)})}});
  EXPECT_EQ(to_text(vm->global("print")), "<function print>");
  EXPECT_EQ(to_text(vm->global("sin")), "<function sin>");
  EXPECT_EQ(to_text(vm->global("f")), "<function f>");
}

// --- Collections -----------------------------------------------------------------------------------------

TEST(Collections, ArraysAndObjectsKeepOrderAndFirstDuplicateWins) {
  EXPECT_EQ(run({{push(1), push(2), push(3), op(O::MakeArray, 3), op(O::LoadConst, 0), op(O::Concat)}, {S("")}, {}, {}}),
            "ok:\"[1, 2, 3]\"");
  Program obj{{op(O::LoadConst, 0), push(1), op(O::LoadConst, 1), push(2), push(7), push(3), op(O::LoadConst, 0),
               push(4), op(O::MakeObject, 4), op(O::LoadConst, 2), op(O::Concat)},
              {S("a"), S("b"), S("")}, {}, {}};
  EXPECT_EQ(run(obj), "ok:\"{a: 1, b: 2}\"");  // non-string key dropped; the earlier "a" wins
}

TEST(Collections, IndexingWrapsNegativeOnce) {
  auto idx = [](int32_t i) {
    return run({{push(10), push(20), push(30), op(O::MakeArray, 3), push(i), op(O::GetIndex)}, {}, {}, {}});
  };
  EXPECT_EQ(idx(-1), "ok:30");
  EXPECT_EQ(idx(0), "ok:10");
  EXPECT_EQ(idx(-4), "ok:nil");
  EXPECT_EQ(idx(3), "ok:nil");
}

TEST(Collections, StoresCopyWhenShared) {
  // r0 = [1, 2]; r1 = r0; (r0[0] = 9) stored back into r0 through the in-place path; r1 unchanged.
  Program p{{push(1), push(2), op(O::MakeArray, 2), op(O::StoreReg, 0), op(O::LoadReg, 0), op(O::StoreReg, 1),
             op(O::LoadReg, 0), push(0), push(9), op(O::SetIndex), op(O::Dup), op(O::StoreReg, 0), op(O::Pop),
             op(O::LoadReg, 1), op(O::LoadReg, 0), op(O::MakeArray, 2), op(O::LoadConst, 0), op(O::Concat)},
            {S("")}, {}, {}};
  EXPECT_EQ(run(p), "ok:\"[[1, 2], [9, 2]]\"");
  // Without writing back, the register keeps its array.
  Program q{{push(1), op(O::MakeArray, 1), op(O::StoreReg, 0), op(O::LoadReg, 0), push(-1), push(5), op(O::SetIndex),
             op(O::LoadReg, 0), op(O::MakeArray, 2), op(O::LoadConst, 0), op(O::Concat)},
            {S("")}, {}, {}};
  EXPECT_EQ(run(q), "ok:\"[[5], [1]]\"");
}

TEST(Collections, InPlaceStoreThroughAGlobalKeepsOtherHoldersIntact) {
  // g = [1]; r0 = g; g = (g[0] = 2): r0 must still see [1].
  Program p{{push(1), op(O::MakeArray, 1), op(O::StoreGlobal, 0), op(O::LoadGlobal, 0), op(O::StoreReg, 0),
             op(O::LoadGlobal, 0), push(0), push(2), op(O::SetIndex), op(O::Dup), op(O::StoreGlobal, 0), op(O::Pop),
             op(O::LoadReg, 0), op(O::LoadGlobal, 0), op(O::MakeArray, 2), op(O::LoadConst, 1), op(O::Concat)},
            {S("g"), S("")}, {}, {}};
  EXPECT_EQ(run(p), "ok:\"[[1], [2]]\"");
}

TEST(Collections, ObjectStoresUseTextKeysAndIgnoreOtherContainers) {
  Program p{{push(0), op(O::MakeObject, 0), push(1), op(O::LoadConst, 0), op(O::SetIndex), op(O::LoadConst, 1),
             op(O::Concat)},
            {S("v"), S("")}, {}, {}};
  EXPECT_EQ(run(p), "ok:\"{1: v}\"");
  EXPECT_EQ(run({{push(0), op(O::MakeArray, 1), op(O::LoadConst, 0), push(1), op(O::SetIndex), op(O::LoadConst, 1),
                  op(O::Concat)},
                 {S("k"), S("")}, {}, {}}),
            "ok:\"[0]\"");  // non-int index on an array: nothing changes
  EXPECT_EQ(run({{push(3), push(0), push(1), op(O::SetIndex)}, {}, {}, {}}), "ok:3");
}

// --- Iteration ------------------------------------------------------------------------------------------

// for x in c { acc = acc + x } with acc starting as "|"; the loop stops at the first nil element.
std::string drain(Constant container) {
  Program p{{op(O::LoadConst, 0), op(O::GetIter), op(O::StoreReg, 0), op(O::LoadConst, 2), op(O::StoreReg, 2),
             op(O::LoadReg, 0), op(O::IterNext), op(O::Swap), op(O::StoreReg, 0), op(O::Dup), op(O::LoadConst, 1),
             op(O::Eq), op(O::JumpIfTrue, 20), op(O::StoreReg, 1), op(O::LoadReg, 2), op(O::LoadReg, 1),
             op(O::Concat), op(O::StoreReg, 2), op(O::Jump, 5), op(O::Nop), op(O::Pop), op(O::LoadReg, 2)},
            {std::move(container), Constant::nil(), S("|")}, {}, {}};
  return run(std::move(p));
}

TEST(Iteration, StringsByScalarValueObjectsBySortedKey) {
  EXPECT_EQ(drain(S("a\xC3\xA9z")), "ok:\"|a\xC3\xA9z\"");
  EXPECT_EQ(drain(S("")), "ok:\"|\"");
  // Scalars are separate items: count them through Len of each.
  auto vm = make_vm({{op(O::LoadConst, 0), op(O::GetIter), op(O::IterNext), op(O::Len), op(O::Swap), op(O::IterNext),
                      op(O::Len), op(O::MakeArray, 3), op(O::LoadConst, 1), op(O::Concat)},
                     {S("x\xE2\x82\xAC"), S("")}, {}, {}});
  auto r = vm->run();
  ASSERT_TRUE(r.ok()) << r.error();
  EXPECT_EQ(r.value().as_string(), "[1, [[x, \xE2\x82\xAC], 2], 3]");
}

TEST(Iteration, ObjectKeysComeSorted) {
  Program p{{op(O::LoadConst, 0), push(1), op(O::LoadConst, 1), push(2), op(O::LoadConst, 2), push(3),
             op(O::MakeObject, 3), op(O::GetIter), op(O::IterNext), op(O::Swap), op(O::IterNext), op(O::Swap),
             op(O::IterNext), op(O::Swap), op(O::IterNext), op(O::MakeArray, 5), op(O::LoadConst, 3), op(O::Concat)},
            {S("b"), S("a"), S("c"), S("")}, {}, {}};
  EXPECT_EQ(run(p), "ok:\"[a, b, c, nil, nil]\"");
}

TEST(Iteration, MalformedStatesAreRejectedInOrder) {
  auto next = [](std::vector<Instruction> build) {
    build.push_back(op(O::IterNext));
    return run({build, {S("s")}, {}, {}});
  };
  EXPECT_EQ(next({push(1), op(O::MakeArray, 1)}), "err:Invalid iterator state");
  EXPECT_EQ(next({push(1), push(-1), op(O::MakeArray, 2)}), "err:Invalid iterator: bad index");
  EXPECT_EQ(next({push(1), op(O::LoadConst, 0), op(O::MakeArray, 2)}), "err:Invalid iterator: bad index");
  EXPECT_EQ(next({push(1), push(0), op(O::MakeArray, 2)}), "err:Invalid iterator state");
}

// --- Calls -----------------------------------------------------------------------------------------------

TEST(Calls, ArgumentsBindByArityAndResidueIsDropped) {
  // f(a, b) leaves junk on its stack and returns [a, b].
  auto f = function("f", 2, {push(99), push(98), op(O::LoadReg, 0), op(O::LoadReg, 1), op(O::MakeArray, 2), op(O::Return)});
  auto call = [&](int n) {
    Program p{{push(5), op(O::LoadGlobal, 0)}, {S("f"), S("")}, {}, {f}};
    for (int i = 0; i < n; ++i) p.code.push_back(push(i + 1));
    p.code.push_back(op(O::Call, n));
    p.code.push_back(op(O::MakeArray, 2));  // the 5 below the call survives untouched
    p.code.push_back(op(O::LoadConst, 1));
    p.code.push_back(op(O::Concat));
    return run(p);
  };
  EXPECT_EQ(call(3), "ok:\"[5, [1, 2]]\"");
  EXPECT_EQ(call(1), "ok:\"[5, [1, nil]]\"");
  EXPECT_EQ(call(0), "ok:\"[5, [nil, nil]]\"");
}

TEST(Calls, RecursionThroughGlobals) {
  // fib(n) = n < 2 ? n : fib(n-1) + fib(n-2)
  auto fib = function("fib", 1,
                      {op(O::LoadReg, 0), push(2), op(O::Lt), op(O::JumpIfFalse, 6), op(O::LoadReg, 0), op(O::Return),
                       op(O::LoadGlobal, 0), op(O::LoadReg, 0), push(1), op(O::Sub), op(O::Call, 1),
                       op(O::LoadGlobal, 0), op(O::LoadReg, 0), push(2), op(O::Sub), op(O::Call, 1), op(O::Add),
                       op(O::Return)},
                      {S("fib")});
  auto vm = make_vm({{op(O::LoadGlobal, 0), push(20), op(O::Call, 1)}, {S("fib")}, {}, {fib}});
  EXPECT_EQ(outcome(vm->run()), "ok:6765");
  EXPECT_EQ(vm->call_depth(), 0u);
}

TEST(Calls, NonCallablesAndUnknownNamesGiveNil) {
  EXPECT_EQ(run({{push(3), push(1), push(2), op(O::Call, 2)}, {}, {}, {}}), "ok:nil");
  EXPECT_EQ(run({{op(O::LoadGlobal, 0), op(O::Call, 0)}, {S("nothing")}, {}, {}}), "ok:nil");
  auto vm = make_vm({{push(1), op(O::LoadConst, 0), op(O::Call, 0)}, {Constant::nil()}, {}, {}});
  EXPECT_EQ(outcome(vm->run()), "ok:nil");
  EXPECT_EQ(vm->stack_depth(), 1u);  // the callee was consumed
}

struct Recorder : NativeCallable {
  std::vector<std::string> seen;
  bool fail = false;
  Result<ValueRef, std::string> call(const std::vector<ValueRef>& args) override {
    std::string s;
    for (const auto& a : args) s += to_text(a) + ";";
    seen.push_back(s);
    if (fail) return make_err(std::string("Native error: ValueError: bad"));
    return ValueRef::integer(static_cast<int64_t>(args.size()));
  }
};

TEST(Calls, NativesWinOverFunctionsWhichWinOverBuiltins) {
  auto user_print = function("print", 1, {op(O::LoadConst, 0), op(O::Return)}, {S("user")});
  Program p{{op(O::LoadGlobal, 0), push(1), op(O::Call, 1), op(O::LoadGlobal, 1), push(4), op(O::Call, 1),
             op(O::MakeArray, 2), op(O::LoadConst, 2), op(O::Concat)},
            {S("print"), S("sqrt"), S("")}, {}, {user_print}};
  EXPECT_EQ(run(p), "ok:\"[user, 2.0]\"");

  auto vm = make_vm(p);
  auto rec = std::make_shared<Recorder>();
  vm->add_native("print", rec);
  EXPECT_EQ(outcome(vm->run()), "ok:\"[1, 2.0]\"");
  ASSERT_EQ(rec->seen.size(), 1u);
  EXPECT_EQ(rec->seen[0], "1;");
  EXPECT_EQ(to_text(vm->global("print")), "<native print>");
}

TEST(Calls, NativeErrorsPassThroughWithTheLine) {
  auto vm = make_vm({{op(O::LoadGlobal, 0), push(1), op(O::LoadConst, 1), op(O::Call, 2)}, {S("cb"), S("x")}, {7, 7, 7, 8}, {}});
  auto rec = std::make_shared<Recorder>();
  rec->fail = true;
  vm->add_native("cb", rec);
  EXPECT_EQ(outcome(vm->run()), "err:Line 8: Native error: ValueError: bad");
  EXPECT_EQ(rec->seen.at(0), "1;x;");
}

TEST(Calls, AThrowingNativeEndsTheRunWithAnError) {
  struct Thrower : NativeCallable {
    Result<ValueRef, std::string> call(const std::vector<ValueRef>&) override { throw std::runtime_error("boom"); }
  };
  auto vm = make_vm({{push(1), op(O::LoadGlobal, 0), op(O::Call, 0)}, {S("t")}, {}, {}});
  vm->add_native("t", std::make_shared<Thrower>());
  EXPECT_EQ(outcome(vm->run()), "err:Internal error: boom");
  EXPECT_EQ(outcome(vm->run()), "ok:1");  // still consistent: the value below the call is intact
}

TEST(Calls, FailuresRaisedInsideAnInstructionCarryItsLine) {
  struct Exhausted : NativeCallable {
    bool bad_alloc;
    explicit Exhausted(bool b) : bad_alloc(b) {}
    Result<ValueRef, std::string> call(const std::vector<ValueRef>&) override {
      if (bad_alloc) throw std::bad_alloc();
      throw std::runtime_error("boom");
    }
  };
  for (bool bad_alloc : {true, false}) {
    auto vm = make_vm({{push(1), op(O::LoadGlobal, 0), op(O::Call, 0)}, {S("t")}, {3, 3, 9}, {}});
    vm->add_native("t", std::make_shared<Exhausted>(bad_alloc));
    EXPECT_EQ(outcome(vm->run()), bad_alloc ? "err:Line 9: Out of memory" : "err:Line 9: Internal error: boom");
    EXPECT_EQ(vm->pc(), 3u);
    EXPECT_EQ(vm->instructions_executed(), 2u);
  }
}

struct Letter : NativeCallable {
  std::string letter;
  VM* vm = nullptr;
  std::shared_ptr<NativeCallable> successor;  // installed in place of this native on its first call
  Result<ValueRef, std::string> call(const std::vector<ValueRef>&) override {
    if (successor) vm->add_native("cb", std::exchange(successor, nullptr));
    return ValueRef::string(letter);
  }
};

TEST(Calls, ANativeReplacedDuringTheRunIsSeenByTheSameCallSite) {
  // acc = ""; for i in 0..3 { acc = acc + alias() } where alias is the Function value "cb".
  Program p{{op(O::LoadConst, 1), op(O::StoreReg, 1), push(0), op(O::StoreReg, 0),
             op(O::LoadReg, 0), push(3), op(O::Lt), op(O::JumpIfFalse, 19), op(O::LoadReg, 1), op(O::LoadGlobal, 0),
             op(O::Call, 0), op(O::Concat), op(O::StoreReg, 1), op(O::LoadReg, 0), push(1), op(O::Add),
             op(O::StoreReg, 0), op(O::Jump, 4), op(O::Nop), op(O::LoadReg, 1)},
            {S("alias"), S("")}, {}, {}};
  auto vm = make_vm(p);
  vm->set_global("alias", ValueRef::function("cb"));
  auto a = std::make_shared<Letter>();
  auto b = std::make_shared<Letter>();
  a->letter = "A";
  a->vm = vm.get();
  a->successor = b;
  b->letter = "B";
  vm->add_native("cb", a);
  a.reset();  // the VM holds the only reference: replacing it while it runs must not free it under the call
  EXPECT_EQ(outcome(vm->run()), "ok:\"ABB\"");
}

TEST(Calls, RunEndingInsideAFunctionKeepsTheFrame) {
  auto f = function("f", 0, {push(4), push(5)});  // no Return
  auto vm = make_vm({{op(O::LoadGlobal, 0), op(O::Call, 0), push(6)}, {S("f")}, {}, {f}});
  EXPECT_EQ(outcome(vm->run()), "ok:5");
  EXPECT_EQ(vm->call_depth(), 1u);
  EXPECT_EQ(vm->stack_depth(), 1u);
}

TEST(Calls, PollHookStopsLongLoops) {
  auto vm = make_vm({{op(O::Jump, 0)}, {}, {}, {}});
  int polls = 0;
  struct Ctx {
    int* polls;
  } ctx{&polls};
  vm->set_poll_hook(
      [](void* c) -> std::optional<std::string> {
        int& n = *static_cast<Ctx*>(c)->polls;
        if (++n == 3) return std::string("KeyboardInterrupt");
        return std::nullopt;
      },
      &ctx);
  EXPECT_EQ(outcome(vm->run()), "err:KeyboardInterrupt");
  EXPECT_TRUE(vm->interrupted());
  EXPECT_EQ(polls, 3);
}

// --- Classes ---------------------------------------------------------------------------------------------

// A class global: {"__methods__": {member: impl...}, "__parent__": parent}.
ValueRef make_class(std::vector<std::pair<std::string, std::string>> methods, const char* parent) {
  std::vector<std::pair<std::string, ValueRef>> m;
  for (auto& [k, v] : methods) m.emplace_back(k, ValueRef::string(v));
  std::vector<std::pair<std::string, ValueRef>> cls = {{"__methods__", ValueRef::object(std::move(m))}};
  if (parent != nullptr) cls.emplace_back("__parent__", ValueRef::string(parent));
  return ValueRef::object(std::move(cls));
}

TEST(Classes, MethodsResolveThroughParentsAndBindTheReceiver) {
  // Base.get(self, x) returns [self.v, x]. The instance's class is Child, which extends Base.
  auto get = function("Base.get", 2,
                      {op(O::LoadReg, 0), op(O::LoadConst, 0), op(O::GetIndex), op(O::LoadReg, 1), op(O::MakeArray, 2),
                       op(O::Return)},
                      {S("v")});
  Program p{{op(O::LoadConst, 0), op(O::LoadConst, 1), op(O::LoadConst, 2), push(7), op(O::MakeObject, 2),
             op(O::StoreReg, 0), op(O::LoadReg, 0), op(O::LoadConst, 3), op(O::GetIndex), push(8), push(9),
             op(O::Call, 2), op(O::LoadReg, 0), op(O::LoadConst, 4), op(O::GetIndex), op(O::MakeArray, 2),
             op(O::LoadConst, 5), op(O::Concat)},
            {S("__class__"), S("Child"), S("v"), S("get"), S("missing"), S("")}, {}, {get}};
  auto vm = make_vm(p);
  vm->set_global("Child", make_class({}, "Base"));
  vm->set_global("Base", make_class({{"get", "Base.get"}}, nullptr));
  EXPECT_EQ(outcome(vm->run()), "ok:\"[[7, 8], nil]\"");
}

TEST(Classes, ParentCyclesEndAsNotFoundAndAnswersAreRemembered) {
  Program p{{op(O::LoadConst, 0), op(O::LoadConst, 1), op(O::MakeObject, 1), op(O::LoadConst, 2), op(O::GetIndex)},
            {S("__class__"), S("A"), S("m")}, {}, {}};
  auto vm = make_vm(p);
  vm->set_global("A", make_class({}, "B"));
  vm->set_global("B", make_class({}, "A"));
  EXPECT_EQ(outcome(vm->run()), "ok:nil");

  auto vm2 = make_vm(p);
  vm2->set_global("A", make_class({{"m", "A.m"}}, nullptr));
  auto first = vm2->run();
  ASSERT_TRUE(first.ok());
  EXPECT_EQ(to_text(first.value()), "<method A.m>");
  EXPECT_EQ(to_text(first.value().method_receiver()), "{__class__: A}");
  // Replacing the class afterwards does not change the remembered answer.
  vm2->set_global("A", make_class({{"m", "A.other"}}, nullptr));
  auto vm2b = make_vm(p);  // a fresh VM sees the new class
  vm2b->set_global("A", make_class({{"m", "A.other"}}, nullptr));
  EXPECT_EQ(to_text(vm2b->run().value()), "<method A.other>");
}

TEST(Classes, MethodCacheIsNeverCleared) {
  // Resolve A.m twice in one VM with the class replaced in between by a StoreGlobal.
  Program p{{op(O::LoadConst, 0), op(O::LoadConst, 1), op(O::MakeObject, 1), op(O::StoreReg, 0),
             op(O::LoadReg, 0), op(O::LoadConst, 2), op(O::GetIndex),
             op(O::LoadConst, 4), op(O::StoreGlobal, 1),  // A = "gone"
             op(O::LoadReg, 0), op(O::LoadConst, 2), op(O::GetIndex), op(O::MakeArray, 2), op(O::LoadConst, 3),
             op(O::Concat)},
            {S("__class__"), S("A"), S("m"), S(""), S("gone")}, {}, {}};
  auto vm = make_vm(p);
  vm->set_global("A", make_class({{"m", "A.m"}}, nullptr));
  EXPECT_EQ(outcome(vm->run()), "ok:\"[<method A.m>, <method A.m>]\"");
}

TEST(Classes, MethodsCallOnlyFunctionsAndRememberAbsence) {
  // An instance of C calls members implemented by a builtin name, a native name and a real function; only
  // the function runs. Then a member missing at first stays missing after the class gains it.
  auto f = function("C.f", 2, {op(O::LoadReg, 0), op(O::LoadConst, 0), op(O::GetIndex), op(O::LoadReg, 1),
                               op(O::MakeArray, 2), op(O::Return)},
                    {S("v")});
  std::vector<Instruction> code = {op(O::LoadConst, 0), op(O::LoadConst, 1), op(O::LoadConst, 2), push(7),
                                   op(O::MakeObject, 2), op(O::StoreReg, 0)};
  for (uint64_t member : {3, 4, 5}) {  // p -> "sqrt", n -> "cb", f -> "C.f", each called with 16
    code.insert(code.end(), {op(O::LoadReg, 0), op(O::LoadConst, member), op(O::GetIndex), push(16), op(O::Call, 1)});
  }
  code.insert(code.end(), {op(O::LoadReg, 0), op(O::LoadConst, 6), op(O::GetIndex),  // late: absent
                           op(O::LoadGlobal, 7), op(O::StoreGlobal, 1),                // C = class with "late"
                           op(O::LoadReg, 0), op(O::LoadConst, 6), op(O::GetIndex),
                           op(O::MakeArray, 5), op(O::LoadConst, 8), op(O::Concat)});
  ValueRef with_late = make_class({{"late", "C.f"}}, nullptr);
  Program p{code,
            {S("__class__"), S("C"), S("v"), S("p"), S("n"), S("f"), S("late"), S("late_class"), S("")},
            {},
            {f}};
  auto vm = make_vm(p);
  vm->set_global("C", make_class({{"p", "sqrt"}, {"n", "cb"}, {"f", "C.f"}}, nullptr));
  auto rec = std::make_shared<Recorder>();
  vm->add_native("cb", rec);
  vm->set_global("late_class", with_late);  // the program stores it over C before asking again
  EXPECT_EQ(outcome(vm->run()), "ok:\"[nil, nil, [7, 16], nil, nil]\"");
  EXPECT_TRUE(rec->seen.empty());
}

TEST(Calls, NativeValuesCallOnlyNatives) {
  // A NativeFn named like a builtin or a function, without a native behind it, gives nil.
  auto f = function("f", 0, {push(1), op(O::Return)});
  Program p{{op(O::LoadGlobal, 0), op(O::Call, 0), op(O::LoadGlobal, 1), push(4), op(O::Call, 1),
             op(O::LoadGlobal, 2), push(5), op(O::Call, 1), op(O::MakeArray, 3), op(O::LoadConst, 3), op(O::Concat)},
            {S("nf"), S("nsqrt"), S("ncb"), S("")},
            {},
            {f}};
  auto vm = make_vm(p);
  vm->set_global("nf", ValueRef::native("f"));
  vm->set_global("nsqrt", ValueRef::native("sqrt"));
  vm->set_global("ncb", ValueRef::native("cb"));
  auto rec = std::make_shared<Recorder>();
  vm->add_native("cb", rec);
  EXPECT_EQ(outcome(vm->run()), "ok:\"[nil, nil, 1]\"");
  EXPECT_EQ(rec->seen, std::vector<std::string>{"5;"});
}

// --- Resources -------------------------------------------------------------------------------------------

TEST(Resources, HugeRangeIsAnErrorNotACrash) {
  auto vm = make_vm({{op(O::LoadGlobal, 0), push(0), op(O::LoadConst, 1), op(O::Call, 2)},
                     {S("range"), I64(10000000000LL)}, {}, {}});
  EXPECT_EQ(outcome(vm->run()), "err:Out of memory");
}

TEST(Resources, AnInstructionFailingForMemoryDiscardsWhatItPopped) {
  Limits saved = current_limits();
  Limits small = saved;
  small.max_value_bytes = 4096;
  set_limits(small);
  // Each program keeps a 5 at the bottom of its stack, then grows a value past the ceiling inside one
  // instruction. As with any failure, the operands it popped are gone and the 5 is all that is left.
  Program object_store{{push(5), op(O::MakeObject, 0), op(O::StoreReg, 0), push(0), op(O::StoreReg, 1),
                        op(O::LoadReg, 0), op(O::LoadReg, 1), op(O::LoadReg, 1), op(O::SetIndex), op(O::StoreReg, 0),
                        op(O::LoadReg, 1), push(1), op(O::Add), op(O::StoreReg, 1), op(O::Jump, 5)},
                       {}, {}, {}};
  Program string_join{{push(5), op(O::LoadConst, 0), op(O::StoreReg, 0), op(O::LoadReg, 0), op(O::LoadReg, 0),
                       op(O::Concat), op(O::StoreReg, 0), op(O::Jump, 3)},
                      {S("xxxxxxxx")}, {}, {}};
  Program builtin_call{{push(5), push(1), op(O::MakeArray, 1), op(O::StoreReg, 0)}, {S("str")}, {}, {}};
  for (int i = 0; i < 12; ++i)
    builtin_call.code.insert(builtin_call.code.end(),
                             {op(O::LoadReg, 0), op(O::LoadReg, 0), op(O::MakeArray, 2), op(O::StoreReg, 0)});
  builtin_call.code.insert(builtin_call.code.end(), {op(O::LoadGlobal, 0), op(O::LoadReg, 0), op(O::Call, 1)});
  struct Case {
    Program program;
    uint64_t failing_pc;
  };
  for (auto& c : std::vector<Case>{{object_store, 8}, {string_join, 5}, {builtin_call, 54}}) {
    auto vm = make_vm(c.program);
    EXPECT_EQ(outcome(vm->run()), "err:Out of memory");
    EXPECT_EQ(vm->pc(), c.failing_pc + 1);
    EXPECT_EQ(vm->stack_depth(), 1u) << "failing at " << c.failing_pc;
  }
  set_limits(saved);
}

TEST(Resources, AJoinPassingTheValueCeilingFailsAtTheConcatThatPassesIt) {
  Limits saved = current_limits();
  Limits small = saved;
  small.max_value_bytes = 4096;
  set_limits(small);
  // 5, then three texts of 1500 bytes joined by two Concat: the first join (3000 bytes) fits, the second
  // (4500) does not. Texts held in a register or only on the stack behave the same.
  for (bool from_register : {false, true}) {
    Program p{{push(5), op(O::LoadConst, 0), op(O::LoadConst, 1), op(O::LoadConst, 2), op(O::Concat), op(O::Concat)},
              {S(std::string(1500, 'a')), S(std::string(1500, 'b')), S(std::string(1500, 'c'))},
              {1, 2, 3, 4, 5, 6},
              {}};
    if (from_register) {
      p.code.insert(p.code.begin() + 1, {op(O::LoadConst, 0), op(O::StoreReg, 0)});
      p.code[3] = op(O::LoadReg, 0);
      p.lines = {1, 1, 1, 2, 3, 4, 5, 6};
    }
    auto vm = make_vm(p);
    EXPECT_EQ(outcome(vm->run()), "err:Line 6: Out of memory");
    EXPECT_EQ(vm->pc(), p.code.size());
    EXPECT_EQ(vm->instructions_executed(), p.code.size() - 1);
    EXPECT_EQ(vm->stack_depth(), 1u);
  }
  set_limits(saved);
}

TEST(Resources, SequencesMeetTheStackCeilingWhereTheirInstructionsWould) {
  Limits saved = current_limits();
  Limits small = saved;
  small.max_stack_slots = 1024;  // the stack's initial room
  set_limits(small);
  // r0 = 5, then the stack is filled to `fill` values and a sequence runs that pushes (fill + peak) values
  // one instruction at a time: the instruction that finds no room fails, whatever the sequence nets.
  struct Case {
    size_t fill;
    std::vector<Instruction> tail;
    uint64_t failing;  // index within tail
  };
  std::vector<Case> cases = {
      {1023, {op(O::LoadReg, 0), push(1), op(O::Lt), op(O::JumpIfFalse, 9999)}, 1},
      {1023, {op(O::LoadReg, 0), op(O::LoadReg, 0), op(O::Ge), op(O::JumpIfTrue, 9999)}, 1},
      {1023, {op(O::LoadReg, 0), op(O::LoadReg, 0), op(O::Add)}, 1},
      {1023, {op(O::LoadReg, 0), push(2), op(O::Mul), op(O::Dup), op(O::StoreReg, 1), op(O::Pop)}, 1},
      {1024, {op(O::Dup), op(O::StoreReg, 1), op(O::Pop)}, 0},
      // Joins read from registers push one value where their loads push one each.
      {1023, {op(O::LoadReg, 0), op(O::LoadReg, 0), op(O::Concat)}, 1},
      {1020, {op(O::LoadReg, 0), op(O::LoadReg, 0), op(O::LoadReg, 0), op(O::LoadReg, 0), op(O::LoadReg, 0),
              op(O::Concat), op(O::Concat), op(O::Concat), op(O::Concat)},
       4},
  };
  for (const auto& c : cases) {
    Program p{{push(5), op(O::StoreReg, 0)}, {}, {}, {}};
    p.code.insert(p.code.end(), c.fill, push(0));
    p.code.insert(p.code.end(), c.tail.begin(), c.tail.end());
    uint64_t failing = 2 + c.fill + c.failing;
    auto vm = make_vm(p);
    EXPECT_EQ(outcome(vm->run()), "err:Stack overflow") << "fill " << c.fill << ", failing " << c.failing;
    EXPECT_EQ(vm->pc(), failing + 1);
    EXPECT_EQ(vm->instructions_executed(), failing);
    EXPECT_EQ(vm->stack_depth(), 1024u);
  }
  set_limits(saved);
}

// The counting state of a loop over range(a, b) also steps through a plain IterNext (a loop whose shape the
// loader does not fuse): r1 sums range(0, 4) twice, the second time with the call site resolved.
TEST(Iteration, RangeStateStepsThroughAPlainIterNext) {
  Program p{{push(0), op(O::StoreReg, 1), push(2), op(O::StoreReg, 2),
             // 4: r0 = iterator over range(0, 4)
             op(O::LoadGlobal, 0), push(0), push(4), op(O::Call, 2), op(O::GetIter), op(O::StoreReg, 0),
             // 10: the element, or nil to leave
             op(O::LoadReg, 0), op(O::IterNext), op(O::Swap), op(O::StoreReg, 0), op(O::Dup), op(O::LoadConst, 1),
             op(O::Ne), op(O::JumpIfFalse, 22), op(O::LoadReg, 1), op(O::Add), op(O::StoreReg, 1), op(O::Jump, 10),
             // 22
             op(O::Pop), op(O::LoadReg, 2), push(1), op(O::Sub), op(O::Dup), op(O::StoreReg, 2), op(O::JumpIfTrue, 4),
             op(O::LoadReg, 1), op(O::LoadReg, 0)},
            {S("range"), Constant::nil()}, {}, {}};
  // The sum, and the exhausted iterator's register: nil.
  EXPECT_EQ(run(p), "ok:nil");
  p.code.pop_back();
  EXPECT_EQ(run(p), "ok:12");
}

TEST(Resources, DeepNestingBuiltByAScriptRendersAndFrees) {
  // r0 = []; repeat a million times: r0 = [r0]; then str(r0) length.
  const int depth = 1000000;
  Program p{{op(O::MakeArray, 0), op(O::StoreReg, 0), op(O::LoadConst, 0), op(O::StoreReg, 1),
             // header 4
             op(O::LoadReg, 1), push(0), op(O::Gt), op(O::JumpIfFalse, 16), op(O::LoadReg, 0), op(O::MakeArray, 1),
             op(O::StoreReg, 0), op(O::LoadReg, 1), push(1), op(O::Sub), op(O::StoreReg, 1), op(O::Jump, 4),
             // 16
             op(O::LoadGlobal, 1), op(O::LoadReg, 0), op(O::Call, 1), op(O::Len)},
            {I64(depth), S("str")}, {}, {}};
  EXPECT_EQ(run(p), "ok:" + std::to_string(2 * depth + 2));
}

}  // namespace
