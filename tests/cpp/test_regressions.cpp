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

}  // namespace
