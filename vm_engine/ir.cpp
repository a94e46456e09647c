// The LLVM IR emitter: a straight-line trace of instructions to the text of one IR module.
#include "vm_engine/ir.h"

#include <cstdint>
#include <string_view>

namespace tarnwick {

namespace {

// Every generated value is 64 bits with its payload in the low 48; the tags mark what produced it.
constexpr std::string_view kMask = "281474976710655";
constexpr std::string_view kFloatTag = "281474976710656";
constexpr std::string_view kBoolTag = "562949953421312";
constexpr std::string_view kNilValue = "844424930131968";
constexpr uint64_t kPayloadMask = 0xFFFFFFFFFFFFull;

class IrEmitter {
 public:
  explicit IrEmitter(const std::string& name) : name_(name) {}

  std::string run(const std::vector<Instruction>& instructions) {
    for (const auto& ins : instructions) {
      if (terminated_) break;
      step(ins);
    }
    if (!terminated_) line("ret i64 " + pop_or(kNilValue));
    return module_text();
  }

 private:
  std::string fresh() {
    std::string t = "%v";
    t += std::to_string(counter_++);
    return t;
  }

  void line(std::string_view text) {
    body_ += "  ";
    body_ += text;
    body_ += '\n';
  }

  std::string pop() {
    std::string top = std::move(value_stack_.back());
    value_stack_.pop_back();
    return top;
  }

  std::string pop_or(std::string_view fallback) { return value_stack_.empty() ? std::string(fallback) : pop(); }

  // Pops a then b (b on top); when fewer than two names are there it pops what there is and reports false.
  bool pop_two(std::string& a, std::string& b) {
    if (value_stack_.size() < 2) {
      value_stack_.clear();
      return false;
    }
    b = pop();
    a = pop();
    return true;
  }

  void integer_pattern(std::string_view op) {
    std::string a, b;
    if (!pop_two(a, b)) return;
    std::string t1 = fresh(), t2 = fresh(), t3 = fresh(), t4 = fresh(), t5 = fresh(), t6 = fresh();
    line(t1 + " = and i64 " + a + ", " + std::string(kMask) + "  ; 0xFFFFFFFFFFFF");
    line(t2 + " = and i64 " + b + ", " + std::string(kMask));
    line(t3 + " = trunc i64 " + t1 + " to i32");
    line(t4 + " = trunc i64 " + t2 + " to i32");
    line(t5 + " = " + std::string(op) + " i32 " + t3 + ", " + t4);
    line(t6 + " = zext i32 " + t5 + " to i64");
    value_stack_.push_back(t6);
  }

  void division_pattern() {
    std::string a, b;
    if (!pop_two(a, b)) return;
    std::string t1 = fresh(), t2 = fresh(), t3 = fresh(), t4 = fresh(), t5 = fresh(), t6 = fresh(), t7 = fresh();
    line(t1 + " = and i64 " + a + ", " + std::string(kMask));
    line(t2 + " = and i64 " + b + ", " + std::string(kMask));
    line(t3 + " = sitofp i64 " + t1 + " to double");
    line(t4 + " = sitofp i64 " + t2 + " to double");
    line(t5 + " = fdiv double " + t3 + ", " + t4);
    line(t6 + " = bitcast double " + t5 + " to i64");
    line(t7 + " = or i64 " + t6 + ", " + std::string(kFloatTag));
    value_stack_.push_back(t7);
  }

  void comparison_pattern(std::string_view predicate) {
    std::string a, b;
    if (!pop_two(a, b)) return;
    std::string t1 = fresh(), t2 = fresh(), t3 = fresh(), t4 = fresh(), t5 = fresh();
    line(t1 + " = and i64 " + a + ", " + std::string(kMask));
    line(t2 + " = and i64 " + b + ", " + std::string(kMask));
    line(t3 + " = icmp " + std::string(predicate) + " i64 " + t1 + ", " + t2);
    line(t4 + " = zext i1 " + t3 + " to i64");
    line(t5 + " = or i64 " + t4 + ", " + std::string(kBoolTag));
    value_stack_.push_back(t5);
  }

  void logic_pattern(std::string_view op) {
    std::string a, b;
    if (!pop_two(a, b)) return;
    std::string t1 = fresh(), t2 = fresh(), t3 = fresh(), t4 = fresh(), t5 = fresh(), t6 = fresh(), t7 = fresh();
    line(t1 + " = and i64 " + a + ", " + std::string(kMask));
    line(t2 + " = and i64 " + b + ", " + std::string(kMask));
    line(t3 + " = icmp ne i64 " + t1 + ", 0");
    line(t4 + " = icmp ne i64 " + t2 + ", 0");
    line(t5 + " = " + std::string(op) + " i1 " + t3 + ", " + t4);
    line(t6 + " = zext i1 " + t5 + " to i64");
    line(t7 + " = or i64 " + t6 + ", " + std::string(kBoolTag));
    value_stack_.push_back(t7);
  }

