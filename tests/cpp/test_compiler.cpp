#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "parser/compiler.h"

using namespace tarnwick;

namespace {

// --- tree builders ------------------------------------------------------------------------------------

ExprPtr num(int64_t v) {
  LiteralValue lv;
  lv.kind = LiteralValue::Kind::Int;
  lv.int_value = v;
  return make_expr(ast::Literal{lv});
}
ExprPtr flt(double v) {
  LiteralValue lv;
  lv.kind = LiteralValue::Kind::Float;
  lv.float_value = v;
  return make_expr(ast::Literal{lv});
}
ExprPtr str(std::string s) {
  LiteralValue lv;
  lv.kind = LiteralValue::Kind::String;
  lv.string_value = std::move(s);
  return make_expr(ast::Literal{lv});
}
ExprPtr boolean(bool b) {
  LiteralValue lv;
  lv.kind = LiteralValue::Kind::Bool;
  lv.bool_value = b;
  return make_expr(ast::Literal{lv});
}
ExprPtr nil() { return make_expr(ast::Literal{LiteralValue{}}); }
ExprPtr id(std::string n) { return make_expr(ast::Identifier{std::move(n)}); }
ExprPtr bin(ExprPtr l, BinaryOperator op, ExprPtr r) { return make_expr(ast::BinaryOp{std::move(l), op, std::move(r)}); }
ExprPtr assign(ExprPtr target, ExprPtr value) { return bin(std::move(target), BinaryOperator::Assign, std::move(value)); }
ExprPtr idx(ExprPtr o, ExprPtr i) { return make_expr(ast::Index{std::move(o), std::move(i)}); }
ExprPtr mem(ExprPtr o, std::string p) { return make_expr(ast::Member{std::move(o), std::move(p)}); }
template <class... A>
std::vector<ExprPtr> list(A... a) {
  std::vector<ExprPtr> v;
  (v.push_back(std::move(a)), ...);
  return v;
}
template <class... A>
ExprPtr call(ExprPtr f, A... a) { return make_expr(ast::Call{std::move(f), list(std::move(a)...)}); }
template <class... A>
ExprPtr array(A... a) { return make_expr(ast::Array{list(std::move(a)...)}); }
ExprPtr lambda(std::vector<std::string> params, ExprPtr body) {
  ast::Lambda l;
  for (auto& p : params) l.params.push_back(Param{p, std::nullopt, nullptr});
  l.body = std::move(body);
  return make_expr(std::move(l));
}

template <class... S>
StmtList block(S... s) {
  StmtList v;
  (v.push_back(std::move(s)), ...);
  return v;
}
Stmt expr_stmt(ExprPtr e, uint64_t line = 1) { return Stmt(ast::ExprStatement{std::move(*e)}, line); }
Stmt let(std::string name, ExprPtr init, uint64_t line = 1) {
  return Stmt(ast::VarDecl{std::move(name), true, std::move(init), std::nullopt}, line);
}
Stmt fn(std::string name, std::vector<std::string> params, StmtList body, uint64_t line = 1) {
  ast::FunctionDef f;
  f.name = std::move(name);
  for (auto& p : params) f.params.push_back(Param{p, std::nullopt, nullptr});
  f.body = std::move(body);
  return Stmt(std::move(f), line);
}
Stmt while_(ExprPtr cond, StmtList body, uint64_t line = 1) { return Stmt(ast::While{std::move(*cond), std::move(body)}, line); }
Stmt for_(std::string target, ExprPtr iter, StmtList body, uint64_t line = 1) {
  return Stmt(ast::For{std::move(target), std::move(*iter), std::move(body)}, line);
}
Stmt ret(ExprPtr v, uint64_t line = 1) { return Stmt(ast::Return{std::move(v)}, line); }
Stmt brk(uint64_t line = 1) { return Stmt(ast::Break{}, line); }
Stmt cont(uint64_t line = 1) { return Stmt(ast::Continue{}, line); }

Program program(StmtList s) { return Program{std::move(s)}; }

// --- inspection ---------------------------------------------------------------------------------------

// "Push 1, StoreReg 0, Halt": opcode names with their operand where the opcode has one.
std::string dis(const std::vector<Instruction>& code) {
  std::string out;
  for (const Instruction& in : code) {
    if (!out.empty()) out += ", ";
    out += opcode_name(in.opcode);
    switch (in.opcode) {
      case Opcode::Push: out += " " + std::to_string(in.imm); break;
      case Opcode::Jump: case Opcode::JumpIfFalse: case Opcode::JumpIfTrue: case Opcode::Call:
      case Opcode::StoreReg: case Opcode::LoadReg: case Opcode::StoreGlobal: case Opcode::LoadGlobal:
      case Opcode::MakeArray: case Opcode::MakeObject: case Opcode::LoadConst:
        out += " " + std::to_string(in.arg);
        break;
      default: break;
    }
  }
  return out;
}

BytecodeProgram compile_ok(const Program& p) {
  auto r = compile_program(p);
  EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().message);
  return r.ok() ? std::move(r.value()) : BytecodeProgram{};
}

