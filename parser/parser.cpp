// The recursive-descent parser: tokens to a Program, stopping at the first ParseError.
#include "parser/parser.h"

#include <algorithm>
#include <array>
#include <utility>

#include "parser/lexer.h"

// Keeps bulky locals out of the frames on the recursive paths.
#define NOINLINE __attribute__((noinline))
// Merges small steps of the recursive paths into their callers, also in unoptimised builds, so that each
// nesting level costs fewer frames.
#define ALWAYS_INLINE inline __attribute__((always_inline))

namespace tarnwick {

namespace {

// Binding level of each binary operator token (0: not a binary operator) and the operator it makes.
struct BinaryEntry {
  uint8_t level = 0;
  BinaryOperator op = BinaryOperator::Add;
};

constexpr std::array<BinaryEntry, kTokenKindCount> make_binary_table() {
  std::array<BinaryEntry, kTokenKindCount> t{};
  auto set = [&t](TokenKind k, uint8_t level, BinaryOperator op) { t[static_cast<size_t>(k)] = {level, op}; };
  set(TokenKind::Or, 1, BinaryOperator::Or);
  set(TokenKind::Assign, 1, BinaryOperator::Assign);
  set(TokenKind::And, 2, BinaryOperator::And);
  set(TokenKind::Eq, 3, BinaryOperator::Eq);
  set(TokenKind::Neq, 3, BinaryOperator::Neq);
  set(TokenKind::Lt, 4, BinaryOperator::Lt);
  set(TokenKind::Lte, 4, BinaryOperator::Lte);
  set(TokenKind::Gt, 4, BinaryOperator::Gt);
  set(TokenKind::Gte, 4, BinaryOperator::Gte);
  set(TokenKind::BitwiseOr, 5, BinaryOperator::BitwiseOr);
  set(TokenKind::BitwiseXor, 6, BinaryOperator::BitwiseXor);
  set(TokenKind::BitwiseAnd, 7, BinaryOperator::BitwiseAnd);
  set(TokenKind::LeftShift, 8, BinaryOperator::LeftShift);
  set(TokenKind::RightShift, 8, BinaryOperator::RightShift);
  set(TokenKind::Plus, 9, BinaryOperator::Add);
  set(TokenKind::Minus, 9, BinaryOperator::Sub);
  set(TokenKind::Star, 10, BinaryOperator::Mul);
  set(TokenKind::Slash, 10, BinaryOperator::Div);
  set(TokenKind::Percent, 10, BinaryOperator::Mod);
  set(TokenKind::Power, 11, BinaryOperator::Power);
  return t;
}

constexpr auto kBinary = make_binary_table();
constexpr size_t kLevels = 11;

const BinaryEntry& binary_entry(TokenKind k) { return kBinary[static_cast<size_t>(k)]; }

// Tokens after a `?` that make it a conditional rather than a propagation.
bool starts_then_branch(TokenKind k) {
  switch (k) {
    case TokenKind::Int:
    case TokenKind::Float:
    case TokenKind::String:
    case TokenKind::Bool:
    case TokenKind::Identifier:
    case TokenKind::Nil:
    case TokenKind::Not:
    case TokenKind::Plus:
    case TokenKind::Minus:
    case TokenKind::LeftParen:
    case TokenKind::LeftBracket:
      return true;
    default:
      return false;
  }
}

// Counts a nesting level for as long as a recursive step runs, on every path.
struct DepthGuard {
  size_t& d;
  explicit DepthGuard(size_t& depth) : d(depth) { ++d; }
  ~DepthGuard() { --d; }
  DepthGuard(const DepthGuard&) = delete;
  DepthGuard& operator=(const DepthGuard&) = delete;
};

}  // namespace

std::string nesting_too_deep_message() {
  return "Nesting too deep (limit " + std::to_string(kMaxNestingDepth) + ")";
}

const LexedToken Parser::kEof{};

Parser::Parser(std::vector<Token> tokens) : given_(std::move(tokens)) {
  tokens_.reserve(given_.size() + 1);
  for (const Token& t : given_) tokens_.push_back(LexedToken::view_of(t));
  // A list that does not end with Eof ends with the synthetic one.
  if (tokens_.empty() || tokens_.back().kind != TokenKind::Eof) tokens_.push_back(kEof);
  window_filled();
}

Parser::Parser(Lexer& lexer) : lexer_(&lexer) {
  // A short source (the code of an f-string) needs no full window.
  tokens_.reserve(std::min(kWindow, lexer.source_size() / 2 + 4) + 1);
  lexer.refill(tokens_, 0, kWindow);
  window_filled();
}

Parser::Parser(Lexer& lexer, std::string_view source) : Parser(lexer) { viewed_ = source; }

Parser::Parser(Lexer& lexer, TokenWindow&& window) : tokens_(std::move(window)), lexer_(&lexer) {
  tokens_.clear();
  tokens_.reserve(std::min(kWindow, lexer.source_size() / 2 + 4) + 1);
  lexer.refill(tokens_, 0, kWindow);
  window_filled();
}

__attribute__((noinline)) void Parser::refill() {
  if (lexer_->finished()) return;
  lexer_->refill(tokens_, static_cast<size_t>(tok_ - tokens_.begin()), kWindow);
  window_filled();
}

void Parser::window_filled() {
  tok_ = tokens_.begin();
  const bool more = lexer_ != nullptr && !lexer_->finished() && tokens_.size() >= 2;
  refill_at_ = more ? tokens_.begin() + tokens_.size() - 2 : tokens_.begin() + tokens_.size();
}

Token Parser::peek() const { return cur().to_token(); }

ExprPtr Parser::placed(ExprPtr e, uint64_t line, uint64_t column) const {
  if (e == nullptr) return e;
  if (pin_line_ != 0) {
    line = pin_line_;
    column = pin_column_;
  }
  constexpr uint64_t kMax = UINT32_MAX;
  e->line = static_cast<uint32_t>(line > kMax ? kMax : line);
  e->column = static_cast<uint32_t>(line > kMax || column > kMax ? 0 : column);
  return e;
}

// ---------------------------------------------------------------------------------------------------
// Errors and cursor

__attribute__((noinline, cold)) bool Parser::fail(std::string message) {
  const LexedToken& t = cur();
  err_ = ParseError{std::move(message), std::string(), t.line, t.column};
  return false;
}

__attribute__((noinline, cold)) bool Parser::fail_unexpected() {
  return fail("Unexpected token: " + token_debug(cur().to_token()));
}

__attribute__((noinline, cold)) bool Parser::fail_too_deep() { return fail(nesting_too_deep_message()); }

bool Parser::expect(TokenKind k) {
  if (cur().kind == k) {
    advance();
    return true;
  }
  return fail("Expected " + std::string(kind_name(k)) + ", found " + token_debug(cur().to_token()));
}

bool Parser::expect_identifier(std::string_view& out) {
  if (tok_->kind == TokenKind::Identifier) {
    out = keep(tok_->text);
    advance();
    return true;
  }
  return fail("Expected identifier");
}

bool Parser::set_height(size_t h) {
  if (stmt_depth_ + h > kMaxNestingDepth) return fail_too_deep();
  h_ = h;
  return true;
}

// ---------------------------------------------------------------------------------------------------
// Public entry points

Result<Program, ParseError> Parser::parse_program() {
  Program program;
  const size_t mark = stmts_.size();
  while (!at_end()) {
    if (!statement(stmts_)) return make_err(std::move(*err_));
  }
  program.statements = finish_stmts(mark);
  program.arena = std::move(own_arena_);
  return program;
}

Result<StmtList, ParseError> Parser::parse_next_statements(size_t count) {
  own_arena_ = Arena();
  const size_t mark = stmts_.size();
  for (size_t i = 0; i < count && !at_end(); ++i) {
    if (!statement(stmts_)) return make_err(std::move(*err_));
  }
  return finish_stmts(mark);
}

StmtList Parser::finish_stmts(size_t mark) {
  StmtList list = arena_->copy(std::span<const Stmt>(stmts_).subspan(mark));
  stmts_.erase(stmts_.begin() + static_cast<std::ptrdiff_t>(mark), stmts_.end());
  return list;
}

Result<ExprPtr, ParseError> Parser::parse_expression() {
  ExprPtr e = expression();
  if (!e) return make_err(std::move(*err_));
  return e;
}

Result<TypeAnnotation, ParseError> Parser::parse_type() {
  TypeAnnotation t;
  if (!type(t)) return make_err(std::move(*err_));
  return t;
}

// ---------------------------------------------------------------------------------------------------
// Expressions

ExprPtr Parser::expression() {
  if (depth_ >= kMaxNestingDepth) {
    fail_too_deep();
    return nullptr;
  }
  ++depth_;
  ExprPtr e = binary();
  if (e && at(TokenKind::Question)) e = question(std::move(e));
  --depth_;
  return e;
}

// After a complete operand with `?` current: a conditional if a then-branch can start after the `?`,
// otherwise a propagation of `cond`. A conditional in the else branch continues the chain
// (c1 ? a : c2 ? b : d): the loop collects the links and the tree is built afterwards, so a long chain
// costs no recursion and counts as one level.
NOINLINE ExprPtr Parser::question(ExprPtr cond) {
  struct Link {
    ExprPtr cond = nullptr;
    ExprPtr then_expr = nullptr;
  };
  std::vector<Link> links;
  ExprPtr e = std::move(cond);
  size_t h = h_;        // height of the chain so far, else branch included
  size_t h_links = 0;  // height of the conditionals, without the final else branch
  while (at(TokenKind::Question)) {
    if (!(tok_ + 1 < tokens_.begin() + tokens_.size() && starts_then_branch(tok_[1].kind))) {
      const uint64_t qline = cur().line, qcolumn = cur().column;
      advance();
      if (!set_height(h + 1)) return nullptr;
      e = placed(make(ast::Propagate{std::move(e)}), qline, qcolumn);
      h = h + 1;
      break;
    }
    advance();
    const size_t hc = h;
    ExprPtr then_expr = expression();
    if (!then_expr) return nullptr;
    h_links = std::max(h_links, 1 + std::max(hc, h_));
    if (!set_height(h_links)) return nullptr;
    if (!expect(TokenKind::Colon)) return nullptr;
    links.push_back(Link{std::move(e), std::move(then_expr)});
    e = binary();
    if (!e) return nullptr;
    h = h_;
  }
  for (auto it = links.rbegin(); it != links.rend(); ++it) {
    const uint64_t cline = it->cond->line, ccolumn = it->cond->column;
    e = placed(make(ast::Ternary{std::move(it->cond), std::move(it->then_expr), std::move(e)}), cline, ccolumn);
  }
  h_ = std::max(h, h_links);
  return e;
}

ALWAYS_INLINE ExprPtr Parser::unary() {
  TokenKind k = cur().kind;
  if (k == TokenKind::Minus || k == TokenKind::Not) return prefixed();
  return postfix();
}

ALWAYS_INLINE ExprPtr Parser::primary() {
  switch (cur().kind) {
    case TokenKind::Int:
    case TokenKind::Float:
    case TokenKind::String:
    case TokenKind::Bool:
    case TokenKind::Nil:
      return literal();
    case TokenKind::Identifier:
      return identifier();
    case TokenKind::LeftParen: {
      advance();
      ExprPtr e = expression();
      if (!e || !expect(TokenKind::RightParen)) return nullptr;
      return e;  // h_ is the inner expression's: parentheses make no node
    }
    case TokenKind::LeftBracket:
      return array();
    case TokenKind::LeftBrace:
      return object_literal();
    case TokenKind::Fn:
      return lambda();
    case TokenKind::FString:
      return fstring();
    default:
      fail_unexpected();
      return nullptr;
  }
}

// Comma-separated expressions up to `close` (a trailing comma is accepted), then `close` itself.
ALWAYS_INLINE bool Parser::expression_list(TokenKind close, ExprList& out, size_t& h) {
  const size_t mark = exprs_.size();
  while (!at(close) && !at(TokenKind::Eof)) {
    ExprPtr e = expression();
    if (!e) return false;
    h = std::max(h, h_);
    exprs_.push_back(e);
    if (!at(TokenKind::Comma)) break;
    advance();
  }
  out = arena_->copy(std::span<const ExprPtr>(exprs_).subspan(mark));
  exprs_.resize(mark);
  return expect(close);
}

namespace {

// Operator precedence with an explicit stack instead of one recursive call per level. Every operator is
// left-associative, so the stack holds strictly increasing levels: at most kLevels operators.
struct OperandStack {
  ExprPtr operands[kLevels + 1];
  uint32_t heights[kLevels + 1];
  BinaryOperator ops[kLevels];
  uint32_t op_lines[kLevels];
  uint32_t op_columns[kLevels];
  uint8_t levels[kLevels];
  size_t n_ops = 0;
};

}  // namespace

// Folds the top operator with its two operands.
NOINLINE static ExprPtr fold(Arena& arena, OperandStack& s) {
  size_t i = s.n_ops - 1;
  --s.n_ops;
  ExprPtr e = make_expr(arena, ast::BinaryOp{std::move(s.operands[i]), s.ops[i], std::move(s.operands[i + 1])});
  e->line = s.op_lines[i];
  e->column = s.op_columns[i];
  return e;
}

ExprPtr Parser::binary() {
  OperandStack s;
  for (;;) {
    // One call site for the operand parser: it is inlined here, and a single copy keeps the frame small.
    s.operands[s.n_ops] = unary();
    if (!s.operands[s.n_ops]) return nullptr;
    s.heights[s.n_ops] = static_cast<uint32_t>(h_);
    const BinaryEntry& entry = binary_entry(cur().kind);
    // Fold what binds at least as tightly as the next operator (or everything at the end).
    while (s.n_ops > 0 && (entry.level == 0 || s.levels[s.n_ops - 1] >= entry.level)) {
      size_t i = s.n_ops - 1;
      // The left operand continues a chain (a + b + c): only the right one nests.
      size_t h = std::max<size_t>(s.heights[i], 1 + s.heights[i + 1]);
      if (!set_height(h)) return nullptr;
      s.operands[i] = fold(*arena_, s);
      s.heights[i] = static_cast<uint32_t>(h);
    }
    if (entry.level == 0) break;
    s.ops[s.n_ops] = entry.op;
    {
      const uint64_t line = pin_line_ != 0 ? pin_line_ : cur().line;
      const uint64_t column = pin_line_ != 0 ? pin_column_ : cur().column;
      s.op_lines[s.n_ops] = line > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(line);
      s.op_columns[s.n_ops] = line > UINT32_MAX || column > UINT32_MAX ? 0 : static_cast<uint32_t>(column);
    }
    s.levels[s.n_ops] = entry.level;
    ++s.n_ops;
    advance();
  }
  h_ = s.heights[0];
  return std::move(s.operands[0]);
}

// Prefix operators are collected in a loop, so a long run of signs costs no recursion.
NOINLINE ExprPtr Parser::prefixed() {
  std::string prefix;  // 'n' for Neg, '!' for Not, outermost first
  std::vector<std::pair<uint64_t, uint64_t>> where;  // each prefix's position
  for (TokenKind k = cur().kind; k == TokenKind::Minus || k == TokenKind::Not; k = cur().kind) {
    // The operand adds at least one more level below the prefixes.
    if (stmt_depth_ + prefix.size() + 2 > kMaxNestingDepth) {
      fail_too_deep();
      return nullptr;
    }
    prefix.push_back(k == TokenKind::Minus ? 'n' : '!');
    where.emplace_back(cur().line, cur().column);
    advance();
  }
  ExprPtr e = postfix();
  if (!e) return nullptr;
  if (!set_height(h_ + prefix.size())) return nullptr;
  for (size_t i = prefix.size(); i-- > 0;) {
    UnaryOperator op = prefix[i] == 'n' ? UnaryOperator::Neg : UnaryOperator::Not;
    e = placed(make(ast::UnaryOp{op, std::move(e)}), where[i].first, where[i].second);
  }
  return e;
}

ExprPtr Parser::postfix() {
  ExprPtr e = primary();
  if (!e) return nullptr;
  size_t h = h_;
  for (;;) {
    switch (cur().kind) {
      case TokenKind::LeftParen:
        e = call(std::move(e), h);
        break;
      case TokenKind::LeftBracket:
        e = index(std::move(e), h);
        break;
      case TokenKind::Dot:
        e = member(std::move(e));  // a link of a chain: no level
        break;
      case TokenKind::LeftBrace: {
        // Only `comptime { ... }` continues; any other `{` belongs to the enclosing statement.
        const ast::Identifier* id = e->as<ast::Identifier>();
        if (id == nullptr || id->name != "comptime") {
          h_ = h;
          return e;
        }
        advance();
        skip_braced();
        break;
      }
      default:
        h_ = h;
        return e;
    }
    if (!e) return nullptr;
  }
}

NOINLINE ExprPtr Parser::call(ExprPtr callee, size_t& h) {
  const uint64_t line = cur().line, column = cur().column;
  advance();
  ExprList args;
  size_t ha = 0;
  if (!expression_list(TokenKind::RightParen, args, ha)) return nullptr;
  // The callee continues a chain (o.m().m()): only the arguments nest.
  if (!args.empty()) h = std::max(h, 1 + ha);
  if (!set_height(h)) return nullptr;
  return placed(make(ast::Call{std::move(callee), std::move(args)}), line, column);
}

NOINLINE ExprPtr Parser::index(ExprPtr object, size_t& h) {
  const uint64_t line = cur().line, column = cur().column;
  advance();
  ExprPtr i = expression();
  if (!i) return nullptr;
  if (!expect(TokenKind::RightBracket)) return nullptr;
  h = std::max(h, 1 + h_);
  if (!set_height(h)) return nullptr;
  return placed(make(ast::Index{std::move(object), std::move(i)}), line, column);
}

NOINLINE ExprPtr Parser::member(ExprPtr object) {
  const uint64_t line = cur().line, column = cur().column;
  advance();
  std::string_view name;
  if (!expect_identifier(name)) return nullptr;
  return placed(make(ast::Member{object, name}), line, column);
}

ALWAYS_INLINE ExprPtr Parser::literal() {
  const LexedToken& t = *tok_;
  const uint64_t line = t.line, column = t.column;
  LiteralValue v;
  switch (t.kind) {
    case TokenKind::Int:
      v.kind = LiteralValue::Kind::Int;
      v.int_value = t.int_value;
      break;
    case TokenKind::Float:
      v.kind = LiteralValue::Kind::Float;
      v.float_value = t.float_value;
      break;
    case TokenKind::String:
      v.kind = LiteralValue::Kind::String;
      v.string_value = keep(t.text);
      break;
    case TokenKind::Bool:
      v.kind = LiteralValue::Kind::Bool;
      v.bool_value = t.bool_value;
      break;
    default:
      break;
  }
  advance();
  if (!set_height(1)) return nullptr;
  return placed(make(ast::Literal{std::move(v)}), line, column);
}

ALWAYS_INLINE ExprPtr Parser::identifier() {
  const uint64_t line = tok_->line, column = tok_->column;
  std::string_view name = keep(tok_->text);
  advance();
  if (!set_height(1)) return nullptr;
  return placed(make(ast::Identifier{std::move(name)}), line, column);
}

NOINLINE ExprPtr Parser::array() {
  const uint64_t line = cur().line, column = cur().column;
  advance();
  ExprList elements;
  size_t h = 0;
  if (!expression_list(TokenKind::RightBracket, elements, h)) return nullptr;
  if (!set_height(h + 1)) return nullptr;
  return placed(make(ast::Array{std::move(elements)}), line, column);
}

// Parameters of a lambda or a function declaration, after the `(`; stops before the `)`.
bool Parser::params(std::span<Param>& out, size_t& h) {
  const size_t mark = params_.size();
  while (!at(TokenKind::RightParen) && !at(TokenKind::Eof)) {
    Param p;
    if (!expect_identifier(p.name)) return false;
    if (at(TokenKind::Colon)) {
      advance();
      TypeAnnotation t;
      if (!type(t)) return false;
      p.type_hint = arena_->make<TypeAnnotation>(t);
    }
    if (at(TokenKind::Assign)) {
      advance();
      p.default_value = expression();
      if (!p.default_value) return false;
      h = std::max(h, h_);
    }
    params_.push_back(std::move(p));
    if (!at(TokenKind::Comma)) break;
    advance();
  }
  out = arena_->copy(std::span<const Param>(params_).subspan(mark));
  params_.resize(mark);
  return true;
}

NOINLINE ExprPtr Parser::lambda() {
  const uint64_t line = cur().line, column = cur().column;
  advance();
  if (!expect(TokenKind::LeftParen)) return nullptr;
  std::span<Param> ps;
  size_t h = 0;
  if (!params(ps, h)) return nullptr;
  if (!expect(TokenKind::RightParen)) return nullptr;
  ExprPtr body = nullptr;
  if (at(TokenKind::LeftBrace)) {
    advance();
    body = expression();
    if (!body) return nullptr;
    if (!expect(TokenKind::RightBrace)) return nullptr;
  } else {
    body = expression();
    if (!body) return nullptr;
  }
  if (!set_height(1 + std::max(h, h_))) return nullptr;
  return placed(make(ast::Lambda{ps, body}), line, column);
}

NOINLINE ExprPtr Parser::object_literal() {
  const uint64_t line = cur().line, column = cur().column;
  advance();
  const size_t mark = properties_.size();
  size_t h = 0;
  while (!at(TokenKind::RightBrace) && !at(TokenKind::Eof)) {
    std::string_view key;
    if (!expect_identifier(key)) return nullptr;
    if (!expect(TokenKind::Colon)) return nullptr;
    ExprPtr value = expression();
    if (!value) return nullptr;
    h = std::max(h, h_);
    properties_.emplace_back(key, value);
    if (!at(TokenKind::Comma)) break;
    advance();
  }
  auto properties = arena_->copy(std::span<const std::pair<std::string_view, ExprPtr>>(properties_).subspan(mark));
  properties_.resize(mark);
  if (!expect(TokenKind::RightBrace)) return nullptr;
  if (!set_height(h + 1)) return nullptr;
  return placed(make(ast::Object{properties}), line, column);
}

// The body arrives with doubled braces already turned into marker pairs: NUL `{` for `{{` and `}` NUL
// for `}}`. Braces and NUL are ASCII, so walking bytes is the same as walking code points here.
NOINLINE ExprPtr Parser::fstring() {
  const std::string_view text = cur().text;
  const uint64_t line = pin_line_ != 0 ? pin_line_ : cur().line;
  const uint64_t column = pin_line_ != 0 ? pin_column_ : cur().column;
  const size_t n = text.size();
  const size_t mark = parts_.size();
  std::string& buf = fstring_text_;
  buf.clear();
  size_t h = 0;
  size_t i = 0;
  while (i < n) {
    char c = text[i++];
    if (c == '{') {
      if (!buf.empty()) {
        parts_.emplace_back(StringPart{arena_->copy(buf)});
        buf.clear();
      }
      const size_t code_start = i;
      size_t code_end = n;
      size_t depth = 1;
      while (i < n) {
        char d = text[i++];
        if (d == '}') {
          if (--depth == 0) {
            code_end = i - 1;
            break;
          }
        } else if (d == '{') {
          ++depth;
        }
      }
      const std::string_view code = text.substr(code_start, code_end - code_start);
      if (code.empty()) continue;
      // The nested parser continues this one's depth accounting, so f-strings inside f-strings are
      // bounded like any other nesting. A lexer error anywhere in the code wins over a parse error.
      // It borrows this parser's spare token window and gives it back.
      Lexer code_lexer(code, kSourceInPlace);
      spare_window_.clear();
      Parser inner(code_lexer, std::move(spare_window_));
      inner.arena_ = arena_;
      inner.depth_ = depth_;
      inner.stmt_depth_ = stmt_depth_;
      inner.pin_line_ = line;
      inner.pin_column_ = column;
      inner.viewed_ = viewed_;
      ExprPtr e = inner.expression();
      spare_window_ = std::move(inner.tokens_);
      code_lexer.finish();
      if (const LexError* lex_error = code_lexer.error()) {
        err_ = ParseError{"In f-string: " + lex_error->message, std::string(), 0, 0};
        return nullptr;
      }
      if (!e) {
        err_ = ParseError{"In f-string: " + inner.err_->display(), std::string(), 0, 0};
        return nullptr;
      }
      h = std::max(h, inner.h_);
      parts_.emplace_back(ExprPart{std::move(e)});
    } else if (c == '}') {
      if (i < n && text[i] == '\0') ++i;
      buf.push_back('}');
    } else if (c == '\0') {
      if (i < n && text[i] == '{') {
        ++i;
        buf.push_back('{');
      }
    } else {
      buf.push_back(c);
    }
  }
  if (!buf.empty()) parts_.emplace_back(StringPart{arena_->copy(buf)});
  const std::span<const InterpolationPart> parts = std::span<const InterpolationPart>(parts_).subspan(mark);
  advance();
  if (!set_height(h + 1)) return nullptr;
  if (parts.size() == 1 && std::holds_alternative<StringPart>(parts[0])) {
    LiteralValue v;
    v.kind = LiteralValue::Kind::String;
    v.string_value = std::get<StringPart>(parts[0]).value;
    parts_.resize(mark);
    return placed(make(ast::Literal{v}), line, column);
  }
  auto kept = arena_->copy(parts);
  parts_.resize(mark);
  return placed(make(ast::StringInterpolation{kept}), line, column);
}

// `[T]` and `T[]` both name "T[]". The leading brackets are counted rather than recursed into; the
// tokens consumed and the errors are those of the recursive form.
bool Parser::type(TypeAnnotation& out) {
  size_t open = 0;
  while (at(TokenKind::LeftBracket)) {
    advance();
    ++open;
  }
  if (!at(TokenKind::Identifier)) return fail("Expected identifier");
  std::string name(cur().text);
  advance();
  if (at(TokenKind::LeftBracket)) {
    advance();
    if (at(TokenKind::RightBracket)) {
      advance();
      name += "[]";
    }
  }
  for (; open > 0; --open) {
    if (!expect(TokenKind::RightBracket)) return false;
    name += "[]";
  }
  out.name = arena_->copy(name);
  out.generics = {};
  out.nullable = false;
  return true;
}

// ---------------------------------------------------------------------------------------------------
// Statements

bool Parser::statement(StmtStack& out) {
  if (depth_ >= kMaxNestingDepth || stmt_depth_ >= kMaxNestingDepth) return fail_too_deep();
  ++depth_;
  ++stmt_depth_;
  bool ok = statement_body(out);
  --depth_;
  --stmt_depth_;
  return ok;
}

bool Parser::statement_body(StmtStack& out) {
  switch (cur().kind) {
    case TokenKind::Let:
    case TokenKind::Const:
      return var_decl(out);
    case TokenKind::Fn:
      return function_def(out);
    case TokenKind::Class:
    case TokenKind::Struct:
      return class_def(out);
    case TokenKind::Enum:
      return enum_def(out);
    case TokenKind::If:
      return if_stmt(out);
    case TokenKind::While:
      return while_stmt(out);
    case TokenKind::For:
      return for_stmt(out);
    case TokenKind::Return:
      return return_stmt(out);
    case TokenKind::Break:
    case TokenKind::Continue: {
      const uint64_t line = cur().line;
      const bool is_break = at(TokenKind::Break);
      advance();
      skip_semicolon();
      if (is_break) out.emplace_back(ast::Break{}, line);
      else out.emplace_back(ast::Continue{}, line);
      return true;
    }
    case TokenKind::Switch:
      return switch_stmt(out);
    case TokenKind::Try:
      return try_stmt(out);
    case TokenKind::Throw:
      return throw_stmt(out);
    case TokenKind::Yield:
      return yield_stmt(out);
    default:
      return expression_stmt(out);
  }
}

NOINLINE bool Parser::while_stmt(StmtStack& out) {
  const uint64_t line = cur().line;
  advance();
  ExprPtr cond = expression();
  if (!cond) return false;
  StmtList body;
  if (!braced_block(body)) return false;
  out.emplace_back(ast::While{std::move(*cond), std::move(body)}, line);
  return true;
}

NOINLINE bool Parser::for_stmt(StmtStack& out) {
  const uint64_t line = cur().line;
  advance();
  std::string_view target;
  if (!expect_identifier(target)) return false;
  if (!expect(TokenKind::In)) return false;
  ExprPtr iter = expression();
  if (!iter) return false;
  StmtList body;
  if (!braced_block(body)) return false;
  out.emplace_back(ast::For{std::move(target), std::move(*iter), std::move(body)}, line);
  return true;
}

NOINLINE bool Parser::return_stmt(StmtStack& out) {
  const uint64_t line = cur().line;
  advance();
  ExprPtr value = nullptr;
  if (!optional_value(value)) return false;
  skip_semicolon();
  out.emplace_back(ast::Return{std::move(value)}, line);
  return true;
}

NOINLINE bool Parser::yield_stmt(StmtStack& out) {
  const uint64_t line = cur().line;
  advance();
  ExprPtr value = nullptr;
  if (!optional_value(value)) return false;
  if (!set_height(value ? h_ + 1 : 1)) return false;
  skip_semicolon();
  out.emplace_back(ast::ExprStatement{Expr(ast::Yield{std::move(value)})}, line);
  return true;
}

NOINLINE bool Parser::throw_stmt(StmtStack& out) {
  const uint64_t line = cur().line;
  advance();
  ExprPtr e = expression();
  if (!e) return false;
  skip_semicolon();
  out.emplace_back(ast::Throw{std::move(*e)}, line);
  return true;
}

NOINLINE bool Parser::expression_stmt(StmtStack& out) {
  const uint64_t line = cur().line;
  ExprPtr e = expression();
  if (!e) return false;
  skip_semicolon();
  out.emplace_back(ast::ExprStatement{std::move(*e)}, line);
  return true;
}

// The value of `return` and `yield`: none before `}` or `;`.
bool Parser::optional_value(ExprPtr& out) {
  if (at(TokenKind::RightBrace) || at(TokenKind::Semicolon)) return true;
  out = expression();
  return out != nullptr;
}

bool Parser::block(StmtList& out) {
  const size_t mark = stmts_.size();
  while (!at(TokenKind::RightBrace) && !at(TokenKind::Eof)) {
    if (!statement(stmts_)) return false;
  }
  out = finish_stmts(mark);
  return true;
}

bool Parser::braced_block(StmtList& out) {
  return expect(TokenKind::LeftBrace) && block(out) && expect(TokenKind::RightBrace);
}

bool Parser::case_body(StmtList& out) {
  const size_t mark = stmts_.size();
  for (;;) {
    TokenKind k = cur().kind;
    if (k == TokenKind::Case || k == TokenKind::Default || k == TokenKind::RightBrace || k == TokenKind::Eof) {
      out = finish_stmts(mark);
      return true;
    }
    if (!statement(stmts_)) return false;
  }
}

// After an opening `{` has been consumed: skips through the matching `}` (or to the end).
void Parser::skip_braced() {
  size_t depth = 1;
  while (depth > 0 && !at_end()) {
    TokenKind k = cur().kind;
    if (k == TokenKind::LeftBrace) ++depth;
    else if (k == TokenKind::RightBrace) --depth;
    advance();
  }
}

NOINLINE bool Parser::var_decl(StmtStack& out) {
  const uint64_t line = cur().line;
  const bool is_mutable = at(TokenKind::Let);
  advance();
  ast::VarDecl decl;
  decl.mutable_ = is_mutable;
  if (at(TokenKind::LeftBracket)) {
    // Destructuring is checked for syntax only; the declaration it leaves has no name.
    advance();
    while (!at(TokenKind::RightBracket) && !at(TokenKind::Eof)) {
      std::string_view ignored;
      if (!expect_identifier(ignored)) return false;
      if (!at(TokenKind::Comma)) break;
      advance();
    }
    if (!expect(TokenKind::RightBracket)) return false;
    if (at(TokenKind::Assign)) {
      advance();
      if (!expression()) return false;
    }
    skip_semicolon();
    out.emplace_back(std::move(decl), line);
    return true;
  }
  if (!expect_identifier(decl.name)) return false;
  if (at(TokenKind::Colon)) {
    advance();
    TypeAnnotation t;
    if (!type(t)) return false;
    decl.type_hint = arena_->make<TypeAnnotation>(t);
  }
  if (at(TokenKind::Assign)) {
    advance();
    decl.init = expression();
    if (!decl.init) return false;
  }
  skip_semicolon();
  out.emplace_back(std::move(decl), line);
  return true;
}

NOINLINE bool Parser::function_def(StmtStack& out) {
  const uint64_t line = cur().line;
  advance();
  if (at(TokenKind::Star)) advance();
  ast::FunctionDef fn;
  if (!expect_identifier(fn.name)) return false;
  if (!expect(TokenKind::LeftParen)) return false;
  size_t h = 0;
  if (!params(fn.params, h)) return false;
  if (!expect(TokenKind::RightParen)) return false;
  if (at(TokenKind::Arrow)) {
    advance();
    TypeAnnotation t;
    if (!type(t)) return false;
    fn.return_type = arena_->make<TypeAnnotation>(t);
  }
  if (!braced_block(fn.body)) return false;
  out.emplace_back(std::move(fn), line);
  return true;
}

NOINLINE bool Parser::class_def(StmtStack& out) {
  const uint64_t line = cur().line;
  advance();
  ast::ClassDef cls;
  if (!expect_identifier(cls.name)) return false;
  if (at(TokenKind::Lt)) {
    // Type parameters are skipped; `>>` is a single token and closes only one level.
    advance();
    size_t depth = 1;
    while (depth > 0 && !at_end()) {
      TokenKind k = cur().kind;
      if (k == TokenKind::Lt) ++depth;
      else if (k == TokenKind::Gt) --depth;
      advance();
    }
  }
  if (at(TokenKind::Identifier) && cur().text == "extends") {
    advance();
    std::string_view base;
    if (!expect_identifier(base)) return false;
    cls.extends = base;
  }
  if (!expect(TokenKind::LeftBrace)) return false;
  // Members are statements one level below the class.
  DepthGuard member_depth(stmt_depth_);
  const size_t mark = stmts_.size();
  while (!at(TokenKind::RightBrace) && !at(TokenKind::Eof)) {
    if (stmt_depth_ > kMaxNestingDepth) return fail_too_deep();
    if (at(TokenKind::Fn)) {
      if (!function_def(stmts_)) return false;
      continue;
    }
    if (at(TokenKind::Let) || at(TokenKind::Const)) {
      if (!var_decl(stmts_)) return false;
      continue;
    }
    std::string_view member;
    if (!expect_identifier(member)) return false;
    if (at(TokenKind::LeftParen) || at(TokenKind::LeftBrace)) {
      // A method written without `fn`: skipped, and its errors with it.
      if (at(TokenKind::LeftParen)) {
        advance();
        while (!at(TokenKind::RightParen) && !at_end()) advance();
        if (at(TokenKind::RightParen)) advance();
      }
      if (at(TokenKind::Arrow)) {
        advance();
        TypeAnnotation ignored;
        if (!type(ignored)) err_.reset();
      }
      if (at(TokenKind::LeftBrace)) {
        advance();
        skip_braced();
      }
      continue;
    }
    const uint64_t field_line = cur().line;
    ast::VarDecl field;
    field.name = member;
    field.mutable_ = true;
    if (at(TokenKind::Colon)) {
      advance();
      TypeAnnotation t;
      if (!type(t)) return false;
      field.type_hint = arena_->make<TypeAnnotation>(t);
    }
    if (at(TokenKind::Assign)) {
      advance();
      if (!expression()) return false;  // checked, then dropped: fields keep no initialiser
    }
    stmts_.emplace_back(field, field_line);
  }
  cls.body = finish_stmts(mark);
  if (!expect(TokenKind::RightBrace)) return false;
  out.emplace_back(cls, line);
  return true;
}

NOINLINE bool Parser::enum_def(StmtStack& out) {
  const uint64_t line = cur().line;
  advance();
  ast::ClassDef cls;
  if (!expect_identifier(cls.name)) return false;
  if (!expect(TokenKind::LeftBrace)) return false;
  DepthGuard variant_depth(stmt_depth_);
  const size_t mark = stmts_.size();
  while (!at(TokenKind::RightBrace) && !at(TokenKind::Eof)) {
    if (stmt_depth_ > kMaxNestingDepth) return fail_too_deep();
    const uint64_t variant_line = cur().line;
    ast::VarDecl variant;
    variant.mutable_ = false;
    if (!expect_identifier(variant.name)) return false;
    if (at(TokenKind::LeftParen)) {
      // Payload fields are checked for syntax and dropped.
      advance();
      while (!at(TokenKind::RightParen) && !at(TokenKind::Eof)) {
        std::string_view ignored;
        if (!expect_identifier(ignored)) return false;
        if (at(TokenKind::Colon)) {
          advance();
          TypeAnnotation t;
          if (!type(t)) return false;
        }
        if (!at(TokenKind::Comma)) break;
        advance();
      }
      if (!expect(TokenKind::RightParen)) return false;
    }
    stmts_.emplace_back(variant, variant_line);
  }
  cls.body = finish_stmts(mark);
  if (!expect(TokenKind::RightBrace)) return false;
  out.emplace_back(std::move(cls), line);
  return true;
}

// An `else if` chain is read by a loop and built from its last link back, so a long chain costs no
// recursion; its links sit at the level of the first `if`.
NOINLINE bool Parser::if_stmt(StmtStack& out) {
  struct Link {
    uint64_t line;
    Expr condition;
    StmtList then_body;
  };
  std::vector<Link> links;
  std::optional<StmtList> else_body;
  for (;;) {
    const uint64_t line = cur().line;
    advance();
    ExprPtr cond = expression();
    if (!cond) return false;
    StmtList then_body;
    if (!braced_block(then_body)) return false;
    links.push_back(Link{line, std::move(*cond), std::move(then_body)});
    if (!at(TokenKind::Else)) break;
    advance();
    if (at(TokenKind::If)) continue;
    else_body.emplace();
    if (!braced_block(*else_body)) return false;
    break;
  }
  for (size_t k = links.size(); k-- > 1;) {
    Stmt* link = arena_->make<Stmt>(ast::If{links[k].condition, links[k].then_body, else_body}, links[k].line);
    else_body = StmtList(link, 1);
  }
  out.emplace_back(ast::If{std::move(links[0].condition), std::move(links[0].then_body), std::move(else_body)},
                   links[0].line);
  return true;
}

NOINLINE bool Parser::switch_stmt(StmtStack& out) {
  const uint64_t line = cur().line;
  advance();
  ExprPtr subject = expression();
  if (!subject) return false;
  if (!expect(TokenKind::LeftBrace)) return false;
  std::vector<SwitchCase> cases;
  for (;;) {
    if (at(TokenKind::Case)) {
      advance();
      SwitchCase c;
      c.expr = expression();
      if (!c.expr) return false;
      // Anything after the value up to the body is ignored (`case 1, 2:` keeps only 1).
      for (;;) {
        TokenKind k = cur().kind;
        if (k == TokenKind::LeftBrace || k == TokenKind::RightBrace || k == TokenKind::Colon ||
            k == TokenKind::Eof) {
          break;
        }
        advance();
      }
      if (at(TokenKind::Colon)) {
        advance();
        if (!case_body(c.body)) return false;
      } else if (at(TokenKind::LeftBrace)) {
        advance();
        if (!block(c.body) || !expect(TokenKind::RightBrace)) return false;
      }
      cases.push_back(std::move(c));
    } else if (at(TokenKind::Default)) {
      advance();
      SwitchCase c;
      if (!expect(TokenKind::Colon) || !case_body(c.body)) return false;
      cases.push_back(std::move(c));
    } else {
      break;
    }
  }
  if (!expect(TokenKind::RightBrace)) return false;
  out.emplace_back(ast::Switch{*subject, arena_->copy(cases)}, line);
  return true;
}

NOINLINE bool Parser::try_stmt(StmtStack& out) {
  const uint64_t line = cur().line;
  advance();
  ast::Try t;
  std::vector<CatchClause> clauses;
  if (!braced_block(t.body)) return false;
  while (at(TokenKind::Catch)) {
    advance();
    CatchClause clause;
    if (at(TokenKind::LeftParen)) {
      advance();
      if (!expect_identifier(clause.exception) || !expect(TokenKind::RightParen)) return false;
    } else if (!expect_identifier(clause.exception)) {
      return false;
    }
    if (!braced_block(clause.body)) return false;
    clauses.push_back(clause);
  }
  t.catch_clauses = arena_->copy(clauses);
  if (at(TokenKind::Finally)) {
    advance();
    t.finally_body.emplace();
    if (!braced_block(*t.finally_body)) return false;
  }
  out.emplace_back(std::move(t), line);
  return true;
}

}  // namespace tarnwick
