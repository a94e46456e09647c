// Differential check of the interpreter against a deliberately plain one written here: one instruction at a
// time, separate stacks and register files per frame, containers copied on every store, no caches and no
// fused sequences. Random programs (biased towards the sequences the fast interpreter treats specially,
// with jumps into their middles and errors inside them) must give the same results, error texts,
// instruction counts, stack heights, stopping points and states, run after run.
#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "parser/compiler.h"
#include "tests/cpp/script_corpus.h"
#include "tests/cpp/vm_test_util.h"
#include "vm_engine/instr_info.h"
#include "vm_engine/compiler.h"
#include "vm_engine/limits.h"

using namespace tarnwick;
using namespace tarnwick::testing;
using O = Opcode;

namespace {

// --- The plain interpreter ---------------------------------------------------------------------------------

struct Unit {
  std::vector<Instruction> code;
  std::vector<ValueRef> constants;
  std::vector<uint64_t> lines;
  uint64_t arity = 0;
};

struct Frame {
  const Unit* unit;
  uint64_t pc;
  std::vector<ValueRef> stack;
  std::vector<ValueRef> regs;
};

const char* const kBuiltins[] = {"print", "clock", "str", "int", "float", "len", "range", "typeof", "input",
                                 "sqrt",  "abs",   "min", "max", "pow",   "round", "rand", "cos",   "sin"};

std::string type_of(const ValueRef& v) {
  switch (v.kind()) {
    case ValueKind::Nil: return "nil";
    case ValueKind::Bool: return "bool";
    case ValueKind::Int: return "int";
    case ValueKind::Float: return "float";
    case ValueKind::String: return "string";
    case ValueKind::Array: return "array";
    case ValueKind::Object: return "object";
    case ValueKind::NativeFn: return "native_fn";
    default: return "function";
  }
}

bool truthy(const ValueRef& v) {
  switch (v.kind()) {
    case ValueKind::Nil: return false;
    case ValueKind::Bool: return v.as_bool();
    case ValueKind::Int: return v.as_int() != 0;
    case ValueKind::Float: return v.as_float() != 0.0;
    case ValueKind::String: return !v.as_string().empty();
    case ValueKind::Array: return !v.as_array().empty();
    case ValueKind::Object: return !v.as_object().empty();
    default: return true;
  }
}

bool number(const ValueRef& v) { return v.is_int() || v.is_float(); }
double dbl(const ValueRef& v) { return v.is_int() ? static_cast<double>(v.as_int()) : v.as_float(); }

bool equal(const ValueRef& a, const ValueRef& b) {
  if (a.is_int() && b.is_int()) return a.as_int() == b.as_int();
  if (number(a) && number(b)) return std::fabs(dbl(a) - dbl(b)) < 0x1p-52;
  if (a.kind() != b.kind()) return false;
  if (a.kind() == ValueKind::Nil) return true;
  if (a.kind() == ValueKind::Bool) return a.as_bool() == b.as_bool();
  if (a.kind() == ValueKind::String) return a.as_string() == b.as_string();
  return false;
}

int64_t saturate(__int128 r) {
  if (r > INT64_MAX) return INT64_MAX;
  if (r < INT64_MIN) return INT64_MIN;
  return static_cast<int64_t>(r);
}

class Plain {
 public:
  Plain(std::vector<Instruction> code, std::vector<uint64_t> lines, const std::vector<Constant>& constants,
        const std::vector<FunctionRecord>& functions) {
    main_.code = std::move(code);
    main_.lines = std::move(lines);
    for (const auto& c : constants) main_.constants.push_back(ValueRef::from_constant(c));
    for (const auto& f : functions) {
      Unit& u = functions_[f.name];
      u.code = f.code;
      u.lines = f.lines;
      u.arity = f.arity;
      for (const auto& c : f.constants) u.constants.push_back(ValueRef::from_constant(*c));
    }
    for (const char* b : kBuiltins) globals_[b] = ValueRef::function(b);
    for (const auto& f : functions_) globals_[f.first] = ValueRef::function(f.first);
    cur_ = Frame{&main_, 0, {}, std::vector<ValueRef>(256)};
  }

  // nullopt when the step budget ran out (the program is then not used for comparison).
  std::optional<RunResult> run(uint64_t& budget) {
    while (cur_.pc < cur_.unit->code.size()) {
      if (budget-- == 0) return std::nullopt;
      uint64_t at = cur_.pc++;
      std::optional<std::string> err;
      const Instruction& ins = cur_.unit->code[at];
      const size_t frames = frames_.size();
      const size_t before = cur_.stack.size();
      try {
        err = step(ins);
      } catch (const std::bad_alloc&) {
        return std::nullopt;  // a text past the value ceiling: the program is not used
      }
      // Where control stays in the same frame, the step did to the stack what the instruction list says
      // (a call into a script body is followed by its return instead).
      if (!err && frames_.size() == frames && instr_info(ins.opcode).flow != Flow::Halt &&
          instr_info(ins.opcode).flow != Flow::Return)
        EXPECT_EQ(cur_.stack.size() + instr_pops(ins), before + instr_pushes(ins)) << opcode_name(ins.opcode);
      if (err) {
        const auto& lines = cur_.unit->lines;
        const uint64_t line = at < lines.size() ? position_line(lines[at]) : 0;
        if (line != 0) *err = "Line " + std::to_string(line) + ": " + *err;
        return RunResult(make_err(std::move(*err)));
      }
      ++executed;
    }
    if (cur_.stack.empty()) return RunResult(ValueRef());
    ValueRef top = cur_.stack.back();
    cur_.stack.pop_back();
    return RunResult(top);
  }

