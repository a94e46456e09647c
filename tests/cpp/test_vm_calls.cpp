// Calls and returns of script functions: argument binding against arity, call sites whose callee changes,
// and saved callers whose stack and registers move while they wait (both storages grow under them).
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "parser/compiler.h"
#include "tests/cpp/script_test_util.h"
#include "vm_engine/compiler.h"
#include "vm_engine/limits.h"

using namespace tarnwick;
using namespace tarnwick::testing;

namespace {

class ScopedLimits {
 public:
  explicit ScopedLimits(Limits l) : saved_(current_limits()) { set_limits(l); }
  ~ScopedLimits() { set_limits(saved_); }

 private:
  Limits saved_;
};

struct ScriptCase {
  const char* label;
  std::string source;
  std::string expected;
};

class Calls : public ::testing::TestWithParam<ScriptCase> {};

TEST_P(Calls, ScriptSeesPlainSemantics) { EXPECT_EQ(run_script(GetParam().source), GetParam().expected); }

// `down(n)` at depth 30 while the deepest call builds an array of 3000 values on the stack: the stack grows
// with 30 callers waiting, each holding a string part of its interpolation on its own stack.
ScriptCase stack_growth_under_callers() {
  std::string ones;
  for (int i = 0; i < 3000; ++i) ones += i ? ", 1" : "1";
  std::string expected;
  for (int n = 30; n >= 1; --n) expected += std::to_string(n) + ".";
  return {"StackGrowsUnderWaitingCallers",
          "fn big() { return [" + ones + "] }\n"
          "fn down(n) {\n  if n == 0 { return str(len(big())) }\n  return f\"{n}.{down(n - 1)}\"\n}\n"
          "print(down(30))",
          "\"" + expected + "3000\"\nok:nil"};
}

// 500 nested calls of a body with 33 registers: the register storage grows several times with the callers'
// windows (ints and a string) in it; every caller reads its own locals after its call returns.
ScriptCase register_growth_under_callers() {
  std::string locals;
  std::string sum;
  for (int i = 0; i < 30; ++i) {
    locals += "  let a" + std::to_string(i) + " = n + " + std::to_string(i) + "\n";
    sum += " + a" + std::to_string(i);
  }
  // Per level n: 30 n + (0 + ... + 29) + len("n" + digits of n).
  long long expected = 0;
  for (long long n = 1; n <= 500; ++n) expected += 30 * n + 435 + 1 + static_cast<long long>(std::to_string(n).size());
  return {"RegistersGrowUnderWaitingCallers",
          "fn down(n) {\n  if n == 0 { return 0 }\n" + locals +
              "  let s = f\"n{n}\"\n  let r = down(n - 1)\n  return r" + sum + " + len(s)\n}\nprint(down(500))",
          std::to_string(expected) + "\nok:nil"};
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, Calls,
    ::testing::Values(
        stack_growth_under_callers(), register_growth_under_callers()),
    [](const auto& info) { return std::string(info.param.label); });

// One Call runs twice: first it resolves its callee and enters it; then a jump brings it back with only the
// returned value on the stack, too few for the callee and its argument. The resolved site must not take
// that value for its callee: the call fails with an underflow that pops it, and nothing else changes.
TEST(CallSites, ResolvedSiteWithTooFewValuesUnderflows) {
  using O = Opcode;
  tarnwick::testing::Program p;
  p.code = {op(O::LoadGlobal, 0), push(5), op(O::Call, 1), op(O::Jump, 2)};
  p.constants = {Constant::string("g")};
  p.functions.push_back(function("g", 1, {op(O::LoadGlobal, 0), op(O::Return)}, {Constant::string("g")}));
  auto vm = make_vm(std::move(p));
  EXPECT_EQ(outcome(vm->run()), "err:Stack underflow");
  EXPECT_EQ(vm->stack_depth(), 0u);
  EXPECT_EQ(vm->call_depth(), 0u);
  EXPECT_EQ(vm->instructions_executed(), 3u + 2u + 1u);  // main's three, g's two, the jump
  EXPECT_EQ(vm->pc(), 3u);
}

// A body with 64 registers (its parameter and 63 locals) recursing down from k uses k + 1 windows above the
// main program's one (its result register): with room for 4096 registers, 63 windows fit and 64 do not.
TEST(CallCeilings, RegisterCeilingIsExact) {
  Limits l = current_limits();
  l.max_stack_slots = 4096;
  ScopedLimits limits(l);
  std::string source = "fn down(n) {\n  if n == 0 { return 0 }\n";
  for (int i = 1; i < 64; ++i) source += "  let a" + std::to_string(i) + " = n\n";
  source += "  return down(n - 1) + a63\n}\n";
  EXPECT_EQ(run_script(source + "print(down(62))"), "1953\nok:nil");
  EXPECT_EQ(run_script(source + "print(down(63))"), "err:Line 66: Stack overflow");
}

// With a body of many registers in the program (never called), a recursion through a small body still
// reaches exactly the call-depth ceiling: the register room is only ever the real one.
TEST(CallCeilings, DepthCeilingIsExactBesideALargeBody) {
  Limits l = current_limits();
  l.max_stack_slots = 4096;
  l.max_call_depth = 1000;
  ScopedLimits limits(l);
  std::string source = "fn wide(n) {\n";
  for (int i = 0; i < 200; ++i) source += "  let w" + std::to_string(i) + " = n\n";
  source += "  return w199\n}\nfn down(n) { if n == 0 { return 0 } return down(n - 1) + 1 }\n";
  EXPECT_EQ(run_script(source + "print(down(999))"), "999\nok:nil");
  EXPECT_EQ(run_script(source + "print(down(1000))"), "err:Line 204: Stack overflow");
  EXPECT_EQ(run_script(source + "print(down(20) + wide(3))"), "23\nok:nil");
}

}  // namespace
