// libFuzzer target: the loader and the optimizer on arbitrary bytes, and the optimizer on arbitrary
// in-memory instruction sequences (jumps included, which no byte can carry).
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "vm_engine/compiler.h"

using namespace tarnwick;

namespace {

std::vector<Instruction> instructions_from_bytes(const uint8_t* data, size_t size) {
  std::vector<Instruction> code;
  for (size_t i = 0; i + 2 < size; i += 3) {
    Instruction ins;
    ins.opcode = static_cast<Opcode>(data[i] % kOpcodeCount);
    ins.imm = static_cast<int8_t>(data[i + 1]);
    ins.arg = data[i + 2] % (size / 3 + 2);
    code.push_back(ins);
  }
  return code;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  switch (data[0] % 3) {
    case 0: {
      LoadedProgram loaded = load_bytes(rest);
      for (const auto& ins : loaded.code) {
        if (is_jump(ins.opcode) && ins.arg > loaded.code.size()) __builtin_trap();
      }
      break;
    }
    case 1:
      (void)encode_vm_bytes(optimize(decode_vm_bytes(rest)).code);
      break;
    default: {
      auto code = instructions_from_bytes(data + 1, size - 1);
      OptimizeResult plain = optimize(code);
      std::vector<uint64_t> lines(code.size());
      for (size_t i = 0; i < lines.size(); ++i) lines[i] = i + 1;
      OptimizeResult main = optimize_main(code, lines);
      if (lines.size() != main.code.size()) __builtin_trap();
      if (plain.optimized_count != plain.code.size()) __builtin_trap();
      break;
    }
  }
  return 0;
}