std::string text_of(const Constant& c) { return c.kind == Constant::Kind::String ? c.string_value : "<not a string>"; }

const FunctionRecord* find(const BytecodeProgram& p, const std::string& name) {
  for (const auto& f : p.functions)
    if (f.name == name) return &f;
  return nullptr;
}

}  // namespace

// --- literals and names ---------------------------------------------------------------------------------

TEST(CompilerLiterals, IntsInThe32BitRangeArePushedOthersBecomeConstants) {
  auto p = compile_ok(program(block(expr_stmt(num(2147483647)), expr_stmt(num(-2147483648LL)),
                                    expr_stmt(num(2147483648LL)), expr_stmt(num(-2147483649LL)))));
  EXPECT_EQ(dis(p.code), "Push 2147483647, Pop, Push -2147483648, Pop, LoadConst 0, Pop, LoadConst 1, Pop, Halt");
  ASSERT_EQ(p.constants.size(), 2u);
  EXPECT_EQ(p.constants[0].kind, Constant::Kind::Int);
  EXPECT_EQ(p.constants[0].int_value, 2147483648LL);
  EXPECT_EQ(p.constants[1].int_value, -2147483649LL);
}

TEST(CompilerLiterals, BoolsAreIntsAndNilFloatStringAreFreshConstants) {
  auto p = compile_ok(program(block(let("a", boolean(true)), let("b", boolean(false)), let("c", nil()),
                                    let("d", flt(1.5)), let("e", str("s")), let("f", str("s")))));
  EXPECT_EQ(dis(p.code),
            "Push 1, StoreReg 0, Push 0, StoreReg 1, LoadConst 0, StoreReg 2, LoadConst 1, StoreReg 3, "
            "LoadConst 2, StoreReg 4, LoadConst 3, StoreReg 5, Halt");
  ASSERT_EQ(p.constants.size(), 4u);
  EXPECT_EQ(p.constants[0].kind, Constant::Kind::Nil);
  EXPECT_EQ(p.constants[1].float_value, 1.5);
  EXPECT_EQ(text_of(p.constants[2]), "s");
  EXPECT_EQ(text_of(p.constants[3]), "s");  // no de-duplication
}

TEST(CompilerNames, UndeclaredNamesAreGlobalsWithAConstantPerUse) {
  auto p = compile_ok(program(block(expr_stmt(assign(id("x"), num(5))), expr_stmt(id("x")))));
  EXPECT_EQ(dis(p.code), "Push 5, Dup, StoreGlobal 0, Pop, LoadGlobal 1, Pop, Halt");
  EXPECT_EQ(text_of(p.constants[0]), "x");
  EXPECT_EQ(text_of(p.constants[1]), "x");
}

