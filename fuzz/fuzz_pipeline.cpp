// libFuzzer target: the one-shot pipeline on arbitrary source text. Lex, parse and compile; optimize the
// main code as the one-shot path does; run the VM with bounded time, depth and memory (see vm_harness.h);
// render the result; then run the same VM again (a second run continues where the first stopped) and,
// for every other input, a fresh VM with the trace recorder on.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz/vm_harness.h"
#include "parser/compiler.h"
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
  return 0;
}