  uint64_t executed = 0;
  bool halted = false;
  std::string printed;
  uint64_t depth() const { return cur_.stack.size(); }
  uint64_t pc() const { return cur_.pc; }
  uint64_t calls() const { return frames_.size(); }
  void set_global(const std::string& name, ValueRef v) { globals_[name] = std::move(v); }
  ValueRef global(const std::string& name) const {
    auto it = globals_.find(name);
    return it == globals_.end() ? ValueRef() : it->second;
  }

 private:
  bool pop(ValueRef& out) {
    if (cur_.stack.empty()) return false;
    out = cur_.stack.back();
    cur_.stack.pop_back();
    return true;
  }
  void push(ValueRef v) { cur_.stack.push_back(std::move(v)); }
  std::string global_name(uint64_t k) const {
    const auto& c = cur_.unit->constants;
    if (k < c.size() && c[k].kind() == ValueKind::String) return std::string(c[k].as_string());
    return "global_" + std::to_string(k);
  }
  void jump(uint64_t target) { cur_.pc = target; }

  std::optional<std::string> arith(Opcode op, const char* name) {
    ValueRef b, a;
    if (!pop(b) || !pop(a)) return "Stack underflow";
    if (!number(a) || !number(b))
      return std::string("Type error: cannot apply ") + name + " to " + type_of(a) + " and " + type_of(b);
    if (a.is_int() && b.is_int()) {
      __int128 x = a.as_int(), y = b.as_int();
      switch (op) {
        case O::Add: push(ValueRef::integer(saturate(x + y))); return {};
        case O::Sub: push(ValueRef::integer(saturate(x - y))); return {};
        case O::Mul: push(ValueRef::integer(saturate(x * y))); return {};
        case O::Div:
          if (y == 0) return "Division by zero";
          push(ValueRef::floating(static_cast<double>(a.as_int()) / static_cast<double>(b.as_int())));
          return {};
        case O::Mod:
          if (y == 0) return "Modulo by zero";
          push(ValueRef::integer(static_cast<int64_t>(x % y)));
          return {};
        default: push(ValueRef::floating(std::pow(dbl(a), dbl(b)))); return {};
      }
    }
    double x = dbl(a), y = dbl(b);
    switch (op) {
      case O::Add: push(ValueRef::floating(x + y)); return {};
      case O::Sub: push(ValueRef::floating(x - y)); return {};
      case O::Mul: push(ValueRef::floating(x * y)); return {};
      case O::Div:
        if (y == 0.0) return "Division by zero";
        push(ValueRef::floating(x / y));
        return {};
      case O::Mod:
        if (y == 0.0) return "Modulo by zero";
        push(ValueRef::floating(std::fmod(x, y)));
        return {};
      default: push(ValueRef::floating(std::pow(x, y))); return {};
    }
  }

  std::optional<std::string> typed(Opcode op) {
    ValueRef b, a;
    if (!pop(b) || !pop(a)) return "Stack underflow";
    bool ints = op == O::AddInt || op == O::SubInt || op == O::MulInt || op == O::ModInt || op == O::EqInt ||
                op == O::LtInt;
    if (ints ? !(a.is_int() && b.is_int()) : !(a.is_float() && b.is_float()))
      return ints ? "Type error: expected int" : "Type error: expected float";
    if (ints) {
      __int128 x = a.as_int(), y = b.as_int();
      switch (op) {
        case O::AddInt: push(ValueRef::integer(saturate(x + y))); break;
        case O::SubInt: push(ValueRef::integer(saturate(x - y))); break;
        case O::MulInt: push(ValueRef::integer(saturate(x * y))); break;
        case O::ModInt:
          if (y == 0) return "Modulo by zero";
          push(ValueRef::integer(static_cast<int64_t>(x % y)));
          break;
        case O::EqInt: push(ValueRef::boolean(x == y)); break;
        default: push(ValueRef::boolean(x < y)); break;
      }
      return {};
    }
    double x = a.as_float(), y = b.as_float();
    switch (op) {
      case O::AddFloat: push(ValueRef::floating(x + y)); break;
      case O::SubFloat: push(ValueRef::floating(x - y)); break;
      case O::MulFloat: push(ValueRef::floating(x * y)); break;
      case O::DivFloat:
        if (y == 0.0) return "Division by zero";
        push(ValueRef::floating(x / y));
        break;
      case O::ModFloat:
        if (y == 0.0) return "Modulo by zero";
        push(ValueRef::floating(std::fmod(x, y)));
        break;
      case O::EqFloat: push(ValueRef::boolean(std::fabs(x - y) < 0x1p-52)); break;
      default: push(ValueRef::boolean(x < y)); break;
    }
    return {};
  }

  // print is done here; the other builtins (checked on their own elsewhere) are borrowed from a throwaway
  // machine, handed the arguments through globals.
  ValueRef builtin(const std::string& name, const std::vector<ValueRef>& args) {
    if (name == "print") {
      for (const auto& a : args) printed += to_display(a);
      printed += "\n";
      return ValueRef();
    }
    std::vector<Instruction> code = {make_instr(O::LoadGlobal, 0)};
    std::vector<Constant> names = {Constant::string(name)};
    for (size_t i = 0; i < args.size(); ++i) {
      code.push_back(make_instr(O::LoadGlobal, names.size()));
      names.push_back(Constant::string("arg" + std::to_string(i)));
    }
    code.push_back(make_instr(O::Call, args.size()));
    VM vm(std::move(code), {}, names, {});
    for (size_t i = 0; i < args.size(); ++i) vm.set_global("arg" + std::to_string(i), args[i]);
    RunResult r = vm.run();
    return r.ok() ? r.value() : ValueRef::string("builtin failed: " + r.error());
  }