TEST(CompilerNames, DeclarationSeesOuterNameInItsInitializerAndRedeclarationTakesAFreshRegister) {
  auto p = compile_ok(program(block(let("x", num(1)), let("x", bin(id("x"), BinaryOperator::Add, num(1))),
                                    expr_stmt(assign(id("x"), num(3))))));
  EXPECT_EQ(dis(p.code),
            "Push 1, StoreReg 0, LoadReg 0, Push 1, Add, StoreReg 1, Push 3, Dup, StoreReg 1, Pop, Halt");
}

// --- operators --------------------------------------------------------------------------------------------

TEST(CompilerOperators, EveryBinaryOperatorMapsToItsInstruction) {
  struct Case {
    BinaryOperator op;
    const char* tail;
  };
  const Case cases[] = {
      {BinaryOperator::Add, "Add"}, {BinaryOperator::Sub, "Sub"}, {BinaryOperator::Mul, "Mul"},
      {BinaryOperator::Div, "Div"}, {BinaryOperator::Mod, "Mod"}, {BinaryOperator::Power, "Pow"},
      {BinaryOperator::Eq, "Eq"}, {BinaryOperator::Neq, "Ne"}, {BinaryOperator::Lt, "Lt"},
      {BinaryOperator::Lte, "Le"}, {BinaryOperator::Gt, "Gt"}, {BinaryOperator::Gte, "Ge"},
      {BinaryOperator::And, "And"}, {BinaryOperator::Or, "Or"},
      {BinaryOperator::BitwiseAnd, "Pop, Pop, LoadConst 0"}, {BinaryOperator::BitwiseOr, "Pop, Pop, LoadConst 0"},
      {BinaryOperator::BitwiseXor, "Pop, Pop, LoadConst 0"}, {BinaryOperator::LeftShift, "Pop, Pop, LoadConst 0"},
      {BinaryOperator::RightShift, "Pop, Pop, LoadConst 0"},
  };
  for (const Case& c : cases) {
    auto p = compile_ok(program(block(expr_stmt(bin(num(7), c.op, num(2))))));
    EXPECT_EQ(dis(p.code), std::string("Push 7, Push 2, ") + c.tail + ", Pop, Halt") << c.tail;
  }
}

TEST(CompilerOperators, UnaryOperatorsAndTransparentWrappers) {
  auto p = compile_ok(program(block(
      expr_stmt(make_expr(ast::UnaryOp{UnaryOperator::Neg, num(1)})),
      expr_stmt(make_expr(ast::UnaryOp{UnaryOperator::Not, num(1)})),
      expr_stmt(make_expr(ast::UnaryOp{UnaryOperator::BitwiseNot, num(1)})),
      expr_stmt(make_expr(ast::Propagate{num(2)})), expr_stmt(make_expr(ast::Await{num(3)})),
      expr_stmt(make_expr(ast::Yield{num(4)})), expr_stmt(make_expr(ast::Yield{nullptr})))));
  EXPECT_EQ(dis(p.code),
            "Push 1, Neg, Pop, Push 1, Not, Pop, Push 1, Pop, LoadConst 0, Pop, Push 2, Pop, Push 3, Pop, "
            "Push 4, Pop, LoadConst 1, Pop, Halt");
  EXPECT_EQ(p.constants[1].kind, Constant::Kind::Nil);
}

TEST(CompilerOperators, TernaryJumpsToElseAndPastIt) {
  auto p = compile_ok(program(block(expr_stmt(
      make_expr(ast::Ternary{id("c"), num(1), num(2)})))));
  EXPECT_EQ(dis(p.code), "LoadGlobal 0, JumpIfFalse 4, Push 1, Jump 5, Push 2, Pop, Halt");
}

