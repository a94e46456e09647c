// The LLVM IR emitter: a straight-line trace of instructions to the text of one IR module.
#pragma once

#include <string>
#include <vector>

#include "vm_engine/bytecode.h"

namespace tarnwick {

std::string emit(const std::string& name, const std::vector<Instruction>& instructions);

}  // namespace tarnwick
