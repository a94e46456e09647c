// Source text to result, end to end through the compiler, the main-code optimizer and the VM.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "parser/compiler.h"
#include "vm_engine/compiler.h"
#include "vm_engine/vm.h"

using namespace tarnwick;

namespace {

struct Outcome {
  std::string printed;
  std::string result;  // display text, or "Runtime error: {message}"
};

Outcome run_source(const std::string& source) {
  auto compiled = compile_source(source);
  if (!compiled) return {"", "compile failed: " + compiled.error().message};
  BytecodeProgram& p = compiled.value();
  OptimizeResult opt = optimize_main(p.code, p.lines);
  VM vm(std::move(opt.code), std::move(p.lines), std::move(p.constants), std::move(p.functions));
  std::FILE* out = std::tmpfile();
  vm.set_stdio(stdin, out);
  RunResult r = vm.run();
  Outcome o;
  std::rewind(out);
  int c;
  while ((c = std::fgetc(out)) != EOF) o.printed.push_back(static_cast<char>(c));
  std::fclose(out);
  o.result = r.ok() ? to_display(r.value()) : "Runtime error: " + r.error();
  return o;
}

struct ProgramCase {
  const char* label;
  const char* source;
  const char* printed;
  const char* result;
};

class Programs : public ::testing::TestWithParam<ProgramCase> {};

TEST_P(Programs, PrintAndResult) {
  const auto& c = GetParam();
  Outcome o = run_source(c.source);
  EXPECT_EQ(o.printed, c.printed);
  EXPECT_EQ(o.result, c.result);
}

INSTANTIATE_TEST_SUITE_P(
    EndToEnd, Programs,
    ::testing::Values(
        ProgramCase{"Empty", "", "", "nil"},
        ProgramCase{"ExpressionStatementsArePopped", "1 + 2\n\"x\"\n", "", "nil"},
        ProgramCase{"DivisionByZeroHasLine", "let a = 1\n\nprint(a / 0)\n", "", "Runtime error: Line 3: Division by zero"},
        ProgramCase{"PrintShowsDisplayTexts", "print(\"hi\", 3, [1, 2], {a: 1}, 2.0, nil)\n", "\"hi\"3[array:2]{object:1}2.0nil\n", "nil"},
        ProgramCase{"RecursiveFib", "fn fib(n) { if n < 2 { return n }\n return fib(n - 1) + fib(n - 2) }\nprint(fib(22))\n",
                    "17711\n", "nil"},
        ProgramCase{"WhileLoopWithRegisters", "let s = 0\nlet i = 0\nwhile i < 1000 { s = s + i\n i = i + 1 }\nprint(s)\n",
                    "499500\n", "nil"},
        ProgramCase{"ArrayStoresWriteBackAndCopiesStayApart",
                    "let a = [1, 2, 3]\nlet b = a\na[0] = 10\nb[-1] = 30\nprint(str(a), str(b))\n",
                    "\"[10, 2, 3]\"\"[1, 2, 30]\"\n", "nil"},
        ProgramCase{"FillingAnArrayInALoop",
                    "let sq = range(0, 6)\nfor i in range(0, 6) { sq[i] = i * i }\nprint(str(sq))\n",
                    "\"[0, 1, 4, 9, 16, 25]\"\n", "nil"},
        ProgramCase{"ObjectsIterateSortedAndRenderInInsertionOrder",
                    "let o = {pear: 1, apple: 2}\no.fig = 3\nfor k in o { print(k) }\nprint(str(o))\n",
                    "\"apple\"\n\"fig\"\n\"pear\"\n\"{pear: 1, apple: 2, fig: 3}\"\n", "nil"},
        ProgramCase{"ForStopsAtNil", "for x in [1, 2, nil, 4] { print(x) }\n", "1\n2\n", "nil"},
        ProgramCase{"StringsIterateByCharacter", "for ch in \"h\xC3\xA9!\" { print(ch) }\n", "\"h\"\n\"\xC3\xA9\"\n\"!\"\n", "nil"},
        ProgramCase{"ClassesAndInheritance",
                    "class A { fn who(self) { return \"A\" }\n fn hello(self) { return f\"{self.who()} {self.n}\" } }\n"
                    "class B extends A { fn who(self) { return \"B\" } }\n"
                    "print({__class__: \"B\", n: 1}.hello())\nprint({__class__: \"A\", n: 2}.hello())\n"
                    "print({__class__: \"B\"}.missing)\n",
                    "\"B 1\"\n\"A 2\"\nnil\n", "nil"},
        ProgramCase{"LambdasAndHigherOrderCalls",
                    "let twice = fn(f, x) f(f(x))\nlet inc = fn(x) x + 1\nprint(twice(inc, 5))\n", "7\n", "nil"},
        ProgramCase{"GlobalsSharedWithFunctions",
                    "count = 0\nfn tick() { count = count + 1\n return count }\ntick()\ntick()\nprint(count)\n", "2\n", "nil"},
        ProgramCase{"UserFunctionShadowsBuiltin", "fn len(x) { return 42 }\nprint(len([1]))\n", "42\n", "nil"},
        ProgramCase{"TypeErrorInsideAFunctionHasItsLine",
                    "fn f(x) {\n  return x + \"s\"\n}\nf(1)\n", "",
                    "Runtime error: Line 2: Type error: cannot apply add to int and string"},
        ProgramCase{"MatchPicksTheFirstEqualCase",
                    "let v = 2\nmatch v {\n case 1: print(\"one\")\n case 2: print(\"two\")\n case 2: print(\"again\")\n}\n",
                    "\"two\"\n", "nil"},
        ProgramCase{"NoShortCircuit", "fn t(x) { print(x)\n return x }\nprint(t(0) and t(1))\n", "0\n1\nfalse\n", "nil"},
        ProgramCase{"SaturatingArithmetic", "print(9223372036854775807 + 1, -9223372036854775807 - 10)\n",
                    "9223372036854775807-9223372036854775808\n", "nil"},
        ProgramCase{"HugeRangeIsAnError", "let r = range(0, 10000000000)\n", "", "Runtime error: Line 1: Out of memory"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(ProgramsDeep, NestingAMillionLevelsRendersAndFrees) {
  Outcome o = run_source("let a = []\nlet i = 0\nwhile i < 1000000 { a = [a]\n i = i + 1 }\nprint(len(str(a)))\n");
  EXPECT_EQ(o.printed, "2000002\n");
  EXPECT_EQ(o.result, "nil");
}

TEST(ProgramsDeep, ManyCallsDeepRecursionUsesNoNativeStack) {
  Outcome o = run_source("fn down(n) { if n == 0 { return 0 }\n return 1 + down(n - 1) }\nprint(down(200000))\n");
  EXPECT_EQ(o.printed, "200000\n");
}

}  // namespace
