// The syntax tree's operator names, its chain links, and the display text of a parse error.
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

const Expr* chain_child(const Expr& e) noexcept {
  if (auto* b = e.as<ast::BinaryOp>()) return b->left;
  if (auto* c = e.as<ast::Call>()) return c->callee;
  if (auto* i = e.as<ast::Index>()) return i->object;
  if (auto* m = e.as<ast::Member>()) return m->object;
  if (auto* t = e.as<ast::Ternary>()) return t->else_expr;
  return nullptr;
}

const ast::If* chained_if(const ast::If& s) noexcept {
  if (!s.else_body || s.else_body->size() != 1) return nullptr;
  return (*s.else_body)[0].as<ast::If>();
}

std::string ParseError::display() const {
  std::string out = "ParseError at " + std::to_string(line) + ":" + std::to_string(column) + ": " + message;
  if (!context.empty()) out += "\n  Context: " + context;
  return out;
}

}  // namespace tarnwick
