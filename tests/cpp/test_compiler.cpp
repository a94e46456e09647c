#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "parser/compiler.h"
#include "parser/lexer.h"
#include "parser/parser.h"
#include "vm_engine/vm.h"

using namespace tarnwick;

namespace {

// "Push 1, StoreReg 0, Halt": opcode names with their operand where the opcode has one.
std::string dis(const std::vector<Instruction>& code) {
  std::string out;
  for (const Instruction& in : code) {
    if (!out.empty()) out += ", ";
    out += opcode_name(in.opcode);
    switch (in.opcode) {
      case Opcode::Push: out.append(" ").append(std::to_string(in.imm)); break;
      case Opcode::Jump: case Opcode::JumpIfFalse: case Opcode::JumpIfTrue: case Opcode::Call:
      case Opcode::StoreReg: case Opcode::LoadReg: case Opcode::StoreGlobal: case Opcode::LoadGlobal:
      case Opcode::MakeArray: case Opcode::MakeObject: case Opcode::LoadConst:
        out.append(" ").append(std::to_string(in.arg));
        break;
      default: break;
    }
  }
  return out;
}

BytecodeProgram compile_src(std::string_view source) {
  auto r = compile_source(source);
  EXPECT_TRUE(r.ok()) << source << ": " << (r.ok() ? "" : r.error().message);
  return r.ok() ? std::move(r.value()) : BytecodeProgram{};
}

// The main code without its final Halt, which every program has.
std::string main_code(std::string_view source) {
  auto p = compile_src(source);
  EXPECT_FALSE(p.code.empty());
  EXPECT_EQ(p.code.back().opcode, Opcode::Halt);
  if (!p.code.empty()) p.code.pop_back();
  return dis(p.code);
}

std::string text_of(const Constant& c) { return c.kind == Constant::Kind::String ? c.string_value : "<not a string>"; }

std::vector<std::string> string_constants(const BytecodeProgram& p) {
  std::vector<std::string> out;
  for (const auto& c : p.constants) {
    out.push_back(c.kind == Constant::Kind::String ? c.string_value
                                                   : std::string("<").append(std::to_string(int(c.kind))).append(">"));
  }
  return out;
}

std::vector<std::string> function_names(const BytecodeProgram& p) {
  std::vector<std::string> out;
  for (const auto& f : p.functions) out.push_back(f.name);
  return out;
}

const FunctionRecord& function(const BytecodeProgram& p, const std::string& name) {
  for (const auto& f : p.functions)
    if (f.name == name) return f;
  ADD_FAILURE() << "no function " << name;
  static const FunctionRecord none;
  return none;
}

// Trees built by hand: their nodes live here for the whole test run.
Arena& nodes() {
  static Arena arena;
  return arena;
}

template <class T>
ExprPtr node(T&& n) {
  return make_expr(nodes(), std::forward<T>(n));
}

Program one_statement(ExprPtr e) {
  Program p;
  p.statements = p.arena.copy(std::vector<Stmt>{Stmt(ast::ExprStatement{*e}, 1)});
  return p;
}

ExprPtr int_literal(int64_t v) {
  LiteralValue lv;
  lv.kind = LiteralValue::Kind::Int;
  lv.int_value = v;
  return node(ast::Literal{lv});
}

}  // namespace

// --- expressions --------------------------------------------------------------------------------------------

