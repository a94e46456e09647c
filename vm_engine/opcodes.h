// The instruction set, written once. Every table that depends on it (the Opcode enum, the names, the two
// byte tables, the operand kinds, the interpreter's dispatch labels, the Python package's byte tables in
// tarnwick/_opcodes.py, checked at build time by scripts/opcodes.py) is generated from these rows.
#pragma once

// X(name, byte in the VM module's table, byte in compile()'s table, operand)
// A byte of 0xFE means the instruction has no byte in that table. The order is the enum's: the jumps stay
// together in the order Jump, JumpIfFalse, JumpIfTrue (the fused jump forms add their index to a base).
#define TARNWICK_OPCODES(X)             \
  X(Push, 0xFE, 0x01, Immediate)        \
  X(Pop, 0x01, 0x02, None)              \
  X(Dup, 0x02, 0x03, None)              \
  X(Swap, 0x03, 0x04, None)             \
  X(Add, 0x10, 0x10, None)              \
  X(Sub, 0x11, 0x11, None)              \
  X(Mul, 0x12, 0x12, None)              \
  X(Div, 0x13, 0x13, None)              \
  X(Mod, 0x14, 0x14, None)              \
  X(Pow, 0x15, 0x15, None)              \
  X(Neg, 0x04, 0x05, None)              \
  X(AddInt, 0xFE, 0xFE, None)           \
  X(AddFloat, 0xFE, 0xFE, None)         \
  X(SubInt, 0xFE, 0xFE, None)           \
  X(SubFloat, 0xFE, 0xFE, None)         \
  X(MulInt, 0xFE, 0xFE, None)           \
  X(MulFloat, 0xFE, 0xFE, None)         \
  X(DivFloat, 0xFE, 0xFE, None)         \
  X(ModInt, 0xFE, 0xFE, None)           \
  X(ModFloat, 0xFE, 0xFE, None)         \
  X(EqInt, 0xFE, 0xFE, None)            \
  X(EqFloat, 0xFE, 0xFE, None)          \
  X(LtInt, 0xFE, 0xFE, None)            \
  X(LtFloat, 0xFE, 0xFE, None)          \
  X(Eq, 0x20, 0x20, None)               \
  X(Ne, 0x21, 0x21, None)               \
  X(Lt, 0x22, 0x22, None)               \
  X(Le, 0x23, 0x23, None)               \
  X(Gt, 0x24, 0x24, None)               \
  X(Ge, 0x25, 0x25, None)               \
  X(And, 0x30, 0x30, None)              \
  X(Or, 0x31, 0x31, None)               \
  X(Not, 0x32, 0x32, None)              \
  X(Jump, 0xFE, 0xFE, Target)           \
  X(JumpIfFalse, 0xFE, 0xFE, Target)    \
  X(JumpIfTrue, 0xFE, 0xFE, Target)     \
  X(Call, 0xFE, 0xFE, ArgCount)         \
  X(Return, 0xFE, 0xFE, None)           \
  X(StoreReg, 0xFE, 0xFE, Register)     \
  X(LoadReg, 0xFE, 0xFE, Register)      \
  X(StoreGlobal, 0xFE, 0xFE, GlobalName) \
  X(LoadGlobal, 0xFE, 0xFE, GlobalName) \
  X(MakeArray, 0xFE, 0xFE, ItemCount)   \
  X(MakeObject, 0xFE, 0xFE, PairCount)  \
  X(GetIndex, 0xFE, 0xFE, None)         \
  X(SetIndex, 0xFE, 0xFE, None)         \
  X(LoadConst, 0xFE, 0xFE, Constant)    \
  X(Concat, 0x05, 0x06, None)           \
  X(Len, 0x06, 0x07, None)              \
  X(GetIter, 0x07, 0xFE, None)          \
  X(IterNext, 0x08, 0xFE, None)         \
  X(Halt, 0xFF, 0xFF, None)             \
  X(Nop, 0x00, 0x00, None)

// What an instruction's operand means: none; `imm` is the pushed integer; `arg` is a register slot, a
// constant index, the index of the constant naming a global, a jump target (an instruction index), the
// number of arguments of a call, of array items, or of object key/value pairs.
#define TARNWICK_OPERAND_KINDS(X) \
  X(None) X(Immediate) X(Register) X(Constant) X(GlobalName) X(Target) X(ArgCount) X(ItemCount) X(PairCount)