  ValueRef method(const ValueRef& obj, const std::string& member) {
    const ValueRef* cls = obj.as_object().find("__class__");
    if (cls == nullptr || cls->kind() != ValueKind::String) return ValueRef();
    auto key = std::make_pair(std::string(cls->as_string()), member);
    auto hit = methods_.find(key);
    if (hit == methods_.end()) {
      std::optional<std::string> found;
      std::string cur(cls->as_string());
      for (int guard = 0; guard < 100; ++guard) {
        auto g = globals_.find(cur);
        if (g == globals_.end() || g->second.kind() != ValueKind::Object) break;
        const ValueRef* m = g->second.as_object().find("__methods__");
        if (m != nullptr && m->kind() == ValueKind::Object) {
          const ValueRef* f = m->as_object().find(member);
          if (f != nullptr && f->kind() == ValueKind::String) {
            found = f->as_string();
            break;
          }
        }
        const ValueRef* parent = g->second.as_object().find("__parent__");
        if (parent == nullptr || parent->kind() != ValueKind::String || parent->as_string().empty()) break;
        cur = parent->as_string();
      }
      hit = methods_.emplace(key, found).first;
    }
    return hit->second ? ValueRef::method(obj, *hit->second) : ValueRef();
  }

  std::optional<std::string> call(uint64_t argc) {
    std::vector<ValueRef> args;
    for (uint64_t i = 0; i < argc; ++i) {
      ValueRef v;
      if (!pop(v)) return "Stack underflow";
      args.push_back(v);
    }
    std::reverse(args.begin(), args.end());
    ValueRef f;
    if (!pop(f)) return "Stack underflow";
    bool method = f.kind() == ValueKind::Method;
    if (f.kind() == ValueKind::Function || method) {
      auto it = functions_.find(f.function_name());
      if (it != functions_.end()) {
        frames_.push_back(std::move(cur_));
        cur_ = Frame{&it->second, 0, {}, std::vector<ValueRef>(256)};
        size_t shift = 0;
        if (method) {
          cur_.regs[0] = f.method_receiver();
          shift = 1;
        }
        for (size_t i = 0; i < args.size() && i + shift < it->second.arity; ++i) cur_.regs[i + shift] = args[i];
        return {};
      }
      if (!method && std::find(std::begin(kBuiltins), std::end(kBuiltins), f.function_name()) != std::end(kBuiltins)) {
        push(builtin(f.function_name(), args));
        return {};
      }
    }
    push(ValueRef());
    return {};
  }