  void conditional_branch(const Instruction& ins, std::string_view predicate) {
    if (value_stack_.empty()) return;
    std::string c = pop();
    std::string t1 = fresh(), t2 = fresh();
    line(t1 + " = and i64 " + c + ", " + std::string(kMask));
    line(t2 + " = icmp " + std::string(predicate) + " i64 " + t1 + ", 0");
    // The fall-through label borrows the next counter value without consuming it.
    std::string label = "L";
    label += std::to_string(counter_);
    std::string br = "br i1 ";
    br += t2;
    br += ", label %L";
    br += std::to_string(ins.arg);
    br += ", label %";
    br += label;
    line(br);
    body_ += label + ":\n";
  }

  void step(const Instruction& ins) {
    switch (ins.opcode) {
      case Opcode::Push: {
        uint64_t payload = static_cast<uint64_t>(static_cast<int64_t>(ins.imm)) & kPayloadMask;
        std::string t1 = fresh();
        line(t1 + " = add i64 0, " + std::to_string(payload) + "  ; Push(" + std::to_string(ins.imm) + ")");
        value_stack_.push_back(t1);
        break;
      }
      case Opcode::Pop:
        if (!value_stack_.empty()) value_stack_.pop_back();
        break;
      case Opcode::Dup:
        if (!value_stack_.empty()) value_stack_.push_back(value_stack_.back());
        break;
      case Opcode::Swap:
        if (value_stack_.size() >= 2) std::swap(value_stack_[value_stack_.size() - 1], value_stack_[value_stack_.size() - 2]);
        break;
      case Opcode::Add:
      case Opcode::AddInt:
      case Opcode::AddFloat:
        integer_pattern("add nsw");
        break;
      case Opcode::Sub:
      case Opcode::SubInt:
      case Opcode::SubFloat:
        integer_pattern("sub nsw");
        break;
      case Opcode::Mul:
      case Opcode::MulInt:
      case Opcode::MulFloat:
        integer_pattern("mul nsw");
        break;
      case Opcode::Mod:
      case Opcode::ModInt:
      case Opcode::ModFloat:
        integer_pattern("srem");
        break;
      case Opcode::Div:
      case Opcode::DivFloat:
        division_pattern();
        break;
      case Opcode::Pow: {
        uses_runtime_ = true;
        std::string a, b;
        if (!pop_two(a, b)) break;
        std::string t1 = fresh();
        line(t1 + " = call i64 @__tarnwick_pow(i64 " + a + ", i64 " + b + ")");
        value_stack_.push_back(t1);
        break;
      }
      case Opcode::Neg: {
        if (value_stack_.empty()) break;
        std::string a = pop();
        std::string t1 = fresh(), t2 = fresh();
        line(t1 + " = and i64 " + a + ", " + std::string(kMask));
        line(t2 + " = sub i64 0, " + t1);
        value_stack_.push_back(t2);
        break;
      }
      case Opcode::Eq:
      case Opcode::EqInt:
      case Opcode::EqFloat:
        comparison_pattern("eq");
        break;
      case Opcode::Ne:
        comparison_pattern("ne");
        break;
      case Opcode::Lt:
      case Opcode::LtInt:
      case Opcode::LtFloat:
        comparison_pattern("slt");
        break;
      case Opcode::Le:
        comparison_pattern("sle");
        break;
      case Opcode::Gt:
        comparison_pattern("sgt");
        break;
      case Opcode::Ge:
        comparison_pattern("sge");
        break;
      case Opcode::And:
        logic_pattern("and");
        break;
      case Opcode::Or:
        logic_pattern("or");
        break;
      case Opcode::Not: {
        if (value_stack_.empty()) break;
        std::string a = pop();
        std::string t1 = fresh(), t2 = fresh(), t3 = fresh(), t4 = fresh();
        line(t1 + " = and i64 " + a + ", " + std::string(kMask));
        line(t2 + " = icmp eq i64 " + t1 + ", 0");
        line(t3 + " = zext i1 " + t2 + " to i64");
        line(t4 + " = or i64 " + t3 + ", " + std::string(kBoolTag));
        value_stack_.push_back(t4);
        break;
      }
      case Opcode::Jump:
        line("br label %L" + std::to_string(ins.arg));
        terminated_ = true;
        break;
      case Opcode::JumpIfFalse:
        conditional_branch(ins, "eq");
        break;
      case Opcode::JumpIfTrue:
        conditional_branch(ins, "ne");
        break;
      case Opcode::Call: {
        uses_runtime_ = true;
        for (uint64_t i = 0; i < ins.arg && !value_stack_.empty(); ++i) value_stack_.pop_back();
        std::string f = pop_or("0");
        std::string t1 = fresh();
        line(t1 + " = call i64 @__tarnwick_call(i64 " + f + ", i64 " + std::to_string(ins.arg) + ")");
        value_stack_.push_back(t1);
        break;
      }
      case Opcode::Return:
        line("ret i64 " + pop_or(kNilValue));
        terminated_ = true;
        break;
      case Opcode::Halt:
        line("ret i64 " + pop_or(kNilValue) + "  ; Halt");
        terminated_ = true;
        break;
      case Opcode::StoreReg:
      case Opcode::StoreGlobal: {
        uses_runtime_ = true;
        if (value_stack_.empty()) break;
        std::string v = pop();
        const char* fn = ins.opcode == Opcode::StoreReg ? "@__tarnwick_store_reg" : "@__tarnwick_store_global";
        line(std::string("call void ") + fn + "(i64 " + std::to_string(ins.arg) + ", i64 " + v + ")");
        break;
      }
      case Opcode::LoadReg:
      case Opcode::LoadGlobal: {
        uses_runtime_ = true;
        std::string t1 = fresh();
        const char* fn = ins.opcode == Opcode::LoadReg ? "@__tarnwick_load_reg" : "@__tarnwick_load_global";
        line(t1 + " = call i64 " + fn + "(i64 " + std::to_string(ins.arg) + ")");
        value_stack_.push_back(t1);
        break;
      }
      case Opcode::LoadConst: {
        uses_runtime_ = true;
        std::string t1 = fresh();
        std::string k = std::to_string(ins.arg);
        line(t1 + " = call i64 @__tarnwick_load_const(i64 " + k + ")  ; LoadConst(" + k + ")");
        value_stack_.push_back(t1);
        break;
      }
      case Opcode::MakeArray:
      case Opcode::MakeObject:
      case Opcode::GetIndex:
      case Opcode::SetIndex:
      case Opcode::Concat:
      case Opcode::Len:
      case Opcode::GetIter:
      case Opcode::IterNext: {
        uses_runtime_ = true;
        std::string t1 = fresh();
        line(t1 + " = call i64 @__tarnwick_collection_op(i64 " + std::to_string(counter_) + ")");
        value_stack_.push_back(t1);
        break;
      }
      case Opcode::Nop:
        break;
    }
  }

