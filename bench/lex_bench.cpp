// Lexer throughput: builds a few megabytes of source mixing every token class and reports megabytes per
// second of tokenize(). The first run pays for fresh pages of the token vector (tens of megabytes, whose
// page faults dominate on some kernels); the later runs reuse memory kept by the allocator, which is the
// steady state of a process that lexes repeatedly. Reported: the first run and the best of the others.
//   build/lex_bench [megabytes] [runs]
#include <malloc.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "parser/lexer.h"

namespace {

// One block of typical code: keywords, identifiers, every literal form, comments and operators.
const char* const kBlock =
    "# compute things\n"
    "fn fib(n: int) -> int {\n"
    "    if n <= 1 { return n }\n"
    "    return fib(n - 1) + fib(n - 2)\n"
    "}\n"
    "/* block comment /* nested */ with text \xC3\xA9 */\n"
    "class Point {\n"
    "    let x: float = 0.0\n"
    "    let y: float = 1.5e-3\n"
    "    fn length(self) -> float { return (self.x ** 2 + self.y ** 2) ** 0.5 }\n"
    "}\n"
    "let items = [1, 2, 3, 0x_FF, 0b1010, 0o777, 1_000_000, 9223372036854775807]\n"
    "let name = \"tarnwick \\\"quoted\\\" \\n \xE2\x82\xAC\"\n"
    "let raw = r'C:\\path\\to' + '''multi\nline'''\n"
    "let msg = f\"value {items[0]} of {{literal}} {name}\" + $'x{y}'\n"
    "for i in 0..=10 { total += i * 2 % 3; flags |= 1 << i; x ?\?= y?.z ?? nil }\n"
    "while a != b && !done || c >= d { a //= 2; b **= 2; c >>= 1; match x { case 1 => break } }\n"
    "/// doc comment line\n"
    "let lambda = fn(a, b) => a |> b ... @decor :: tag;\n";

}  // namespace

int main(int argc, char** argv) {
  double megabytes = argc > 1 ? std::atof(argv[1]) : 8.0;
  int runs = argc > 2 ? std::atoi(argv[2]) : 8;
  std::string source;
  const size_t target = static_cast<size_t>(megabytes * 1024 * 1024);
  source.reserve(target + 1024);
  while (source.size() < target) source += kBlock;

  // Keep freed blocks in the heap so that runs after the first reuse already-mapped pages.
  mallopt(M_MMAP_THRESHOLD, 1 << 30);
  mallopt(M_TRIM_THRESHOLD, -1);

  double best = 1e300, first = 0;
  size_t count = 0;
  for (int r = 0; r < runs; ++r) {
    auto start = std::chrono::steady_clock::now();
    auto result = tarnwick::tokenize(source);
    auto stop = std::chrono::steady_clock::now();
    if (!result.ok()) {
      std::fprintf(stderr, "lex error: %s\n", result.error().message.c_str());
      return 1;
    }
    count = result.value().size();
    double seconds = std::chrono::duration<double>(stop - start).count();
    if (r == 0) {
      first = seconds;
    } else if (seconds < best) {
      best = seconds;
    }
  }
  double mb = static_cast<double>(source.size()) / (1024.0 * 1024.0);
  if (runs < 2) best = first;
  std::printf("source %.1f MB, %zu tokens\n", mb, count);
  std::printf("first run (fresh pages): %8.1f ms %6.0f MB/s\n", first * 1e3, mb / first);
  std::printf("best of %3d warm runs:   %8.1f ms %6.0f MB/s %6.1f M tokens/s\n", runs - 1, best * 1e3,
              mb / best, static_cast<double>(count) / best / 1e6);
  return 0;
}
