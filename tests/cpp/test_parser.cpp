#include <gtest/gtest.h>
#include <pthread.h>

#include <sstream>
#include <string>
#include <vector>

#include "parser/compiler.h"
#include "parser/lexer.h"
#include "parser/parser.h"

using namespace tarnwick;

namespace {

// A compact prefix form of the tree, so that expected shapes fit on one line.
std::string dump(const Expr& e);
std::string dump(const StmtList& body);

std::string dump_type(const TypeAnnotation& t) { return std::string(t.name); }

std::string dump_params(std::span<const Param> ps) {
  std::string s = "(";
  for (size_t i = 0; i < ps.size(); ++i) {
    if (i) s += " ";
    s += ps[i].name;
    if (ps[i].type_hint) (s += ":") += dump_type(*ps[i].type_hint);
    if (ps[i].default_value) (s += "=") += dump(*ps[i].default_value);
  }
  return s + ")";
}

std::string dump(const Expr& e) {
  std::ostringstream o;
  if (auto* n = e.as<ast::Literal>()) {
    const LiteralValue& v = n->value;
    switch (v.kind) {
      case LiteralValue::Kind::Nil: o << "nil"; break;
      case LiteralValue::Kind::Bool: o << (v.bool_value ? "true" : "false"); break;
      case LiteralValue::Kind::Int: o << v.int_value; break;
      case LiteralValue::Kind::Float: o << "f" << v.float_value; break;
      case LiteralValue::Kind::String: o << '"' << v.string_value << '"'; break;
    }
  } else if (auto* n = e.as<ast::Identifier>()) {
    o << n->name;
  } else if (auto* n = e.as<ast::Propagate>()) {
    o << "(? " << dump(*n->expr) << ")";
  } else if (auto* n = e.as<ast::BinaryOp>()) {
    o << "(" << binary_operator_name(n->op) << " " << dump(*n->left) << " " << dump(*n->right) << ")";
  } else if (auto* n = e.as<ast::UnaryOp>()) {
    o << "(" << unary_operator_name(n->op) << " " << dump(*n->operand) << ")";
  } else if (auto* n = e.as<ast::Call>()) {
    o << "(call " << dump(*n->callee);
    for (auto& a : n->args) o << " " << dump(*a);
    o << ")";
  } else if (auto* n = e.as<ast::Index>()) {
    o << "(index " << dump(*n->object) << " " << dump(*n->index) << ")";
  } else if (auto* n = e.as<ast::Member>()) {
    o << "(. " << dump(*n->object) << " " << n->property << ")";
  } else if (auto* n = e.as<ast::Ternary>()) {
    o << "(?: " << dump(*n->condition) << " " << dump(*n->then_expr) << " " << dump(*n->else_expr) << ")";
  } else if (auto* n = e.as<ast::Array>()) {
    o << "[";
    for (size_t i = 0; i < n->elements.size(); ++i) o << (i ? " " : "") << dump(*n->elements[i]);
    o << "]";
  } else if (auto* n = e.as<ast::Object>()) {
    o << "{";
    for (size_t i = 0; i < n->properties.size(); ++i)
      o << (i ? " " : "") << n->properties[i].first << ":" << dump(*n->properties[i].second);
    o << "}";
  } else if (auto* n = e.as<ast::Lambda>()) {
    o << "(fn " << dump_params(n->params) << " " << dump(*n->body) << ")";
  } else if (auto* n = e.as<ast::StringInterpolation>()) {
    o << "(fstr";
    for (auto& p : n->parts) {
      if (auto* s = std::get_if<StringPart>(&p)) o << " '" << s->value << "'";
      else o << " " << dump(*std::get<ExprPart>(p).expr);
    }
    o << ")";
  } else if (auto* n = e.as<ast::Yield>()) {
    o << "(yield";
    if (n->value) o << " " << dump(*n->value);
    o << ")";
  } else {
    o << "<?>";
  }
  return o.str();
}

std::string dump(const Stmt& s) {
  std::ostringstream o;
  if (auto* n = s.as<ast::ExprStatement>()) {
    o << dump(n->expression);
  } else if (auto* n = s.as<ast::VarDecl>()) {
    o << "(" << (n->mutable_ ? "let " : "const ") << n->name;
    if (n->type_hint) o << ":" << dump_type(*n->type_hint);
    if (n->init) o << " = " << dump(*n->init);
    o << ")";
  } else if (auto* n = s.as<ast::FunctionDef>()) {
    o << "(def " << n->name << " " << dump_params(n->params);
    if (n->return_type) o << " -> " << dump_type(*n->return_type);
    o << " " << dump(n->body) << ")";
  } else if (auto* n = s.as<ast::ClassDef>()) {
    o << "(class " << n->name;
    if (n->extends) o << " : " << *n->extends;
    o << " " << dump(n->body) << ")";
  } else if (auto* n = s.as<ast::If>()) {
    o << "(if " << dump(n->condition) << " " << dump(n->then_body);
    if (n->else_body) o << " else " << dump(*n->else_body);
    o << ")";
  } else if (auto* n = s.as<ast::While>()) {
    o << "(while " << dump(n->condition) << " " << dump(n->body) << ")";
  } else if (auto* n = s.as<ast::For>()) {
    o << "(for " << n->target << " " << dump(n->iter) << " " << dump(n->body) << ")";
  } else if (auto* n = s.as<ast::Switch>()) {
    o << "(match " << dump(n->expr);
    for (auto& c : n->cases) {
      o << " (";
      if (c.expr) o << "case " << dump(*c.expr);
      else o << "default";
      o << " " << dump(c.body) << ")";
    }
    o << ")";
  } else if (auto* n = s.as<ast::Return>()) {
    o << "(return";
    if (n->value) o << " " << dump(*n->value);
    o << ")";
  } else if (s.as<ast::Break>()) {
    o << "break";
  } else if (s.as<ast::Continue>()) {
    o << "continue";
  } else if (auto* n = s.as<ast::Throw>()) {
    o << "(throw " << dump(n->expr) << ")";
  } else if (auto* n = s.as<ast::Try>()) {
    o << "(try " << dump(n->body);
    for (auto& c : n->catch_clauses) o << " (catch " << c.exception << " " << dump(c.body) << ")";
    if (n->finally_body) o << " finally " << dump(*n->finally_body);
    o << ")";
  }
  return o.str();
}

std::string dump(const StmtList& body) {
  std::string s = "[";
  for (size_t i = 0; i < body.size(); ++i) (s += (i ? " " : "")) += dump(body[i]);
  return s + "]";
}

std::vector<Token> lex(const std::string& src) {
  auto r = tokenize(src);
  EXPECT_TRUE(r.ok()) << src;
  return r.ok() ? std::move(r).value() : std::vector<Token>{};
}

// The dumped program, or the error's display text.
std::string parse(const std::string& src) {
  auto r = Parser(lex(src)).parse_program();
  if (!r.ok()) return r.error().display();
  std::string s;
  for (auto& st : r.value().statements) (s += (s.empty() ? "" : "; ")) += dump(st);
  return s;
}

std::string parse_tokens(std::vector<Token> tokens) {
  auto r = Parser(std::move(tokens)).parse_program();
  if (!r.ok()) return r.error().display();
  return dump(r.value().statements);
}

Token tok(TokenKind k) { return Token::simple(k, 1, 1); }
Token ident(const std::string& name) {
  Token t = tok(TokenKind::Identifier);
  t.text = name;
  return t;
}
Token num(int64_t v) {
  Token t = tok(TokenKind::Int);
  t.int_value = v;
  return t;
}
Token fstr(const std::string& body) {
  Token t = tok(TokenKind::FString);
  t.text = body;
  return t;
}

struct Case {
  const char* src;
  const char* expected;
};

void check_all(const std::vector<Case>& cases) {
  for (const auto& c : cases) EXPECT_EQ(parse(c.src), c.expected) << "source: " << c.src;
}

// ---------------------------------------------------------------------------------------------------

TEST(ParserExpressions, PrecedenceAndAssociativity) {
  check_all({
      {"1 + 2 * 3", "(Add 1 (Mul 2 3))"},
      {"1 - 2 - 3", "(Sub (Sub 1 2) 3)"},
      {"2 ** 3 ** 2", "(Power (Power 2 3) 2)"},
      {"a = b = 1", "(Assign (Assign a b) 1)"},
      {"a = b or c", "(Or (Assign a b) c)"},
      {"a = b + c", "(Assign a (Add b c))"},
      {"a or b and c == d < e | f ^ g & h << i + j * k ** l",
       "(Or a (And b (Eq c (Lt d (BitwiseOr e (BitwiseXor f (BitwiseAnd g (LeftShift h (Add i (Mul j (Power k "
       "l)))))))))))"},
      {"a * b + c < d == e && f || g", "(Or (And (Eq (Lt (Add (Mul a b) c) d) e) f) g)"},
      {"a < b > c >= d != e", "(Neq (Gte (Gt (Lt a b) c) d) e)"},
      {"a >> 1 % 2 / 3", "(RightShift a (Div (Mod 1 2) 3))"},
      {"not a == b", "(Eq (Not a) b)"},
      {"-x ** 2", "(Power (Neg x) 2)"},
      {"!-!x", "(Not (Neg (Not x)))"},
      {"(1 + 2) * 3", "(Mul (Add 1 2) 3)"},
  });
}

TEST(ParserExpressions, PrimariesAndPostfix) {
  check_all({
      {"obj.method(1)[0]", "(index (call (. obj method) 1) 0)"},
      {"f()(1, 2,)", "(call (call f) 1 2)"},
      {"[1, 2.5, \"s\", true, nil,]", "[1 f2.5 \"s\" true nil]"},
      {"[]", "[]"},
      {"{a: 1, b: 2,}", "{a:1 b:2}"},
      {"{a: 1, a: 2}", "{a:1 a:2}"},
      {"f = fn(x, y: Int = 2) { x + y }", "(Assign f (fn (x y:Int=2) (Add x y)))"},
      {"(fn() 1 + 2)", "(fn () (Add 1 2))"},
      {"comptime { let x = { } } + 1", "(Add comptime 1)"},
      {"c ? 1 : 2", "(?: c 1 2)"},
      {"c ? -1 : d ? 2 : 3", "(?: c (Neg 1) (?: d 2 3))"},
      {"f(x)?;", "(? (call f x))"},
      {"a ? [1] : 2", "(?: a [1] 2)"},
  });
}

TEST(ParserExpressions, TypeAnnotations) {
  for (auto [src, name] : std::vector<std::pair<const char*, const char*>>{
           {"T", "T"}, {"T[]", "T[]"}, {"[T]", "T[]"}, {"[[T]]", "T[][]"}, {"[T[]]", "T[][]"}}) {
    Parser p(lex(src));  // the type's name lives in the parser's arena
    auto r = p.parse_type();
    ASSERT_TRUE(r.ok()) << src;
    EXPECT_EQ(r.value().name, name);
    EXPECT_TRUE(r.value().generics.empty());
    EXPECT_FALSE(r.value().nullable);
  }
  // `T[` with something other than `]` keeps the bracket consumed and the name plain.
  Parser p(lex("T[x"));
  auto r = p.parse_type();
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value().name, "T");
  EXPECT_EQ(p.peek().kind, TokenKind::Identifier);
  EXPECT_EQ(Parser(lex("[T x")).parse_type().error().display(),
            "ParseError at 1:4: Expected RightBracket, found Identifier(\"x\")");
  EXPECT_EQ(Parser(lex("int")).parse_type().error().message, "Expected identifier");
}

