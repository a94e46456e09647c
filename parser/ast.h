// The syntax tree. Nodes, their lists and their texts live in the arena of the Program that holds them
// (or of the parser that made them): children are plain pointers, spans and string_views into it, there
// is no sharing and no parent link, and nothing in a tree is destroyed node by node.
// The order of the alternatives in each variant is the declaration order the export and the compiler
// rely on.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

#include "parser/arena.h"

namespace tarnwick {

struct Expr;
struct Stmt;
using ExprPtr = Expr*;  // null when absent
using StmtList = std::span<Stmt>;
using ExprList = std::span<ExprPtr>;

// Only the field that `kind` names holds a value.
struct LiteralValue {
  enum class Kind : uint8_t { Nil, Bool, Int, Float, String };
  Kind kind = Kind::Nil;
  bool bool_value = false;
  union {
    int64_t int_value;
    double float_value;
    std::string_view string_value;
  };
  LiteralValue() : int_value(0) {}
};

enum class BinaryOperator : uint8_t {
  Add, Sub, Mul, Div, Mod, Power, Eq, Neq, Lt, Lte, Gt, Gte, And, Or, BitwiseAnd, BitwiseOr, BitwiseXor,
  LeftShift, RightShift, Assign,
};
enum class UnaryOperator : uint8_t { Neg, Not, BitwiseNot };

const char* binary_operator_name(BinaryOperator op);
const char* unary_operator_name(UnaryOperator op);

struct TypeAnnotation {
  std::string_view name;
  std::span<TypeAnnotation> generics;
  bool nullable = false;
};

// Optional parts that are rare (type annotations) are held by pointer, so that the nodes stay small: a
// tree is written once and read once, and its size is most of the front end's memory traffic.
struct Param {
  std::string_view name;
  const TypeAnnotation* type_hint = nullptr;
  ExprPtr default_value = nullptr;  // "default" in the export
};

struct StringPart {
  std::string_view value;
};
struct ExprPart {
  ExprPtr expr = nullptr;
};
using InterpolationPart = std::variant<StringPart, ExprPart>;

namespace ast {
struct Literal { LiteralValue value; };
struct Identifier { std::string_view name; };
struct Propagate { ExprPtr expr = nullptr; };
struct BinaryOp { ExprPtr left = nullptr; BinaryOperator op; ExprPtr right = nullptr; };
struct UnaryOp { UnaryOperator op; ExprPtr operand = nullptr; };
struct Call { ExprPtr callee = nullptr; ExprList args; };
struct Index { ExprPtr object = nullptr; ExprPtr index = nullptr; };
struct Member { ExprPtr object = nullptr; std::string_view property; };
struct Ternary { ExprPtr condition = nullptr; ExprPtr then_expr = nullptr; ExprPtr else_expr = nullptr; };
struct Array { ExprList elements; };
struct Object { std::span<std::pair<std::string_view, ExprPtr>> properties; };
struct Lambda { std::span<Param> params; ExprPtr body = nullptr; };
struct StringInterpolation { std::span<InterpolationPart> parts; };
struct Await { ExprPtr expr = nullptr; };
struct Yield { ExprPtr value = nullptr; };  // value may be null (absent)
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
    requires(!std::is_same_v<std::remove_cvref_t<T>, Expr>)
  Expr(T&& n) : node(std::forward<T>(n)) {}
  template <class T>
  const T* as() const { return std::get_if<T>(&node); }
  template <class T>
  T* as() { return std::get_if<T>(&node); }
};

template <class T>
ExprPtr make_expr(Arena& arena, T&& node) {
  return arena.make<Expr>(std::forward<T>(node));
}

struct SwitchCase {
  ExprPtr expr = nullptr;  // null for the default case
  StmtList body;
};

struct CatchClause {
  std::string_view exception;
  StmtList body;
};

namespace ast {
struct ExprStatement { Expr expression; };
struct VarDecl { std::string_view name; bool mutable_ = true; ExprPtr init = nullptr; const TypeAnnotation* type_hint = nullptr; };
struct FunctionDef {
  std::string_view name;
  bool is_async = false;
  std::span<Param> params;
  StmtList body;
  const TypeAnnotation* return_type = nullptr;
};
struct ClassDef { std::string_view name; std::optional<std::string_view> extends; StmtList body; };
struct If { Expr condition; StmtList then_body; std::optional<StmtList> else_body; };
struct While { Expr condition; StmtList body; };
struct For { std::string_view target; Expr iter; StmtList body; };
struct Switch { Expr expr; std::span<SwitchCase> cases; };
struct Return { ExprPtr value = nullptr; };  // may be null
struct Break {};
struct Continue {};
struct Throw { Expr expr; };
struct Try { StmtList body; std::span<CatchClause> catch_clauses; std::optional<StmtList> finally_body; };
}  // namespace ast

struct Stmt {
  using Node = std::variant<ast::ExprStatement, ast::VarDecl, ast::FunctionDef, ast::ClassDef, ast::If,
                            ast::While, ast::For, ast::Switch, ast::Return, ast::Break, ast::Continue,
                            ast::Throw, ast::Try>;
  Node node;
  uint64_t line = 0;

  template <class T>
  Stmt(T&& n, uint64_t l) : node(std::forward<T>(n)), line(l) {}
  template <class T>
  const T* as() const { return std::get_if<T>(&node); }
  template <class T>
  T* as() { return std::get_if<T>(&node); }
};

// Chains that the source writes flat (a + b + c, x = y = z, o.m().m(), a[i][j].k, c1 ? x : c2 ? y : z,
// `else if` after `else if`) make trees that nest one level per link. The parser bounds only the other
// kind of nesting, so everything that walks a tree must follow these links with a loop, never with a
// recursive call (freeing a tree walks nothing: its arena goes as a whole): the link a chain continues along (a binary operation's left operand, the callee of a
// call, the object of an index or member access, the else branch of a conditional), or null.
const Expr* chain_child(const Expr& e) noexcept;
// The `if` statement that an `else if` continues with: the only statement of the else branch, when
// that is an `if`; otherwise null.
const ast::If* chained_if(const ast::If& s) noexcept;

struct Program {
  Arena arena;  // holds every node, list and text of the tree
  StmtList statements;
};
static_assert(std::is_trivially_destructible_v<Expr> && std::is_trivially_destructible_v<Stmt>);
static_assert(sizeof(Expr) <= 40 && sizeof(Stmt) <= 96, "tree nodes grew: keep rare parts out of line");

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