TEST(CompilerExpressions, InstructionSequences) {
  struct Case {
    const char* source;
    const char* code;
  };
  const Case cases[] = {
      {"let x = 1;", "Push 1, StoreReg 0"},
      {"x = 5;", "Push 5, Dup, StoreGlobal 0, Pop"},
      {"2147483647; 2147483648;", "Push 2147483647, Pop, LoadConst 0, Pop"},
      {"true; false; nil; 1.5; \"s\";", "Push 1, Pop, Push 0, Pop, LoadConst 0, Pop, LoadConst 1, Pop, LoadConst 2, Pop"},
      {"a + b - c * d / e % f ** g;",
       "LoadGlobal 0, LoadGlobal 1, Add, LoadGlobal 2, LoadGlobal 3, Mul, LoadGlobal 4, Div, LoadGlobal 5, "
       "LoadGlobal 6, Pow, Mod, Sub, Pop"},
      {"1 == 2 != 3; 1 < 2; 1 <= 2; 1 > 2; 1 >= 2;",
       "Push 1, Push 2, Eq, Push 3, Ne, Pop, Push 1, Push 2, Lt, Pop, Push 1, Push 2, Le, Pop, "
       "Push 1, Push 2, Gt, Pop, Push 1, Push 2, Ge, Pop"},
      // no short-circuit: both operands always run
      {"f() and g() or h();", "LoadGlobal 0, Call 0, LoadGlobal 1, Call 0, And, LoadGlobal 2, Call 0, Or, Pop"},
      {"1 & 2; 1 | 2; 1 ^ 2; 1 << 2; 1 >> 2;",
       "Push 1, Push 2, Pop, Pop, LoadConst 0, Pop, Push 1, Push 2, Pop, Pop, LoadConst 1, Pop, "
       "Push 1, Push 2, Pop, Pop, LoadConst 2, Pop, Push 1, Push 2, Pop, Pop, LoadConst 3, Pop, "
       "Push 1, Push 2, Pop, Pop, LoadConst 4, Pop"},
      {"-x; !x;", "LoadGlobal 0, Neg, Pop, LoadGlobal 1, Not, Pop"},
      {"f(1, 2)(); o.m(3)[0];",
       "LoadGlobal 0, Push 1, Push 2, Call 2, Call 0, Pop, LoadGlobal 1, LoadConst 2, GetIndex, Push 3, Call 1, "
       "Push 0, GetIndex, Pop"},
      {"[1, [2]]; [];", "Push 1, Push 2, MakeArray 1, MakeArray 2, Pop, MakeArray 0, Pop"},
      // a repeated key stays a second pair
      {"({a: 1, a: 2});", "LoadConst 0, Push 1, LoadConst 1, Push 2, MakeObject 2, Pop"},
      {"c ? 1 : 2;", "LoadGlobal 0, JumpIfFalse 4, Push 1, Jump 5, Push 2, Pop"},
      // a chain through the else branches: every exit jumps to the one end
      {"c ? 1 : d ? 2 : 3;",
       "LoadGlobal 0, JumpIfFalse 4, Push 1, Jump 9, LoadGlobal 1, JumpIfFalse 8, Push 2, Jump 9, Push 3, Pop"},
      {"f()?;", "LoadGlobal 0, Call 0, Pop"},
      {"f\"a{x}b{1}\";", "LoadConst 0, LoadGlobal 1, LoadConst 2, Push 1, Concat, Concat, Concat, Pop"},
      {"f\"{x}\"; f\"\";", "LoadGlobal 0, Pop, LoadConst 1, Pop"},
      // assigning to anything but a variable, element or member keeps only the value's effects
      {"f() = 3; (a = b) = 4;", "Push 3, Pop, LoadConst 0, Pop, Push 4, Pop, LoadConst 1, Pop"},
  };
  for (const Case& c : cases) EXPECT_EQ(main_code(c.source), c.code) << c.source;
}

TEST(CompilerExpressions, ConstantsAreNeverShared) {
  auto p = compile_src("let a = \"s\"; let b = \"s\"; x = x; 2147483648; 1.5; nil;");
  EXPECT_EQ(string_constants(p), (std::vector<std::string>{"s", "s", "x", "x", "<2>", "<3>", "<0>"}));
  EXPECT_EQ(p.constants[4].int_value, 2147483648);
  EXPECT_EQ(p.constants[5].float_value, 1.5);
}

TEST(CompilerExpressions, FormsTheParserDoesNotProduce) {
  auto p = compile_program(one_statement(node(ast::UnaryOp{UnaryOperator::BitwiseNot, int_literal(1)})));
  ASSERT_TRUE(p.ok());
  EXPECT_EQ(dis(p->code), "Push 1, Pop, LoadConst 0, Pop, Halt");
  p = compile_program(one_statement(node(ast::Await{int_literal(2)})));
  ASSERT_TRUE(p.ok());
  EXPECT_EQ(dis(p->code), "Push 2, Pop, Halt");
  EXPECT_EQ(main_code("yield 3; yield;"), "Push 3, Pop, LoadConst 0, Pop");
}

TEST(CompilerExpressions, LongLeftChainsCompileWithoutDeepRecursion) {
  // Deep enough to overflow the stack if each link cost a recursive call.
  constexpr int kLinks = 300000;
  ExprPtr e = int_literal(0);
  for (int k = 0; k < kLinks; ++k) e = node(ast::BinaryOp{e, BinaryOperator::Add, int_literal(1)});
  Program prog = one_statement(e);
  auto p = compile_program(prog);
  ASSERT_TRUE(p.ok());
  EXPECT_EQ(p->code.size(), 1u + 2u * kLinks + 2u);
}

TEST(CompilerExpressions, DeepestNestingTheParserAcceptsCompiles) {
  // Grow each shape until the parser refuses it; everything it accepted must compile.
  const std::pair<const char*, const char*> shapes[] = {
      {"[", "]"}, {"f(", ")"}, {"-(", ")"}, {"c ? 1 : (", ")"}, {"(fn(x) ", ")"},
      {"while c { ", "}"}, {"if c { } else { ", "}"}, {"fn f() { ", "}"}, {"match x { case 1: ", "}"},
  };
  for (const auto& [open, close] : shapes) {
    int accepted = 0;
    for (int depth = 1; depth < 400; ++depth) {
      std::string src;
      for (int k = 0; k < depth; ++k) src += open;
      src += "1";
      for (int k = 0; k < depth; ++k) src += close;
      auto r = compile_source(src);
      if (!r.ok()) {
        EXPECT_EQ(r.error().kind, SourceError::Kind::Parse) << src;
        EXPECT_NE(r.error().message.find(nesting_too_deep_message()), std::string::npos) << r.error().message;
        break;
      }
      accepted = depth;
    }
    EXPECT_GT(accepted, 20) << open;
    EXPECT_LT(accepted, 399) << open;
  }
}

