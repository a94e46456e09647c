// The instruction set, written once. Every table that depends on it (the Opcode enum, the names, the two
// byte tables, the operand kinds, the interpreter's dispatch labels, the Python package's byte tables in
// tarnwick/_opcodes.py, checked at build time by scripts/opcodes.py) is generated from these rows.
#pragma once

// X(name, byte in the VM module's table, byte in compile()'s table, operand, pops, pushes, flow, traits)
// A byte of 0xFE means the instruction has no byte in that table. The order is the enum's: the jumps stay
// together in the order Jump, JumpIfFalse, JumpIfTrue (the fused jump forms add their index to a base).
// pops and pushes are the values an instruction takes from and leaves on the stack when it completes
// (pops may depend on the operand: Arg, ArgPlusOne, TwiceArg); flow is where control goes next, traits what
// else the code around it may rely on. The analyzer's successor walk, the failure path's clean-up and the
// fuser's operand walks read them here (see vm_engine/instr_info.h).
#define TARNWICK_OPCODES(X)                                                  \
  X(Push, 0xFE, 0x01, Immediate, 0, 1, Next, Operand)                         \
  X(Pop, 0x01, 0x02, None, 1, 0, Next, None)                                  \
  X(Dup, 0x02, 0x03, None, 1, 2, Next, None)                                  \
  X(Swap, 0x03, 0x04, None, 2, 2, Next, None)                                 \
  X(Add, 0x10, 0x10, None, 2, 1, Next, Operand)                               \
  X(Sub, 0x11, 0x11, None, 2, 1, Next, Operand)                               \
  X(Mul, 0x12, 0x12, None, 2, 1, Next, Operand)                               \
  X(Div, 0x13, 0x13, None, 2, 1, Next, Operand)                               \
  X(Mod, 0x14, 0x14, None, 2, 1, Next, Operand)                               \
  X(Pow, 0x15, 0x15, None, 2, 1, Next, Operand)                               \
  X(Neg, 0x04, 0x05, None, 1, 1, Next, Operand)                               \
  X(AddInt, 0xFE, 0xFE, None, 2, 1, Next, None)                               \
  X(AddFloat, 0xFE, 0xFE, None, 2, 1, Next, None)                             \
  X(SubInt, 0xFE, 0xFE, None, 2, 1, Next, None)                               \
  X(SubFloat, 0xFE, 0xFE, None, 2, 1, Next, None)                             \
  X(MulInt, 0xFE, 0xFE, None, 2, 1, Next, None)                               \
  X(MulFloat, 0xFE, 0xFE, None, 2, 1, Next, None)                             \
  X(DivFloat, 0xFE, 0xFE, None, 2, 1, Next, None)                             \
  X(ModInt, 0xFE, 0xFE, None, 2, 1, Next, None)                               \
  X(ModFloat, 0xFE, 0xFE, None, 2, 1, Next, None)                             \
  X(EqInt, 0xFE, 0xFE, None, 2, 1, Next, None)                                \
  X(EqFloat, 0xFE, 0xFE, None, 2, 1, Next, None)                              \
  X(LtInt, 0xFE, 0xFE, None, 2, 1, Next, None)                                \
  X(LtFloat, 0xFE, 0xFE, None, 2, 1, Next, None)                              \
  X(Eq, 0x20, 0x20, None, 2, 1, Next, Operand)                                \
  X(Ne, 0x21, 0x21, None, 2, 1, Next, Operand)                                \
  X(Lt, 0x22, 0x22, None, 2, 1, Next, Operand)                                \
  X(Le, 0x23, 0x23, None, 2, 1, Next, Operand)                                \
  X(Gt, 0x24, 0x24, None, 2, 1, Next, Operand)                                \
  X(Ge, 0x25, 0x25, None, 2, 1, Next, Operand)                                \
  X(And, 0x30, 0x30, None, 2, 1, Next, Operand)                               \
  X(Or, 0x31, 0x31, None, 2, 1, Next, Operand)                                \
  X(Not, 0x32, 0x32, None, 1, 1, Next, Operand)                               \
  X(Jump, 0xFE, 0xFE, Target, 0, 0, Jump, None)                               \
  X(JumpIfFalse, 0xFE, 0xFE, Target, 1, 0, Branch, None)                      \
  X(JumpIfTrue, 0xFE, 0xFE, Target, 1, 0, Branch, None)                       \
  X(Call, 0xFE, 0xFE, ArgCount, ArgPlusOne, 1, Next, Throws)                  \
  X(Return, 0xFE, 0xFE, None, 1, 0, Return, None)                             \
  X(StoreReg, 0xFE, 0xFE, Register, 1, 0, Next, None)                         \
  X(LoadReg, 0xFE, 0xFE, Register, 0, 1, Next, Operand)                       \
  X(StoreGlobal, 0xFE, 0xFE, GlobalName, 1, 0, Next, Throws)                  \
  X(LoadGlobal, 0xFE, 0xFE, GlobalName, 0, 1, Next, None)                     \
  X(MakeArray, 0xFE, 0xFE, ItemCount, Arg, 1, Next, Throws)                   \
  X(MakeObject, 0xFE, 0xFE, PairCount, TwiceArg, 1, Next, Throws)             \
  X(GetIndex, 0xFE, 0xFE, None, 2, 1, Next, OperandThrows)                    \
  X(SetIndex, 0xFE, 0xFE, None, 3, 1, Next, Throws)                           \
  X(LoadConst, 0xFE, 0xFE, Constant, 0, 1, Next, Operand)                     \
  X(Concat, 0x05, 0x06, None, 2, 1, Next, OperandThrows)                      \
  X(Len, 0x06, 0x07, None, 1, 1, Next, Operand)                               \
  X(GetIter, 0x07, 0xFE, None, 1, 1, Next, Throws)                            \
  X(IterNext, 0x08, 0xFE, None, 1, 2, Next, Throws)                           \
  X(Halt, 0xFF, 0xFF, None, 0, 0, Halt, None)                                 \
  X(Nop, 0x00, 0x00, None, 0, 0, Next, None)

// What an instruction's operand means: none; `imm` is the pushed integer; `arg` is a register slot, a
// constant index, the index of the constant naming a global, a jump target (an instruction index), the
// number of arguments of a call, of array items, or of object key/value pairs.
#define TARNWICK_OPERAND_KINDS(X) \
  X(None) X(Immediate) X(Register) X(Constant) X(GlobalName) X(Target) X(ArgCount) X(ItemCount) X(PairCount)

// Where control goes after an instruction: the next one; the target only (Jump); the next one or the target
// (Branch); out of the running body (Return); out of the run (Halt, which also empties the stack).
#define TARNWICK_FLOW_KINDS(X) X(Next) X(Jump) X(Branch) X(Return) X(Halt)

// What else an instruction is: None; Throws (it allocates or calls out, so it may fail in the middle with
// an exception, its operands then being discarded by the failure path); Operand (a side-effect-free step of
// an expression: loads and operators that neither write, call nor jump, which the fuser may move a store
// around); OperandThrows (both).
#define TARNWICK_TRAITS(X) X(None) X(Throws) X(Operand) X(OperandThrows)
