// The syntax tree's operator names, the iterative destructors that let a deeply nested tree be freed
// without recursion, and the display text of a parse error.
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

namespace {

ExprPtr take_chain_child(Expr& e) noexcept {
  if (auto* b = e.as<ast::BinaryOp>()) return std::move(b->left);
  if (auto* c = e.as<ast::Call>()) return std::move(c->callee);
  if (auto* i = e.as<ast::Index>()) return std::move(i->object);
  if (auto* m = e.as<ast::Member>()) return std::move(m->object);
  if (auto* t = e.as<ast::Ternary>()) return std::move(t->else_expr);
  return nullptr;
}

}  // namespace

const Expr* chain_child(const Expr& e) noexcept {
  if (auto* b = e.as<ast::BinaryOp>()) return b->left.get();
  if (auto* c = e.as<ast::Call>()) return c->callee.get();
  if (auto* i = e.as<ast::Index>()) return i->object.get();
  if (auto* m = e.as<ast::Member>()) return m->object.get();
  if (auto* t = e.as<ast::Ternary>()) return t->else_expr.get();
  return nullptr;
}

const ast::If* chained_if(const ast::If& s) noexcept {
  if (!s.else_body || s.else_body->size() != 1) return nullptr;
  return (*s.else_body)[0].as<ast::If>();
}

// Each link is detached from the next before it is destroyed, so only the links' other children (bounded
// by the parser's nesting limit) are destroyed recursively.
Expr::~Expr() {
  ExprPtr next = take_chain_child(*this);
  while (next) {
    ExprPtr after = take_chain_child(*next);
    next = std::move(after);
  }
}

Stmt::~Stmt() {
  auto* i = std::get_if<ast::If>(&node);
  if (i == nullptr || !i->else_body) return;
  StmtList next = std::move(*i->else_body);  // a moved-from vector is empty
  while (next.size() == 1) {
    auto* link = std::get_if<ast::If>(&next[0].node);
    if (link == nullptr || !link->else_body) break;
    StmtList after = std::move(*link->else_body);
    next = std::move(after);
  }
}

std::string ParseError::display() const {
  std::string out = "ParseError at " + std::to_string(line) + ":" + std::to_string(column) + ": " + message;
  if (!context.empty()) out += "\n  Context: " + context;
  return out;
}

}  // namespace tarnwick
