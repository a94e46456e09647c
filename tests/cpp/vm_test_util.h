// Helpers for the VM tests: hand-built code units and compact run results.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "vm_engine/value.h"
#include "vm_engine/vm.h"

namespace tarnwick::testing {

inline Instruction op(Opcode o, uint64_t arg = 0) { return make_instr(o, arg); }
inline Instruction push(int32_t v) { return make_push(v); }

struct Program {
  std::vector<Instruction> code;
  std::vector<Constant> constants;
  std::vector<uint64_t> lines;
  std::vector<FunctionRecord> functions;
};

inline std::unique_ptr<VM> make_vm(Program p) {
  return std::make_unique<VM>(std::move(p.code), std::move(p.lines), std::move(p.constants), std::move(p.functions));
}

// "ok:" + display text of the result, or "err:" + the error text.
inline std::string outcome(const RunResult& r) {
  return r.ok() ? "ok:" + to_display(r.value()) : "err:" + r.error();
}

inline std::string run(Program p) { return outcome(make_vm(std::move(p))->run()); }

inline FunctionRecord function(std::string name, uint64_t arity, std::vector<Instruction> code,
                               std::vector<Constant> constants = {}) {
  FunctionRecord f;
  f.name = std::move(name);
  f.arity = arity;
  f.code = std::move(code);
  for (auto& c : constants) f.constants.push_back(std::make_shared<const Constant>(std::move(c)));
  f.lines.assign(f.code.size(), 0);
  return f;
}

}  // namespace tarnwick::testing
