// Resource ceilings: scripts that ask for too much memory, recurse or push without end, or build values
// nested a million deep must end with a runtime error (or succeed) without taking the process down.
#include <gtest/gtest.h>

#include <pthread.h>

#include <cstdio>
#include <algorithm>
#include <functional>
#include <memory>
#include <string>

#include "parser/compiler.h"
#include "vm_engine/compiler.h"
#include "vm_engine/limits.h"
#include "vm_engine/vm.h"

using namespace tarnwick;

namespace {

// Lowers the ceilings for one test so that hitting them is quick; restores the defaults after.
class ScopedLimits {
 public:
  explicit ScopedLimits(Limits l) : saved_(current_limits()) { set_limits(l); }
  ~ScopedLimits() { set_limits(saved_); }

 private:
  Limits saved_;
};

Limits small_limits() {
  Limits l;
  l.max_value_bytes = 1 << 20;
  l.max_stack_slots = 1 << 12;
  l.max_call_depth = 1000;
  return l;
}

struct Outcome {
  std::string printed;
  std::string result;
};

Outcome run_source(const std::string& source, const std::string& input = "") {
  auto compiled = compile_source(source);
  if (!compiled) return {"", "compile failed: " + compiled.error().message};
  BytecodeProgram& p = compiled.value();
  OptimizeResult opt = optimize_main(p.code, p.lines);
  VM vm(std::move(opt.code), std::move(p.lines), std::move(p.constants), std::move(p.functions));
  std::FILE* out = std::tmpfile();
  std::FILE* in = std::tmpfile();
  std::fwrite(input.data(), 1, input.size(), in);
  std::rewind(in);
  vm.set_stdio(in, out);
  RunResult r = vm.run();
  Outcome o;
  std::rewind(out);
  int c;
  while ((c = std::fgetc(out)) != EOF) o.printed.push_back(static_cast<char>(c));
  std::fclose(out);
  std::fclose(in);
  o.result = r.ok() ? to_display(r.value()) : "Runtime error: " + r.error();
  return o;
}

struct LimitCase {
  const char* label;
  const char* source;
  const char* result;
};

class OverLimit : public ::testing::TestWithParam<LimitCase> {};

TEST_P(OverLimit, EndsWithARuntimeError) {
  ScopedLimits limits(small_limits());
  EXPECT_EQ(run_source(GetParam().source).result, GetParam().result);
}

INSTANTIATE_TEST_SUITE_P(
    Resources, OverLimit,
    ::testing::Values(
        LimitCase{"StringDoubling", "let s = \"xxxxxxxx\"\nwhile true { s = f\"{s}{s}\" }\n",
                  "Runtime error: Line 2: Out of memory"},
        LimitCase{"StrOfSharedNesting", "let a = [1]\nlet i = 0\nwhile i < 64 { a = [a, a]; i = i + 1 }\nstr(a)\n",
                  "Runtime error: Line 4: Out of memory"},
        LimitCase{"ObjectGrowth", "let o = {}\nlet i = 0\nwhile true {\n  o[i] = i\n  i = i + 1\n}\n",
                  "Runtime error: Line 4: Out of memory"},
        LimitCase{"RangeOverCeiling", "range(0, 1000000)", "Runtime error: Line 1: Out of memory"},
        LimitCase{"IterateLongString",
                  "let s = \"xxxxxxxx\"\nwhile len(s) < 100000 { s = f\"{s}{s}\" }\nfor c in s { }\n",
                  "Runtime error: Line 3: Out of memory"},
        LimitCase{"EndlessRecursion", "fn f(n) { return f(n + 1) }\nf(0)\n", "Runtime error: Line 1: Stack overflow"},
        LimitCase{"EndlessMethodRecursion",
                  "class A { fn m(self) { return self.m() } }\nlet a = {__class__: \"A\"}\na.m()\n",
                  "Runtime error: Line 1: Stack overflow"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(Resources, DefaultCeilingsStopHugeRangeAndEndlessRecursion) {
  EXPECT_EQ(run_source("let a = range(0, 10000000000)").result, "Runtime error: Line 1: Out of memory");
  EXPECT_EQ(run_source("range(-9223372036854775807, 9223372036854775807)").result,
            "Runtime error: Line 1: Out of memory");
  EXPECT_EQ(run_source("fn f(n) {\n  return f(n + 1)\n}\nf(0)\n").result, "Runtime error: Line 2: Stack overflow");
}

TEST(Resources, CallDepthCeilingIsExact) {
  Limits l = small_limits();
  l.max_call_depth = 50;
  ScopedLimits limits(l);
  const char* source = "fn down(n) { if n == 0 { return 0 } return down(n - 1) + 1 }\n";
  EXPECT_EQ(run_source(std::string(source) + "print(down(49))").printed, "49\n");
  EXPECT_EQ(run_source(std::string(source) + "print(down(50))").result, "Runtime error: Line 1: Stack overflow");
}

TEST(Resources, ValueCeilingAllowsWhatFits) {
  ScopedLimits limits(small_limits());
  // 2^16 ints take exactly 1 MiB: allowed; one more is not.
  EXPECT_EQ(run_source("print(len(range(0, 65536)))").printed, "65536\n");
  EXPECT_EQ(run_source("print(len(range(0, 65537)))").result, "Runtime error: Line 1: Out of memory");
  // Doubling a string gets exactly as far as the ceiling allows.
  Outcome o = run_source("let s = \"xxxxxxxx\"\nwhile true {\n  print(len(s))\n  s = f\"{s}{s}\"\n}\n");
  EXPECT_EQ(o.result, "Runtime error: Line 4: Out of memory");
  EXPECT_EQ(o.printed.substr(o.printed.size() - 15), "524288\n1048576\n");
}

TEST(Resources, InputLineLongerThanTheCeilingIsAnError) {
  ScopedLimits limits(small_limits());
  EXPECT_EQ(run_source("input()", std::string(2 << 20, 'x') + "\n").result, "Runtime error: Line 1: Out of memory");
  EXPECT_EQ(run_source("print(len(input()))", std::string(1000, 'x') + "\n").printed, "1000\n");
}

TEST(Resources, EndlessPushesOverflowTheValueStack) {
  ScopedLimits limits(small_limits());
  std::vector<Instruction> code = {make_push(1), make_instr(Opcode::Jump, 0)};
  VM vm(code, {}, {}, {});
  RunResult r = vm.run();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), "Stack overflow");
  EXPECT_EQ(vm.stack_depth(), small_limits().max_stack_slots);
}

TEST(Resources, HugeCountOperandsUnderflowWithoutAllocating) {
  for (Opcode o : {Opcode::MakeArray, Opcode::MakeObject, Opcode::Call}) {
    std::vector<Instruction> code = {make_push(1), make_push(2), make_instr(o, 0xFFFFFFFFFFFFull)};
    VM vm(code, {}, {}, {});
    RunResult r = vm.run();
    ASSERT_FALSE(r.ok()) << static_cast<int>(o);
    EXPECT_EQ(r.error(), "Stack underflow");
    EXPECT_EQ(vm.stack_depth(), 0u);
  }
}

TEST(Resources, PollIntervalSetsHowOftenTheHookIsAsked) {
  // A host that needs a prompt answer (a fuzzer's budget, a deadline) asks the VM to poll more often.
  for (uint32_t interval : {1u, 4u, 1000u}) {
    VM vm({make_instr(Opcode::Jump, 0)}, {}, {}, {});
    int polls = 0;
    vm.set_poll_interval(interval);
    vm.set_poll_hook(
        [](void* c) -> std::optional<std::string> {
          if (++*static_cast<int*>(c) == 3) return std::string("stop");
          return std::nullopt;
        },
        &polls);
    RunResult r = vm.run();
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error(), "stop");
    EXPECT_EQ(vm.instructions_executed(), 3u * interval);
  }
}

// --- Values nested a million deep, on a small native stack ---------------------------------------------

// Runs `body` on a thread whose native stack is far too small for recursion over a million levels.
void on_small_stack(const std::function<void()>& body, size_t stack = 512 * 1024) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, stack);
  pthread_t thread;
  auto trampoline = [](void* arg) -> void* {
    (*static_cast<const std::function<void()>*>(arg))();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attr, trampoline, const_cast<std::function<void()>*>(&body)), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
}

