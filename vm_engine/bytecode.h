// The instruction set shared by the compiler, the loader and optimizer, the interpreter and the trace
// compiler, with its two byte forms.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vm_engine/opcodes.h"

namespace tarnwick {

enum class Opcode : uint32_t {
#define TARNWICK_OPCODE_ENUM(name, vm, compile, operand, ...) name,
  TARNWICK_OPCODES(TARNWICK_OPCODE_ENUM)
#undef TARNWICK_OPCODE_ENUM
};
#define TARNWICK_OPCODE_COUNT(name, vm, compile, operand, ...) +1
inline constexpr int kOpcodeCount = 0 TARNWICK_OPCODES(TARNWICK_OPCODE_COUNT);
#undef TARNWICK_OPCODE_COUNT
static_assert(static_cast<int>(Opcode::JumpIfFalse) == static_cast<int>(Opcode::Jump) + 1 &&
              static_cast<int>(Opcode::JumpIfTrue) == static_cast<int>(Opcode::Jump) + 2);

enum class OperandKind : uint8_t {
#define TARNWICK_OPERAND_ENUM(kind) kind,
  TARNWICK_OPERAND_KINDS(TARNWICK_OPERAND_ENUM)
#undef TARNWICK_OPERAND_ENUM
};

const char* opcode_name(Opcode op);
// What the instruction's operand means (None for an opcode past the real ones).
OperandKind opcode_operand(Opcode op);
const char* operand_kind_name(OperandKind kind);
inline bool is_jump(Opcode op) { return op == Opcode::Jump || op == Opcode::JumpIfFalse || op == Opcode::JumpIfTrue; }

struct Instruction {
  Opcode opcode = Opcode::Nop;
  int32_t imm = 0;
  uint64_t arg = 0;

  bool operator==(const Instruction&) const = default;
};
static_assert(sizeof(Instruction) == 16);

inline Instruction make_instr(Opcode op, uint64_t arg = 0) { return Instruction{op, 0, arg}; }
inline Instruction make_push(int32_t imm) { return Instruction{Opcode::Push, imm, 0}; }

struct Constant {
  enum class Kind : uint8_t { Nil = 0, Bool = 1, Int = 2, Float = 3, String = 4 };
  Kind kind = Kind::Nil;
  bool bool_value = false;
  int64_t int_value = 0;
  double float_value = 0.0;
  std::string string_value;

  static Constant nil() { return Constant{}; }
  static Constant boolean(bool b) { Constant c; c.kind = Kind::Bool; c.bool_value = b; return c; }
  static Constant integer(int64_t v) { Constant c; c.kind = Kind::Int; c.int_value = v; return c; }
  static Constant floating(double v) { Constant c; c.kind = Kind::Float; c.float_value = v; return c; }
  static Constant string(std::string s) { Constant c; c.kind = Kind::String; c.string_value = std::move(s); return c; }
};

using ConstantRef = std::shared_ptr<const Constant>;

// An entry of a position table (one per instruction). The low 32 bits hold the line of the statement the
// instruction belongs to: a failure's "Line n" names it, however many lines the statement spans. The high
// 32 bits say exactly where, for tracebacks and carets: the column (low 20 bits) and how many lines below
// the statement's first line the failing part starts (high 12 bits); all 0 when unknown or too far out to
// say, and then the statement's line stands for both. 0 as a whole means no line is known.
inline constexpr uint64_t kPositionLineMask = 0xFFFFFFFFu;
inline constexpr uint64_t kPositionColumnBits = 20;
inline constexpr uint64_t kPositionColumnMask = (uint64_t{1} << kPositionColumnBits) - 1;
inline constexpr uint64_t kPositionMaxLineOffset = (uint64_t{1} << (32 - kPositionColumnBits)) - 1;
// A part at `line` and `column` of a statement that starts at `statement_line`.
inline constexpr uint64_t source_position(uint64_t statement_line, uint64_t line, uint64_t column) {
  if (statement_line > kPositionLineMask) return kPositionLineMask;
  if (line < statement_line || line - statement_line > kPositionMaxLineOffset || column > kPositionColumnMask)
    return statement_line;
  return statement_line | (((line - statement_line) << kPositionColumnBits | column) << 32);
}
// A part on the statement's first line.
inline constexpr uint64_t source_position(uint64_t line, uint64_t column) { return source_position(line, line, column); }
inline constexpr uint64_t position_line(uint64_t position) { return position & kPositionLineMask; }
inline constexpr uint64_t position_exact_line(uint64_t position) {
  return position_line(position) + (position >> (32 + kPositionColumnBits));
}
inline constexpr uint64_t position_column(uint64_t position) { return (position >> 32) & kPositionColumnMask; }

// The registers of one frame: a register operand at or past this fails when it runs ("Register n out of
// bounds").
inline constexpr uint64_t kFrameRegisters = 256;

struct FunctionRecord {
  std::string name;
  std::vector<Instruction> code;      // always ends with Return
  std::vector<ConstantRef> constants;
  std::vector<uint64_t> lines;        // one position per instruction (source_position)
  uint64_t arity = 0;
};

struct BytecodeProgram {
  std::vector<Instruction> code;      // main program, always ends with Halt
  std::vector<Constant> constants;
  std::vector<uint64_t> lines;        // one position per instruction of code
  std::vector<FunctionRecord> functions;
};

// --- Byte forms ---------------------------------------------------------------------------------------

// True when `byte` has an opcode in the VM table.
bool is_valid_vm_byte(uint8_t byte);
// Decodes with the VM table; invalid bytes vanish silently. imm and arg are zero.
std::vector<Instruction> decode_vm_bytes(std::string_view bytes);
// The VM-table byte of an opcode, or 0xFE when it has none.
uint8_t vm_byte(Opcode op);
std::string encode_vm_bytes(const std::vector<Instruction>& code);
// The byte of the compile() table, or 0xFE when it has none.
uint8_t compile_byte(Opcode op);
std::vector<uint8_t> encode_compile_opcodes(const std::vector<Instruction>& code);
// Tag byte then little-endian payload, per constant, concatenated.
std::vector<uint8_t> serialize_constants(const std::vector<Constant>& constants);

}  // namespace tarnwick
