// Faults found by fuzzing, each pinned by the smallest program that showed it. Several only show as
// memory errors, so these tests matter most in the sanitizer run (scripts/test-sanitize.sh).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vm_engine/limits.h"
#include "vm_engine/vm.h"

using namespace tarnwick;

namespace {

std::string outcome(VM& vm) {
  RunResult r = vm.run();
  return r.ok() ? to_display(r.value()) : "error: " + r.error();
}

// MakeArray 0 and MakeObject 0 pop nothing but push one value: on a stack filled exactly to its current
// size they wrote one slot past the end instead of growing the stack first.
TEST(Regressions, EmptyCollectionOnAFullStackGrowsTheStack) {
  for (Opcode make : {Opcode::MakeArray, Opcode::MakeObject}) {
    std::vector<Instruction> code(1024, make_push(1));  // the stack's initial size
    code.push_back(make_instr(make, 0));
    code.push_back(make_instr(Opcode::MakeArray, 1025));
    code.push_back(make_instr(Opcode::Len));
    VM vm(code, {}, {}, {});
    EXPECT_EQ(outcome(vm), "1025");

    Limits small;
    small.max_stack_slots = 1024;
    Limits saved = current_limits();
    set_limits(small);
    VM capped(code, {}, {}, {});
    EXPECT_EQ(outcome(capped), "error: Stack overflow");
    set_limits(saved);
  }
}

// A run that ends with a jump far past the end of the code leaves pc there; the next run formed a pointer
// that far past the code (undefined behaviour) before noticing it had nothing to do.
TEST(Regressions, RunAfterAFarJumpEndsAtOnce) {
  for (uint64_t target : {uint64_t{3}, uint64_t{1} << 40, UINT64_MAX}) {
    VM vm({make_push(7), make_instr(Opcode::Jump, target)}, {}, {}, {});
    EXPECT_EQ(outcome(vm), "7");
    EXPECT_EQ(outcome(vm), "nil");
    EXPECT_EQ(vm.instructions_executed(), 2u);
  }
}

}  // namespace
