// The trace recorder driven by the interpreter on compiled loops: counts, names, hotness, capacity, and
// the promise that recording never changes what a script computes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "parser/compiler.h"
#include "vm_engine/jit.h"
#include "vm_engine/vm.h"

using namespace tarnwick;

namespace {

// Hot traces run the external build tools; point PATH at an empty directory so every build fails fast and
// silently, and keep the files in a private TMPDIR.
class JitVm : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("tw_jit_vm_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_ / "bin");
    old_path_ = std::getenv("PATH") ? std::getenv("PATH") : "";
    old_tmp_ = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
    had_tmp_ = std::getenv("TMPDIR") != nullptr;
    setenv("PATH", (dir_ / "bin").c_str(), 1);
    setenv("TMPDIR", dir_.c_str(), 1);
  }
  void TearDown() override {
    setenv("PATH", old_path_.c_str(), 1);
    if (had_tmp_) setenv("TMPDIR", old_tmp_.c_str(), 1); else unsetenv("TMPDIR");
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  static std::unique_ptr<VM> make_vm(const std::string& source) {
    auto compiled = compile_source(source);
    EXPECT_TRUE(compiled.ok());
    BytecodeProgram& p = compiled.value();
    return std::make_unique<VM>(std::move(p.code), std::move(p.lines), std::move(p.constants),
                                std::move(p.functions));
  }

  std::filesystem::path dir_;
  std::string old_path_, old_tmp_;
  bool had_tmp_ = false;
};

// Globals, so that the values can be read back after the run (main-program statements discard values).
std::string loop(int iterations) {
  return "i = 0\nwhile i < " + std::to_string(iterations) + " { i = i + 1 }\n";
}

// Header of a loop written right after `i = 0` (Push, Dup, StoreGlobal, Pop).
constexpr const char* kHeader = "trace_4";

}  // namespace

TEST_F(JitVm, OffByDefaultAndRecordsNothing) {
  auto vm = make_vm(loop(2000));
  EXPECT_EQ(vm->jit(), nullptr);
  auto r = vm->run();
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(vm->jit(), nullptr);
}

TEST_F(JitVm, NineHundredNinetyNineBackEdgesStayCold) {
  auto vm = make_vm(loop(999));
  vm->enable_jit();
  ASSERT_TRUE(vm->run().ok());
  EXPECT_EQ(to_display(vm->global("i")), "999");
  const JitState& jit = *vm->jit();
  ASSERT_EQ(jit.traces.size(), 1u);
  const Trace& t = jit.traces.at(kHeader);
  EXPECT_EQ(t.count, 999u);
  EXPECT_FALSE(t.hot);
  EXPECT_FALSE(t.ir.has_value());
  EXPECT_EQ(t.instructions.front().opcode, Opcode::LoadGlobal);
  EXPECT_EQ(t.instructions.back().opcode, Opcode::Jump);
  EXPECT_EQ(jit.stats_text(),
            "JIT Stats:\n  Total traces: 1\n  Hot traces: 0\n  Compiled: 0\n  Total executions: 999\n");
}

TEST_F(JitVm, TheThousandthBackEdgeMakesTheTraceHotOnce) {
  auto vm = make_vm(loop(2500));
  vm->enable_jit();
  ASSERT_TRUE(vm->run().ok());
  EXPECT_EQ(to_display(vm->global("i")), "2500");
  const JitState& jit = *vm->jit();
  const Trace& t = jit.traces.at(kHeader);
  EXPECT_TRUE(t.hot);
  EXPECT_EQ(t.count, 2500u);
  ASSERT_TRUE(t.ir.has_value());
  EXPECT_EQ(t.ir->rfind("; Tarnwick v3.9.1 \u2014 Generated LLVM IR\n; Trace: trace_4\n", 0), 0u);
  EXPECT_EQ(t.native_entry, nullptr);  // no tools on PATH: the build fails silently
  EXPECT_EQ(jit.hot_traces, 1u);
  EXPECT_EQ(jit.compiled, 0u);
  EXPECT_EQ(jit.total_executions, 2500u);
  // The build ran in a directory of its own and removed it.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), {}), 1);  // bin
}