  std::string module_text() const {
    std::string out;
    out.reserve(body_.size() + 1024);
    out += "; Tarnwick v3.9.1 \u2014 Generated LLVM IR\n";
    out += "; Trace: " + name_ + "\n";
    out += "; DO NOT EDIT \u2014 auto-generated by ir\n\n";
    out += "target triple = \"x86_64-unknown-linux-gnu\"\n";
    out += "target datalayout = \"e-m:e-p270:32:32-p271:32:32-p272:64:64-i64:64-f80:128-n8:16:32:64-S128\"\n\n";
    if (uses_runtime_) {
      // The block is these seven, always; @__tarnwick_load_const stays undeclared (no trace decoded from
      // bytes can load a constant, so only in-memory traces ever call it).
      out +=
          "declare i64 @__tarnwick_pow(i64, i64)\n"
          "declare void @__tarnwick_store_reg(i64, i64)\n"
          "declare i64 @__tarnwick_load_reg(i64)\n"
          "declare i64 @__tarnwick_load_global(i64)\n"
          "declare void @__tarnwick_store_global(i64, i64)\n"
          "declare i64 @__tarnwick_collection_op(i64)\n"
          "declare i64 @__tarnwick_call(i64, i64)\n\n";
    }
    out += "define i64 @" + name_ + "() noinline {\n";
    out += "entry:\n";
    out += body_;
    out += "}\n";
    return out;
  }

  const std::string& name_;
  std::vector<std::string> value_stack_;
  std::string body_;
  uint64_t counter_ = 0;
  bool terminated_ = false;
  bool uses_runtime_ = false;
};

}  // namespace

std::string emit(const std::string& name, const std::vector<Instruction>& instructions) {
  return IrEmitter(name).run(instructions);
}

}  // namespace tarnwick