// --- registers and scopes ---------------------------------------------------------------------------------

TEST(CompilerScopes, RegistersDeclarationsAndBlocks) {
  struct Case {
    const char* source;
    const char* code;
  };
  const Case cases[] = {
      // the initializer sees the outer x; a redeclaration takes a fresh register
      {"let x = 1; let x = x + 1; x = 3;", "Push 1, StoreReg 0, LoadReg 0, Push 1, Add, StoreReg 1, Push 3, Dup, StoreReg 1, Pop"},
      {"let a; const b = a;", "LoadConst 0, StoreReg 0, LoadReg 0, StoreReg 1"},
      // the then-body declares into the current scope; the else-block's register is free again afterwards
      {"if c { let x = 1; } else { let y = 2; } let z = 3;",
       "LoadGlobal 0, JumpIfFalse 5, Push 1, StoreReg 0, Jump 7, Push 2, StoreReg 1, Push 3, StoreReg 1"},
      // an else-if chain: later links see earlier links' declarations; all of them end with the statement
      {"if a { let x = 1; } else if b { let y = 2; } else if c { let w = y; } else { let v = x; } let z = 3; z = y;",
       "LoadGlobal 0, JumpIfFalse 5, Push 1, StoreReg 0, Jump 17, LoadGlobal 1, JumpIfFalse 10, Push 2, StoreReg 1, "
       "Jump 17, LoadGlobal 2, JumpIfFalse 15, LoadReg 1, StoreReg 2, Jump 17, LoadReg 0, StoreReg 3, Push 3, "
       "StoreReg 1, LoadGlobal 3, Dup, StoreReg 1, Pop"},
      {"let a = 1; while c { let y = 2; } let z = 0;",
       "Push 1, StoreReg 0, LoadGlobal 0, JumpIfFalse 7, Push 2, StoreReg 1, Jump 2, Push 0, StoreReg 1"},
  };
  for (const Case& c : cases) EXPECT_EQ(main_code(c.source), c.code) << c.source;
}

TEST(CompilerScopes, ManyDeclarationsGoPastTheMachinesRegisters) {
  std::string src;
  for (int k = 0; k < 300; ++k) src += "let v = " + std::to_string(k) + ";";
  auto p = compile_src(src);
  ASSERT_EQ(p.code.size(), 601u);
  EXPECT_EQ(p.code[599].opcode, Opcode::StoreReg);
  EXPECT_EQ(p.code[599].arg, 299u);
}

// --- statements -------------------------------------------------------------------------------------------

