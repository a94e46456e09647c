#include "parser/ast.h"

namespace tarnwick {

const char* binary_operator_name(BinaryOperator op) {
  static constexpr const char* kNames[] = {
      "Add", "Sub", "Mul", "Div", "Mod", "Power", "Eq", "Neq", "Lt", "Lte", "Gt", "Gte", "And", "Or",
      "BitwiseAnd", "BitwiseOr", "BitwiseXor", "LeftShift", "RightShift", "Assign",
  };
  static_assert(sizeof(kNames) / sizeof(kNames[0]) == static_cast<size_t>(BinaryOperator::Assign) + 1);
  return kNames[static_cast<size_t>(op)];
}

const char* unary_operator_name(UnaryOperator op) {
  switch (op) {
    case UnaryOperator::Neg:
      return "Neg";
    case UnaryOperator::Not:
      return "Not";
    case UnaryOperator::BitwiseNot:
      return "BitwiseNot";
  }
  return "Neg";
}

std::string ParseError::display() const {
  std::string out = "ParseError at " + std::to_string(line) + ":" + std::to_string(column) + ": " + message;
  if (!context.empty()) out += "\n  Context: " + context;
  return out;
}

}  // namespace tarnwick
