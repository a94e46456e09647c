// Runs a Tarnwick script with the core alone (no Python): lex, parse, compile, optimize the main code, run,
// and print the result's display text or "Runtime error: {message}", as the one-shot pipeline does.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "parser/compiler.h"
#include "vm_engine/compiler.h"
#include "vm_engine/vm.h"

int main(int argc, char** argv) {
  using namespace tarnwick;
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FILE\n", argv[0]);
    return 2;
  }
  std::ifstream file(argv[1], std::ios::binary);
  if (!file) {
    std::fprintf(stderr, "%s: cannot read %s\n", argv[0], argv[1]);
    return 2;
  }
  std::stringstream buffer;
  buffer << file.rdbuf();

  auto compiled = compile_source(buffer.str());
  if (!compiled) {
    const SourceError& e = compiled.error();
    const char* prefix = e.kind == SourceError::Kind::Lex ? "Lex error: " : e.kind == SourceError::Kind::Parse ? "Parse error: " : "Compile error: ";
    std::fprintf(stderr, "%s%s\n", prefix, e.message.c_str());
    return 1;
  }
  BytecodeProgram& program = compiled.value();
  OptimizeResult optimized = optimize_main(program.code, program.lines);
  VM vm(std::move(optimized.code), std::move(program.lines), std::move(program.constants), std::move(program.functions));
  RunResult result = vm.run();
  std::string text = result.ok() ? to_display(result.value()) : "Runtime error: " + result.error();
  std::lock_guard<std::mutex> lock(stdout_lock());
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
  return result.ok() ? 0 : 1;
}
