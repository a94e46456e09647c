// libFuzzer target: the VM on code that no compiler would produce. The first byte picks the form:
// - even: VM-table bytes through the loader, exactly as VMEngine builds its VM (all operands 0);
// - odd: in-memory instructions with operands (three bytes each: opcode, operand, immediate), split into
//   the main code and two functions by 0xFF separators, over a fixed constant table with class names,
//   builtins and the functions' names, plus a native that echoes its first argument or fails.
// Bit 1 of the first byte turns the trace recorder on. Every run is bounded (see vm_harness.h).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "fuzz/vm_harness.h"
#include "vm_engine/compiler.h"

using namespace tarnwick;

namespace {

struct Echo : NativeCallable {
  Result<ValueRef, std::string> call(const std::vector<ValueRef>& args) override {
    if (args.empty()) return make_err(std::string("echo: no argument"));
    return args.front();
  }
};

std::vector<Constant> constant_table() {
  return {Constant::string("f"), Constant::string("g"), Constant::string("__class__"),
          Constant::string("__methods__"), Constant::string("__parent__"), Constant::string("A"),
          Constant::string("B"), Constant::string("m"), Constant::string("A.m"), Constant::string("echo"), Constant::string("print"),
          Constant::string("str"), Constant::string("range"), Constant::string("len"), Constant::string("input"),
          Constant::string(""), Constant::string("h\xC3\xA9\xF0\x9F\x98\x80"), Constant::nil(),
          Constant::boolean(true), Constant::integer(INT64_MIN), Constant::integer(INT64_MAX),
          Constant::integer(-1), Constant::floating(0.5), Constant::floating(-0.0),
          Constant::floating(__builtin_nan("")), Constant::floating(__builtin_inf())};
}

// Operand bytes from 0xF0 up stand for values far out of any range.
uint64_t operand(uint8_t b, size_t unit_size) {
  static const uint64_t kHuge[] = {256, 257, 1u << 20, 0xFFFFFFFFu, 0x100000000ull, 1ull << 62, UINT64_MAX - 1,
                                   UINT64_MAX};
  if (b >= 0xF0) return kHuge[(b - 0xF0) % 8];
  return b % (unit_size + 40);
}

std::vector<Instruction> decode_unit(const uint8_t* data, size_t size) {
  std::vector<Instruction> code;
  size_t count = size / 3;
  for (size_t i = 0; i + 2 < size; i += 3) {
    Instruction ins;
    ins.opcode = static_cast<Opcode>(data[i] % kOpcodeCount);
    ins.arg = operand(data[i + 1], count);
    ins.imm = static_cast<int8_t>(data[i + 2]) * (data[i + 2] & 0x40 ? 0x1000001 : 1);
    code.push_back(ins);
  }
  return code;
}

FunctionRecord function(std::string name, std::vector<Instruction> code, uint64_t arity) {
  FunctionRecord f;
  f.name = std::move(name);
  f.code = std::move(code);
  for (auto& c : constant_table()) f.constants.push_back(std::make_shared<const Constant>(std::move(c)));
  f.lines.assign(f.code.size(), 0);
  for (size_t i = 0; i < f.lines.size(); i += 2) f.lines[i] = i + 1;
  f.arity = arity;
  return f;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_harness::init();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t mode = data[0];
  const uint8_t* rest = data + 1;
  const size_t n = size - 1;
  std::unique_ptr<VM> vm;
  if ((mode & 1) == 0) {
    LoadedProgram loaded = load_bytes(std::string_view(reinterpret_cast<const char*>(rest), n));
    vm = std::make_unique<VM>(std::move(loaded.code), std::vector<uint64_t>{}, std::vector<Constant>{},
                              std::vector<FunctionRecord>{});
  } else {
    // Main code, then up to two function bodies, separated by 0xFF.
    std::vector<std::vector<Instruction>> units;
    size_t start = 0;
    for (size_t i = 0; i <= n && units.size() < 3; ++i) {
      if (i == n || rest[i] == 0xFF) {
        units.push_back(decode_unit(rest + start, i - start));
        start = i + 1;
      }
    }
    while (units.size() < 3) units.emplace_back();
    std::vector<uint64_t> lines(units[0].size());
    for (size_t i = 0; i < lines.size(); ++i) lines[i] = i % 3 == 0 ? 0 : i;
    std::vector<FunctionRecord> functions;
    functions.push_back(function("f", std::move(units[1]), mode >> 4));
    functions.push_back(function("g", std::move(units[2]), (mode >> 2) & 3));
    // A method record, reached through a class global that the code can build from the constants.
    functions.push_back(function("A.m", {make_instr(Opcode::LoadReg, 0), make_instr(Opcode::Return)}, 1));
    vm = std::make_unique<VM>(std::move(units[0]), std::move(lines), constant_table(), std::move(functions));
    vm->add_native("echo", std::make_shared<Echo>());
  }
  if (mode & 2) vm->enable_jit();
  (void)fuzz_harness::run_bounded(*vm);
  (void)fuzz_harness::run_bounded(*vm);
  (void)vm->state_debug_text();
  if (vm->stack_depth() > (1u << 16)) __builtin_trap();
  return 0;
}