TEST(CompilerOperators, LongLeftChainsCompileWithoutDeepRecursion) {
  // Deep enough to overflow the stack if each link cost a recursive call.
  constexpr int kLinks = 300000;
  ExprPtr e = num(0);
  for (int k = 0; k < kLinks; ++k) e = bin(std::move(e), BinaryOperator::Add, num(1));
  Program prog;
  prog.statements.push_back(expr_stmt(std::move(e)));
  auto p = compile_ok(prog);
  EXPECT_EQ(p.code.size(), 1u + 2u * kLinks + 2u);
  // Take the chain apart iteratively; the default destructor would recurse once per link.
  ExprPtr rest = make_expr(std::move(prog.statements[0].as<ast::ExprStatement>()->expression));
  while (auto* b = rest->as<ast::BinaryOp>()) {
    ExprPtr left = std::move(b->left);
    rest = std::move(left);
  }
}

// --- collections, calls, strings ----------------------------------------------------------------------------

TEST(CompilerExpressions, ArraysObjectsCallsIndexAndMember) {
  ast::Object obj;
  obj.properties.emplace_back("a", num(1));
  obj.properties.emplace_back("a", num(2));
  auto p = compile_ok(program(block(expr_stmt(array(num(1), num(2))), expr_stmt(make_expr(std::move(obj))),
                                    expr_stmt(call(id("f"), num(1), num(2))), expr_stmt(call(id("g"))),
                                    expr_stmt(idx(id("a"), num(0))), expr_stmt(mem(id("o"), "p")))));
  EXPECT_EQ(dis(p.code),
            "Push 1, Push 2, MakeArray 2, Pop, LoadConst 0, Push 1, LoadConst 1, Push 2, MakeObject 2, Pop, "
            "LoadGlobal 2, Push 1, Push 2, Call 2, Pop, LoadGlobal 3, Call 0, Pop, "
            "LoadGlobal 4, Push 0, GetIndex, Pop, LoadGlobal 5, LoadConst 6, GetIndex, Pop, Halt");
  EXPECT_EQ(text_of(p.constants[6]), "p");
}

TEST(CompilerExpressions, InterpolationConcatenatesPartsAfterPushingThemAll) {
  auto interp = [](std::vector<InterpolationPart> parts) { return make_expr(ast::StringInterpolation{std::move(parts)}); };
  std::vector<InterpolationPart> three;
  three.emplace_back(StringPart{"a"});
  three.emplace_back(ExprPart{id("x")});
  three.emplace_back(StringPart{"b"});
  std::vector<InterpolationPart> one;
  one.emplace_back(ExprPart{num(5)});
  auto p = compile_ok(program(block(expr_stmt(interp(std::move(three))), expr_stmt(interp(std::move(one))),
                                    expr_stmt(interp({})))));
  EXPECT_EQ(dis(p.code),
            "LoadConst 0, LoadGlobal 1, LoadConst 2, Concat, Concat, Pop, Push 5, Pop, LoadConst 3, Pop, Halt");
  EXPECT_EQ(text_of(p.constants[3]), "");
}

// --- statements -------------------------------------------------------------------------------------------

TEST(CompilerStatements, IfWithoutAndWithElseAndElseBlockRegistersAreReused) {
  StmtList else_body = block(let("y", num(2)));
  Stmt with_else(ast::If{std::move(*id("c")), block(let("x", num(1))), std::move(else_body)}, 1);
  auto p = compile_ok(program(block(Stmt(ast::If{std::move(*id("c")), block(expr_stmt(num(1))), std::nullopt}, 1),
                                    std::move(with_else), let("z", num(3)))));
  // The then-body declares into the current scope (x is 0); the else-block's y (1) is released for z.
  EXPECT_EQ(dis(p.code),
            "LoadGlobal 0, JumpIfFalse 4, Push 1, Pop, LoadGlobal 1, JumpIfFalse 9, Push 1, StoreReg 0, Jump 11, "
            "Push 2, StoreReg 1, Push 3, StoreReg 1, Halt");
}

TEST(CompilerStatements, WhileLoopTargetsAndBlockRegisters) {
  auto p = compile_ok(program(block(
      let("a", num(1)),
      while_(id("c"), block(let("y", num(2)), cont(), brk(), expr_stmt(assign(id("a"), id("y"))))),
      let("z", num(0)))));
  EXPECT_EQ(dis(p.code),
            "Push 1, StoreReg 0, LoadGlobal 0, JumpIfFalse 13, Push 2, StoreReg 1, Jump 12, Jump 13, "
            "LoadReg 1, Dup, StoreReg 0, Pop, Jump 2, Push 0, StoreReg 1, Halt");
}

