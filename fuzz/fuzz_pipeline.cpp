// libFuzzer target: the one-shot pipeline on arbitrary source text. Lex, parse and compile; optimize the
// main code as the one-shot path does; run the VM with bounded time, depth and memory (see vm_harness.h);
// render the result; then run the same VM again (a second run continues where the first stopped) and,
// for every other input, a fresh VM with the trace recorder on; the others also run in a Runtime, whose
// functions are then called from outside.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz/vm_harness.h"
#include "parser/compiler.h"
#include "parser/runtime.h"
#include "vm_engine/compiler.h"

using namespace tarnwick;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_harness::init();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto compiled = compile_source(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!compiled.ok()) return 0;
  BytecodeProgram& program = compiled.value();
  OptimizeResult optimized = optimize_main(program.code, program.lines);
  if (optimized.code.size() != program.lines.size()) __builtin_trap();
  const bool jit = size > 0 && (data[size - 1] & 1) != 0;
  {
    VM vm(optimized.code, program.lines, program.constants, program.functions);
    if (jit) vm.enable_jit();
    (void)fuzz_harness::run_bounded(vm);
    (void)fuzz_harness::run_bounded(vm);
    (void)vm.state_debug_text();
    if (jit && vm.jit() != nullptr) (void)vm.jit()->stats_text();
  }
  if (!jit) {
    // The same source in a Runtime, as a host embeds it: run it, call every function it defined with
    // a couple of arguments, then load it again over itself (every function redefined) and call again.
    Runtime rt;
    rt.vm().set_stdio(fuzz_harness::g_null_in, fuzz_harness::g_null_out);
    RunLimits limits;
    limits.max_instructions = fuzz_harness::kInstructionBudget;
    rt.set_limits(limits);
    rt.set_poll_interval(fuzz_harness::kPollInterval);
    std::string_view source(reinterpret_cast<const char*>(data), size);
    for (int round = 0; round < 2; ++round) {
      fuzz_harness::arm();
      Outcome r = rt.run(source);
      if (!r.ok() && r.error().is_source_error()) __builtin_trap();  // it compiled above
      for (const std::string& name : rt.global_names()) {
        ValueRef f = rt.global(name);
        if (f.kind() != ValueKind::Function) continue;
        Outcome c = rt.call(f, {ValueRef::integer(round), ValueRef::string("x")});
        if (!c.ok() && c.error().text().empty()) __builtin_trap();
        if (rt.vm().call_depth() != 0 || rt.vm().stack_depth() != 0) __builtin_trap();
      }
      fuzz_harness::disarm();
    }
  }
  return 0;
}
