// Behaviour at the places where the interpreter takes shortcuts: texts extended in place, iterators
// advanced in place, call sites that remember what they resolved, builtins called without a frame.
// Every case states what a script sees; the shortcuts must not show through.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "parser/compiler.h"
#include "tests/cpp/script_test_util.h"
#include "vm_engine/compiler.h"

using namespace tarnwick;
using namespace tarnwick::testing;
using O = Opcode;

namespace {

struct Case {
  const char* label;
  const char* source;
  const char* expected;
};

class FastPaths : public ::testing::TestWithParam<Case> {};

TEST_P(FastPaths, ScriptSeesPlainSemantics) { EXPECT_EQ(run_source(GetParam().source), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Texts, FastPaths,
    ::testing::Values(
        Case{"InterpolationOfEveryKind",
             "fn f(a) { return a }\nfn g(x) { return f\"<{x}|{1}|{2.5}|{nil}|{1 < 2}|{[1, [2.0]]}|{f}>\" }\n"
             "print(g(\"s\"))\nprint(g(7))",
             "\"<s|1|2.5|nil|true|[1, [2.0]]|<function f>>\"\n\"<7|1|2.5|nil|true|[1, [2.0]]|<function f>>\"\n=> nil"},
        Case{"ExtendingInPlaceLeavesOtherHoldersAlone",
             "fn f() {\n let a = \"x\"\n let keep = a\n let i = 0\n let saved = \"\"\n while i < 4 {\n"
             "  a = f\"{a}{i}\"\n  if i == 1 { saved = a }\n  i = i + 1\n }\n return [a, keep, saved]\n}\n"
             "let r = f()\nprint(r[0], r[1], r[2])",
             "\"x0123\"\"x\"\"x01\"\n=> nil"},
        Case{"TopLevelVariableExtendedAndCopied",
             "let s = \"a\"\nlet t = s\ns = f\"{s}b\"\nlet u = s\ns = f\"{s}c\"\nprint(s, t, u)",
             "\"abc\"\"a\"\"ab\"\n=> nil"},
        Case{"TextExtendedByItself",
             "fn f() { let s = \"ab\"\n s = f\"{s}{s}\"\n s = f\"{s}-{s}\"\n return s }\nprint(f())",
             "\"abab-abab\"\n=> nil"},
        Case{"EmptyPartsGiveTheEmptyText", "fn f(a, b) { return f\"{a}{b}\" }\nprint(len(f(\"\", \"\")), f(\"\", 1))",
             "0\"1\"\n=> nil"}));

INSTANTIATE_TEST_SUITE_P(
    Loops, FastPaths,
    ::testing::Values(
        Case{"ArrayStoredIntoDuringItsOwnLoop",
             "fn f() {\n let a = [1, 2, 3]\n let out = []\n let n = 0\n for v in a {\n  a[0] = 9\n  n = n + v\n }\n"
             " return [n, a[0]]\n}\nlet r = f()\nprint(r[0], r[1])",
             "69\n=> nil"},
        Case{"NilElementEndsTheLoopAndBreakLeaves",
             "fn f() {\n let s = 0\n for v in [1, 2, nil, 4] { s = s + v }\n for w in [10, 20, 30] {\n"
             "  if w == 20 { break }\n  s = s + w\n }\n return s\n}\nprint(f())",
             "13\n=> nil"},
        Case{"NestedLoopsOverOneArray",
             "fn f(a) {\n let s = 0\n for x in a { for y in a { s = s + x * y } }\n return s\n}\nprint(f([1, 2, 3]))",
             "36\n=> nil"},
        Case{"StringsAndObjects",
             "fn f() {\n let t = \"\"\n for c in \"h\u00e9\" { t = f\"{t}[{c}]\" }\n for k in {b: 1, a: 2} { t = f\"{t}{k}\" }\n"
             " return t\n}\nprint(f())",
             "\"[h][\u00e9]ab\"\n=> nil"},
        Case{"LoopVariableSurvivesTheLoop",
             "fn f() {\n for v in [5, 6] { }\n return v\n}\nprint(f())",
             "6\n=> nil"}));

INSTANTIATE_TEST_SUITE_P(
    Calls, FastPaths,
    ::testing::Values(
        Case{"BuiltinsThroughOneCallSite",
             "fn f(xs) {\n let s = 0\n for x in xs { s = s + len(x) }\n return s\n}\nprint(f([\"ab\", [1, 2, 3], 5, {a: 1}]))",
             "6\n=> nil"},
        Case{"OneCallSiteSeesDifferentCallees",
             "fn one() { return 1 }\nfn two() { return 2 }\n"
             "fn f() {\n let s = \"\"\n for g in [one, two, len, 5, one] { s = f\"{s}{g()}\" }\n return s\n}\nprint(f())",
             "\"120nil1\"\n=> nil"},
        Case{"MissingAndExtraArguments",
             "fn pair(a, b) { return [a, b] }\nfn f() {\n let r = \"\"\n for n in [0, 1, 2, 3] {\n"
             "  let p = n == 0 ? pair() : n == 1 ? pair(1) : n == 2 ? pair(1, 2) : pair(1, 2, 3)\n"
             "  r = f\"{r}{p}\"\n }\n return r\n}\nprint(f())",
             "\"[nil, nil][1, nil][1, 2][1, 2]\"\n=> nil"},
        Case{"ErrorInsideACalleeCarriesItsLine",
             "fn inner(x) {\n let y = x\n return y / 0\n}\nfn outer() { return inner(1) }\nprint(outer())",
             "=> error: Line 3: Division by zero"}));

// A body that falls off its end returns the value of the last expression statement it ran.
INSTANTIATE_TEST_SUITE_P(
    Results, FastPaths,
    ::testing::Values(
        Case{"LastStatementAfterStores", "fn f(x) {\n x = x + 1\n let y = x\n x * 2\n}\nprint(f(1))", "4\n=> nil"},
        Case{"LoopBodyIsTheLastOneRun",
             "fn g(n) {\n let i = 0\n while i < n { i = i + 1 }\n}\nprint(g(3), g(0))", "3nil\n=> nil"},
        Case{"BranchNotTaken", "fn h(c) {\n 1\n if c { 2 }\n}\nprint(h(1), h(0))", "21\n=> nil"},
        Case{"BreakSkipsTheRestOfTheBody",
             "fn k() {\n let i = 0\n while i < 100 {\n  i = i + 1\n  if i > 2 { break }\n  5\n }\n}\nprint(k())",
             "3\n=> nil"},
        Case{"ContinueSkipsTheRestOfTheBody",
             "fn m() {\n let i = 0\n while i < 3 {\n  i = i + 1\n  if i > 0 { continue }\n  7\n }\n}\nprint(m())",
             "3\n=> nil"},
        Case{"ElementStoreIsTheResult",
             "fn f() {\n let a = [1, 2]\n a[1] = 5\n}\nlet r = f()\nprint(r[0], r[1])", "15\n=> nil"}));

// A call site that resolved a function must call a native added later under that name.
TEST(FastPathsNatives, NativeAddedAfterACallSiteResolved) {
  struct FortyTwo : NativeCallable {
    Result<ValueRef, std::string> call(const std::vector<ValueRef>&) override { return ValueRef::integer(42); }
  };
  tarnwick::testing::Program p;
  p.constants = {Constant::string("f"), Constant::string("g")};
  // r0 := f; loop: g := r0(); fail on 1 / 0; back to the loop (the next run continues after the failure).
  p.code = {op(O::LoadGlobal, 0), op(O::StoreReg, 0), op(O::LoadReg, 0), op(O::Call, 0), op(O::StoreGlobal, 1),
            push(1),           push(0),              op(O::Div),        op(O::Jump, 2)};
  p.functions.push_back(function("f", 0, {push(7), op(O::Return)}));
  auto vm = make_vm(std::move(p));
  EXPECT_EQ(outcome(vm->run()), "err:Division by zero");
  EXPECT_EQ(to_text(vm->global("g")), "7");
  vm->add_native("f", std::make_shared<FortyTwo>());
  EXPECT_EQ(outcome(vm->run()), "err:Division by zero");
  EXPECT_EQ(to_text(vm->global("g")), "42");
}

}  // namespace
