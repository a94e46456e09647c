// The listing of compiled code: operands decoded by the kind the opcode list gives them, jump targets
// labelled, positions shown where they change.
#include "vm_engine/disassembler.h"

#include <cstdio>
#include <string_view>

#include "common/numfmt.h"

namespace tarnwick {

namespace {

std::string quoted(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\x%02x", static_cast<unsigned char>(c));
          out += buf;
        } else {
          out += c;
        }
    }
  }
  return out + '"';
}

std::string constant_text(const Constant& c) {
  switch (c.kind) {
    case Constant::Kind::Nil: return "nil";
    case Constant::Kind::Bool: return c.bool_value ? "true" : "false";
    case Constant::Kind::Int: return std::to_string(c.int_value);
    case Constant::Kind::Float: return shortest_fixed(c.float_value);
    case Constant::Kind::String: return quoted(c.string_value);
  }
  return "?";
}

// Built by appending: GCC 12 warns (wrongly) about `"literal" + std::string` in this function.
std::string prefixed(const char* prefix, uint64_t n) {
  std::string out(prefix);
  out += std::to_string(n);
  return out;
}

std::string operand_text(const Instruction& in, const CodeListing& unit) {
  auto constant = [&](uint64_t k) -> const Constant* {
    return k < unit.constants.size() ? unit.constants[k] : nullptr;
  };
  switch (opcode_operand(in.opcode)) {
    case OperandKind::None: return std::string();
    case OperandKind::Immediate: return std::to_string(in.imm);
    case OperandKind::Register: return prefixed("r", in.arg);
    case OperandKind::ArgCount:
    case OperandKind::ItemCount:
    case OperandKind::PairCount: return std::to_string(in.arg);
    case OperandKind::Target: return prefixed("-> ", in.arg);
    case OperandKind::Constant:
    case OperandKind::GlobalName: {
      std::string out = prefixed("k", in.arg);
      out += "  ";
      const Constant* c = constant(in.arg);
      if (c == nullptr) {
        out += "<no such constant>";
      } else if (opcode_operand(in.opcode) == OperandKind::GlobalName && c->kind == Constant::Kind::String) {
        out += c->string_value;  // a global's name, unquoted
      } else {
        out += constant_text(*c);
      }
      return out;
    }
  }
  return std::string();
}

std::string pad(std::string s, size_t width) {
  if (s.size() < width) s.append(width - s.size(), ' ');
  return s;
}

}  // namespace

std::string disassemble(const CodeListing& unit) {
  const std::vector<Instruction>& code = *unit.code;
  std::string out = unit.title + ": " + std::to_string(code.size()) + " instructions, " +
                    std::to_string(unit.constants.size()) + " constants\n";
  // Jump targets get a label line, so loops and branches can be followed by eye.
  std::vector<bool> target(code.size() + 1, false);
  for (const Instruction& in : code)
    if (is_jump(in.opcode) && in.arg <= code.size()) target[in.arg] = true;
  const size_t width = std::to_string(code.size()).size();
  uint64_t last_line = 0;
  for (size_t i = 0; i < code.size(); ++i) {
    const Instruction& in = code[i];
    if (target[i]) out += "  " + std::string(width, ' ') + "  L" + std::to_string(i) + ":\n";
    std::string where;
    if (unit.positions != nullptr && i < unit.positions->size()) {
      const uint64_t p = (*unit.positions)[i];
      const uint64_t line = position_exact_line(p), column = position_column(p);
      if (line != 0 && (line != last_line || column != 0)) {
        where = std::to_string(line);
        if (column != 0) where += ":" + std::to_string(column);
      }
      if (line != 0) last_line = line;
    }
    std::string index = std::to_string(i);
    out += "  " + std::string(width - index.size(), ' ') + index + "  " + pad(where, 8) +
           pad(opcode_name(in.opcode), 12);
    std::string operand = operand_text(in, unit);
    if (!operand.empty()) out += " " + operand;
    while (!out.empty() && out.back() == ' ') out.pop_back();
    out += '\n';
  }
  if (target[code.size()]) out += "  " + std::string(width, ' ') + "  L" + std::to_string(code.size()) + ": (end)\n";
  if (!unit.constants.empty()) {
    out += "  constants:\n";
    for (size_t k = 0; k < unit.constants.size(); ++k)
      out += "    k" + std::to_string(k) + "  " + constant_text(*unit.constants[k]) + "\n";
  }
  return out;
}

std::string disassemble(const BytecodeProgram& program) {
  CodeListing main{"main program", &program.code, {}, &program.lines};
  for (const Constant& c : program.constants) main.constants.push_back(&c);
  std::string out = disassemble(main);
  for (const FunctionRecord& f : program.functions) {
    CodeListing unit{"function " + f.name + " (" + std::to_string(f.arity) + " parameter" + (f.arity == 1 ? "" : "s") + ")",
                     &f.code, {}, &f.lines};
    for (const ConstantRef& c : f.constants) unit.constants.push_back(c.get());
    out += "\n" + disassemble(unit);
  }
  return out;
}

}  // namespace tarnwick