TEST(ParserExpressions, PropagateLeavesTheRestUnparsed) {
  Parser p(lex("c ? {a: 1} : 2"));
  auto r = p.parse_expression();
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(dump(*r.value()), "(? c)");
  EXPECT_EQ(p.peek().kind, TokenKind::LeftBrace);
}

TEST(ParserExpressions, Errors) {
  check_all({
      {"null", "ParseError at 1:1: Unexpected token: Null"},
      {"+1", "ParseError at 1:1: Unexpected token: Plus"},
      {"~x", "ParseError at 1:1: Unexpected token: BitwiseNot"},
      {"a +", "ParseError at 1:4: Unexpected token: Eof"},
      {"(fn(x) { return x })", "ParseError at 1:10: Unexpected token: Return"},
      {"{\"a\": 1}", "ParseError at 1:2: Expected identifier"},
      {"f(1 2)", "ParseError at 1:5: Expected RightParen, found Int(2)"},
      {"a[1", "ParseError at 1:4: Expected RightBracket, found Eof"},
      {"a.1", "ParseError at 1:3: Expected identifier"},
      {"c ? 1 2", "ParseError at 1:7: Expected Colon, found Int(2)"},
      {"x = await y", "ParseError at 1:5: Unexpected token: Await"},
      {"a // b", "ParseError at 1:3: Unexpected token: SlashSlash"},
  });
}