TEST_F(JitVm, ForLoopContinueAndLoopEndShareOneTraceOfTheHeader) {
  // In a for loop `continue` jumps back to the header from inside the body: a second back edge with its
  // own index. The first iteration takes it, so the trace holds the instructions up to that jump only.
  const std::string src =
      "odd = 0\nfor x in range(0, 600) { if x % 2 == 0 { continue } odd = odd + 1 }\n";
  auto compiled = compile_source(src);
  ASSERT_TRUE(compiled.ok());
  const auto& code = compiled.value().code;
  std::vector<size_t> back_edges;
  for (size_t k = 0; k < code.size(); ++k) {
    if (code[k].opcode == Opcode::Jump && code[k].arg < k) back_edges.push_back(k);
  }
  ASSERT_EQ(back_edges.size(), 2u);
  const uint64_t header = code[back_edges[0]].arg;
  ASSERT_EQ(code[back_edges[1]].arg, header);

  auto vm = make_vm(src);
  vm->enable_jit();
  ASSERT_TRUE(vm->run().ok());
  EXPECT_EQ(to_display(vm->global("odd")), "300");
  const JitState& jit = *vm->jit();
  ASSERT_EQ(jit.traces.size(), 1u);
  const Trace& t = jit.traces.at("trace_" + std::to_string(header));
  EXPECT_EQ(t.count, 600u);
  EXPECT_EQ(t.instructions.size(), back_edges[0] - header + 1);
}

TEST_F(JitVm, ForLoopsAndFunctionBodiesRecordByHeaderIndex) {
  auto vm = make_vm(
      "fn count(n) { let k = 0 while k < n { k = k + 1 } return k }\n"
      "total = 0\nfor x in range(0, 3) { total = total + count(5) }\n");
  vm->enable_jit();
  ASSERT_TRUE(vm->run().ok());
  EXPECT_EQ(to_display(vm->global("total")), "15");
  const JitState& jit = *vm->jit();
  EXPECT_EQ(jit.total_executions, 3u + 15u);
  EXPECT_EQ(jit.hot_traces, 0u);
}

TEST_F(JitVm, AtMost256TracesAndNewHeadersAreNotCounted) {
  std::string src = "let i = 0\n";
  for (int k = 0; k < 257; ++k) src += "i = 0 while i < 2 { i = i + 1 }\n";
  auto vm = make_vm(src);
  vm->enable_jit();
  ASSERT_TRUE(vm->run().ok());
  const JitState& jit = *vm->jit();
  EXPECT_EQ(jit.traces.size(), 256u);
  EXPECT_EQ(jit.total_traces, 256u);
  EXPECT_EQ(jit.total_executions, 512u);
}

TEST_F(JitVm, ReenablingDropsTracesAndCounters) {
  auto vm = make_vm(loop(1200) + "let j = 0\nwhile j < 3 { j = j + 1 }\n");
  vm->enable_jit();
  ASSERT_TRUE(vm->run().ok());
  EXPECT_EQ(vm->jit()->hot_traces, 1u);
  vm->enable_jit();
  EXPECT_TRUE(vm->jit()->traces.empty());
  EXPECT_EQ(vm->jit()->stats_text(),
            "JIT Stats:\n  Total traces: 0\n  Hot traces: 0\n  Compiled: 0\n  Total executions: 0\n");
}

TEST_F(JitVm, RecordingNeverChangesResults) {
  const std::string src =
      "fn f(n) { let s = 0 let k = 0 while k < n { s = s + k * 2 k = k + 1 } return s }\n"
      "acc = [] let i = 0\nwhile i < 1500 { acc = [f(i % 7), i] i = i + 1 }\nout = f\"{acc[0]}-{acc[1]}\"";
  auto plain = make_vm(src);
  auto jitted = make_vm(src);
  jitted->enable_jit();
  ASSERT_TRUE(plain->run().ok());
  ASSERT_TRUE(jitted->run().ok());
  EXPECT_EQ(to_display(plain->global("out")), "\"0-1499\"");
  EXPECT_EQ(to_display(plain->global("out")), to_display(jitted->global("out")));
  EXPECT_EQ(plain->instructions_executed(), jitted->instructions_executed());
  // Both loops become hot: the main loop, and the inner loop of f across its calls.
  EXPECT_EQ(jitted->jit()->hot_traces, 2u);
}