  std::optional<std::string> step(const Instruction& ins) {
    ValueRef a, b, c;
    switch (ins.opcode) {
      case O::Push: push(ValueRef::integer(ins.imm)); return {};
      case O::Pop:
        if (!pop(a)) return "Stack underflow";
        return {};
      case O::Dup:
        if (cur_.stack.empty()) return "Stack underflow";
        push(cur_.stack.back());
        return {};
      case O::Swap:
        if (cur_.stack.size() < 2) return "Stack underflow on Swap";
        std::swap(cur_.stack[cur_.stack.size() - 1], cur_.stack[cur_.stack.size() - 2]);
        return {};
      case O::Add: return arith(ins.opcode, "add");
      case O::Sub: return arith(ins.opcode, "sub");
      case O::Mul: return arith(ins.opcode, "mul");
      case O::Div: return arith(ins.opcode, "div");
      case O::Mod: return arith(ins.opcode, "mod");
      case O::Pow: return arith(ins.opcode, "pow");
      case O::Neg:
        if (!pop(a)) return "Stack underflow";
        if (a.is_int()) push(ValueRef::integer(static_cast<int64_t>(0ull - static_cast<uint64_t>(a.as_int()))));
        else if (a.is_float()) push(ValueRef::floating(-a.as_float()));
        else return "Type error: unary negation requires a number";
        return {};
      case O::AddInt: case O::AddFloat: case O::SubInt: case O::SubFloat: case O::MulInt: case O::MulFloat:
      case O::DivFloat: case O::ModInt: case O::ModFloat: case O::EqInt: case O::EqFloat: case O::LtInt:
      case O::LtFloat:
        return typed(ins.opcode);
      case O::Eq:
      case O::Ne:
        if (!pop(b) || !pop(a)) return "Stack underflow";
        push(ValueRef::boolean(equal(a, b) == (ins.opcode == O::Eq)));
        return {};
      case O::Lt: case O::Le: case O::Gt: case O::Ge: {
        if (!pop(b)) return "Stack underflow";
        if (!number(b)) return "Type error: expected number";
        if (!pop(a)) return "Stack underflow";
        if (!number(a)) return "Type error: expected number";
        double x = dbl(a), y = dbl(b);
        bool r = ins.opcode == O::Lt ? x < y : ins.opcode == O::Le ? x <= y : ins.opcode == O::Gt ? x > y : x >= y;
        push(ValueRef::boolean(r));
        return {};
      }
      case O::And:
      case O::Or:
        if (!pop(b) || !pop(a)) return "Stack underflow";
        push(ValueRef::boolean(ins.opcode == O::And ? truthy(a) && truthy(b) : truthy(a) || truthy(b)));
        return {};
      case O::Not:
        if (!pop(a)) return "Stack underflow";
        push(ValueRef::boolean(!truthy(a)));
        return {};
      case O::Jump: jump(ins.arg); return {};
      case O::JumpIfFalse:
      case O::JumpIfTrue:
        if (!pop(a)) return "Stack underflow";
        if (truthy(a) == (ins.opcode == O::JumpIfTrue)) jump(ins.arg);
        return {};
      case O::Call: return call(ins.arg);
      case O::Return: {
        if (frames_.empty()) return "Return without matching call";
        ValueRef r;
        if (!cur_.stack.empty()) r = cur_.stack.back();
        cur_ = std::move(frames_.back());
        frames_.pop_back();
        push(r);
        return {};
      }
      case O::StoreReg:
        if (ins.arg >= 256) return "Register " + std::to_string(ins.arg) + " out of bounds";
        if (!pop(a)) return "Stack underflow";
        cur_.regs[ins.arg] = a;
        return {};
      case O::LoadReg:
        if (ins.arg >= 256) return "Register " + std::to_string(ins.arg) + " out of bounds";
        push(cur_.regs[ins.arg]);
        return {};
      case O::StoreGlobal:
        if (!pop(a)) return "Stack underflow";
        globals_[global_name(ins.arg)] = a;
        return {};
      case O::LoadGlobal: {
        auto it = globals_.find(global_name(ins.arg));
        push(it == globals_.end() ? ValueRef() : it->second);
        return {};
      }
      case O::MakeArray: {
        std::vector<ValueRef> items;
        for (uint64_t i = 0; i < ins.arg; ++i) {
          if (!pop(a)) return "Stack underflow";
          items.push_back(a);
        }
        std::reverse(items.begin(), items.end());
        push(ValueRef::array(std::move(items)));
        return {};
      }
      case O::MakeObject: {
        std::vector<std::pair<ValueRef, ValueRef>> pairs;
        for (uint64_t i = 0; i < ins.arg; ++i) {
          if (!pop(b) || !pop(a)) return "Stack underflow";
          pairs.emplace_back(a, b);
        }
        // Popped top down, later inserts replacing: the earliest pair of a key wins. Entries are laid out in
        // push order so that renderings line up with the machine's.
        ObjectMap map;
        for (auto it = pairs.rbegin(); it != pairs.rend(); ++it)
          if (it->first.kind() == ValueKind::String && map.find(it->first.as_string()) == nullptr)
            map.set(std::string(it->first.as_string()), it->second);
        push(ValueRef::object(std::move(map)));
        return {};
      }
      case O::GetIndex:
        if (!pop(b) || !pop(a)) return "Stack underflow";
        if (a.kind() == ValueKind::Array && b.is_int()) {
          int64_t n = static_cast<int64_t>(a.as_array().size()), i = b.as_int();
          if (i < 0) i += n;
          push(i >= 0 && i < n ? a.as_array()[i] : ValueRef());
          return {};
        }
        if (a.kind() == ValueKind::Object && b.kind() == ValueKind::String) {
          const ValueRef* v = a.as_object().find(b.as_string());
          push(v != nullptr ? *v : method(a, std::string(b.as_string())));
          return {};
        }
        return "Invalid index operation";
      case O::SetIndex: {
        ValueRef v;
        if (!pop(v) || !pop(b) || !pop(a)) return "Stack underflow";
        if (a.kind() == ValueKind::Array && b.is_int()) {
          std::vector<ValueRef> items = a.as_array();
          int64_t n = static_cast<int64_t>(items.size()), i = b.as_int();
          if (i < 0) i += n;
          if (i >= 0 && i < n) items[i] = v;
          a = ValueRef::array(std::move(items));
        } else if (a.kind() == ValueKind::Object) {
          ObjectMap map = a.as_object();
          map.set(to_text(b), v);
          a = ValueRef::object(std::move(map));
        }
        push(a);
        return {};
      }
      case O::LoadConst:
        if (ins.arg >= cur_.unit->constants.size())
          return "Constant pool index " + std::to_string(ins.arg) + " out of bounds";
        push(cur_.unit->constants[ins.arg]);
        return {};
      case O::Concat:
        if (!pop(b) || !pop(a)) return "Stack underflow";
        push(ValueRef::string(to_text(a) + to_text(b)));
        return {};
      case O::Len:
        if (!pop(a)) return "Stack underflow";
        if (a.kind() == ValueKind::String) push(ValueRef::integer(static_cast<int64_t>(a.as_string().size())));
        else if (a.kind() == ValueKind::Array) push(ValueRef::integer(static_cast<int64_t>(a.as_array().size())));
        else if (a.kind() == ValueKind::Object) push(ValueRef::integer(static_cast<int64_t>(a.as_object().size())));
        else return "Type error: len() requires string/array/object";
        return {};
      case O::GetIter: {
        if (!pop(a)) return "Stack underflow";
        ValueRef items;
        if (a.kind() == ValueKind::String) {
          std::vector<ValueRef> chars;
          std::string_view s = a.as_string();
          for (size_t i = 0; i < s.size();) {
            size_t n = 1;
            unsigned char lead = static_cast<unsigned char>(s[i]);
            if (lead >= 0xF0) n = 4;
            else if (lead >= 0xE0) n = 3;
            else if (lead >= 0xC0) n = 2;
            chars.push_back(ValueRef::string(s.substr(i, n)));
            i += n;
          }
          items = ValueRef::array(std::move(chars));
        } else if (a.kind() == ValueKind::Array) {
          items = a;
        } else if (a.kind() == ValueKind::Object) {
          std::vector<std::string> keys;
          for (const auto& e : a.as_object()) keys.push_back(e.first);
          std::sort(keys.begin(), keys.end());
          std::vector<ValueRef> vals;
          for (auto& k : keys) vals.push_back(ValueRef::string(k));
          items = ValueRef::array(std::move(vals));
        } else {
          return "Type error: cannot iterate over value";
        }
        push(ValueRef::array({items, ValueRef::integer(0)}));
        return {};
      }
      case O::IterNext: {
        if (!pop(a)) return "Stack underflow";
        if (a.kind() != ValueKind::Array || a.as_array().size() != 2) return "Invalid iterator state";
        const ValueRef& k = a.as_array()[1];
        if (!k.is_int() || k.as_int() < 0) return "Invalid iterator: bad index";
        const ValueRef& items = a.as_array()[0];
        if (items.kind() != ValueKind::Array) return "Invalid iterator state";
        uint64_t i = static_cast<uint64_t>(k.as_int());
        if (i < items.as_array().size()) {
          push(ValueRef::array({items, ValueRef::integer(k.as_int() + 1)}));
          push(items.as_array()[i]);
        } else {
          push(ValueRef());
          push(ValueRef());
        }
        return {};
      }
      case O::Halt: halted = true; return {};
      case O::Nop: return {};
    }
    return "unknown opcode";
  }