TEST(ParserExpressions, TokenListsWithoutEof) {
  using K = TokenKind;
  EXPECT_EQ(parse_tokens({tok(K::LeftParen), num(1)}), "ParseError at 0:0: Expected RightParen, found Eof");
  EXPECT_EQ(parse_tokens({}), "[]");
  EXPECT_EQ(parse_tokens({ident("x"), tok(K::Assign), num(1)}), "[(Assign x 1)]");
  // A trailing `?` is a propagation: the synthetic end is not a then-branch.
  EXPECT_EQ(parse_tokens({ident("c"), tok(K::Question)}), "[(? c)]");
  EXPECT_EQ(parse_tokens({tok(K::Return)}), "ParseError at 0:0: Unexpected token: Eof");
  // Tokens after the first Eof are never read.
  EXPECT_EQ(parse_tokens({ident("a"), tok(K::Eof), tok(K::RightParen)}), "[a]");
  // The Default kind exists only in hand-built lists.
  EXPECT_EQ(parse_tokens({tok(K::Switch), ident("x"), tok(K::LeftBrace), tok(K::Case), num(1), tok(K::Colon),
                          ident("a"), tok(K::Default), tok(K::Colon), ident("b"), tok(K::RightBrace)}),
            "[(match x (case 1 [a]) (default [b]))]");
  // The cursor never moves past an Eof in the middle of a list.
  EXPECT_EQ(parse_tokens({tok(K::LeftBracket), tok(K::Eof), tok(K::RightBracket)}),
            "ParseError at 1:1: Expected RightBracket, found Eof");
}

