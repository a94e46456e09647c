// Compiled programs: compiled once, then run by many runtimes, many times and on several threads at once,
// each run as run(source) would run the source, the program left as it was.
#include <gtest/gtest.h>

#include <functional>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "parser/runtime.h"

namespace tarnwick {
namespace {

std::string show(const Outcome& r) { return r.ok() ? to_display(r.value()) : r.error().text(); }

struct Fn final : NativeCallable {
  std::function<Result<ValueRef, std::string>(const std::vector<ValueRef>&)> body;
  explicit Fn(decltype(body) b) : body(std::move(b)) {}
  Result<ValueRef, std::string> call(const std::vector<ValueRef>& args) override { return body(args); }
};

// Functions, a class, string and float constants, a loop the optimizer rewrites, a global it updates.
constexpr char kLibrary[] =
    "class Acc { fn add(self, x) { return self.base + x } }\n"
    "fn label(n) { let s = \"ok\" return f\"item {n}: {s}\" }\n"
    "fn score(n) { let a = {__class__: \"Acc\", base: 0.5} let t = 0 for i in range(0, n) { t = t + a.add(i * 2) } "
    "return t }\n"
    "let k = 1 + 2\n"
    "if runs == nil { runs = 0 }\n"
    "runs = runs + k\n";

CompiledProgram compiled(const char* source) {
  auto c = CompiledProgram::compile(source);
  EXPECT_TRUE(c.ok()) << (c.ok() ? "" : c.error().text());
  return std::move(c).value();
}

TEST(CompiledProgram, FailsToCompileAsRunReportsIt) {
  const char* sources[] = {"let s = \"open", "let = 1", "let x = 1\nbreak", "fn f( {"};
  for (const char* source : sources) {
    auto c = CompiledProgram::compile(source);
    ASSERT_FALSE(c.ok()) << source;
    Runtime rt;
    Outcome r = rt.run(source);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(c.error().kind, r.error().kind) << source;
    EXPECT_EQ(c.error().text(), r.error().text()) << source;
    EXPECT_EQ(c.error().line, r.error().line) << source;
    EXPECT_EQ(c.error().column, r.error().column) << source;
  }
}

TEST(CompiledProgram, RunsInManyRuntimesAndManyTimesAsItsSourceWould) {
  CompiledProgram program = compiled(kLibrary);
  const BytecodeProgram before = program.bytecode();
  Runtime from_source;
  ASSERT_TRUE(from_source.run(kLibrary).ok());
  for (int r = 0; r < 3; ++r) {
    Runtime rt;
    for (int i = 1; i <= 3; ++i) {
      ASSERT_TRUE(rt.run(program, "lib.tw").ok());
      EXPECT_EQ(to_display(rt.global("runs")), std::to_string(3 * i));
    }
    EXPECT_EQ(show(rt.call(rt.global("score"), {ValueRef::integer(4)})), "14.0");
    EXPECT_EQ(show(from_source.call(from_source.global("score"), {ValueRef::integer(4)})), "14.0");
    EXPECT_EQ(show(rt.call(rt.global("label"), {ValueRef::integer(7)})), "\"item 7: ok\"");
  }
  const BytecodeProgram& after = program.bytecode();
  EXPECT_EQ(after.code, before.code);
  EXPECT_EQ(after.lines, before.lines);
  ASSERT_EQ(after.functions.size(), before.functions.size());
  for (size_t i = 0; i < after.functions.size(); ++i) EXPECT_EQ(after.functions[i].code, before.functions[i].code);
}

TEST(CompiledProgram, FailuresNameTheOriginAndLeaveTheRuntimeUsable) {
  CompiledProgram program = compiled("fn f(x) { return 10 / x }\nlet y = f(0)\n");
  Runtime rt;
  Outcome r = rt.run(program, "div.tw");
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().text(), "Runtime error: Line 1: Division by zero");
  ASSERT_EQ(r.error().trace.size(), 2u);
  EXPECT_EQ(r.error().trace.back().origin, "div.tw");
  EXPECT_EQ(show(rt.call(rt.global("f"), {ValueRef::integer(5)})), "2.0");
}

TEST(CompiledProgram, IsNotRunFromInsideARun) {
  CompiledProgram program = compiled("1");
  Runtime rt;
  rt.add_native("load", std::make_shared<Fn>([&](const std::vector<ValueRef>&) -> Result<ValueRef, std::string> {
    Outcome inner = rt.run(program);
    return inner.ok() ? Result<ValueRef, std::string>(ValueRef()) : make_err(inner.error().message);
  }));
  EXPECT_EQ(show(rt.run("load()")), std::string("Runtime error: Line 1: ") + kRunInCall);
}

TEST(CompiledProgram, RuntimesOnSeveralThreadsRunTheSameOne) {
  const CompiledProgram program = compiled(kLibrary);
  constexpr int kThreads = 4;
  constexpr int kRuns = 40;
  std::vector<std::string> seen(kThreads);
  std::vector<std::thread> threads;
  std::latch ready(kThreads);  // every thread's runs overlap the others'
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&program, &seen, &ready, t] {
      Runtime rt;
      ready.arrive_and_wait();
      std::string out;
      for (int i = 0; i < kRuns; ++i) {
        Outcome r = rt.run(program, "lib.tw");
        if (!r.ok()) {
          seen[t] = r.error().text();
          return;
        }
        out = show(rt.call(rt.global("score"), {ValueRef::integer(20 + i % 3)})) + " " + to_display(rt.global("runs"));
      }
      seen[t] = out;
    });
  }
  for (std::thread& th : threads) th.join();
  Runtime reference;
  ASSERT_TRUE(reference.run(kLibrary).ok());
  const std::string expected =
      show(reference.call(reference.global("score"), {ValueRef::integer(20 + (kRuns - 1) % 3)})) + " " +
      std::to_string(3 * kRuns);
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(seen[t], expected) << "thread " << t;
}

}  // namespace
}  // namespace tarnwick