  Unit main_;
  std::map<std::string, Unit> functions_;
  std::map<std::string, ValueRef> globals_;
  std::map<std::pair<std::string, std::string>, std::optional<std::string>> methods_;
  Frame cur_;
  std::vector<Frame> frames_;
};

// --- Random programs ----------------------------------------------------------------------------------------

// Constants shared by the main program and the function bodies; global names refer to them by index.
std::vector<Constant> pool() {
  return {Constant::integer(3), Constant::floating(2.5), Constant::floating(std::nan("")), Constant::string("ab"),
          Constant::nil(), Constant::integer(1LL << 40), Constant::floating(0.0), Constant::string("h\xC3\xA9"),
          Constant::integer(0), Constant::floating(-0.0), Constant::string("f0"), Constant::string("f1"),
          Constant::string("len"), Constant::string("g"), Constant::integer(INT64_MAX), Constant::string(""),
          Constant::string("__class__"), Constant::string("K"), Constant::string("m"), Constant::string("r"),
          Constant::string("q"), Constant::string("range")};
}
constexpr uint64_t kPoolSize = 22;
constexpr uint64_t kRangeName = 21;
// f0, f1, len, g, "ab", the class K, out of range
constexpr uint64_t kNameConstants[] = {10, 11, 12, 13, 3, 17, 40};
constexpr uint64_t kMembers[] = {18, 19, 20, 3};  // m, r, q, ab

// Classes every program starts with: K (m -> f0, q -> the builtin len) extends P (r -> f1).
void add_classes(const std::function<void(const std::string&, ValueRef)>& set) {
  auto cls = [](std::vector<std::pair<std::string, ValueRef>> methods, const char* parent) {
    std::vector<std::pair<std::string, ValueRef>> c = {{"__methods__", ValueRef::object(std::move(methods))}};
    if (parent != nullptr) c.emplace_back("__parent__", ValueRef::string(parent));
    return ValueRef::object(std::move(c));
  };
  set("K", cls({{"m", ValueRef::string("f0")}, {"q", ValueRef::string("len")}}, "P"));
  set("P", cls({{"r", ValueRef::string("f1")}}, nullptr));
}

class Generator {
 public:
  explicit Generator(uint32_t seed) : rng_(seed) {}

  std::vector<Instruction> code(size_t pieces, bool body) {
    std::vector<Instruction> out;
    for (size_t i = 0; i < pieces; ++i) piece(out);
    // Jump targets: a few absolute positions anywhere in (or just past) the finished code.
    for (auto& ins : out)
      if (is_jump(ins.opcode) && ins.arg == kPatch) ins.arg = pick(out.size() + 2);
    if (body) out.push_back(make_instr(O::Return));
    return out;
  }
  std::vector<uint64_t> lines(size_t n) {
    std::vector<uint64_t> out;
    size_t len = pick(4) == 0 ? pick(n + 1) : n;  // sometimes shorter than the code
    for (size_t i = 0; i < len; ++i) out.push_back(pick(3) == 0 ? 0 : 1 + pick(40));
    return out;
  }
  uint64_t pick(uint64_t n) { return n == 0 ? 0 : std::uniform_int_distribution<uint64_t>(0, n - 1)(rng_); }

 private:
  static constexpr uint64_t kPatch = ~0ull;
  Instruction reg_op(O o) { return make_instr(o, pick(12) == 0 ? 256 + pick(3) : pick(4)); }
  Instruction small_push() {
    static const int32_t values[] = {-2, -1, 0, 1, 2, 7, 2147483647};
    return make_push(values[pick(7)]);
  }
  Instruction value_op() {
    switch (pick(5)) {
      case 0: return small_push();
      case 1: return make_instr(O::LoadConst, pick(12) == 0 ? kPoolSize + pick(3) : pick(kPoolSize));
      case 2: return make_instr(O::LoadGlobal, kNameConstants[pick(std::size(kNameConstants))]);
      default: return reg_op(O::LoadReg);
    }
  }

