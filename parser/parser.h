// The recursive-descent parser: tokens to a Program, or the first ParseError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/result.h"
#include "parser/ast.h"
#include "parser/lexer.h"
#include "parser/token.h"

namespace tarnwick {

// No tree the parser returns nests deeper than this many statement and expression levels together (a
// top-level statement is level 1; each nested statement or expression node adds one), and the parser's
// own recursion never goes deeper either. Links of chains that the source writes flat (see chain_child
// and chained_if in ast.h) add no level: a sum of a million terms or a long `else if` chain is one level.
// Everything that walks a tree recursively (the export, the compiler, the destructor) may rely on this
// bound, provided it follows chain links with a loop. Deeper input fails with nesting_too_deep_message()
// at the token where the limit is crossed. The value keeps the worst case (deepest recursion while
// destroying the deepest tree) near 100 KiB of stack in an optimised build and near 210 KiB with
// sanitizers.
inline constexpr size_t kMaxNestingDepth = 100;
// "Nesting too deep (limit 100)"
std::string nesting_too_deep_message();

class Parser {
 public:
  explicit Parser(std::vector<Token> tokens);
  // Reads the tokens from `lexer` as it goes, keeping only a small window of them, so that lexing and
  // parsing are one pass over the source in memory that stays in the cache. The lexer must outlive the
  // parser. When the lexer stops at an error the parser sees an Eof there; the caller reports the lexer's
  // error (after a parse error, Lexer::finish() tells whether the rest of the source lexes).
  explicit Parser(Lexer& lexer);
  // The same, for a tree that may view `source` instead of copying texts out of it: a token whose text
  // lies in `source` (the lexer reads its source in place, unless it had to repair it) keeps pointing
  // there, so `source` must outlive the tree. Names and literals then cost no copy.
  Parser(Lexer& lexer, std::string_view source);
  // Reads from `lexer` into `window`'s storage (the parser of an f-string's code reuses its parent's).
  Parser(Lexer& lexer, TokenWindow&& window);
  Parser(const Parser&) = delete;
  Parser& operator=(const Parser&) = delete;

  // The program takes the parser's arena with it. An expression or type returned by the other two entry
  // points lives in the parser's arena, so it is valid for as long as the parser is.
  Result<Program, ParseError> parse_program();
  // The program a few top-level statements at a time: up to `count` of them (none at the end). Each call
  // frees the statements the previous call returned, so that only a batch's tree is held at once.
  Result<StmtList, ParseError> parse_next_statements(size_t count);
  Result<ExprPtr, ParseError> parse_expression();
  Result<TypeAnnotation, ParseError> parse_type();

  // The current token (a copy), or the synthetic Eof at line 0, column 0 past the end of the list.
  Token peek() const;

 private:
  // Internally a failed step records the error in err_ and returns null/false; the public entry points
  // turn that into a Result. This keeps the recursive frames small.
  // The window always ends with an Eof or holds the token after the current one, and nothing advances
  // past an Eof, so the current token is always in it.
  const LexedToken& cur() const { return *tok_; }
  bool at(TokenKind k) const { return cur().kind == k; }
  bool at_end() const { return tok_->kind == TokenKind::Eof; }
  // Keeps the current token and the next one in the window (question() looks one ahead).
  void advance() {
    if (!at_end()) {
      ++tok_;
      if (tok_ > refill_at_) refill();
    }
  }
  void refill();
  bool expect(TokenKind k);
  // The identifier's text, copied into the arena.
  bool expect_identifier(std::string_view& out);
  void skip_semicolon() {
    if (at(TokenKind::Semicolon)) advance();
  }
  bool fail(std::string message);
  bool fail_unexpected();
  bool fail_too_deep();
  // Records the height of a finished node; false (with the error set) if it would nest too deep.
  bool set_height(size_t h);

  // Expressions. Each sets h_ to the height of the expression it returns. The functions on the
  // recursive path (expression, binary, unary, postfix, primary) keep their frames small; everything
  // with bulky locals lives in helpers that are not inlined into them.
  ExprPtr expression();
  ExprPtr question(ExprPtr cond);
  ExprPtr binary();
  ExprPtr unary();
  ExprPtr prefixed();
  ExprPtr postfix();
  ExprPtr call(ExprPtr callee, size_t& h);
  ExprPtr index(ExprPtr object, size_t& h);
  ExprPtr member(ExprPtr object);
  ExprPtr primary();
  ExprPtr literal();
  ExprPtr identifier();
  ExprPtr array();
  ExprPtr lambda();
  ExprPtr object_literal();
  ExprPtr fstring();
  bool expression_list(TokenKind close, ExprList& out, size_t& h);
  bool params(std::span<Param>& out, size_t& h);
  bool type(TypeAnnotation& out);