TEST(CompilerStatements, ControlFlow) {
  struct Case {
    const char* source;
    const char* code;
  };
  const Case cases[] = {
      {"if c { 1; }", "LoadGlobal 0, JumpIfFalse 4, Push 1, Pop"},
      {"if a { 1; } else if b { 2; } else { 3; }",
       "LoadGlobal 0, JumpIfFalse 5, Push 1, Pop, Jump 12, LoadGlobal 1, JumpIfFalse 10, Push 2, Pop, Jump 12, "
       "Push 3, Pop"},
      // continue goes to the back jump, break past it
      {"while c { continue; break; 1; }",
       "LoadGlobal 0, JumpIfFalse 7, Jump 6, Jump 7, Push 1, Pop, Jump 0"},
      {"for x in xs { continue; break; x; } x;",
       "LoadGlobal 0, GetIter, StoreReg 0, LoadReg 0, IterNext, Swap, StoreReg 0, Dup, LoadConst 1, Eq, "
       "JumpIfTrue 17, StoreReg 1, Jump 3, Jump 18, LoadReg 1, Pop, Jump 3, Pop, "
       "LoadReg 1, Pop"},  // the loop variable stays declared after the loop
      {"for a in p { for b in q { break; } }",
       "LoadGlobal 0, GetIter, StoreReg 0, LoadReg 0, IterNext, Swap, StoreReg 0, Dup, LoadConst 1, Eq, "
       "JumpIfTrue 28, StoreReg 1, LoadGlobal 2, GetIter, StoreReg 2, LoadReg 2, IterNext, Swap, StoreReg 2, Dup, "
       "LoadConst 3, Eq, JumpIfTrue 26, StoreReg 3, Jump 27, Jump 15, Pop, Jump 3, Pop"},
      {"match s { case 1: 10; case 2 { 20; } }",
       "LoadGlobal 0, Dup, Push 1, Eq, JumpIfFalse 9, Pop, Push 10, Pop, Jump 18, "
       "Dup, Push 2, Eq, JumpIfFalse 17, Pop, Push 20, Pop, Jump 18, Pop"},
      {"match s { }", "LoadGlobal 0, Pop"},
      {"return; return 4;", "LoadConst 0, Return, Push 4, Return"},
      {"throw f(); try { f(); } catch e { g(); } finally { h(); }", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(main_code(c.source), c.code) << c.source;
}

TEST(CompilerStatements, DefaultCaseAndItsPosition) {
  // Cases built by hand: the lexer never produces a default case.
  Program prog;
  std::vector<SwitchCase> cases;
  cases.push_back(SwitchCase{int_literal(1), {}});
  cases.push_back(SwitchCase{nullptr, prog.arena.copy(std::vector<Stmt>{Stmt(ast::ExprStatement{*int_literal(20)}, 1)})});
  cases.push_back(SwitchCase{int_literal(3), {}});
  prog.statements = prog.arena.copy(std::vector<Stmt>{Stmt(ast::Switch{*int_literal(7), prog.arena.copy(cases)}, 1)});
  auto p = compile_program(prog);
  ASSERT_TRUE(p.ok());
  EXPECT_EQ(dis(p->code),
            "Push 7, Dup, Push 1, Eq, JumpIfFalse 7, Pop, Jump 18, Pop, Push 20, Pop, Jump 18, "
            "Dup, Push 3, Eq, JumpIfFalse 17, Pop, Jump 18, Pop, Halt");
}

TEST(CompilerStatements, LineTable) {
  auto p = compile_src("let a = 1;\nwhile c {\n  a;\n}\n\nf(\n 2);");
  EXPECT_EQ(p.lines.size(), p.code.size());
  // The back jump is emitted after the body, so it carries the body's last line.
  std::vector<uint64_t> lines;
  for (uint64_t position : p.lines) lines.push_back(position_line(position));
  EXPECT_EQ(lines, (std::vector<uint64_t>{1, 1, 2, 2, 3, 3, 3, 6, 6, 6, 6, 6}));
  // An operation that can fail carries its own line and column (a call: its "(").
  EXPECT_EQ(dis(p.code).substr(dis(p.code).rfind("Push 2")), "Push 2, Call 1, Pop, Halt");
  EXPECT_EQ(p.lines[9], source_position(6, 2));
}

TEST(CompilerStatements, OperationsOnLaterLinesOfAStatementKeepTheStatementsLineAndTheirPlace) {
  auto p = compile_src("x = 1 +\n  2 *\n  -y;");
  EXPECT_EQ(dis(p.code), "Push 1, Push 2, LoadGlobal 0, Neg, Mul, Add, Dup, StoreGlobal 1, Pop, Halt");
  EXPECT_EQ(p.lines[3], source_position(1, 3, 3));  // Neg
  EXPECT_EQ(p.lines[4], source_position(1, 2, 5));  // Mul
  EXPECT_EQ(p.lines[5], source_position(1, 7));     // Add
  EXPECT_EQ(p.lines[6], 1u);                        // the rest: the statement's line
  for (size_t i : {3, 4, 5}) EXPECT_EQ(position_line(p.lines[i]), 1u) << i;
  EXPECT_EQ(position_exact_line(p.lines[3]), 3u);
  EXPECT_EQ(position_column(p.lines[3]), 3u);
}

TEST(CompilerStatements, PositionsTooFarFromTheStatementFallBackToItsLine) {
  struct Case {
    uint64_t statement, line, column, exact_line, exact_column;
  };
  const Case cases[] = {
      {7, 7, 1, 7, 1},
      {7, 7 + kPositionMaxLineOffset, kPositionColumnMask, 7 + kPositionMaxLineOffset, kPositionColumnMask},
      {7, 8 + kPositionMaxLineOffset, 1, 7, 0},
      {7, 9, kPositionColumnMask + 1, 7, 0},
      {7, 6, 1, 7, 0},
      {uint64_t{1} << 40, 1, 1, kPositionLineMask, 0},
  };
  for (const Case& c : cases) {
    const uint64_t p = source_position(c.statement, c.line, c.column);
    EXPECT_EQ(position_line(p), std::min<uint64_t>(c.statement, kPositionLineMask)) << c.line;
    EXPECT_EQ(position_exact_line(p), c.exact_line) << c.line;
    EXPECT_EQ(position_column(p), c.exact_column) << c.line;
  }
}

// A program long enough to be compiled in several batches, with texts that live in the tree (decoded
// strings) used by later batches' code and by bodies, against the program compiled from its whole tree.
std::string constants_text(const std::vector<Constant>& constants) {
  std::string out;
  for (const Constant& c : constants)
    out += std::to_string(static_cast<int>(c.kind)) + ":" + std::to_string(c.int_value) + ":" +
           std::to_string(c.float_value) + ":" + c.string_value + "|";
  return out;
}

TEST(CompilerStatements, BatchesOfStatementsCompileAsTheWholeTreeDoes) {
  std::string source;
  for (int i = 0; i < 300; ++i) {
    const std::string n = std::to_string(i);
    source += "let a" + n + " = \"esc\\t" + n + "\\n\"\nb = f\"v\\n{a" + n + "} {'q\\'' + \"\\t\"}\"\n" +
              "fn g" + n + "(x) { let t = \"in\\\\fn" + n + "\"\n return t + x }\n" +
              "class C" + n + " { let f = \"field\\n\"\n fn m(self) { return \"m\\t\" + self.f } }\n" +
              "h = fn(y) y + \"lam\\n" + n + "\"\nwhile a0 { let w = a" + n + " break }\n";
  }
  source += "print(a0, a299, b, g7(\"z\"), h(1))\n";
  auto batched = compile_source(source);
  auto tree = parse_source(source);
  ASSERT_TRUE(batched.ok() && tree.ok());
  auto whole = compile_program(tree.value());
  ASSERT_TRUE(whole.ok());
  const BytecodeProgram& x = batched.value();
  const BytecodeProgram& y = whole.value();
  EXPECT_EQ(dis(x.code), dis(y.code));
  EXPECT_EQ(x.lines, y.lines);
  EXPECT_EQ(constants_text(x.constants), constants_text(y.constants));
  EXPECT_NE(constants_text(x.constants).find("esc\t299\n"), std::string::npos);
  ASSERT_EQ(x.functions.size(), y.functions.size());
  for (size_t i = 0; i < x.functions.size(); ++i) {
    std::vector<Constant> xc, yc;
    for (const ConstantRef& c : x.functions[i].constants) xc.push_back(*c);
    for (const ConstantRef& c : y.functions[i].constants) yc.push_back(*c);
    EXPECT_EQ(x.functions[i].name, y.functions[i].name);
    EXPECT_EQ(dis(x.functions[i].code), dis(y.functions[i].code)) << x.functions[i].name;
    EXPECT_EQ(constants_text(xc), constants_text(yc)) << x.functions[i].name;
  }
}

TEST(CompilerStatements, AnErrorInALaterBatchStillWinsByItsStage) {
  std::string filler;
  for (int i = 0; i < 1500; ++i) filler += "x = \"s\\n\" + 1\n";
  struct Case {
    std::string source;
    SourceError::Kind kind;
    std::string message;
  };
  const Case cases[] = {
      {"break\n" + filler + "let = 1\n", SourceError::Kind::Parse, "ParseError at 1502:5: Expected identifier"},
      {"break\n" + filler + "let = 1\n" + filler + "\"open", SourceError::Kind::Lex,
       "Lexer error at 3003:6: Unterminated string literal"},
      {filler + "continue\n" + filler, SourceError::Kind::Compile, "'continue' outside of a loop"},
  };
  for (const Case& c : cases) {
    auto r = compile_source(c.source);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, c.kind);
    EXPECT_EQ(r.error().message, c.message);
  }
  auto late = compile_source(filler + "continue\n" + filler);
  ASSERT_FALSE(late.ok());
  EXPECT_EQ(late.error().line, 1501u);
}

TEST(CompilerStatements, SourceErrorsNameTheirStage) {
  auto lex = compile_source("1 /* x");
  ASSERT_FALSE(lex.ok());
  EXPECT_EQ(lex.error().kind, SourceError::Kind::Lex);
  EXPECT_EQ(lex.error().message, "Unterminated block comment at 1:3");
  auto parse = compile_source("let x = 1;\n  let = 2;");
  ASSERT_FALSE(parse.ok());
  EXPECT_EQ(parse.error().kind, SourceError::Kind::Parse);
  EXPECT_EQ(parse.error().message, "ParseError at 2:7: Expected identifier");
  EXPECT_EQ(parse.error().line, 2u);
  EXPECT_EQ(parse.error().column, 7u);
  // A lexer error later in the source wins over an earlier parse error, however far apart they are.
  std::string filler;
  for (int i = 0; i < 2000; ++i) filler += "x\n";
  for (const std::string& src : {std::string("let = 2\n\"abc"), "let = 2\n" + filler + "1 /* x"}) {
    auto both = compile_source(src);
    ASSERT_FALSE(both.ok()) << src;
    EXPECT_EQ(both.error().kind, SourceError::Kind::Lex) << src;
  }
}

// --- functions, lambdas, classes ----------------------------------------------------------------------------

TEST(CompilerFunctions, BodyKeepsTheLatestStatementValueInAHiddenRegister) {
  auto p = compile_src("fn f(a, b) {\n a + 1;\n let c = 0;\n while a {\n  c;\n  return b;\n }\n}");
  EXPECT_EQ(dis(p.code), "Halt");  // a definition emits nothing in place
  ASSERT_EQ(p.functions.size(), 1u);
  const FunctionRecord& f = p.functions[0];
  EXPECT_EQ(f.name, "f");
  EXPECT_EQ(f.arity, 2u);
  // Parameters take 0 and 1, the result register 2, locals from 3; values never pile up on the stack. A
  // statement always followed by another expression statement or a return (c, then return b) is dropped.
  EXPECT_EQ(dis(f.code),
            "LoadReg 0, Push 1, Add, StoreReg 2, Push 0, StoreReg 3, LoadReg 0, JumpIfFalse 13, LoadReg 3, "
            "Pop, LoadReg 1, Return, Jump 6, LoadReg 2, Return");
  EXPECT_EQ(f.lines, (std::vector<uint64_t>{2, 2, source_position(2, 4), 2, 3, 3, 4, 4, 5, 5, 6, 6, 6, 6, 6}));
  EXPECT_TRUE(f.constants.empty());

  auto empty = compile_src("\n\nfn g() {}");
  EXPECT_EQ(dis(empty.functions.at(0).code), "LoadReg 0, Return");
  EXPECT_EQ(empty.functions.at(0).lines, (std::vector<uint64_t>{3, 3}));
}

TEST(CompilerFunctions, ABodyWhoseVariablesFillTheFrameKeepsItsValuesOnTheStack) {
  std::string params;
  for (int i = 0; i < 255; ++i) params += (i ? ", p" : "p") + std::to_string(i);
  auto full = compile_src("fn f(" + params + ") {\n let q = 1\n q }");
  ASSERT_EQ(full.functions.size(), 1u);
  EXPECT_EQ(dis(full.functions[0].code), "Push 1, StoreReg 255, LoadReg 255, Nop, Nop, Return");
  // One parameter fewer leaves the result register its slot.
  auto room = compile_src("fn f(" + params.substr(0, params.rfind(',')) + ") {\n let q = 1\n q }");
  EXPECT_EQ(dis(room.functions.at(0).code), "Push 1, StoreReg 255, LoadReg 255, StoreReg 254, LoadReg 254, Return");
}

TEST(CompilerFunctions, ElementStoresClearTheResultRegisterFirst) {
  // Otherwise the previous statement's container would still be shared and every store would copy it.
  auto p = compile_src("fn f(a) { a = 2; a[0] = 1; }");
  EXPECT_EQ(dis(p.functions.at(0).code),
            "Push 2, StoreReg 0, Push 0, StoreReg 1, LoadReg 0, Push 0, Push 1, SetIndex, Dup, StoreReg 0, "
            "StoreReg 1, LoadReg 1, Return");
}

TEST(CompilerFunctions, ValuesThatNoReturnCanSeeAreNotKept) {
  // Each statement here is followed by another expression statement or a return on every path, so only
  // the stores themselves remain; element stores keep the shape that lets the machine store in place.
  auto p = compile_src("fn f(a, x) {\n a[0] = 1\n x = x + 1\n if x { a }\n while x { x = 0 }\n return a\n}");
  EXPECT_EQ(dis(p.functions.at(0).code),
            "LoadReg 0, Push 0, Push 1, SetIndex, Dup, StoreReg 0, Pop, LoadReg 1, Push 1, Add, StoreReg 1, "
            "LoadReg 1, JumpIfFalse 15, LoadReg 0, Pop, LoadReg 1, JumpIfFalse 20, Push 0, StoreReg 1, "
            "Jump 15, LoadReg 0, Return, LoadReg 2, Return");
  // A break or continue could jump past the later statement: such bodies keep every value.
  auto q = compile_src("fn g(x) {\n while x {\n  x = 1\n  if x { break }\n  x = 2\n }\n}");
  EXPECT_EQ(dis(q.functions.at(0).code),
            "LoadReg 0, JumpIfFalse 14, Push 1, Dup, StoreReg 0, StoreReg 1, LoadReg 0, JumpIfFalse 9, Jump 14, "
            "Push 2, Dup, StoreReg 0, StoreReg 1, Jump 0, LoadReg 1, Return");
}

TEST(CompilerFunctions, DefinitionsAtEveryLevelReachTheProgram) {
  auto p = compile_src(
      "fn outer() {\n fn inner(x) { x; }\n inner(1);\n}\n"
      "if c { fn g() { } }\n"
      "fn make() { let k = fn(q) fn(r) q; }\n"
      "let h = fn(x) x;\n"
      "let k = fn() { 0 };");
  // Nested records come ahead of the body that contains them. Main's lambda numbers count only main's own
  // definitions (outer, g and make), so h is <lambda>3 whatever make contains.
  EXPECT_EQ(function_names(p), (std::vector<std::string>{"inner", "outer", "g", "make.<lambda>0.<lambda>0",
                                                         "make.<lambda>0", "make", "<lambda>3", "<lambda>4"}));
  EXPECT_EQ(dis(function(p, "outer").code), "LoadGlobal 0, Push 1, Call 1, StoreReg 0, LoadReg 0, Return");
  EXPECT_EQ(dis(p.code), "LoadGlobal 0, JumpIfFalse 2, LoadGlobal 1, StoreReg 0, LoadGlobal 2, StoreReg 1, Halt");
  EXPECT_EQ(text_of(p.constants[1]), "<lambda>3");

  // A lambda is one expression and returns it; outer registers are not visible in it (q is a global
  // there). Its lines are those of the statement that holds it.
  const FunctionRecord& inner = function(p, "make.<lambda>0.<lambda>0");
  EXPECT_EQ(dis(inner.code), "LoadGlobal 0, Return");
  EXPECT_EQ(inner.arity, 1u);
  EXPECT_EQ(inner.lines, (std::vector<uint64_t>{6, 6}));
  const FunctionRecord& outer_lambda = function(p, "make.<lambda>0");
  EXPECT_EQ(dis(outer_lambda.code), "LoadGlobal 0, Return");
  EXPECT_EQ(text_of(*outer_lambda.constants[0]), "make.<lambda>0.<lambda>0");
  EXPECT_EQ(function(p, "<lambda>4").lines, (std::vector<uint64_t>{8, 8}));
}

TEST(CompilerClasses, ClassObjectLayoutAndMethodRecords) {
  auto p = compile_src(
      "class K extends B {\n let x = 1;\n y: Int\n fn get(self) { return self.x; }\n"
      " fn mk(self) { return fn() 0; }\n}\n"
      "enum E { A B }");
  EXPECT_EQ(function_names(p), (std::vector<std::string>{"K.get", "K.mk.<lambda>0", "K.mk"}));
  EXPECT_EQ(function(p, "K.get").arity, 1u);
  EXPECT_EQ(dis(function(p, "K.mk").code), "LoadGlobal 0, Return, LoadReg 1, Return");
  EXPECT_EQ(dis(p.code),
            // fields hold only members with a value; methods map to their records' names
            "LoadConst 0, LoadConst 1, LoadConst 2, LoadConst 3, LoadConst 4, LoadConst 5, Push 1, MakeObject 1, "
            "LoadConst 6, LoadConst 7, LoadConst 8, LoadConst 9, LoadConst 10, LoadConst 11, LoadConst 12, "
            "MakeObject 2, MakeObject 5, StoreGlobal 13, "
            "LoadConst 14, LoadConst 15, LoadConst 16, LoadConst 17, LoadConst 18, MakeObject 0, LoadConst 19, "
            "LoadConst 20, LoadConst 21, MakeObject 0, MakeObject 5, StoreGlobal 22, Halt");
  std::vector<std::string> texts = string_constants(p);
  std::vector<std::string> k_texts(texts.begin(), texts.begin() + 14);
  EXPECT_EQ(k_texts, (std::vector<std::string>{"__type__", "class", "__name__", "K", "__fields__", "x", "__parent__",
                                               "B", "__methods__", "get", "K.get", "mk", "K.mk", "K"}));
  EXPECT_EQ(p.constants[20].kind, Constant::Kind::Nil);  // E has no parent
  EXPECT_EQ(p.lines.front(), 1u);
  EXPECT_EQ(p.lines[p.lines.size() - 2], 7u);
}

TEST(CompilerClasses, ClassInsideAFunctionStoresItsGlobal) {
  auto p = compile_src("fn f() { class C { } }");
  EXPECT_EQ(dis(function(p, "f").code),
            "LoadConst 0, LoadConst 1, LoadConst 2, LoadConst 3, LoadConst 4, MakeObject 0, LoadConst 5, LoadConst 6, "
            "LoadConst 7, MakeObject 0, MakeObject 5, StoreGlobal 8, LoadReg 0, Return");
}

// --- element and member stores ------------------------------------------------------------------------------

TEST(CompilerStores, StoresWriteTheUpdatedContainerBackIntoTheirVariable) {
  struct Case {
    const char* source;
    const char* code;
  };
  const Case cases[] = {
      {"let a = []; a[0] = 9; a.f = 8; g[1] = 7;",
       "MakeArray 0, StoreReg 0, LoadReg 0, Push 0, Push 9, SetIndex, Dup, StoreReg 0, Pop, "
       "LoadReg 0, LoadConst 0, Push 8, SetIndex, Dup, StoreReg 0, Pop, "
       "LoadGlobal 1, Push 1, Push 7, SetIndex, Dup, StoreGlobal 2, Pop"},
      // every level goes back into its parent; hidden registers sit above the declared ones (m and i)
      {"let m; let i = 1; m[i][2] = 5;",
       "LoadConst 0, StoreReg 0, Push 1, StoreReg 1, "
       "LoadReg 0, LoadReg 1, StoreReg 2, Dup, LoadReg 2, GetIndex, Push 2, Push 5, SetIndex, "
       "Dup, StoreReg 3, LoadReg 2, Swap, SetIndex, Dup, StoreReg 0, Pop, LoadReg 3, Pop"},
      {"let i; o.p[i].q = 6;",
       "LoadConst 0, StoreReg 0, "
       "LoadGlobal 1, Dup, LoadConst 2, GetIndex, LoadReg 0, StoreReg 1, Dup, LoadReg 1, GetIndex, "
       "LoadConst 3, Push 6, SetIndex, Dup, StoreReg 2, LoadReg 1, Swap, SetIndex, LoadConst 2, Swap, "
       "SetIndex, Dup, StoreGlobal 4, Pop, LoadReg 2, Pop"},
      // a store nested in another one's value uses the next hidden registers up
      {"let m; let n; m[0][0] = (n[1][1] = 2);",
       "LoadConst 0, StoreReg 0, LoadConst 1, StoreReg 1, "
       "LoadReg 0, Push 0, StoreReg 2, Dup, LoadReg 2, GetIndex, Push 0, "
       "LoadReg 1, Push 1, StoreReg 3, Dup, LoadReg 3, GetIndex, Push 1, Push 2, SetIndex, "
       "Dup, StoreReg 4, LoadReg 3, Swap, SetIndex, Dup, StoreReg 1, Pop, LoadReg 4, "
       "SetIndex, Dup, StoreReg 3, LoadReg 2, Swap, SetIndex, Dup, StoreReg 0, Pop, LoadReg 3, Pop"},
      // containers held by no variable are updated where they stand
      {"f()[0] = 1; [].x = 2;",
       "LoadGlobal 0, Call 0, Push 0, Push 1, SetIndex, Pop, MakeArray 0, LoadConst 1, Push 2, SetIndex, Pop"},
  };
  for (const Case& c : cases) EXPECT_EQ(main_code(c.source), c.code) << c.source;
}

TEST(CompilerStores, HiddenRegistersStartAboveTheInnermostBlock) {
  auto p = compile_src("let a; while c { let b; let d; a[b][d] = 1; } let e = 0;");
  // a is 0, b and d 1 and 2 in the loop block, so the hidden registers are 3 and 4; e reuses 1.
  std::string code = dis(p.code);
  EXPECT_NE(code.find("LoadReg 0, LoadReg 1, StoreReg 3, Dup, LoadReg 3, GetIndex, LoadReg 2, Push 1, SetIndex, "
                      "Dup, StoreReg 4, LoadReg 3, Swap, SetIndex, Dup, StoreReg 0, Pop, LoadReg 4, Pop"),
            std::string::npos)
      << code;
  EXPECT_NE(code.find("Push 0, StoreReg 1, Halt"), std::string::npos) << code;
}

// compile() builds the main program alone. Its code and constants must be those of the full compilation,
// lambda numbering included, and a misplaced break or continue anywhere (function and method bodies too)
// must fail the same way, the first one the full compilation meets winning. The cases run in sequence on
// one thread, large before small, so stale contents of the reused buffers would show as a mismatch.
TEST(CompilerMainOnly, MatchesTheFullCompilation) {
  const char* const sources[] = {
      "fn g() { return fn(y) y }\nlet b = fn(x) fn(z) x\nclass C { k = fn(q) q\n fn m(self) { return fn() 1 } }\n"
      "let c = fn() 0\nlet big = [2147483648, 1.5, \"s\", nil, true, -3]\nfor i in b { if i { continue } }",
      "let f = fn(x) fn(y) x + y\nprint(f(1)(2))",
      "fn f() {\n if 1 { 2 } else if 3 { while 1 { break } } else { continue }\n}\nbreak",
      "break\nfn f() { continue }",
      "class A {\n fn m(self) {\n  match self { case 1: continue }\n }\n}",
      "while 1 { fn g() {\n break } }",
      "fn f() { try { break } catch (e) { continue }\n for i in [1] { if i { break } else { continue } } }",
      "fn f() { fn g() { for x in y { continue } }\n if 1 { } else if 2 { } else { break } }",
      "fn f() { match 1 { case 1: while 1 { break } } }\nclass B { x = 1\n fn n(self) { }\n fn o(self) {\n break } }",
      "",
  };
  for (const char* source : sources) {
    SCOPED_TRACE(source);
    auto tokens = tokenize(source);
    ASSERT_TRUE(tokens.ok());
    auto program = Parser(std::move(tokens.value())).parse_program();
    ASSERT_TRUE(program.ok()) << program.error().display();
    auto full = compile_program(program.value());
    auto main = compile_main_program(program.value());
    ASSERT_EQ(full.ok(), main.ok());
    if (!full.ok()) {
      EXPECT_EQ(main.error().message, full.error().message);
      EXPECT_EQ(main.error().line, full.error().line);
      continue;
    }
    EXPECT_EQ(std::vector<Instruction>(main->code.begin(), main->code.end()), full->code);
    ASSERT_EQ(main->constants->size(), full->constants.size());
    for (size_t k = 0; k < full->constants.size(); ++k) {
      const Constant& a = (*main->constants)[k];
      const Constant& b = full->constants[k];
      EXPECT_TRUE(a.kind == b.kind && a.bool_value == b.bool_value && a.int_value == b.int_value &&
                  a.float_value == b.float_value && a.string_value == b.string_value)
          << "constant " << k;
    }
  }
}
