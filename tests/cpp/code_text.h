// Test helper: instruction sequences written as text, "Push 2; Push 3; Mul; Halt", and back.
#pragma once

#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "vm_engine/bytecode.h"

namespace tarnwick::testing {

inline std::vector<Instruction> code_from_text(const std::string& text) {
  std::vector<Instruction> code;
  std::stringstream all(text);
  std::string item;
  while (std::getline(all, item, ';')) {
    std::stringstream one(item);
    std::string name;
    if (!(one >> name)) continue;
    int op = 0;
    while (op < kOpcodeCount && name != opcode_name(static_cast<Opcode>(op))) ++op;
    if (op == kOpcodeCount) throw std::invalid_argument("unknown opcode " + name);
    long long operand = 0;
    one >> operand;
    Instruction ins{static_cast<Opcode>(op), 0, 0};
    if (ins.opcode == Opcode::Push) {
      ins.imm = static_cast<int32_t>(operand);
    } else {
      ins.arg = static_cast<uint64_t>(operand);
    }
    code.push_back(ins);
  }
  return code;
}

inline std::string code_to_text(const std::vector<Instruction>& code) {
  std::string out;
  for (const auto& ins : code) {
    if (!out.empty()) out += "; ";
    out += opcode_name(ins.opcode);
    if (ins.opcode == Opcode::Push) {
      out += ' ';
      out += std::to_string(ins.imm);
    } else if (ins.arg != 0 || is_jump(ins.opcode)) {
      out += ' ';
      out += std::to_string(ins.arg);
    }
  }
  return out;
}

}  // namespace tarnwick::testing
