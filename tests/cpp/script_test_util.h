// Helpers for tests that run whole scripts: compiled and optimized as the one-shot pipeline does, with
// what the script prints captured.
#pragma once

#include <cstdio>
#include <string>
#include <utility>

#include "parser/compiler.h"
#include "tests/cpp/vm_test_util.h"
#include "vm_engine/compiler.h"

namespace tarnwick::testing {

// What the script printed, followed by render(result); "compile failed: ..." when it does not compile.
template <class Render>
std::string run_script_with(const std::string& source, Render render) {
  auto compiled = compile_source(source);
  if (!compiled) return "compile failed: " + compiled.error().message;
  BytecodeProgram& p = compiled.value();
  OptimizeResult opt = optimize_main(p.code, p.lines);
  VM vm(std::move(opt.code), std::move(p.lines), std::move(p.constants), std::move(p.functions));
  std::FILE* out = std::tmpfile();
  vm.set_stdio(stdin, out);
  std::string result = render(vm.run());
  std::rewind(out);
  std::string text;
  for (int c; (c = std::fgetc(out)) != EOF;) text.push_back(static_cast<char>(c));
  std::fclose(out);
  return text + result;
}

// Printed text, then "=> " and the display text of the result (or "error: " and the error).
inline std::string run_source(const std::string& source) {
  return run_script_with(source, [](const RunResult& r) {
    return "=> " + (r.ok() ? to_display(r.value()) : "error: " + r.error());
  });
}

// Printed text, then the result as outcome() writes it ("ok:..." or "err:...").
inline std::string run_script(const std::string& source) {
  return run_script_with(source, [](const RunResult& r) { return outcome(r); });
}

}  // namespace tarnwick::testing
