// The names, operand kinds and byte forms of the instruction set, all read off vm_engine/opcodes.h.
#include "vm_engine/bytecode.h"

#include <array>
#include <cstring>

namespace tarnwick {

namespace {

constexpr uint8_t kNone = 0xFE;

// The two byte tables, read off the instruction list; a byte given to two instructions fails the build.
constexpr uint8_t kVmBytes[] = {
#define TARNWICK_VM_BYTE(name, vm, compile, operand, ...) vm,
    TARNWICK_OPCODES(TARNWICK_VM_BYTE)
#undef TARNWICK_VM_BYTE
};
constexpr uint8_t kCompileBytes[] = {
#define TARNWICK_COMPILE_BYTE(name, vm, compile, operand, ...) compile,
    TARNWICK_OPCODES(TARNWICK_COMPILE_BYTE)
#undef TARNWICK_COMPILE_BYTE
};
constexpr const char* kOpcodeNames[] = {
#define TARNWICK_OPCODE_NAME(name, vm, compile, operand, ...) #name,
    TARNWICK_OPCODES(TARNWICK_OPCODE_NAME)
#undef TARNWICK_OPCODE_NAME
};
constexpr OperandKind kOperands[] = {
#define TARNWICK_OPCODE_OPERAND(name, vm, compile, operand, ...) OperandKind::operand,
    TARNWICK_OPCODES(TARNWICK_OPCODE_OPERAND)
#undef TARNWICK_OPCODE_OPERAND
};
constexpr const char* kOperandKindNames[] = {
#define TARNWICK_OPERAND_NAME(kind) #kind,
    TARNWICK_OPERAND_KINDS(TARNWICK_OPERAND_NAME)
#undef TARNWICK_OPERAND_NAME
};

constexpr bool bytes_unique(const uint8_t (&table)[kOpcodeCount]) {
  for (int i = 0; i < kOpcodeCount; ++i)
    for (int j = i + 1; j < kOpcodeCount; ++j)
      if (table[i] != kNone && table[i] == table[j]) return false;
  return true;
}
static_assert(bytes_unique(kVmBytes), "two instructions share a byte of the VM table");
static_assert(bytes_unique(kCompileBytes), "two instructions share a byte of the compile() table");

struct VmDecode {
  std::array<int16_t, 256> op{};  // VM byte -> opcode, -1 when invalid
  constexpr VmDecode() {
    for (auto& o : op) o = -1;
    for (int i = 0; i < kOpcodeCount; ++i)
      if (kVmBytes[i] != kNone) op[kVmBytes[i]] = static_cast<int16_t>(i);
  }
};
constexpr VmDecode kVmDecode;

void put_le(std::vector<uint8_t>& out, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

}  // namespace

const char* opcode_name(Opcode op) {
  auto i = static_cast<uint32_t>(op);
  return i < kOpcodeCount ? kOpcodeNames[i] : "?";
}

OperandKind opcode_operand(Opcode op) {
  auto i = static_cast<uint32_t>(op);
  return i < kOpcodeCount ? kOperands[i] : OperandKind::None;
}

const char* operand_kind_name(OperandKind kind) { return kOperandKindNames[static_cast<int>(kind)]; }

bool is_valid_vm_byte(uint8_t byte) { return kVmDecode.op[byte] >= 0; }

std::vector<Instruction> decode_vm_bytes(std::string_view bytes) {
  std::vector<Instruction> out;
  out.reserve(bytes.size());
  for (unsigned char b : bytes) {
    int16_t op = kVmDecode.op[b];
    if (op >= 0) out.push_back(Instruction{static_cast<Opcode>(op), 0, 0});
  }
  return out;
}

uint8_t vm_byte(Opcode op) {
  auto i = static_cast<uint32_t>(op);
  return i < kOpcodeCount ? kVmBytes[i] : kNone;
}

std::string encode_vm_bytes(const std::vector<Instruction>& code) {
  std::string out;
  out.reserve(code.size());
  for (const auto& ins : code) out.push_back(static_cast<char>(vm_byte(ins.opcode)));
  return out;
}

uint8_t compile_byte(Opcode op) {
  auto i = static_cast<uint32_t>(op);
  return i < kOpcodeCount ? kCompileBytes[i] : kNone;
}

std::vector<uint8_t> encode_compile_opcodes(const std::vector<Instruction>& code) {
  std::vector<uint8_t> out;
  out.reserve(code.size());
  for (const auto& ins : code) out.push_back(compile_byte(ins.opcode));
  return out;
}

std::vector<uint8_t> serialize_constants(const std::vector<Constant>& constants) {
  std::vector<uint8_t> out;
  for (const auto& c : constants) {
    out.push_back(static_cast<uint8_t>(c.kind));
    switch (c.kind) {
      case Constant::Kind::Nil:
        break;
      case Constant::Kind::Bool:
        out.push_back(c.bool_value ? 0x01 : 0x00);
        break;
      case Constant::Kind::Int:
        put_le(out, static_cast<uint64_t>(c.int_value), 8);
        break;
      case Constant::Kind::Float: {
        uint64_t bits;
        std::memcpy(&bits, &c.float_value, sizeof bits);
        put_le(out, bits, 8);
        break;
      }
      case Constant::Kind::String:
        put_le(out, static_cast<uint32_t>(c.string_value.size()), 4);
        out.insert(out.end(), c.string_value.begin(), c.string_value.end());
        break;
    }
  }
  return out;
}

}  // namespace tarnwick