TEST(ParserExpressions, FStrings) {
  auto parse_f = [](const std::string& body) { return parse_tokens({fstr(body)}); };
  EXPECT_EQ(parse_f("abc"), "[\"abc\"]");
  EXPECT_EQ(parse_f(""), "[(fstr)]");
  EXPECT_EQ(parse_f("{x}"), "[(fstr x)]");
  EXPECT_EQ(parse_f("a{x}b"), "[(fstr 'a' x 'b')]");
  EXPECT_EQ(parse_f("a{}b"), "[(fstr 'a' 'b')]");
  EXPECT_EQ(parse_f("{a b}"), "[(fstr a)]");
  EXPECT_EQ(parse_f("{f({a: 1})}"), "[(fstr (call f {a:1}))]");
  EXPECT_EQ(parse_f("{x"), "[(fstr x)]");  // the body ended inside the expression
  // Brace markers: NUL `{` is a literal `{`, `}` NUL a literal `}`; a stray NUL is dropped.
  EXPECT_EQ(parse_f(std::string("\0{x}\0", 5)), "[\"{x}\"]");
  EXPECT_EQ(parse_f(std::string("a\0b}", 4)), "[\"ab}\"]");
  EXPECT_EQ(parse_tokens({fstr("{x}"), tok(TokenKind::Dot), ident("len")}), "[(. (fstr x) len)]");
  EXPECT_EQ(parse_f("{1 +}"), "ParseError at 0:0: In f-string: ParseError at 1:4: Unexpected token: Eof");
  EXPECT_EQ(parse_f("{ }"), "ParseError at 0:0: In f-string: ParseError at 1:2: Unexpected token: Eof");
  auto lex_error = tokenize("\"abc");
  ASSERT_FALSE(lex_error.ok());
  EXPECT_EQ(parse_f("{\"abc}"), std::string("ParseError at 0:0: In f-string: ").append(lex_error.error().message));
}

