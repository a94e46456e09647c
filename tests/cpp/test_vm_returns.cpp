// `return x` of a register hands the register's value straight to the caller. Whatever path a return takes,
// the caller must see the same value, stack, count of executed instructions and errors.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/cpp/vm_test_util.h"
#include "vm_engine/limits.h"

using namespace tarnwick;
using namespace tarnwick::testing;
using O = Opcode;

namespace {

// main: LoadGlobal g; Push 42; Call 1; Halt, with g (arity 1) given.
tarnwick::testing::Program calling(std::vector<Instruction> body) {
  tarnwick::testing::Program p;
  p.code = {op(O::LoadGlobal, 0), push(42), op(O::Call, 1), op(O::Halt)};
  p.constants = {Constant::string("g")};
  p.lines.assign(p.code.size(), 1);
  p.functions.push_back(function("g", 1, std::move(body)));
  p.functions.back().lines.assign(p.functions.back().code.size(), 7);
  return p;
}

TEST(ReturnOfARegisterUnits, CountsBothInstructionsAndDropsTheCalleeStack) {
  auto vm = make_vm(calling({push(1), push(2), op(O::LoadReg, 0), op(O::Return)}));
  EXPECT_EQ(outcome(vm->run()), "ok:42");
  EXPECT_EQ(vm->instructions_executed(), 4u + 4u);
  EXPECT_EQ(vm->stack_depth(), 0u);
  EXPECT_EQ(vm->call_depth(), 0u);
}

// A jump onto the Return itself returns the stack top, not the register.
TEST(ReturnOfARegisterUnits, JumpOntoTheReturnReturnsTheStackTop) {
  for (int32_t cond : {0, 1}) {
    auto vm = make_vm(calling({push(9), push(cond), op(O::JumpIfTrue, 4), op(O::LoadReg, 0), op(O::Return)}));
    EXPECT_EQ(outcome(vm->run()), cond ? "ok:9" : "ok:42") << cond;
    EXPECT_EQ(vm->instructions_executed(), cond ? 4u + 4u : 4u + 5u) << cond;
  }
}

TEST(ReturnOfARegisterUnits, InTheMainProgramItFailsAtTheReturn) {
  tarnwick::testing::Program p;
  p.code = {push(3), op(O::StoreReg, 0), op(O::LoadReg, 0), op(O::Return), op(O::Halt)};
  p.lines = {1, 1, 2, 3, 4};
  auto vm = make_vm(std::move(p));
  EXPECT_EQ(outcome(vm->run()), "err:Line 3: Return without matching call");
  EXPECT_EQ(vm->instructions_executed(), 3u);
  EXPECT_EQ(vm->pc(), 4u);
}

// The callee's stack fills its storage exactly: the register's push has to grow the stack first, and past
// the slot ceiling it fails there.
TEST(ReturnOfARegisterUnits, FullStackGrowsOrOverflowsAtTheLoad) {
  std::vector<Instruction> body(1024, push(0));
  body.push_back(op(O::LoadReg, 0));
  body.push_back(op(O::Return));
  EXPECT_EQ(outcome(make_vm(calling(body))->run()), "ok:42");

  Limits l = current_limits();
  Limits saved = l;
  l.max_stack_slots = 1024;
  set_limits(l);
  auto vm = make_vm(calling(body));
  std::string result = outcome(vm->run());
  set_limits(saved);
  EXPECT_EQ(result, "err:Line 7: Stack overflow");
  EXPECT_EQ(vm->call_depth(), 1u);
}

}  // namespace
