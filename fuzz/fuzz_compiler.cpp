// libFuzzer target: lex, parse and compile arbitrary source; checks the compiled program's invariants.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "parser/compiler.h"

using namespace tarnwick;

namespace {

void check_unit(const std::vector<Instruction>& code, const std::vector<uint64_t>& lines, Opcode last) {
  if (code.empty() || code.back().opcode != last) __builtin_trap();
  if (lines.size() != code.size()) __builtin_trap();
  for (const auto& ins : code) {
    if (is_jump(ins.opcode) && ins.arg > code.size()) __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto result = compile_source(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!result.ok()) return 0;
  const BytecodeProgram& program = result.value();
  check_unit(program.code, program.lines, Opcode::Halt);
  for (const auto& fn : program.functions) check_unit(fn.code, fn.lines, Opcode::Return);
  (void)encode_compile_opcodes(program.code);
  (void)serialize_constants(program.constants);
  return 0;
}