TEST(CompilerStatements, ForLoopProtocol) {
  auto p = compile_ok(program(block(
      for_("x", id("xs"), block(cont(), brk(), expr_stmt(id("x")))), expr_stmt(id("x")))));
  EXPECT_EQ(dis(p.code),
            "LoadGlobal 0, GetIter, StoreReg 0, LoadReg 0, IterNext, Swap, StoreReg 0, Dup, LoadConst 1, Eq, "
            "JumpIfTrue 17, StoreReg 1, Jump 3, Jump 18, LoadReg 1, Pop, Jump 3, Pop, "
            // the loop variable stays declared after the loop
            "LoadReg 1, Pop, Halt");
  EXPECT_EQ(p.constants[1].kind, Constant::Kind::Nil);
}

TEST(CompilerStatements, SwitchCasesDefaultAndNoMatchPop) {
  std::vector<SwitchCase> cases;
  cases.push_back(SwitchCase{num(1), block(expr_stmt(num(10)))});
  cases.push_back(SwitchCase{nullptr, block(expr_stmt(num(20)))});
  auto p = compile_ok(program(block(Stmt(ast::Switch{std::move(*id("s")), std::move(cases)}, 1))));
  EXPECT_EQ(dis(p.code),
            "LoadGlobal 0, Dup, Push 1, Eq, JumpIfFalse 9, Pop, Push 10, Pop, Jump 14, "
            "Pop, Push 20, Pop, Jump 14, Pop, Halt");
}

TEST(CompilerStatements, ReturnThrowAndTry) {
  Stmt t(ast::Try{block(expr_stmt(call(id("f")))), {}, block(expr_stmt(num(1)))}, 1);
  auto p = compile_ok(program(block(ret(nullptr), ret(num(4)), Stmt(ast::Throw{std::move(*num(1))}, 1), std::move(t))));
  EXPECT_EQ(dis(p.code), "LoadConst 0, Return, Push 4, Return, Halt");
}

TEST(CompilerStatements, LineTableFollowsStatements) {
  auto p = compile_ok(program(block(let("a", num(1), 3), while_(id("c"), block(expr_stmt(num(2), 5)), 4),
                                    expr_stmt(num(3), 7))));
  EXPECT_EQ(p.lines.size(), p.code.size());
  // The back jump is emitted after the body, so it carries the body's last line.
  EXPECT_EQ(p.lines, (std::vector<uint64_t>{3, 3, 4, 4, 5, 5, 5, 7, 7, 7}));
}

TEST(CompilerStatements, BreakAndContinueOutsideALoopAreErrors) {
  struct Case {
    Stmt stmt;
    const char* message;
    uint64_t line;
  };
  std::vector<Case> cases;
  cases.push_back({brk(4), "'break' outside of a loop", 4});
  cases.push_back({cont(6), "'continue' outside of a loop", 6});
  // A function body is its own code unit: a loop around the definition does not count.
  cases.push_back({while_(id("c"), block(fn("f", {}, block(brk(9))))), "'break' outside of a loop", 9});
  for (auto& c : cases) {
    Program p;
    p.statements.push_back(std::move(c.stmt));
    auto r = compile_program(p);
    ASSERT_FALSE(r.ok()) << c.message;
    EXPECT_EQ(r.error().message, c.message);
    EXPECT_EQ(r.error().line, c.line);
  }
  auto nested = compile_ok(program(block(while_(id("c"), block(for_("x", id("xs"), block(brk())), brk())))));
  EXPECT_FALSE(nested.code.empty());
}

// --- functions, lambdas, classes ----------------------------------------------------------------------------

