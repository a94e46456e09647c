// Front-end throughput: generates a program of a few megabytes that uses every statement form and most
// expression forms, then reports megabytes per second of lexing plus parsing, freeing the tokens and the
// tree included (every caller pays for that), for the first run and the best of the others, with the
// best run's split into its three phases; then the same for the one-pass form the compiler uses, where
// the parser takes its tokens from the lexer through a small window.
//   build/parse_bench [megabytes] [runs]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>

#include "parser/lexer.h"
#include "parser/parser.h"

namespace {

// One block of typical code; `%d` spots are filled with a counter so that names differ between blocks.
const char* const kBlock =
    "fn fib_%d(n: Int, memo = {hits: 0, size: 1}) -> Int {\n"
    "    if n <= 1 { return n } else if n == 2 { return 1 }\n"
    "    return fib_%d(n - 1) + fib_%d(n - 2) * 1\n"
    "}\n"
    "class Point_%d extends Base {\n"
    "    x: Float = 0.0\n"
    "    let y = 1.5\n"
    "    fn length(self) -> Float { return (self.x ** 2 + self.y ** 2) ** 0.5 }\n"
    "}\n"
    "enum Color_%d { Red Green(v: Int) Blue }\n"
    "let items_%d = [1, 2, 3, 0xFF, 1000000, \"text\", true, nil]\n"
    "const msg_%d = f\"value {items[0]} of {{literal}} {name.upper()}\"\n"
    "for i in range(0, 10) { total = total + i * 2 %% 3; flags = flags | 1 << i }\n"
    "while a != b && !done || c >= d { a = a - 1; match x { case 1: break case 2 { continue } } }\n"
    "try { risky(a, b, fn(x) x + 1)?; } catch (e) { log(e.message) } finally { close() }\n"
    "let pick = ok ? -value : other[index].field;\n";

std::string generate(size_t target) {
  std::string source;
  source.reserve(target + 4096);
  char buf[2048];
  for (int i = 0; source.size() < target; ++i) {
    int n = std::snprintf(buf, sizeof buf, kBlock, i, i, i, i, i, i, i);
    source.append(buf, static_cast<size_t>(n));
  }
  return source;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  double megabytes = argc > 1 ? std::atof(argv[1]) : 8.0;
  int runs = argc > 2 ? std::atoi(argv[2]) : 6;
  if (runs < 1) runs = 1;
  const std::string source = generate(static_cast<size_t>(megabytes * 1024 * 1024));
  const double mb = static_cast<double>(source.size()) / (1024.0 * 1024.0);

  struct Times {
    double lex = 0, parse = 0, free = 0;
    double total() const { return lex + parse + free; }
  };
  Times first, best;
  best.lex = best.parse = best.free = 1e300;
  size_t statements = 0;
  for (int r = 0; r < runs; ++r) {
    Times t;
    auto start = std::chrono::steady_clock::now();
    auto tokens = tarnwick::tokenize(source);
    if (!tokens.ok()) {
      std::fprintf(stderr, "lex error: %s\n", tokens.error().message.c_str());
      return 1;
    }
    t.lex = seconds_since(start);
    start = std::chrono::steady_clock::now();
    auto parser = std::make_unique<tarnwick::Parser>(std::move(tokens).value());
    auto program = parser->parse_program();
    t.parse = seconds_since(start);
    if (!program.ok()) {
      std::fprintf(stderr, "parse error: %s\n", program.error().display().c_str());
      return 1;
    }
    statements = program.value().statements.size();
    start = std::chrono::steady_clock::now();
    parser.reset();
    { auto discard = std::move(program); }
    t.free = seconds_since(start);
    if (r == 0) first = t;
    if (r > 0 || runs == 1) {
      if (t.total() < best.total()) best = t;
    }
  }
  std::printf("source %.2f MB, %zu top-level statements, %d runs\n", mb, statements, runs);
  std::printf("lex+parse (with freeing tokens and tree): first run %.1f MB/s, best %.1f MB/s\n", mb / first.total(),
              mb / best.total());
  std::printf("best run split: lex %.1f ms, parse %.1f ms (%.1f MB/s), free %.1f ms\n", best.lex * 1e3,
              best.parse * 1e3, mb / best.parse, best.free * 1e3);

  double one_first = 0, one_best = 1e300;
  for (int r = 0; r < runs; ++r) {
    auto start = std::chrono::steady_clock::now();
    {
      tarnwick::Lexer lexer(source, tarnwick::kSourceInPlace);
      auto program = tarnwick::Parser(lexer).parse_program();
      if (!program.ok() || lexer.error() != nullptr) {
        std::fprintf(stderr, "one pass failed\n");
        return 1;
      }
    }
    double t = seconds_since(start);
    if (r == 0) one_first = t;
    if ((r > 0 || runs == 1) && t < one_best) one_best = t;
  }
  std::printf("one pass lex+parse (with freeing the tree): first run %.1f MB/s, best %.1f MB/s\n", mb / one_first,
              mb / one_best);
  return 0;
}
