// libFuzzer target: the IR emitter on decoded bytes and on arbitrary instruction sequences.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "vm_engine/ir.h"

using namespace tarnwick;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::vector<Instruction> code;
  if (data[0] & 1) {
    code = decode_vm_bytes(std::string_view(reinterpret_cast<const char*>(data + 1), size - 1));
  } else {
    for (size_t i = 1; i + 2 < size; i += 3) {
      Instruction ins;
      ins.opcode = static_cast<Opcode>(data[i] % kOpcodeCount);
      ins.imm = static_cast<int32_t>(static_cast<uint32_t>(data[i + 1]) * 0x01010101u);
      ins.arg = data[i + 2];
      code.push_back(ins);
    }
  }
  std::string text = emit("trace_0", code);
  if (text.rfind("; Tarnwick", 0) != 0 || text.back() != '\n') __builtin_trap();
  return 0;
}