  void piece(std::vector<Instruction>& out) {
    static const O binaries[] = {O::Add, O::Sub, O::Mul, O::Div, O::Mod, O::Pow, O::Eq, O::Ne, O::Lt, O::Le,
                                 O::Gt, O::Ge, O::And, O::Or, O::Concat, O::GetIndex, O::AddInt, O::SubInt,
                                 O::MulInt, O::ModInt, O::AddFloat, O::SubFloat, O::MulFloat, O::DivFloat,
                                 O::ModFloat, O::EqInt, O::EqFloat, O::LtInt, O::LtFloat};
    static const O unaries[] = {O::Neg, O::Not, O::Len, O::GetIter, O::IterNext, O::Pop, O::Dup, O::Swap,
                                O::Halt, O::Nop};
    static const O cmps[] = {O::Lt, O::Le, O::Gt, O::Ge};
    static const O ariths[] = {O::Add, O::Sub, O::Mul};
    switch (pick(24)) {
      case 0: case 1: out.push_back(value_op()); break;
      case 2: out.push_back(make_instr(binaries[pick(std::size(binaries))])); break;
      case 3: out.push_back(make_instr(unaries[pick(std::size(unaries))])); break;
      case 4: out.push_back(reg_op(O::StoreReg)); break;
      case 5:  // register compare and branch (forward, or anywhere)
        out.push_back(reg_op(O::LoadReg));
        out.push_back(pick(2) ? small_push() : reg_op(O::LoadReg));
        out.push_back(make_instr(cmps[pick(4)]));
        out.push_back(make_instr(pick(2) ? O::JumpIfFalse : O::JumpIfTrue, kPatch));
        break;
      case 6:  // register arithmetic, optionally stored through the top of the stack
        out.push_back(reg_op(O::LoadReg));
        out.push_back(pick(2) ? small_push() : reg_op(O::LoadReg));
        out.push_back(make_instr(ariths[pick(3)]));
        if (pick(2)) {
          out.push_back(make_instr(O::Dup));
          out.push_back(reg_op(O::StoreReg));
          out.push_back(make_instr(O::Pop));
        }
        break;
      case 7:  // store through the top
        out.push_back(make_instr(O::Dup));
        out.push_back(reg_op(O::StoreReg));
        out.push_back(make_instr(O::Pop));
        break;
      case 8: {  // indexed store written back to where the container came from
        bool global = pick(3) == 0;
        Instruction load = global ? make_instr(O::LoadGlobal, 13) : reg_op(O::LoadReg);
        out.push_back(load);
        out.push_back(value_op());
        out.push_back(value_op());
        out.push_back(make_instr(O::SetIndex));
        out.push_back(make_instr(O::Dup));
        out.push_back(global ? make_instr(O::StoreGlobal, 13) : make_instr(O::StoreReg, load.arg));
        if (pick(2)) out.push_back(make_instr(O::Pop));
        break;
      }
      case 9: {  // a loop step over an iterator kept in a register
        uint64_t r = pick(4);
        out.push_back(make_instr(O::LoadReg, r));
        out.push_back(make_instr(O::IterNext));
        out.push_back(make_instr(O::Swap));
        out.push_back(make_instr(O::StoreReg, pick(3) == 0 ? pick(4) : r));
        break;
      }
      case 10: {  // containers
        uint64_t n = pick(4);
        for (uint64_t i = 0; i < n * (pick(2) + 1); ++i) out.push_back(value_op());
        out.push_back(make_instr(pick(2) ? O::MakeArray : O::MakeObject, pick(8) == 0 ? n + 1 : n));
        break;
      }
      case 11: out.push_back(make_instr(static_cast<O>(static_cast<uint32_t>(O::Jump) + pick(3)), kPatch)); break;
      case 12: {  // a call of a global (function, builtin, or not callable)
        out.push_back(make_instr(O::LoadGlobal, kNameConstants[pick(std::size(kNameConstants))]));
        uint64_t n = pick(3);
        for (uint64_t i = 0; i < n; ++i) out.push_back(value_op());
        out.push_back(make_instr(O::Call, pick(10) == 0 ? n + 2 : n));
        break;
      }
      case 13:  // rebinding a global, functions and builtins included
        out.push_back(value_op());
        out.push_back(make_instr(O::StoreGlobal, kNameConstants[pick(std::size(kNameConstants))]));
        break;
      case 14: {  // a method call on a fresh instance of K (or of a class named by whatever is in r0)
        out.push_back(make_instr(O::LoadConst, 16));
        out.push_back(pick(4) == 0 ? make_instr(O::LoadReg, 0) : make_instr(O::LoadConst, 17));
        out.push_back(make_instr(O::MakeObject, 1));
        out.push_back(make_instr(O::LoadConst, kMembers[pick(std::size(kMembers))]));
        out.push_back(make_instr(O::GetIndex));
        uint64_t n = pick(3);
        for (uint64_t i = 0; i < n; ++i) out.push_back(value_op());
        out.push_back(make_instr(O::Call, n));
        break;
      }
      case 15: {  // the whole step of a for loop: advance, stop at nil, bind the element
        uint64_t r = pick(4);
        out.push_back(make_instr(O::LoadReg, r));
        out.push_back(make_instr(O::IterNext));
        out.push_back(make_instr(O::Swap));
        out.push_back(make_instr(O::StoreReg, r));
        out.push_back(make_instr(O::Dup));
        out.push_back(make_instr(O::LoadConst, pick(4) == 0 ? 3 : 4));  // "ab" or nil
        out.push_back(make_instr(O::Eq));
        out.push_back(make_instr(O::JumpIfTrue, kPatch));
        out.push_back(reg_op(O::StoreReg));
        break;
      }
      case 16: {  // an interpolation: a run of Concat
        uint64_t n = 2 + pick(3);
        for (uint64_t i = 0; i < n; ++i) out.push_back(value_op());
        for (uint64_t i = 0; i + 1 < n + pick(2); ++i) out.push_back(make_instr(O::Concat));
        if (pick(2)) {
          out.push_back(make_instr(O::Dup));
          out.push_back(reg_op(O::StoreReg));
        }
        break;
      }
      case 17: {  // element reads from a register, with the index from a register, an immediate or r + k
        out.push_back(reg_op(O::LoadReg));
        switch (pick(3)) {
          case 0: out.push_back(reg_op(O::LoadReg)); break;
          case 1: out.push_back(small_push()); break;
          default:
            out.push_back(reg_op(O::LoadReg));
            out.push_back(small_push());
            out.push_back(make_instr(O::Add));
            break;
        }
        out.push_back(make_instr(O::GetIndex));
        break;
      }
      case 18: {  // a[i] = v or a[i + k] = v with a computed value, written back to a (often a fresh array)
        static const O value_ops[] = {O::Add, O::Sub, O::Mul, O::Div, O::Mod, O::Lt, O::GetIndex, O::Concat};
        Instruction a = reg_op(O::LoadReg);
        if (a.arg < 4 && pick(2)) {
          out.push_back(small_push());
          out.push_back(value_op());
          out.push_back(make_instr(O::MakeArray, 2));
          out.push_back(make_instr(O::StoreReg, a.arg));
        }
        out.push_back(a);
        out.push_back(reg_op(O::LoadReg));
        if (pick(2)) {
          out.push_back(small_push());
          out.push_back(make_instr(O::Add));
        }
        out.push_back(value_op());
        for (uint64_t n = pick(3); n > 0; --n) {
          out.push_back(value_op());
          out.push_back(make_instr(value_ops[pick(std::size(value_ops))]));
        }
        out.push_back(make_instr(O::SetIndex));
        out.push_back(make_instr(O::Dup));
        out.push_back(make_instr(O::StoreReg, a.arg));
        out.push_back(make_instr(O::Pop));
        break;
      }
      case 19: {  // x op2 (a op1 b), and a number constant on the left of a register
        static const O ops[] = {O::Add, O::Sub, O::Mul, O::Div, O::Mod, O::Lt};
        out.push_back(value_op());
        out.push_back(pick(3) == 0 ? make_instr(O::LoadConst, pick(kPoolSize)) : reg_op(O::LoadReg));
        out.push_back(reg_op(O::LoadReg));
        out.push_back(make_instr(ops[pick(std::size(ops))]));
        out.push_back(make_instr(ops[pick(std::size(ops))]));
        break;
      }
      case 20: {  // a loop over range(a, b) begins: its state goes to a register that loop steps advance
        // Small bounds (ints, or 3, 2.5, "ab", nil from the pool): the model has no path for a failing builtin.
        static const int32_t bounds[] = {-2, -1, 0, 1, 2, 7};
        static const uint64_t others[] = {0, 1, 3, 4};
        out.push_back(make_instr(O::LoadGlobal, kRangeName));
        for (int k = 0; k < 2; ++k)
          out.push_back(pick(4) == 0 ? make_instr(O::LoadConst, others[pick(4)]) : make_push(bounds[pick(6)]));
        out.push_back(make_instr(O::Call, 2));
        out.push_back(make_instr(O::GetIter));
        out.push_back(reg_op(O::StoreReg));
        break;
      }
      case 21: {  // o.m() on a register: a fresh instance of K put there first, or whatever it holds
        uint64_t r = pick(4);
        if (pick(3) != 0) {
          out.push_back(make_instr(O::LoadConst, 16));
          out.push_back(make_instr(O::LoadConst, 17));
          out.push_back(make_instr(O::MakeObject, 1));
          out.push_back(make_instr(O::StoreReg, r));
        }
        out.push_back(make_instr(O::LoadReg, r));
        out.push_back(make_instr(O::LoadConst, kMembers[pick(std::size(kMembers))]));
        out.push_back(make_instr(O::GetIndex));
        out.push_back(make_instr(O::Call, 0));
        break;
      }
      case 22:  // a branch on a register alone
        out.push_back(reg_op(O::LoadReg));
        out.push_back(make_instr(pick(2) ? O::JumpIfFalse : O::JumpIfTrue, kPatch));
        break;
      default: out.push_back(make_instr(O::Return)); break;
    }
  }

