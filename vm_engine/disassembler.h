// A readable listing of compiled code: every instruction of the main program and of each function body,
// with its operand decoded (register, constant with its value, jump target, argument count) and its source
// position. Used by the command line's `bytecode` and `ir` listings; the byte forms cannot carry operands.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vm_engine/bytecode.h"

namespace tarnwick {

// One code unit: `constants` are looked up for Constant and Global operands, `positions` (may be shorter
// than `code` or empty) gives each instruction's line and column.
struct CodeListing {
  std::string title;
  const std::vector<Instruction>* code = nullptr;
  std::vector<const Constant*> constants;
  const std::vector<uint64_t>* positions = nullptr;
};

std::string disassemble(const CodeListing& unit);
// The main program, then every function record in the order the program holds them.
std::string disassemble(const BytecodeProgram& program);

}  // namespace tarnwick
