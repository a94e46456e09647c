// Programs whose depth is the point, end to end through the compiler, the main-code optimizer and the VM:
// values nested a million levels and recursion 200000 calls deep. Programs of ordinary size are in the
// script corpus (tests/scripts).
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