TEST(CompilerFunctions, BodyKeepsTheLatestStatementValueInAHiddenRegister) {
  auto p = compile_ok(program(block(fn("f", {"a", "b"},
                                       block(expr_stmt(bin(id("a"), BinaryOperator::Add, num(1)), 2),
                                             let("c", num(0), 3),
                                             while_(id("a"), block(expr_stmt(id("c"), 5), ret(id("b"), 6)), 4)),
                                       1))));
  EXPECT_EQ(dis(p.code), "Halt");  // a definition emits nothing in place
  ASSERT_EQ(p.functions.size(), 1u);
  const FunctionRecord& f = p.functions[0];
  EXPECT_EQ(f.name, "f");
  EXPECT_EQ(f.arity, 2u);
  // Parameters take 0 and 1, the result register 2, locals from 3; the value never piles up on the stack.
  EXPECT_EQ(dis(f.code),
            "LoadReg 0, Push 1, Add, StoreReg 2, Push 0, StoreReg 3, LoadReg 0, JumpIfFalse 13, LoadReg 3, "
            "StoreReg 2, LoadReg 1, Return, Jump 6, LoadReg 2, Return");
  EXPECT_EQ(f.lines, (std::vector<uint64_t>{2, 2, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 6, 6, 6}));
  ASSERT_EQ(f.constants.size(), 0u);
}

TEST(CompilerFunctions, EmptyBodyReturnsItsNilResultRegister) {
  auto p = compile_ok(program(block(fn("f", {}, {}, 8))));
  ASSERT_EQ(p.functions.size(), 1u);
  EXPECT_EQ(dis(p.functions[0].code), "LoadReg 0, Return");
  EXPECT_EQ(p.functions[0].lines, (std::vector<uint64_t>{8, 8}));
}

TEST(CompilerFunctions, LambdasAreNumberedByTheRecordsTheirUnitHeld) {
  // main: fn f() { let g = (q) => (r) => q; }   let h = (x) => x;   let k = () => 0;
  auto p = compile_ok(program(block(fn("f", {}, block(let("g", lambda({"q"}, lambda({"r"}, id("q"))), 2))),
                                    let("h", lambda({"x"}, id("x")), 3), let("k", lambda({}, num(0)), 4))));
  std::vector<std::string> names;
  for (const auto& f : p.functions) names.push_back(f.name);
  // Records nested in a body are kept, ahead of the body that contains them; main's own numbering counts
  // only main's own definitions (f is one, so h is <lambda>1).
  EXPECT_EQ(names, (std::vector<std::string>{"f.<lambda>0.<lambda>0", "f.<lambda>0", "f", "<lambda>1", "<lambda>2"}));
  EXPECT_EQ(dis(p.code), "LoadGlobal 0, StoreReg 0, LoadGlobal 1, StoreReg 1, Halt");
  EXPECT_EQ(text_of(p.constants[0]), "<lambda>1");
  const FunctionRecord* inner = find(p, "f.<lambda>0.<lambda>0");
  ASSERT_NE(inner, nullptr);
  // A lambda body reads no outer register: q is a global there. Its line is its statement's line.
  EXPECT_EQ(dis(inner->code), "LoadGlobal 0, Return");
  EXPECT_EQ(inner->arity, 1u);
  EXPECT_EQ(inner->lines, (std::vector<uint64_t>{2, 2}));
  const FunctionRecord* outer = find(p, "f.<lambda>0");
  ASSERT_NE(outer, nullptr);
  EXPECT_EQ(dis(outer->code), "LoadGlobal 0, Return");
  EXPECT_EQ(text_of(*outer->constants[0]), "f.<lambda>0.<lambda>0");
  EXPECT_EQ(find(p, "<lambda>1")->lines, (std::vector<uint64_t>{3, 3}));
}

TEST(CompilerFunctions, NestedFunctionsReachTheProgram) {
  auto p = compile_ok(program(block(fn("outer", {}, block(fn("inner", {"x"}, block(expr_stmt(id("x"))), 2),
                                                          expr_stmt(call(id("inner"), num(1)), 3))))));
  ASSERT_EQ(p.functions.size(), 2u);
  EXPECT_EQ(p.functions[0].name, "inner");
  EXPECT_EQ(p.functions[1].name, "outer");
  EXPECT_EQ(dis(p.functions[1].code), "LoadGlobal 0, Push 1, Call 1, StoreReg 0, LoadReg 0, Return");
}

