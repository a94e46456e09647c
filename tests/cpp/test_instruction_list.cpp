// The instruction list's stack effects and flow kinds against the loader's stack-type analysis, which
// models every instruction separately: a row that disagrees with what the analysis does (or a new row whose
// effect was not written down) shows here.
#include <gtest/gtest.h>

#include "vm_engine/compiler.h"
#include "vm_engine/instr_info.h"

namespace tarnwick {
namespace {

TEST(InstructionList, StackEffectsAgreeWithTheStackTypeAnalysis) {
  constexpr size_t kBelow = 8;  // values under the instruction: more than any fixed row takes
  for (int op = 0; op < kOpcodeCount; ++op) {
    const Opcode code = static_cast<Opcode>(op);
    const InstrInfo& info = instr_info(code);
    if (info.flow == Flow::Return || info.flow == Flow::Halt) continue;  // control leaves the code
    std::vector<Instruction> program(kBelow, make_push(1));
    Instruction in = make_instr(code, 2);  // two arguments, items or pairs; register, constant and global 0
    if (info.flow != Flow::Next) in.arg = kBelow + 1;  // a jump to the instruction after it
    if (code == Opcode::LoadReg || code == Opcode::StoreReg || code == Opcode::LoadConst || code == Opcode::LoadGlobal ||
        code == Opcode::StoreGlobal)
      in.arg = 0;
    program.push_back(in);
    program.push_back(make_instr(Opcode::Nop));
    StackTypeMap types = analyze_stack_types(program);
    ASSERT_TRUE(types.count(kBelow) && types.count(kBelow + 1)) << opcode_name(code);
    const int64_t before = static_cast<int64_t>(types[kBelow].size());
    const int64_t after = static_cast<int64_t>(types[kBelow + 1].size());
    EXPECT_EQ(after - before, static_cast<int64_t>(instr_pushes(in)) - static_cast<int64_t>(instr_pops(in)))
        << opcode_name(code);
  }
}

TEST(InstructionList, OperandDependentCountsFollowTheOperandAndSaturate) {
  EXPECT_EQ(instr_pops(make_instr(Opcode::Call, 3)), 4u);
  EXPECT_EQ(instr_pops(make_instr(Opcode::MakeArray, 3)), 3u);
  EXPECT_EQ(instr_pops(make_instr(Opcode::MakeObject, 3)), 6u);
  EXPECT_EQ(instr_pops(make_instr(Opcode::MakeObject, UINT64_MAX / 2 + 1)), UINT64_MAX);
  EXPECT_EQ(instr_pops(make_instr(Opcode::Call, UINT64_MAX)), UINT64_MAX);
  EXPECT_TRUE(may_throw(Opcode::SetIndex));
  EXPECT_FALSE(may_throw(Opcode::Add));
  EXPECT_TRUE(is_operand_step(Opcode::GetIndex));
  EXPECT_FALSE(is_operand_step(Opcode::Call));
}

}  // namespace
}  // namespace tarnwick