// ---------------------------------------------------------------------------------------------------

TEST(ParserStatements, Declarations) {
  check_all({
      {"let x = 1 let y = 2", "(let x = 1); (let y = 2)"},
      {"let x; const y = 2;", "(let x); (const y = 2)"},
      {"const k: Point = p", "(const k:Point = p)"},
      {"let [a, b] = pair", "(let )"},
      {"let [] ;", "(let )"},
      {"fn add(a, b = 1) -> Int { return a + b }", "(def add (a b=1) -> Int [(return (Add a b))])"},
      {"fn* gen() { yield 1 }", "(def gen () [(yield 1)])"},
      {"fn f(xs: [Int]) { yield; yield }", "(def f (xs:Int[]) [(yield) (yield)])"},
      {"class Dog<T> extends Animal { name: Str = \"x\" fn bark() { } speak() -> Str { return 1 } }",
       "(class Dog : Animal [(let name:Str) (def bark () [])])"},
      {"struct P<A<B>, C> { let x = 1; const y x2 }", "(class P [(let x = 1) (const y) (let x2)])"},
      {"scene S { f() -> [ { } g }", "(class S [(let g)])"},
      {"enum Color { Red Green(v: Int, w) Blue }", "(class Color [(const Red) (const Green) (const Blue)])"},
  });
}

TEST(ParserStatements, ControlFlow) {
  check_all({
      {"if a { } else if b { } else { }", "(if a [] else [(if b [] else [])])"},
      {"if a { b() }", "(if a [(call b)])"},
      {"while x < 3 { x = x + 1 }", "(while (Lt x 3) [(Assign x (Add x 1))])"},
      {"for i in items { }", "(for i items [])"},
      {"match x { case 1: a() case 2 { b() } }", "(match x (case 1 [(call a)]) (case 2 [(call b)]))"},
      {"match x { case 1, 2: y }", "(match x (case 1 [y]))"},
      {"match x { case 1 }", "(match x (case 1 []))"},
      {"try { } catch (e) { } catch f { } finally { }", "(try [] (catch e []) (catch f []) finally [])"},
      {"try { a }", "(try [a])"},
      {"while a { return } b", "(while a [(return)]); b"},
      {"while a { break; continue }", "(while a [break continue])"},
      {"throw e; import x", "(throw e); import; x"},
  });
}

TEST(ParserStatements, Errors) {
  check_all({
      {"let x = 1;;", "ParseError at 1:11: Unexpected token: Semicolon"},
      {"if a { } ;", "ParseError at 1:10: Unexpected token: Semicolon"},
      {"let x: int = 1", "ParseError at 1:8: Expected identifier"},
      {"class A { x: Int, y }", "ParseError at 1:17: Expected identifier"},
      {"enum Color { Red, Green }", "ParseError at 1:17: Expected identifier"},
      {"for (i in items) { }", "ParseError at 1:5: Expected identifier"},
      {"try { } catch { }", "ParseError at 1:15: Expected identifier"},
      {"while x { y()", "ParseError at 1:14: Expected RightBrace, found Eof"},
      {"async fn f() { }", "ParseError at 1:1: Unexpected token: Async"},
      {"return", "ParseError at 1:7: Unexpected token: Eof"},
      {"x = yield 1", "ParseError at 1:5: Unexpected token: Yield"},
      {"match x { default: 1 }", "ParseError at 1:11: Expected RightBrace, found Identifier(\"default\")"},
      {"class A extends { }", "ParseError at 1:17: Expected identifier"},
      {"fn f(a b) { }", "ParseError at 1:8: Expected RightParen, found Identifier(\"b\")"},
      {"let [a b] = c", "ParseError at 1:8: Expected RightBracket, found Identifier(\"b\")"},
      {"class A { x = }", "ParseError at 1:15: Unexpected token: RightBrace"},
  });
}