TEST(DeepValues, ScriptsRenderCompareIterateAndFreeMillionDeepValues) {
  on_small_stack([] {
    const std::string build =
        "let a = []\nlet o = {}\nlet i = 0\n"
        "while i < 1000000 { a = [a]; o = {next: o, n: i}; i = i + 1 }\n";
    Outcome out = run_source(build +
                             "print(a, o)\n"
                             "print(a == a, o == o, a != o)\n"
                             "let n = 0\nfor x in a { n = n + 1 }\nfor k in o { n = n + 1 }\n"
                             "let t = str(a)\nlet u = str(o)\n"
                             "print(len(t), \" \", n, \" \", len(u) > 10000000)\n");
    EXPECT_EQ(out.printed, "[array:1]{object:2}\nfalsefalsetrue\n2000002\" \"3\" \"true\n");
    EXPECT_EQ(out.result, "nil");
  });
}

TEST(DeepValues, NativeRenderingsCopiesAndFreesOfDeepChains) {
  on_small_stack([] {
    ValueRef a = ValueRef::array({});
    ValueRef o = ValueRef::object(ObjectMap{});
    for (int i = 0; i < 1000000; ++i) {
      a = ValueRef::array({a});
      o = ValueRef::object({{"next", o}, {"m", ValueRef::method(a, "f")}});
    }
    EXPECT_EQ(to_text(a).size(), 2000002u);
    EXPECT_EQ(to_display(o), "{object:2}");
    EXPECT_FALSE(values_equal(a, a));
    ValueRef copy = shallow_copy(a);
    a = ValueRef();
    EXPECT_EQ(copy.as_array().size(), 1u);
    // The methods' receivers keep every array level alive through the object chain: freeing o frees both.
    copy = ValueRef();
    o = ValueRef();
  });
}

