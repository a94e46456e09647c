// The syntax tree. Every node owns its children exclusively; there is no sharing and no parent link.
// The order of the alternatives in each variant is the declaration order the export and the compiler
// rely on.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace tarnwick {

struct Expr;
struct Stmt;
using ExprPtr = std::unique_ptr<Expr>;
using StmtList = std::vector<Stmt>;

struct LiteralValue {
  enum class Kind : uint8_t { Nil, Bool, Int, Float, String };
  Kind kind = Kind::Nil;
  bool bool_value = false;
  int64_t int_value = 0;
  double float_value = 0.0;
  std::string string_value;
};

enum class BinaryOperator : uint8_t {
  Add, Sub, Mul, Div, Mod, Power, Eq, Neq, Lt, Lte, Gt, Gte, And, Or, BitwiseAnd, BitwiseOr, BitwiseXor,
  LeftShift, RightShift, Assign,
};
enum class UnaryOperator : uint8_t { Neg, Not, BitwiseNot };

const char* binary_operator_name(BinaryOperator op);
const char* unary_operator_name(UnaryOperator op);

struct TypeAnnotation {
  std::string name;
  std::vector<TypeAnnotation> generics;
  bool nullable = false;
};

struct Param {
  std::string name;
  std::optional<TypeAnnotation> type_hint;
  ExprPtr default_value;  // "default" in the export
};

struct StringPart {
  std::string value;
};
struct ExprPart {
  ExprPtr expr;
};
using InterpolationPart = std::variant<StringPart, ExprPart>;

namespace ast {
struct Literal { LiteralValue value; };
struct Identifier { std::string name; };
struct Propagate { ExprPtr expr; };
struct BinaryOp { ExprPtr left; BinaryOperator op; ExprPtr right; };
struct UnaryOp { UnaryOperator op; ExprPtr operand; };
struct Call { ExprPtr callee; std::vector<ExprPtr> args; };
struct Index { ExprPtr object; ExprPtr index; };
struct Member { ExprPtr object; std::string property; };
struct Ternary { ExprPtr condition; ExprPtr then_expr; ExprPtr else_expr; };
struct Array { std::vector<ExprPtr> elements; };
struct Object { std::vector<std::pair<std::string, ExprPtr>> properties; };
struct Lambda { std::vector<Param> params; ExprPtr body; std::optional<TypeAnnotation> return_type; };
struct StringInterpolation { std::vector<InterpolationPart> parts; };
struct Await { ExprPtr expr; };
struct Yield { ExprPtr value; };  // value may be null (absent)
}  // namespace ast

struct Expr {
  using Node = std::variant<ast::Literal, ast::Identifier, ast::Propagate, ast::BinaryOp, ast::UnaryOp,
                            ast::Call, ast::Index, ast::Member, ast::Ternary, ast::Array, ast::Object,
                            ast::Lambda, ast::StringInterpolation, ast::Await, ast::Yield>;
  Node node;
  // Where the node's own token is (1-based; 0 when unknown): the operator of an operation, the bracket of
  // a call or index, the dot of a member access, the first token of anything else. Failures at run time
  // point here.
  uint32_t line = 0;
  uint32_t column = 0;

  template <class T>
  Expr(T&& n) : node(std::forward<T>(n)) {}
  Expr(Expr&&) noexcept = default;
  Expr& operator=(Expr&&) noexcept = default;
  // Takes chains apart link by link (see chain_child): the implicit destructor would recurse once per link.
  ~Expr();
  template <class T>
  const T* as() const { return std::get_if<T>(&node); }
  template <class T>
  T* as() { return std::get_if<T>(&node); }
};

template <class T>
ExprPtr make_expr(T&& node) {
  return std::make_unique<Expr>(std::forward<T>(node));
}

struct SwitchCase {
  ExprPtr expr;  // null for the default case
  StmtList body;
};

struct CatchClause {
  std::string exception;
  StmtList body;
};

namespace ast {
struct ExprStatement { Expr expression; };
struct VarDecl { std::string name; bool mutable_ = true; ExprPtr init; std::optional<TypeAnnotation> type_hint; };
struct FunctionDef {
  std::string name;
  bool is_async = false;
  std::vector<Param> params;
  StmtList body;
  std::optional<TypeAnnotation> return_type;
};
struct ClassDef { std::string name; std::optional<std::string> extends; StmtList body; };
struct If { Expr condition; StmtList then_body; std::optional<StmtList> else_body; };
struct While { Expr condition; StmtList body; };
struct For { std::string target; Expr iter; StmtList body; };
struct Switch { Expr expr; std::vector<SwitchCase> cases; };
struct Return { ExprPtr value; };  // may be null
struct Break {};
struct Continue {};
struct Throw { Expr expr; };
struct Try { StmtList body; std::vector<CatchClause> catch_clauses; std::optional<StmtList> finally_body; };
}  // namespace ast

struct Stmt {
  using Node = std::variant<ast::ExprStatement, ast::VarDecl, ast::FunctionDef, ast::ClassDef, ast::If,
                            ast::While, ast::For, ast::Switch, ast::Return, ast::Break, ast::Continue,
                            ast::Throw, ast::Try>;
  Node node;
  uint64_t line = 0;

  template <class T>
  Stmt(T&& n, uint64_t l) : node(std::forward<T>(n)), line(l) {}
  Stmt(Stmt&&) noexcept = default;
  Stmt& operator=(Stmt&&) noexcept = default;
  // Takes `else if` chains apart link by link (see chained_if).
  ~Stmt();
  template <class T>
  const T* as() const { return std::get_if<T>(&node); }
  template <class T>
  T* as() { return std::get_if<T>(&node); }
};

// Chains that the source writes flat (a + b + c, x = y = z, o.m().m(), a[i][j].k, c1 ? x : c2 ? y : z,
// `else if` after `else if`) make trees that nest one level per link. The parser bounds only the other
// kind of nesting, so everything that walks a tree must follow these links with a loop, never with a
// recursive call: the link a chain continues along (a binary operation's left operand, the callee of a
// call, the object of an index or member access, the else branch of a conditional), or null.
const Expr* chain_child(const Expr& e) noexcept;
// The `if` statement that an `else if` continues with: the only statement of the else branch, when
// that is an `if`; otherwise null.
const ast::If* chained_if(const ast::If& s) noexcept;

struct Program {
  StmtList statements;
};

// The parser's only error value. Displays as "ParseError at {line}:{column}: {message}" plus,
// when context is not empty, "\n  Context: {context}".
struct ParseError {
  std::string message;
  std::string context;
  uint64_t line = 0;
  uint64_t column = 0;
  std::string display() const;
};

}  // namespace tarnwick
