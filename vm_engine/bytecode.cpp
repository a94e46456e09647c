#include "vm_engine/bytecode.h"

#include <array>
#include <cstring>

namespace tarnwick {

namespace {

constexpr uint8_t kNone = 0xFE;

struct ByteTables {
  std::array<uint8_t, kOpcodeCount> vm{};        // opcode -> VM byte
  std::array<uint8_t, kOpcodeCount> compile{};   // opcode -> compile() byte
  std::array<int16_t, 256> vm_decode{};          // VM byte -> opcode, -1 when invalid

  constexpr ByteTables() {
    for (auto& b : vm) b = kNone;
    for (auto& b : compile) b = kNone;
    for (auto& o : vm_decode) o = -1;
    auto both = [&](Opcode op, uint8_t vmb, uint8_t cb) {
      vm[static_cast<int>(op)] = vmb;
      compile[static_cast<int>(op)] = cb;
    };
    both(Opcode::Push, kNone, 0x01);
    both(Opcode::Pop, 0x01, 0x02);
    both(Opcode::Dup, 0x02, 0x03);
    both(Opcode::Swap, 0x03, 0x04);
    both(Opcode::Add, 0x10, 0x10);
    both(Opcode::Sub, 0x11, 0x11);
    both(Opcode::Mul, 0x12, 0x12);
    both(Opcode::Div, 0x13, 0x13);
    both(Opcode::Mod, 0x14, 0x14);
    both(Opcode::Pow, 0x15, 0x15);
    both(Opcode::Neg, 0x04, 0x05);
    both(Opcode::Eq, 0x20, 0x20);
    both(Opcode::Ne, 0x21, 0x21);
    both(Opcode::Lt, 0x22, 0x22);
    both(Opcode::Le, 0x23, 0x23);
    both(Opcode::Gt, 0x24, 0x24);
    both(Opcode::Ge, 0x25, 0x25);
    both(Opcode::And, 0x30, 0x30);
    both(Opcode::Or, 0x31, 0x31);
    both(Opcode::Not, 0x32, 0x32);
    both(Opcode::Concat, 0x05, 0x06);
    both(Opcode::Len, 0x06, 0x07);
    both(Opcode::GetIter, 0x07, kNone);
    both(Opcode::IterNext, 0x08, kNone);
    both(Opcode::Halt, 0xFF, 0xFF);
    both(Opcode::Nop, 0x00, 0x00);
    for (int op = 0; op < kOpcodeCount; ++op) {
      if (vm[op] != kNone) vm_decode[vm[op]] = static_cast<int16_t>(op);
    }
  }
};

constexpr ByteTables kTables;

constexpr const char* kOpcodeNames[kOpcodeCount] = {
    "Push", "Pop", "Dup", "Swap", "Add", "Sub", "Mul", "Div", "Mod", "Pow", "Neg",
    "AddInt", "AddFloat", "SubInt", "SubFloat", "MulInt", "MulFloat", "DivFloat", "ModInt", "ModFloat",
    "EqInt", "EqFloat", "LtInt", "LtFloat",
    "Eq", "Ne", "Lt", "Le", "Gt", "Ge", "And", "Or", "Not",
    "Jump", "JumpIfFalse", "JumpIfTrue",
    "Call", "Return", "StoreReg", "LoadReg", "StoreGlobal", "LoadGlobal", "MakeArray", "MakeObject",
    "GetIndex", "SetIndex", "LoadConst", "Concat", "Len", "GetIter", "IterNext", "Halt", "Nop",
};

void put_le(std::vector<uint8_t>& out, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

}  // namespace

const char* opcode_name(Opcode op) {
  auto i = static_cast<uint32_t>(op);
  return i < kOpcodeCount ? kOpcodeNames[i] : "?";
}

bool is_valid_vm_byte(uint8_t byte) { return kTables.vm_decode[byte] >= 0; }

std::vector<Instruction> decode_vm_bytes(std::string_view bytes) {
  std::vector<Instruction> out;
  out.reserve(bytes.size());
  for (unsigned char b : bytes) {
    int16_t op = kTables.vm_decode[b];
    if (op >= 0) out.push_back(Instruction{static_cast<Opcode>(op), 0, 0});
  }
  return out;
}

uint8_t vm_byte(Opcode op) {
  auto i = static_cast<uint32_t>(op);
  return i < kOpcodeCount ? kTables.vm[i] : kNone;
}

std::string encode_vm_bytes(const std::vector<Instruction>& code) {
  std::string out;
  out.reserve(code.size());
  for (const auto& ins : code) out.push_back(static_cast<char>(vm_byte(ins.opcode)));
  return out;
}

uint8_t compile_byte(Opcode op) {
  auto i = static_cast<uint32_t>(op);
  return i < kOpcodeCount ? kTables.compile[i] : kNone;
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