TEST(ParserStatements, LinesOfStatements) {
  auto r = Parser(lex("let a = 1\n\nif a {\n  b()\n} else if c {\n}\nclass K {\n  f\n  : T\n}\nenum E {\n X\n}")).parse_program();
  ASSERT_TRUE(r.ok());
  auto& st = r.value().statements;
  ASSERT_EQ(st.size(), 4u);
  EXPECT_EQ(st[0].line, 1u);
  EXPECT_EQ(st[1].line, 3u);
  EXPECT_EQ(st[1].as<ast::If>()->then_body[0].line, 4u);
  EXPECT_EQ((*st[1].as<ast::If>()->else_body)[0].line, 5u);
  EXPECT_EQ(st[2].line, 7u);
  EXPECT_EQ(st[2].as<ast::ClassDef>()->body[0].line, 9u);  // a field takes the line after its name
  EXPECT_EQ(st[3].as<ast::ClassDef>()->body[0].line, 12u);
}

// ---------------------------------------------------------------------------------------------------
// Nesting: input controls the depth of recursion, so it is bounded and reported.

// prefix, n times open, middle, n times close, suffix.
std::string nested(const char* prefix, const char* open, size_t n, const char* middle, const char* close = "",
                   const char* suffix = "") {
  std::string out = prefix;
  for (size_t i = 0; i < n; ++i) out += open;
  out += middle;
  for (size_t i = 0; i < n; ++i) out += close;
  out += suffix;
  return out;
}

// Deeply nested sources of each recursive form: `nest(n)` nests n levels.
struct DeepForm {
  const char* name;
  std::string (*nest)(size_t n);
};

const DeepForm kDeepForms[] = {
    {"parens", [](size_t n) { return nested("", "(", n, "x", ")"); }},
    {"negation", [](size_t n) { return nested("", "-", n, "x"); }},
    {"not", [](size_t n) { return nested("", "!", n, "x"); }},
    {"arrays", [](size_t n) { return nested("", "[", n, "", "]"); }},
    {"objects", [](size_t n) { return nested("", "{a: ", n, "1", "}"); }},
    {"calls", [](size_t n) { return nested("", "f(", n, "", ")"); }},
    {"lambdas", [](size_t n) { return nested("f = ", "fn() ", n, "1"); }},
    {"lambda defaults", [](size_t n) { return nested("f = ", "fn(a = ", n, "1", ") 1"); }},
    {"then branches", [](size_t n) { return nested("", "c ? ", n, "1", " : 2"); }},
    {"right operands", [](size_t n) { return nested("x", " + (1", n, "", ")"); }},
    {"indexes", [](size_t n) { return nested("", "x[", n, "0", "]"); }},
    {"if blocks", [](size_t n) { return nested("", "if a { ", n, "", "}"); }},
    {"else blocks", [](size_t n) { return nested("if a { }", " else { if a { }", n, "", "}"); }},
    {"functions", [](size_t n) { return nested("", "fn f() { ", n, "", "}"); }},
    {"classes", [](size_t n) { return nested("", "class A { fn f() { ", n, "", "} }"); }},
    {"matches", [](size_t n) { return nested("", "match a { case 1: ", n, "", "}"); }},
    // The parser of an f-string's expression continues the depth count of the enclosing one.
    {"f-strings", [](size_t n) { return nested("x = [f\"{", "(", n, "x", ")", "}\"]"); }},
};

TEST(ParserNesting, AMillionLevelsFailCleanly) {
  const std::string message = nesting_too_deep_message();
  for (const auto& form : kDeepForms) {
    std::string name = form.name;
    if (name != "parens" && name != "negation" && name != "arrays" && name != "objects" && name != "if blocks")
      continue;  // the other forms are checked just past the limit below
    std::string err = parse(form.nest(1000000));
    EXPECT_NE(err.find(message), std::string::npos) << form.name << ": " << err.substr(0, 200);
  }
  // The reported position is the token where the limit was crossed.
  auto r = Parser(lex(nested("", "(", 1000000, ""))).parse_program();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().line, 1u);
  EXPECT_EQ(r.error().column, kMaxNestingDepth);  // the statement itself takes the first level
}

// The deepest nesting of a form that still parses (it fails one level further).
size_t deepest(const DeepForm& form) {
  size_t lo = 1, hi = kMaxNestingDepth + 2;
  EXPECT_EQ(parse(form.nest(hi)).rfind("ParseError", 0), 0u) << form.name;
  while (hi - lo > 1) {
    size_t mid = (lo + hi) / 2;
    (parse(form.nest(mid)).rfind("ParseError", 0) == 0 ? hi : lo) = mid;
  }
  return lo;
}

