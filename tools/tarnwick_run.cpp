// Runs a Tarnwick script with the core alone (no Python): lex, parse, compile, run, print the result.
#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FILE\n", argv[0]);
    return 2;
  }
  std::fprintf(stderr, "tarnwick_run: not available yet\n");
  return 1;
}