TEST(CompilerClasses, ClassObjectLayoutAndMethodRecords) {
  StmtList body;
  body.push_back(let("x", num(1), 2));
  body.push_back(let("y", nullptr, 3));  // a field without a value is left out
  body.push_back(fn("get", {"self"}, block(ret(mem(id("self"), "x"))), 4));
  body.push_back(fn("mk", {"self"}, block(expr_stmt(lambda({}, num(0)))), 5));
  body.push_back(expr_stmt(num(99), 6));  // neither field nor method: ignored
  auto p = compile_ok(program(block(Stmt(ast::ClassDef{"K", std::string("B"), std::move(body)}, 1),
                                    Stmt(ast::ClassDef{"E", std::nullopt, {}}, 7))));
  std::vector<std::string> names;
  for (const auto& f : p.functions) names.push_back(f.name);
  EXPECT_EQ(names, (std::vector<std::string>{"K.get", "K.mk.<lambda>0", "K.mk"}));
  EXPECT_EQ(find(p, "K.get")->arity, 1u);
  std::string k_code =
      "LoadConst 0, LoadConst 1, LoadConst 2, LoadConst 3, LoadConst 4, LoadConst 5, Push 1, MakeObject 1, "
      "LoadConst 6, LoadConst 7, LoadConst 8, LoadConst 9, LoadConst 10, LoadConst 11, LoadConst 12, "
      "MakeObject 2, MakeObject 5, StoreGlobal 13";
  std::string e_code =
      "LoadConst 14, LoadConst 15, LoadConst 16, LoadConst 17, LoadConst 18, MakeObject 0, LoadConst 19, "
      "LoadConst 20, LoadConst 21, MakeObject 0, MakeObject 5, StoreGlobal 22";
  EXPECT_EQ(dis(p.code), k_code + ", " + e_code + ", Halt");
  std::vector<std::string> texts;
  for (int k = 0; k <= 13; ++k) texts.push_back(text_of(p.constants[k]));
  EXPECT_EQ(texts, (std::vector<std::string>{"__type__", "class", "__name__", "K", "__fields__", "x", "__parent__",
                                             "B", "__methods__", "get", "K.get", "mk", "K.mk", "K"}));
  EXPECT_EQ(p.constants[20].kind, Constant::Kind::Nil);  // E has no parent
  EXPECT_EQ(p.lines.front(), 1u);
  EXPECT_EQ(p.lines[p.lines.size() - 2], 7u);
}

// --- element and member stores ------------------------------------------------------------------------------

TEST(CompilerStores, OneStepStoresWriteTheContainerBackIntoItsVariable) {
  auto p = compile_ok(program(block(let("a", array()), expr_stmt(assign(idx(id("a"), num(0)), num(9))),
                                    expr_stmt(assign(mem(id("a"), "f"), num(8))),
                                    expr_stmt(assign(idx(id("g"), num(1)), num(7))))));
  EXPECT_EQ(dis(p.code),
            "MakeArray 0, StoreReg 0, "
            "LoadReg 0, Push 0, Push 9, SetIndex, Dup, StoreReg 0, Pop, "
            "LoadReg 0, LoadConst 0, Push 8, SetIndex, Dup, StoreReg 0, Pop, "
            "LoadGlobal 1, Push 1, Push 7, SetIndex, Dup, StoreGlobal 2, Pop, Halt");
  EXPECT_EQ(text_of(p.constants[0]), "f");
  EXPECT_EQ(text_of(p.constants[1]), "g");
  EXPECT_EQ(text_of(p.constants[2]), "g");
}