// Every form reaches close to the limit, and the deepest accepted input of every form is parsed and
// destroyed inside a 256 KiB thread stack.
TEST(ParserNesting, DeepestInputFitsInASmallStack) {
  struct Job {
    std::vector<std::vector<Token>> inputs;
    std::vector<std::string> results;
  } job;
  std::vector<std::string> expected;
  for (const auto& form : kDeepForms) {
    size_t n = deepest(form);
    EXPECT_GE(n, kMaxNestingDepth / 3) << form.name;
    job.inputs.push_back(lex(form.nest(n)));
    expected.push_back("ok");
    job.inputs.push_back(lex(form.nest(n + 1)));
    expected.push_back(nesting_too_deep_message());
  }
  // The deepest recursion holding the deepest tree, thrown away by an error there: the stack then holds
  // both the parser's frames and the destruction of the tree.
  std::string signs = nested("", "-", kMaxNestingDepth - 3, "1");
  job.inputs.push_back(lex(nested("", "(", kMaxNestingDepth - 2, signs.c_str(), ")")));
  expected.push_back("ok");
  job.inputs.push_back(lex(nested("", "(", kMaxNestingDepth - 2, signs.c_str())));
  expected.push_back("Expected RightParen, found Eof");
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, 256 * 1024), 0);
  pthread_t thread;
  auto run = [](void* arg) -> void* {
    auto* j = static_cast<Job*>(arg);
    for (auto& tokens : j->inputs) {
      auto r = Parser(std::move(tokens)).parse_program();
      j->results.push_back(r.ok() ? "ok" : r.error().message);
    }
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attr, run, &job), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
  ASSERT_EQ(job.results.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_NE(job.results[i].find(expected[i]), std::string::npos) << i << ": " << job.results[i];
  }
}

// Chains that the source writes flat are no nesting: however long, they parse, and their trees are built
// and destroyed, on a small stack, while the same chain inside the deepest nesting still counts as one level.
TEST(ParserNesting, FlatChainsHaveNoLengthLimit) {
  constexpr size_t kLinks = 100000;
  struct Form {
    std::string source;
    size_t links;  // 0: refused as too deep
  };
  const std::string sum = nested("x", " + 1", kLinks, "");
  const std::vector<Form> forms = {
      {sum, kLinks},
      {nested("x", " = x", kLinks, ""), kLinks},
      {nested("a", " and a", kLinks, ""), kLinks},
      {nested("o", ".a", kLinks, ""), kLinks},
      {nested("o", ".m()", kLinks, ""), 2 * kLinks},
      {nested("a", "[0]", kLinks, ""), kLinks},
      {nested("f", "(1)", kLinks, ""), kLinks},
      {nested("", "c ? 1 : ", kLinks, "2"), kLinks},
      {nested("if a { }", " else if a { x }", kLinks, "", "", " else { }"), kLinks},
      {nested("", "(", kMaxNestingDepth - 2, sum.c_str(), ")"), kLinks},
      {nested("", "(", kMaxNestingDepth - 1, sum.c_str(), ")"), 0},
  };
  struct Job {
    std::vector<std::vector<Token>> inputs;
    std::vector<std::string> results;
  } job;
  for (const Form& f : forms) job.inputs.push_back(lex(f.source));
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, 256 * 1024), 0);
  pthread_t thread;
  auto run = [](void* arg) -> void* {
    auto* j = static_cast<Job*>(arg);
    for (auto& tokens : j->inputs) {
      auto r = Parser(std::move(tokens)).parse_program();
      if (!r.ok()) {
        j->results.push_back(r.error().message);
        continue;
      }
      // Links along the chain: through chain_child in an expression, through chained_if in a statement.
      size_t n = 0;
      const Stmt& st = r.value().statements[0];
      if (const ast::If* i = st.as<ast::If>()) {
        while ((i = chained_if(*i))) ++n;
      } else {
        for (const Expr* e = &st.as<ast::ExprStatement>()->expression; (e = chain_child(*e));) ++n;
      }
      j->results.push_back(std::to_string(n));
    }
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attr, run, &job), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
  ASSERT_EQ(job.results.size(), forms.size());
  for (size_t i = 0; i < forms.size(); ++i) {
    std::string expected = forms[i].links ? std::to_string(forms[i].links) : nesting_too_deep_message();
    EXPECT_EQ(job.results[i], expected) << forms[i].source.substr(0, 40);
  }
}

}  // namespace

