// The Runtime: one entry from source to result, programs loaded one after another into one machine, host
// calls (also from natives mid-run), call stacks of failures, limits and interrupts.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
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

TEST(RunOnce, ReportsEveryKindOfEndAsTheOneShotPipelineDoes) {
  struct Case {
    const char* source;
    const char* text;
  } cases[] = {
      {"", "nil"},
      {"1 / 0", "Runtime error: Line 1: Division by zero"},
      {"let x = 1\nbreak", "Compile error: Line 2: 'break' outside of a loop"},
      {"let = 1", "Parse error: ParseError at 1:5: Expected identifier"},
      {"fn f() { return 7 }\nlet r = f()\nr = r * 6", "nil"},
  };
  for (const Case& c : cases) EXPECT_EQ(show(run_once(c.source)), c.text) << c.source;
  Outcome lexed = run_once("let s = \"open");
  ASSERT_FALSE(lexed.ok());
  EXPECT_EQ(lexed.error().kind, FailureKind::Lex);
  EXPECT_EQ(lexed.error().text().rfind("Lex error: ", 0), 0u);
}

TEST(Runtime, KeepsFunctionsAndGlobalsAcrossRunsAndRebindsRedefinedFunctions) {
  Runtime rt;
  ASSERT_TRUE(rt.run("fn f() { return 1 }\nfn g() { return f() + 10 }\ncount = 1\nlet local = 5").ok());
  EXPECT_EQ(show(rt.call(rt.global("g"), {})), "11");
  EXPECT_EQ(show(rt.call(rt.global("g"), {})), "11");  // the call site inside g now knows f
  ASSERT_TRUE(rt.run("fn f() { return 2 }\ncount = count + 1").ok());
  EXPECT_EQ(show(rt.call(rt.global("g"), {})), "12");
  EXPECT_EQ(to_display(rt.global("count")), "2");
  EXPECT_TRUE(rt.global("local").is_nil());
  std::vector<std::string> names = rt.global_names();
  EXPECT_NE(std::find(names.begin(), names.end(), "count"), names.end());
}

TEST(Runtime, AProgramThatDefinesAFunctionTwiceKeepsTheLaterOne) {
  // The earlier body is freed when the later one replaces it while the program loads.
  Runtime rt;
  Outcome r = rt.run("fn f() { return 1 }\nfn f() { return 2 }\nlet x = f()\nx = x / 0", "twice.tw");
  ASSERT_FALSE(r.ok());
  ASSERT_EQ(r.error().trace.size(), 1u);
  EXPECT_EQ(r.error().trace[0].origin, "twice.tw");
  EXPECT_EQ(show(rt.call(rt.global("f"), {})), "2");
}

TEST(Runtime, CallsAMethodThroughItsClass) {
  Runtime rt;
  ASSERT_TRUE(rt.run("class A { fn hi(self, n) { return self.v + n } }\nclass B extends A { }").ok());
  ValueRef obj = ValueRef::object({{"__class__", ValueRef::string("B")}, {"v", ValueRef::integer(40)}});
  ValueRef method = rt.vm().member(obj, "hi");
  ASSERT_EQ(method.kind(), ValueKind::Method);
  EXPECT_EQ(show(rt.call(method, {ValueRef::integer(2)})), "42");
  EXPECT_TRUE(rt.vm().member(obj, "missing").is_nil());
}

TEST(Runtime, FailureCarriesTheCallStackOutermostFirst) {
  Runtime rt;
  Outcome r = rt.run("fn inner(x) {\n  return x / 0\n}\nfn outer() { return inner(1) }\nouter()", "t.tw");
  ASSERT_FALSE(r.ok());
  const Failure& f = r.error();
  EXPECT_EQ(f.message, "Line 2: Division by zero");
  EXPECT_EQ(f.line, 2u);
  ASSERT_EQ(f.trace.size(), 3u);
  EXPECT_EQ(f.trace[0].function, "");
  EXPECT_EQ(f.trace[0].line, 5u);
  EXPECT_EQ(f.trace[1].function, "outer");
  EXPECT_EQ(f.trace[2].function, "inner");
  EXPECT_EQ(f.trace[2].origin, "t.tw");
  // The machine is idle again and keeps what the failed run defined.
  EXPECT_EQ(show(rt.call(rt.global("outer"), {})), "Runtime error: Line 2: Division by zero");
  EXPECT_EQ(rt.vm().call_depth(), 0u);
}