TEST(CompilerStores, PathStoresWriteBackEveryLevelThroughHiddenRegisters) {
  // let m; let i; m[i][2] = 5;   then   o.p[i].q = 6 with o global
  auto p = compile_ok(program(block(
      let("m", nil()), let("i", num(1)),
      expr_stmt(assign(idx(idx(id("m"), id("i")), num(2)), num(5))),
      expr_stmt(assign(mem(idx(mem(id("o"), "p"), id("i")), "q"), num(6))))));
  // Hidden registers start above the two declared ones and are reused by the next statement.
  EXPECT_EQ(dis(p.code),
            "LoadConst 0, StoreReg 0, Push 1, StoreReg 1, "
            "LoadReg 0, LoadReg 1, StoreReg 2, Dup, LoadReg 2, GetIndex, Push 2, Push 5, SetIndex, "
            "Dup, StoreReg 3, LoadReg 2, Swap, SetIndex, Dup, StoreReg 0, Pop, LoadReg 3, Pop, "
            "LoadGlobal 1, Dup, LoadConst 2, GetIndex, LoadReg 1, StoreReg 2, Dup, LoadReg 2, GetIndex, "
            "LoadConst 3, Push 6, SetIndex, Dup, StoreReg 3, LoadReg 2, Swap, SetIndex, LoadConst 2, Swap, "
            "SetIndex, Dup, StoreGlobal 4, Pop, LoadReg 3, Pop, Halt");
  EXPECT_EQ(text_of(p.constants[2]), "p");
  EXPECT_EQ(text_of(p.constants[3]), "q");
  EXPECT_EQ(text_of(p.constants[4]), "o");
}

TEST(CompilerStores, NestedStoresInsideAStoreUseHigherHiddenRegisters) {
  // m[0][0] = (n[1][1] = 2)
  auto p = compile_ok(program(block(let("m", nil()), let("n", nil()),
                                    expr_stmt(assign(idx(idx(id("m"), num(0)), num(0)),
                                                     assign(idx(idx(id("n"), num(1)), num(1)), num(2)))))));
  EXPECT_EQ(dis(p.code),
            "LoadConst 0, StoreReg 0, LoadConst 1, StoreReg 1, "
            "LoadReg 0, Push 0, StoreReg 2, Dup, LoadReg 2, GetIndex, Push 0, "
            "LoadReg 1, Push 1, StoreReg 3, Dup, LoadReg 3, GetIndex, Push 1, Push 2, SetIndex, "
            "Dup, StoreReg 4, LoadReg 3, Swap, SetIndex, Dup, StoreReg 1, Pop, LoadReg 4, "
            "SetIndex, Dup, StoreReg 3, LoadReg 2, Swap, SetIndex, Dup, StoreReg 0, Pop, LoadReg 3, Pop, Halt");
}

TEST(CompilerStores, TargetsNotRootedInAVariableAndOtherTargets) {
  auto p = compile_ok(program(block(expr_stmt(assign(idx(call(id("f")), num(0)), num(1))),
                                    expr_stmt(assign(mem(array(), "x"), num(2))),
                                    expr_stmt(assign(call(id("f")), num(3))))));
  EXPECT_EQ(dis(p.code),
            "LoadGlobal 0, Call 0, Push 0, Push 1, SetIndex, Pop, "
            "MakeArray 0, LoadConst 1, Push 2, SetIndex, Pop, "
            "Push 3, Pop, LoadConst 2, Pop, Halt");
}

TEST(CompilerStores, InFunctionsTheResultRegisterIsClearedBeforeAStore) {
  auto p = compile_ok(program(block(fn("f", {"a"}, block(expr_stmt(assign(idx(id("a"), num(0)), num(1))),
                                                         expr_stmt(assign(id("a"), num(2))))))));
  EXPECT_EQ(dis(p.functions[0].code),
            "Push 0, StoreReg 1, LoadReg 0, Push 0, Push 1, SetIndex, Dup, StoreReg 0, StoreReg 1, "
            "Push 2, Dup, StoreReg 0, StoreReg 1, LoadReg 1, Return");
}