// The parser that takes tokens from a lexer through a window gives what the parser given all tokens gives,
// wherever the window's edge falls: each case is preceded by enough one-token statements to put every
// one of its tokens at the edge in turn.
TEST(ParserWindow, SameResultAsFromAllTokens) {
  const char* cases[] = {
      "a ? b : c ? d : e", "f(a)?; g", "let s = f\"x {a ? 1 : 2} {{y}} {b.c}\"", "o.m(1)[2].n",
      "fn f(a, b = 1) { return [a, {k: b}] }", "let = 2", "if a { b } else if c { d }", "x ?",
  };
  for (const char* c : cases) {
    for (size_t pad = 500; pad < 520; ++pad) {
      std::string src;
      for (size_t i = 0; i < pad; ++i) src += "x\n";
      src += c;
      Lexer lexer(src);
      auto streamed = Parser(lexer).parse_program();
      auto whole = Parser(lex(src)).parse_program();
      ASSERT_EQ(streamed.ok(), whole.ok()) << c << " after " << pad;
      if (!whole.ok()) {
        EXPECT_EQ(streamed.error().display(), whole.error().display()) << c << " after " << pad;
      } else {
        EXPECT_EQ(dump(streamed.value().statements), dump(whole.value().statements)) << c << " after " << pad;
      }
      EXPECT_TRUE(lexer.finished());
      EXPECT_EQ(lexer.error(), nullptr);
    }
  }
}

// After a lexer error the parser comes to an end at an Eof where the error is; finish() after a parse
// error still finds a lexer error further on.
TEST(ParserWindow, StopsAtLexerErrors) {
  std::string filler;
  for (int i = 0; i < 700; ++i) filler += "x\n";
  for (const std::string& src : {filler + "\"abc", std::string("a + \"abc"), "let = 1\n" + filler + "1 /* x"}) {
    Lexer lexer(src);
    auto parsed = Parser(lexer).parse_program();
    if (!parsed.ok()) lexer.finish();
    ASSERT_NE(lexer.error(), nullptr) << src;
    auto all = tokenize(src);
    ASSERT_FALSE(all.ok());
    EXPECT_EQ(lexer.error()->message, all.error().message);
  }
}

// A tree from parse_source may view the caller's source, but never the lexer's repaired copy of an
// ill-formed one, which goes with the lexer: every text must still read back after parse_source returns
// (a sanitizer build turns a view into freed memory into a failure here).
TEST(ParserTexts, TreesOutliveTheirLexer) {
  const std::string tail = " = \"h{}i\"\nlet other = f\"{greeting}{{!}}\" + greeting\nfn g(a: T) -> R { return a.b }\n";
  struct {
    std::string src;
    std::string expected;
  } cases[] = {
      {"let greeting" + tail, "(let greeting = \"h{}i\")"},
      {"let greeting\xff" + tail, "(let greeting = \"h{}i\")"},  // non-ASCII outside strings is dropped
      {"let greeting = \"h\xffi\"\nlet other = f\"{greeting}{{!}}\" + greeting\nfn g(a: T) -> R { return a.b }\n",
       "(let greeting = \"h\xEF\xBF\xBDi\")"},
  };
  for (const auto& c : cases) {
    std::string src = c.src;
    auto program = parse_source(src);
    ASSERT_TRUE(program.ok()) << src;
    const StmtList& st = program.value().statements;
    ASSERT_EQ(st.size(), 3u);
    EXPECT_EQ(dump(st[0]), c.expected);
    EXPECT_EQ(dump(st[1]), "(let other = (Add (fstr greeting '{!}') greeting))");
    EXPECT_EQ(dump(st[2]), "(def g (a:T) -> R [(return (. a b))])");
  }
}