// A native that starts another run of a program calling that same native: runs nest on the native stack.
struct Reenter : NativeCallable {
  std::shared_ptr<NativeCallable> self;
  int depth = 0;
  uintptr_t first_frame = 0, last_frame = 0;
  Result<ValueRef, std::string> call(const std::vector<ValueRef>&) override {
    auto frame = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    if (depth++ == 0) first_frame = frame;
    last_frame = frame;
    VM inner({make_instr(Opcode::LoadGlobal, 0), make_instr(Opcode::Call, 0)}, {}, {Constant::string("again")}, {});
    inner.add_native("again", self);
    RunResult r = inner.run();
    if (!r.ok()) return make_err(r.error());
    return r.value();
  }
};

TEST(Resources, NativesThatStartRunsWithoutEndStopBeforeTheNativeStackRunsOut) {
  on_small_stack(
      [] {
        auto native = std::make_shared<Reenter>();
        native->self = native;
        VM vm({make_instr(Opcode::LoadGlobal, 0), make_instr(Opcode::Call, 0)}, {}, {Constant::string("again")}, {});
        vm.add_native("again", native);
        RunResult r = vm.run();
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error(), "Stack overflow");
        EXPECT_GT(native->depth, 3);
        // Every level unwound normally; report how much stack one level took, for choosing the reserve.
        std::printf("[ info ] %d nested runs, %zu bytes of native stack each\n", native->depth,
                    static_cast<size_t>((native->first_frame - native->last_frame) / std::max(1, native->depth - 1)));
        native->self.reset();
      },
      2 << 20);
}

}  // namespace

// The guard's reserve is sized to one more nested run, not to the whole thread: a thread with a small
// stack runs ordinary scripts, and only runs nesting without end through a native hit the guard.
TEST(Resources, SmallStackThreadsRunOrdinaryScripts) {
  on_small_stack(
      [] {
        Outcome out = run_source("fn f(n) { if n < 2 { return n } return f(n - 1) + f(n - 2) }\nprint(f(12), [1, [2]])\n");
        EXPECT_EQ(out.printed, "144[array:2]\n");
        EXPECT_EQ(out.result, "nil");
        auto native = std::make_shared<Reenter>();
        native->self = native;
        VM vm({make_instr(Opcode::LoadGlobal, 0), make_instr(Opcode::Call, 0)}, {}, {Constant::string("again")}, {});
        vm.add_native("again", native);
        RunResult r = vm.run();
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error(), "Stack overflow");
        EXPECT_GE(native->depth, 1);
        native->self.reset();
      },
      256 << 10);
}

namespace tarnwick {
namespace {

// A long straight program (poll points) with loops and stores (fused sequences), run with its sequences
// given up from the start (the stack ceiling right above what the machine starts with) and without: the
// same results, and the poll hook is asked within the straight stretch either way.
TEST(Resources, CodeWithoutFusedSequencesKeepsItsPollPointsAndResults) {
  std::string source = "let a = [0, 0, 0]\nlet i = 0\nwhile i < 50 { a[i % 3] = a[i % 3] + i i = i + 1 }\nx = 0\n";
  for (int k = 0; k < 2000; ++k) source += "x = x + " + std::to_string(k % 7) + "\n";
  source += "print(a[0] * 1000000 + a[1] * 1000 + a[2], \" \", x)\n";
  auto polls_and_output = [&source](bool plain) {
    Limits l;
    if (plain) l.max_stack_slots = 1030;
    ScopedLimits scoped(l);
    auto compiled = compile_source(source);
    EXPECT_TRUE(compiled.ok());
    BytecodeProgram& p = compiled.value();
    OptimizeResult opt = optimize_main(p.code, p.lines);
    VM vm(std::move(opt.code), std::move(p.lines), std::move(p.constants), std::move(p.functions));
    std::FILE* out = std::tmpfile();
    vm.set_stdio(stdin, out);
    int polls = 0;
    vm.set_poll_hook([](void* n) -> std::optional<std::string> { ++*static_cast<int*>(n); return std::nullopt; }, &polls);
    vm.set_poll_interval(1);
    EXPECT_TRUE(vm.run().ok());
    std::rewind(out);
    std::string printed;
    for (int c; (c = std::fgetc(out)) != EOF;) printed.push_back(static_cast<char>(c));
    std::fclose(out);
    return std::make_pair(polls, printed);
  };
  auto fused = polls_and_output(false);
  auto plain = polls_and_output(true);
  EXPECT_EQ(fused.second, plain.second);
  EXPECT_EQ(fused.second, "408425392\" \"5995\n");
  // 50 back edges, and one poll point for every few dozen of the straight stretch's ~8,000 instructions.
  EXPECT_GT(fused.first, 50 + 40);
  EXPECT_GT(plain.first, 50 + 40);
}

}  // namespace
}  // namespace tarnwick
