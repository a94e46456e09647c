// Helpers for tests that run whole scripts through the one entry every host uses, with what the script
// prints captured.
#pragma once

#include <cstdio>
#include <string>
#include <utility>

#include "parser/runtime.h"
#include "tests/cpp/vm_test_util.h"

namespace tarnwick::testing {

// What the script printed, followed by render(result); "compile failed: ..." when it does not compile.
template <class Render>
std::string run_script_with(const std::string& source, Render render) {
  Runtime rt;
  std::FILE* out = std::tmpfile();
  rt.vm().set_stdio(stdin, out);
  Outcome outcome = rt.run(source);
  if (!outcome.ok() && outcome.error().is_source_error()) {
    std::fclose(out);
    return "compile failed: " + outcome.error().message;
  }
  std::string result = render(outcome.ok() ? RunResult(std::move(outcome.value()))
                                           : RunResult(make_err(std::move(outcome.error().message))));
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
