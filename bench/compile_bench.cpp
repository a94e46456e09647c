// The whole front end as the command line and compile_and_run use it: compile_source (lexing, parsing
// and compiling every function body) of a source file, five times, with the CPU seconds and the minor
// page faults of each call. (tarnwick_parser.compile() compiles the main program alone; this is the
// figure for a program that is about to run.)
//   build/compile_bench FILE
// bench/run.py's front-end program (20000 units, 6.2 MB) can be written out with:
//   python3 -c "import sys; sys.path.insert(0, 'bench'); import run; print(''.join(run._TW_UNIT.format(k=k) for k in range(20000)), end='')" > /tmp/frontend.tw
#include <sys/resource.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "parser/compiler.h"

namespace {

double seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FILE\n", argv[0]);
    return 2;
  }
  std::ifstream file(argv[1], std::ios::binary);
  if (!file) {
    std::fprintf(stderr, "%s: cannot read %s\n", argv[0], argv[1]);
    return 2;
  }
  std::stringstream text;
  text << file.rdbuf();
  const std::string source = text.str();
  for (int run = 0; run < 5; ++run) {
    rusage before, after;
    getrusage(RUSAGE_SELF, &before);
    {
      auto program = tarnwick::compile_source(source);
      if (!program) {
        std::fprintf(stderr, "%s\n", program.error().message.c_str());
        return 1;
      }
    }
    getrusage(RUSAGE_SELF, &after);
    double user = seconds(after.ru_utime) - seconds(before.ru_utime);
    double sys = seconds(after.ru_stime) - seconds(before.ru_stime);
    std::printf("compile_source: %.1f MB/s of CPU time (user %.3f s, system %.3f s, %ld minor faults)\n",
                static_cast<double>(source.size()) / (user + sys) / 1e6, user, sys, after.ru_minflt - before.ru_minflt);
  }
  return 0;
}