  std::mt19937 rng_;
};

struct Snapshot {
  std::string outcome;
  uint64_t executed, depth, pc, calls;
  bool halted;
  std::string g;
  bool operator==(const Snapshot&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Snapshot& s) {
  return os << s.outcome << " executed=" << s.executed << " depth=" << s.depth << " pc=" << s.pc
            << " calls=" << s.calls << " halted=" << s.halted << " g=" << s.g;
}

std::string text_outcome(const RunResult& r) { return r.ok() ? "ok:" + to_text(r.value()) : "err:" + r.error(); }

std::string dump(const std::vector<Instruction>& code) {
  std::string out;
  for (size_t i = 0; i < code.size(); ++i) {
    out += std::to_string(i) + " " + opcode_name(code[i].opcode);
    if (code[i].opcode == O::Push) out += " " + std::to_string(code[i].imm);
    else if (code[i].arg != 0) out += " " + std::to_string(code[i].arg);
    out += "\n";
  }
  return out;
}

// Keeps texts small: a program doubling a string or rendering a doubled nesting reaches the value ceiling
// within a few steps instead of allocating a gigabyte first.
class SmallValues {
 public:
  SmallValues() : saved_(current_limits()) {
    Limits l = saved_;
    l.max_value_bytes = 1 << 20;
    set_limits(l);
  }
  ~SmallValues() { set_limits(saved_); }