  // Statements, appended to `out` (always stmts_, the list under construction).
  using StmtStack = std::vector<Stmt>;
  bool statement(StmtStack& out);
  bool statement_body(StmtStack& out);
  bool while_stmt(StmtStack& out);
  bool for_stmt(StmtStack& out);
  bool return_stmt(StmtStack& out);
  bool yield_stmt(StmtStack& out);
  bool throw_stmt(StmtStack& out);
  bool expression_stmt(StmtStack& out);
  bool var_decl(StmtStack& out);
  bool function_def(StmtStack& out);
  bool class_def(StmtStack& out);
  bool enum_def(StmtStack& out);
  bool if_stmt(StmtStack& out);
  bool switch_stmt(StmtStack& out);
  bool try_stmt(StmtStack& out);
  // Whole lists, made into arena spans.
  bool block(StmtList& out);
  bool case_body(StmtList& out);
  bool braced_block(StmtList& out);
  bool optional_value(ExprPtr& out);
  void skip_braced();
  // The statements pushed since `mark`, moved into the arena and taken off the stack.
  StmtList finish_stmts(size_t mark);

  static const LexedToken kEof;
  // Tokens in the window of a parser reading from a lexer.
  static constexpr size_t kWindow = 256;

  // All the tokens, or with lexer_ set the window of them that the parser is at.
  TokenWindow tokens_;
  Lexer* lexer_ = nullptr;
  // The tokens given to the constructor, which tokens_ views.
  std::vector<Token> given_;
  // The current token, in tokens_.
  const LexedToken* tok_ = nullptr;
  // Past this token the window is refilled (so the next token is always in it); the end of the window
  // when nothing more comes.
  const LexedToken* refill_at_ = nullptr;
  // Points tok_ at the window's first token and sets refill_at_.
  void window_filled();
  // Recursion depth of expression() and statement() calls (bounds the native stack).
  size_t depth_ = 0;
  // Nesting level of the statement being parsed (top level is 1).
  size_t stmt_depth_ = 0;
  // Height of the expression most recently returned, chain links not counted.
  size_t h_ = 0;
  // Inside an f-string every node takes the position of the f-string token: the inner tokens count from
  // the start of the embedded code, not of the file.
  uint64_t pin_line_ = 0;
  uint64_t pin_column_ = 0;
  // Gives `e` (may be null) the position `line`:`column`, or the pinned one.
  ExprPtr placed(ExprPtr e, uint64_t line, uint64_t column) const;
  // A token's text as the tree keeps it: in place when it lies in the source the tree may view, otherwise
  // copied into the arena.
  std::string_view keep(std::string_view text) {
    const auto at = reinterpret_cast<uintptr_t>(text.data()), from = reinterpret_cast<uintptr_t>(viewed_.data());
    if (at >= from && at - from + text.size() <= viewed_.size()) return text;
    return arena_->copy(text);
  }
  template <class T>
  ExprPtr make(T&& node) {
    return make_expr(*arena_, std::forward<T>(node));
  }
  std::optional<ParseError> err_;

  // Where the tree goes: this parser's own arena, or the enclosing parser's for an f-string's code.
  Arena own_arena_;
  Arena* arena_ = &own_arena_;
  // Lists under construction. A list is the top of its stack from the size it had when the list began,
  // and a list nested in another is finished before it, so one stack per element type serves them all
  // and the lists cost no allocation of their own.
  std::vector<Stmt> stmts_;
  std::vector<ExprPtr> exprs_;
  std::vector<Param> params_;
  std::vector<std::pair<std::string_view, ExprPtr>> properties_;
  std::vector<InterpolationPart> parts_;
  // The text of the f-string part being gathered.
  std::string fstring_text_;
  // The source the tree may view (see the constructor); empty when every text is copied.
  std::string_view viewed_;
  // A token window kept for the parsers of f-string code, so that each of them needs no allocation.
  TokenWindow spare_window_;
};

}  // namespace tarnwick
