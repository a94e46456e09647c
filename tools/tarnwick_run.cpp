// Runs a Tarnwick script with the core alone (no Python), through the one-shot pipeline's own entry, and
// prints the result's display text or "Runtime error: {message}" as compile_and_run returns them.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "parser/runtime.h"

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

  // The same entry every host uses: errors read exactly as compile_and_run reports them.
  Outcome result = run_once(buffer.str());
  if (!result.ok() && result.error().is_source_error()) {
    std::fprintf(stderr, "%s\n", result.error().text().c_str());
    return 1;
  }
  std::string text = result.ok() ? to_display(result.value()) : result.error().text();
  std::lock_guard<std::mutex> lock(stdout_lock());
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
  return result.ok() ? 0 : 1;
}