 private:
  Limits saved_;
};

TEST(ReferenceInterpreter, RandomProgramsBehaveInstructionByInstruction) {
  SmallValues small;
  // TARNWICK_FUZZ_PROGRAMS raises the count for longer exploratory runs.
  const char* env = std::getenv("TARNWICK_FUZZ_PROGRAMS");
  const uint32_t kPrograms = env != nullptr ? static_cast<uint32_t>(std::atoi(env)) : 6000;
  int compared = 0;
  for (uint32_t seed = 1; seed <= kPrograms; ++seed) {
    Generator gen(seed);
    std::vector<Instruction> main_code = gen.code(3 + gen.pick(12), false);
    std::vector<uint64_t> main_lines = gen.lines(main_code.size());
    std::vector<FunctionRecord> functions;
    for (const char* name : {"f0", "f1"}) {
      FunctionRecord f;
      f.name = name;
      f.arity = gen.pick(3);
      f.code = gen.code(1 + gen.pick(6), true);
      f.lines = gen.lines(f.code.size());
      for (const auto& c : pool()) f.constants.push_back(std::make_shared<const Constant>(c));
      functions.push_back(std::move(f));
    }

    Plain plain(main_code, main_lines, pool(), functions);
    auto vm = make_vm({main_code, pool(), main_lines, functions});
    add_classes([&](const std::string& n, ValueRef v) { plain.set_global(n, v); });
    add_classes([&](const std::string& n, ValueRef v) { vm->set_global(n, v); });
    uint64_t budget = 20000;
    std::vector<Snapshot> expected, actual;
    bool within_budget = true;
    // Several runs: each continues where the previous one stopped, and drains one more value at the end.
    for (int r = 0; r < 4 && within_budget; ++r) {
      std::optional<RunResult> want;
      try {
        want = plain.run(budget);
      } catch (const std::bad_alloc&) {
        // A text doubled in a loop passes the value ceiling: the model has no error path for that.
        want.reset();
      }
      if (!want) {
        within_budget = false;
        break;
      }
      RunResult got = vm->run();
      try {
        expected.push_back({text_outcome(*want), plain.executed, plain.depth(), plain.pc(), plain.calls(),
                            plain.halted, to_text(plain.global("g"))});
        actual.push_back({text_outcome(got), vm->instructions_executed(), vm->stack_depth(), vm->pc(),
                          vm->call_depth(), vm->state_debug_text() == "Halted", to_text(vm->global("g"))});
      } catch (const std::bad_alloc&) {
        within_budget = false;  // a result too large to render
      }
    }
    if (!within_budget) continue;
    ++compared;
    for (size_t r = 0; r < expected.size(); ++r) {
      ASSERT_EQ(actual[r], expected[r]) << "seed " << seed << ", run " << r << "\nmain:\n"
                                        << dump(main_code) << "f0:\n" << dump(functions[0].code) << "f1:\n"
                                        << dump(functions[1].code);
    }
  }
  // Most programs finish within the budget; the comparison must not be vacuous.
  EXPECT_GT(compared, static_cast<int>(kPrograms / 2));
  if (env != nullptr) std::printf("compared %d of %u\n", compared, kPrograms);
}

// Growth past the initial stack, frame and register room, with the fused forms doing the pushing.
TEST(ReferenceInterpreter, GrowthOfStackFramesAndRegisters) {
  // r0 = 0; while r0 < 3000 { push r0 * 2; r0 = r0 + 1 }; [all 3000 values]; then str of it.
  std::vector<Instruction> pushes = {push(0), op(O::StoreReg, 0), op(O::LoadReg, 0), op(O::LoadConst, 0),
                                     op(O::Lt), op(O::JumpIfFalse, 16), op(O::LoadReg, 0), push(2), op(O::Mul),
                                     op(O::LoadReg, 0), push(1), op(O::Add), op(O::Dup), op(O::StoreReg, 0),
                                     op(O::Pop), op(O::Jump, 2), op(O::MakeArray, 3000), op(O::LoadGlobal, 1),
                                     op(O::Swap), op(O::Call, 1)};
  // down(n) = n < 1 ? [] : [n, down(n - 1)] through 2000 frames, each with registers of its own.
  FunctionRecord down = function(
      "down", 1,
      {op(O::LoadReg, 0), push(1), op(O::Lt), op(O::JumpIfFalse, 6), op(O::MakeArray, 0), op(O::Return),
       op(O::LoadReg, 0), push(1), op(O::Sub), op(O::Dup), op(O::StoreReg, 1), op(O::Pop), op(O::LoadReg, 0),
       op(O::LoadGlobal, 0), op(O::LoadReg, 1), op(O::Call, 1), op(O::MakeArray, 2), op(O::Return)},
      {Constant::string("down")});
  std::vector<Instruction> recursion = {op(O::LoadGlobal, 1), op(O::LoadGlobal, 2), op(O::LoadConst, 3),
                                        op(O::Call, 1), op(O::Call, 1)};

  std::vector<Constant> constants = {Constant::integer(3000), Constant::string("str"), Constant::string("down"),
                                     Constant::integer(2000)};
  for (const auto& code : {pushes, recursion}) {
    Plain plain(code, {}, constants, {down});
    uint64_t budget = 1000000;
    auto want = plain.run(budget);
    ASSERT_TRUE(want.has_value());
    auto vm = make_vm({code, constants, {}, {down}});
    RunResult got = vm->run();
    EXPECT_EQ(text_outcome(got), text_outcome(*want));
    EXPECT_EQ(vm->instructions_executed(), plain.executed);
    EXPECT_EQ(vm->call_depth(), 0u);
    EXPECT_GT(to_text(got.value()).size(), 10000u);  // the whole structure took part in the comparison
  }
}

// --- Compiled programs ---------------------------------------------------------------------------------------

std::string run_captured(VM& vm, RunResult& result) {
  std::FILE* out = std::tmpfile();
  vm.set_stdio(stdin, out);
  result = vm.run();
  std::rewind(out);
  std::string text;
  for (int c; (c = std::fgetc(out)) != EOF;) text.push_back(static_cast<char>(c));
  std::fclose(out);
  return text;
}

// Every script of the corpus and every example, compiled, as written and optimized.
TEST(ReferenceInterpreter, CompiledProgramsMatchAsWrittenAndOptimized) {
  for (const CorpusScript& script : corpus_scripts()) {
    // The plain interpreter borrows the builtins but not their failures: a script ending in a builtin
    // running out of memory is left out.
    if (script.error.find("Out of memory") != std::string::npos) continue;
    auto compiled = compile_source(script.source);
    if (!compiled.ok()) continue;  // a script that must not compile
    const BytecodeProgram& p = compiled.value();
    const std::string& source = script.path;

    Plain plain(p.code, p.lines, p.constants, p.functions);
    uint64_t budget = 50000000;
    std::optional<RunResult> want = plain.run(budget);
    ASSERT_TRUE(want.has_value()) << source;

    VM as_written(p.code, p.lines, p.constants, p.functions);
    RunResult got(ValueRef{});
    std::string printed = run_captured(as_written, got);
    EXPECT_EQ(printed, plain.printed) << source;
    EXPECT_EQ(text_outcome(got), text_outcome(*want)) << source;
    EXPECT_EQ(as_written.instructions_executed(), plain.executed) << source;
    EXPECT_EQ(as_written.stack_depth(), plain.depth()) << source;

    std::vector<uint64_t> lines = p.lines;
    OptimizeResult opt = optimize_main(p.code, lines);
    VM optimized(opt.code, lines, p.constants, p.functions);
    RunResult got_opt(ValueRef{});
    EXPECT_EQ(run_captured(optimized, got_opt), plain.printed) << source;
    EXPECT_EQ(text_outcome(got_opt), text_outcome(*want)) << source;
  }
}

}  // namespace