TEST(Runtime, NativeCallsBackIntoTheRunningScriptAndTheRunGoesOn) {
  Runtime rt;
  rt.add_native("each", std::make_shared<Fn>([&rt](const std::vector<ValueRef>& a) -> Result<ValueRef, std::string> {
    // f(x) for each element, through the runtime that is running this native.
    std::vector<ValueRef> out;
    for (const ValueRef& x : a[1].as_array()) {
      Outcome r = rt.call(a[0], {x});
      if (!r.ok()) return make_err(r.error().message);
      out.push_back(r.value());
    }
    return ValueRef::array(std::move(out));
  }));
  ASSERT_TRUE(rt.run("fn sq(x) { let y = x * x return y }\n"
                     "fn go(k) { let keep = k let r = each(sq, [1, 2, 3]) return f\"{keep} {r}\" }").ok());
  EXPECT_EQ(show(rt.call(rt.global("go"), {ValueRef::integer(9)})), "\"9 [1, 4, 9]\"");
  // A failing callback leaves the outer run intact: its native reports the error, which ends that run.
  Outcome r = rt.run("fn bad(x) { return x / 0 }\nlet a = 1\nlet r = each(bad, [1])\n");
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message, "Line 3: Line 1: Division by zero");
  EXPECT_EQ(show(rt.call(rt.global("go"), {ValueRef::integer(1)})), "\"1 [1, 4, 9]\"");
  // A new program cannot be loaded from inside a run.
  rt.add_native("load", std::make_shared<Fn>([&rt](const std::vector<ValueRef>&) -> Result<ValueRef, std::string> {
    Outcome inner = rt.run("1");
    return inner.ok() ? Result<ValueRef, std::string>(ValueRef()) : make_err(inner.error().message);
  }));
  EXPECT_EQ(show(rt.run("load()")), std::string("Runtime error: Line 1: ") + kRunInCall);
}

TEST(Runtime, LimitsStopTheRunAndLeaveTheRuntimeUsable) {
  struct Case {
    RunLimits limits;
    const char* source;
    FailureKind kind;
  } cases[] = {
      {{50000, 0, 0}, "while 1 { }", FailureKind::InstructionLimit},
      {{0, 0.05, 0}, "fn f() { while 1 { } } f()", FailureKind::TimeLimit},
      {{0, 0, 1 << 20}, "big = range(0, 1000000)", FailureKind::MemoryLimit},
      {{0, 0, 1 << 20}, "let a = range(0, 20000) for i in range(0, 20000) { a[i] = f\"{i} padded out\" }",
       FailureKind::MemoryLimit},
  };
  for (const Case& c : cases) {
    Runtime rt;
    rt.set_limits(c.limits);
    ASSERT_TRUE(rt.run("fn one() { return 1 }").ok());
    Outcome r = rt.run(c.source);
    ASSERT_FALSE(r.ok()) << c.source;
    EXPECT_EQ(r.error().kind, c.kind) << c.source;
    EXPECT_EQ(show(rt.call(rt.global("one"), {})), "1") << c.source;
  }
}

TEST(Runtime, InterruptFromAnotherThreadEndsTheRun) {
  Runtime rt;
  std::atomic<bool> done{false};
  std::thread stopper([&] {
    while (!done.load()) {
      rt.interrupt();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  Outcome r = rt.run("while 1 { }");
  done = true;
  stopper.join();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind, FailureKind::Interrupted);
  EXPECT_EQ(r.error().text(), "Runtime error: Interrupted");
}

TEST(Runtime, HostIoTakesPrintAndInput) {
  struct Io final : HostIO {
    std::string written;
    std::optional<std::string> write(std::string_view text) override {
      written += text;
      return text == "\"boom\"\n" ? std::optional<std::string>("Native error: OSError: closed") : std::nullopt;
    }
    Result<ValueRef, std::string> read_line(const std::optional<std::string>& prompt) override {
      return ValueRef::string(prompt ? *prompt + "!" : "none");
    }
  } io;
  Runtime rt;
  rt.set_io(&io);
  EXPECT_EQ(show(rt.run("print(input(\"q\"), input())")), "nil");
  EXPECT_EQ(io.written, "\"\"q\"!\"\"none\"\n");  // display quotes, no escapes
  EXPECT_EQ(show(rt.run("print(\"boom\")")), "Runtime error: Line 1: Native error: OSError: closed");
}

}  // namespace
}  // namespace tarnwick
