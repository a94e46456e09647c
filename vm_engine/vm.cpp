// The interpreter loop: one computed-goto dispatch over the executable copy of each body, with the
// generic instructions, their typed forms, the fused sequences and the replacement forms that the loader
// and code-unit set-up produce. Calls, objects and globals leave the loop through calls.cpp, objects.cpp and
// globals.cpp on their slow paths.
#include "vm_engine/vm.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <new>
#include <thread>

#include "vm_engine/instr_info.h"
#include "vm_engine/limits.h"
#include "vm_engine/members.h"
#include "vm_engine/pool.h"
#include "vm_engine/text_join.h"
#include "vm_engine/vm_internal.h"

namespace tarnwick {

using detail::CallSite;
using detail::CodeUnit;
using detail::GlobalCache;
using detail::kNoCall;
using detail::WriteGuard;
using namespace detail::cmp;
using detail::kRegisterLimit;
using detail::kSequencePeak;
using detail::kStackOverflow;
using detail::kStackUnderflow;

namespace {

// Every runtime error text of the loop, once.
constexpr const char* kSwapUnderflow = "Stack underflow on Swap";
constexpr const char* kNegType = "Type error: unary negation requires a number";
constexpr const char* kExpectedInt = "Type error: expected int";
constexpr const char* kExpectedFloat = "Type error: expected float";
constexpr const char* kExpectedNumber = "Type error: expected number";
constexpr const char* kDivZero = "Division by zero";
constexpr const char* kModZero = "Modulo by zero";
constexpr const char* kInvalidIndex = "Invalid index operation";
constexpr const char* kLenType = "Type error: len() requires string/array/object";
constexpr const char* kIterType = "Type error: cannot iterate over value";
constexpr const char* kIterState = "Invalid iterator state";
constexpr const char* kIterIndex = "Invalid iterator: bad index";
constexpr const char* kPaused = "VM paused";
[[gnu::cold, gnu::noinline]] std::string register_error(uint64_t slot) {
  return "Register " + std::to_string(slot) + " out of bounds";
}
[[gnu::cold, gnu::noinline]] std::string constant_error(uint64_t k) {
  return "Constant pool index " + std::to_string(k) + " out of bounds";
}

inline int64_t sat_add(int64_t a, int64_t b) {
  int64_t r;
  if (__builtin_add_overflow(a, b, &r)) return b > 0 ? INT64_MAX : INT64_MIN;
  return r;
}
inline int64_t sat_sub(int64_t a, int64_t b) {
  int64_t r;
  if (__builtin_sub_overflow(a, b, &r)) return b < 0 ? INT64_MAX : INT64_MIN;
  return r;
}
inline int64_t sat_mul(int64_t a, int64_t b) {
  int64_t r;
  if (__builtin_mul_overflow(a, b, &r)) return ((a < 0) != (b < 0)) ? INT64_MIN : INT64_MAX;
  return r;
}
// Truncating remainder; the one overflowing case (INT64_MIN % -1) is mathematically 0.
inline int64_t int_rem(int64_t a, int64_t b) { return b == -1 ? 0 : a % b; }

enum ArithOp { kAdd, kSub, kMul, kDiv, kMod, kPow };
constexpr const char* kArithNames[] = {"add", "sub", "mul", "div", "mod", "pow"};

// Generic arithmetic on anything but two ints handled inline; the result replaces a.
[[gnu::noinline]] bool generic_arith(int op, ValueRef& a, const ValueRef& b, std::string& err) {
  if (!a.is_number() || !b.is_number()) {
    err = std::string("Type error: cannot apply ") + kArithNames[op] + " to " + type_name(a) + " and " + type_name(b);
    return false;
  }
  if (a.is_int() && b.is_int()) {
    int64_t x = a.as_int(), y = b.as_int();
    switch (op) {
      case kAdd: a = ValueRef::integer(sat_add(x, y)); return true;
      case kSub: a = ValueRef::integer(sat_sub(x, y)); return true;
      case kMul: a = ValueRef::integer(sat_mul(x, y)); return true;
      case kDiv:
        if (y == 0) { err = kDivZero; return false; }
        a = ValueRef::floating(static_cast<double>(x) / static_cast<double>(y));
        return true;
      case kMod:
        if (y == 0) { err = kModZero; return false; }
        a = ValueRef::integer(int_rem(x, y));
        return true;
      default: a = ValueRef::floating(std::pow(static_cast<double>(x), static_cast<double>(y))); return true;
    }
  }
  double x = a.number_as_double(), y = b.number_as_double();
  double r;
  switch (op) {
    case kAdd: r = x + y; break;
    case kSub: r = x - y; break;
    case kMul: r = x * y; break;
    case kDiv:
      if (y == 0.0) { err = kDivZero; return false; }
      r = x / y;
      break;
    case kMod:
      if (y == 0.0) { err = kModZero; return false; }
      r = std::fmod(x, y);
      break;
    default: r = std::pow(x, y); break;
  }
  a = ValueRef::floating(r);
  return true;
}

constexpr double kEpsilon = 2.220446049250313e-16;  // 2^-52

// Concat's rendering of one operand, with strings and ints (what interpolations mostly join) done here.
TARNWICK_INLINE void append_part(std::string& out, const ValueRef& v) {
  if (v.kind() == ValueKind::String && out.size() + v.as_string().size() <= 4096) {
    out += v.as_string();
  } else if (v.is_int()) {
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, v.as_int());
    out.append(buf, res.ptr);
  } else {
    append_text(out, v);  // longer texts are checked against the value ceiling there
  }
}

TARNWICK_INLINE bool too_shallow(size_t depth, size_t need) { return depth < need; }

// x op y for fused instructions, exactly as the generic instruction computes it when both are numbers
// (and, for division, the divisor is not zero). Anything else returns false and is left to the
// instruction-by-instruction path, errors included.
template <uint32_t Op>
TARNWICK_INLINE bool number_op(const ValueRef& x, const ValueRef& y, ValueRef& r) {
  if constexpr (Op == detail::kBinMod) {
    // Two ints and a divisor that is not zero; everything else (floats included) as written.
    if (!x.is_int() || !y.is_int() || y.as_int() == 0) return false;
    r.put_int(int_rem(x.as_int(), y.as_int()));
    return true;
  }
  if constexpr (Op == detail::kBinEq || Op == detail::kBinNe) {
    bool eq;
    if (x.is_int() && y.is_int()) {
      eq = x.as_int() == y.as_int();
    } else if (x.is_number() && y.is_number()) {
      eq = std::fabs(x.number_as_double() - y.number_as_double()) < kEpsilon;
    } else {
      return false;
    }
    r.put_bool(Op == detail::kBinEq ? eq : !eq);
    return true;
  }
  if constexpr (Op <= detail::kBinMul) {
    if (x.is_int() && y.is_int()) {
      int64_t a = x.as_int(), b = y.as_int();
      r.put_int(Op == detail::kBinAdd ? sat_add(a, b) : Op == detail::kBinSub ? sat_sub(a, b) : sat_mul(a, b));
      return true;
    }
  }
  // Two floats (the float kernels' case) without converting either; mixed pairs convert their int.
  double a, b;
  if (x.is_float() && y.is_float()) {
    a = x.as_float();
    b = y.as_float();
  } else {
    if (!x.is_number() || !y.is_number()) return false;
    a = x.number_as_double();
    b = y.number_as_double();
  }
  switch (Op) {
    case detail::kBinAdd: r.put_float(a + b); return true;
    case detail::kBinSub: r.put_float(a - b); return true;
    case detail::kBinMul: r.put_float(a * b); return true;
    case detail::kBinDiv:
      if (b == 0.0) return false;
      r.put_float(a / b);
      return true;
    case detail::kBinLt: r.put_bool(a < b); return true;
    case detail::kBinLe: r.put_bool(a <= b); return true;
    case detail::kBinGt: r.put_bool(a > b); return true;
    default: r.put_bool(a >= b); return true;
  }
}

// SetIndex's store into an array held alone: an int index inside it (negative from the end) takes the
// value; any other index stores nothing.
TARNWICK_INLINE void store_element(std::vector<ValueRef>& items, const ValueRef& i, ValueRef& v) {
  if (!i.is_int()) return;
  int64_t n = static_cast<int64_t>(items.size());
  int64_t idx = i.as_int();
  if (idx < 0) idx += n;
  if (idx >= 0 && idx < n) items[static_cast<size_t>(idx)] = std::move(v);
}

// SetIndex's store into a container whose global (`slot`) let go of its handle so that the store could
// happen in place: when the copy or the store fails (a memory limit), the global gets its container back,
// so that an error never loses a global's last stored value.
[[gnu::noinline]] void store_into_parked(ValueRef& c, const ValueRef& i, ValueRef& v, ValueRef& slot, RwLock& lock) {
  try {
    make_unique(c);
    if (c.kind() == ValueKind::Array) {
      store_element(c.array_mut(), i, v);
    } else {
      std::string key = i.kind() == ValueKind::String ? std::string(i.as_string()) : to_text(i);
      c.object_mut().set(std::move(key), std::move(v));
    }
  } catch (...) {
    WriteGuard g(lock);
    slot = c;
    throw;
  }
}

// Splits UTF-8 text into one string per scalar value; a byte that starts no valid sequence stands alone.
std::vector<ValueRef> split_scalars(std::string_view s) {
  std::vector<ValueRef> out;
  out.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 1;
    if (i + n > s.size()) n = 1;
    for (size_t j = 1; j < n; ++j)
      if ((static_cast<unsigned char>(s[i + j]) & 0xC0) != 0x80) n = 1;
    out.push_back(ValueRef::string(s.substr(i, n)));
    i += n;
  }
  return out;
}

}  // namespace

// The loop's `IterNext, Swap, StoreReg r` (IterNext at next_pc - 1) puts the new state back into the register
// that holds the old one, `st`: dropping that handle first lets a shared state be advanced in place.
static void release_replaced_state(const CodeUnit& unit, uint64_t next_pc, ValueRef* regs, const ValueRef& st) {
  const Instruction* code = unit.code.data();
  if (code[next_pc].opcode != Opcode::Swap || next_pc + 1 >= unit.code_size) return;
  const Instruction& store = code[next_pc + 1];
  if (store.opcode == Opcode::StoreReg && store.arg < kRegisterLimit && regs[store.arg].identity() == st.identity())
    regs[store.arg] = ValueRef();
}

// Kept out of run(), whose code the dispatch loop may share: what a run needs set before it starts, and what
// a failure thrown inside an instruction leaves.
[[gnu::noinline]] void VM::prepare_run(const Limits& limits) {
  operands_taken_ = false;
  store_mark_ = kNoStore;
  if (!sequences_dropped_ && stack_.size() + kSequencePeak > limits.max_stack_slots) drop_fused_sequences_near_ceiling();
}

void VM::close_open_store() noexcept {
  if (store_mark_ == kNoStore) return;
  base_[store_mark_].put(window_[store_reg_]);  // over the opening's nil
  store_mark_ = kNoStore;
}

// Every handler that can allocate (or call out) syncs pc first, so pc - 1 is the failing instruction and
// its line is reported like any other failure's; the operands it popped are discarded.
[[gnu::cold, gnu::noinline]] RunResult VM::thrown_failure(const std::string& message) {
  close_open_store();
  // The operands of the failing instruction, as the instruction list says for one that may throw; a native
  // call has taken them already.
  uint64_t pops = 0;
  if (pc_ > 0 && pc_ - 1 < unit_->code_size) {
    const Instruction& in = unit_->code[pc_ - 1];
    if (may_throw(in.opcode) && !(in.opcode == Opcode::Call && operands_taken_)) pops = instr_pops(in);
  }
  operands_taken_ = false;
  size_t n = static_cast<size_t>(std::min<uint64_t>(pops, stack_depth()));
  for (size_t i = sp_ - n; i < sp_; ++i) stack_[i] = ValueRef();
  sp_ -= n;
  return make_err(pc_ > 0 ? error_at(pc_ - 1, message) : message);
}

RunResult VM::run() {
  interrupted_ = false;
  // The ceilings are read once per run (a change applies from the next run on, or when storage grows).
  const Limits limits = current_limits();
  prepare_run(limits);
  // Runs nest on the native stack only through natives that start other runs: stop before it overflows.
  if (!native_stack_room(limits.min_native_stack)) return make_err(std::string(kStackOverflow));
  if (limits.max_stack_slots != room_slots_ || limits.max_call_depth != room_depth_) update_frame_room(limits);
  ++run_depth_;
  RunResult result = run_guarded();
  --run_depth_;
  if (result.ok()) {
    if (!last_trace_.empty()) last_trace_.clear();
  } else {
    capture_trace();
  }
  return result;
}

void VM::check_long_work(void* self) {
  auto* vm = static_cast<VM*>(self);
  if (!vm->poll_within(vm->stop_message_)) throw detail::WorkStopped{};
}

RunResult VM::run_guarded() {
  auto failed = [this](const std::string& message) { return thrown_failure(message); };
  // Long work inside an instruction asks the poll hook too (and stops the run by throwing).
  struct WorkCheckScope {
    detail::WorkHook& hook;
    detail::WorkHook before;
    explicit WorkCheckScope(VM* vm) : hook(detail::t_work), before(hook) {
      hook = detail::WorkHook{&VM::check_long_work, vm};
    }
    ~WorkCheckScope() { hook = before; }
  } scope(this);
  try {
    return run_loop();
  } catch (const detail::WorkStopped&) {
    return failed(stop_message_);
  } catch (const std::bad_alloc&) {
    return failed(detail::kOutOfMemory);
  } catch (const std::length_error&) {
    return failed(detail::kOutOfMemory);
  } catch (const std::exception& e) {
    // Nothing in the loop throws on purpose; a native that does must not take the host down.
    return failed(std::string("Internal error: ") + e.what());
  }
}

RunResult VM::run_loop() {
// One label per code, in code order, generated from the two instruction lists: a handler missing for
// any of them fails the build.
  static const void* const kLabels[] = {
#define TARNWICK_OPCODE_LABEL(name, vm, compile, operand, ...) &&L_##name,
#define TARNWICK_FUSED_LABEL(name) &&L_##name,
      TARNWICK_OPCODES(TARNWICK_OPCODE_LABEL) &&L_End, TARNWICK_FUSED(TARNWICK_FUSED_LABEL)
#undef TARNWICK_OPCODE_LABEL
#undef TARNWICK_FUSED_LABEL
  };
  static_assert(sizeof(kLabels) / sizeof(kLabels[0]) == detail::kFusedEnd);

  // Dispatch state: ip points at the instruction being run, in the executable copy of the running body.
  // Its index (the pc of the instruction) is ip - exec; the VM's pc_ is one past it once synced. The running
  // unit, stack base and register window are the VM's own fields: calls and returns set them once, and the
  // slow paths see them without syncing (kept in memory either way: the loop has too few registers).
  const CodeUnit*& unit = unit_;
  const Instruction* exec;
  const Instruction* ip;
  ValueRef* sp;
  ValueRef*& base = base_;
  ValueRef* slimit;
  ValueRef*& R = window_;
  uint64_t executed = executed_;
  const uint32_t poll_interval = poll_interval_;
  // Counts down whether or not there is a hook, so that only reaching zero needs to look at it.
  uint32_t poll_countdown = poll_interval;
  const PollFn poll = poll_fn_;
  std::string err;
  const char* fail_msg = nullptr;
  uint64_t concat_count = 0;
  int sub_op = 0;  // the variant of a handler shared by several instructions
  ValueRef fused;  // result of a fused number operation: always a scalar

#define PC() static_cast<uint64_t>(ip - exec)
#define SYNC_SP() (sp_ = static_cast<size_t>(sp - stack_.data()))
#define SYNC() (pc_ = PC() + 1, SYNC_SP(), executed_ = executed)
// The same inside a fused sequence, for its instruction at offset k (those before it have completed).
#define SYNC_AT(k) (SYNC(), pc_ += (k), executed_ += (k))
// pc_ may lie far past the end of the code (a run that ended with a far jump): never form that pointer.
#define RELOAD()                                             \
  do {                                                       \
    exec = unit->exec.data();                                \
    ip = exec + std::min<uint64_t>(pc_, unit->code_size);    \
    sp = stack_.data() + sp_;                      \
    slimit = stack_.data() + stack_.size();        \
    executed = executed_;  /* with what calls nested in a native ran */ \
  } while (0)
#define DISPATCH() goto* kLabels[static_cast<uint32_t>(ip->opcode)]
#define NEXT()     \
  do {             \
    ++executed;    \
    ++ip;          \
    DISPATCH();    \
  } while (0)
#define FAIL(msg)       \
  do {                  \
    fail_msg = (msg);   \
    goto fail_const;    \
  } while (0)
// Ends the run normally with pc at `at` (the end of the code or a jump target past it).
#define END_AT(at)             \
  do {                         \
    pc_ = (at);                \
    SYNC_SP();                 \
    executed_ = executed;      \
    goto end_of_code;          \
  } while (0)
#define ENSURE(n)                                          \
  do {                                                     \
    if (static_cast<size_t>(slimit - sp) < (n)) {          \
      SYNC();                                              \
      if (!grow_stack(n)) FAIL(kStackOverflow);            \
      RELOAD();                                            \
      --ip;                                                \
    }                                                      \
  } while (0)
// Pushes onto the slot at sp, which always holds nil.
#define PUSH(v)          \
  do {                   \
    ENSURE(1);           \
    (sp++)->put(v);      \
  } while (0)
#define DEPTH() (static_cast<size_t>(sp - base))
// Binary instructions: with one value present it is popped and lost before the underflow error.
#define NEED2()                            \
  do {                                     \
    if (DEPTH() < 2) {                     \
      if (sp > base) (--sp)->clear();      \
      FAIL(kStackUnderflow);               \
    }                                      \
  } while (0)
// Asks the poll hook between two instructions, with everything synced and the next one at `resume`. The
// host may call into this machine from there (a signal handler does): the call runs above this run, as a
// native's callback does, and may move the stacks, so everything is loaded again afterwards.
#define POLL_BETWEEN(resume)                                    \
  do {                                                          \
    std::optional<std::string> stop;                            \
    {                                                           \
      CalloutScope callout(*this);                              \
      stop = poll(poll_ctx_);                                   \
    }                                                           \
    if (stop) {                                                 \
      interrupted_ = true;                                      \
      return make_err(std::move(*stop));                        \
    }                                                           \
    exec = unit->exec.data();                                   \
    ip = exec + (resume);                                       \
    sp = stack_.data() + sp_;                                   \
    slimit = stack_.data() + stack_.size();                     \
    executed = executed_;                                       \
  } while (0)
#define POLL()                                                  \
  do {                                                          \
    if (--poll_countdown == 0 && poll != nullptr) {         \
      poll_countdown = poll_interval;                           \
      SYNC();                                                   \
      POLL_BETWEEN(pc_ - 1);                                    \
    }                                                           \
  } while (0)

  RELOAD();
  if (pc_ >= unit->code_size) END_AT(pc_);
  DISPATCH();

L_Push:
  PUSH(ValueRef::integer(ip->imm));
  NEXT();
L_Pop:
  if (sp == base) FAIL(kStackUnderflow);
  (--sp)->clear();
  NEXT();
L_Dup:
  if (sp == base) FAIL(kStackUnderflow);
  ENSURE(1);
  sp->put(sp[-1]);
  ++sp;
  NEXT();
L_Swap:
  if (DEPTH() < 2) FAIL(kSwapUnderflow);
  std::swap(sp[-1], sp[-2]);
  NEXT();

// Two ints and any pair of numbers are done here; everything else (errors included) out of line.
#define GENERIC_ARITH(OP, INTEXPR, FLOAT_OPER)                      \
  NEED2();                                                          \
  {                                                                 \
    ValueRef& a = sp[-2];                                           \
    const ValueRef& b = sp[-1];                                     \
    if (a.is_int() && b.is_int()) {                                 \
      int64_t x = a.as_int(), y = b.as_int();                       \
      a.put_int(INTEXPR);                                           \
      (--sp)->put_nil();                                            \
      NEXT();                                                       \
    }                                                               \
    if (a.is_number() && b.is_number()) {                           \
      a.put_float(a.number_as_double() FLOAT_OPER b.number_as_double()); \
      (--sp)->put_nil();                                            \
      NEXT();                                                       \
    }                                                               \
  }                                                                 \
  sub_op = OP;                                                      \
  goto arith_slow;

L_Add: { GENERIC_ARITH(kAdd, sat_add(x, y), +) }
L_Sub: { GENERIC_ARITH(kSub, sat_sub(x, y), -) }
L_Mul: { GENERIC_ARITH(kMul, sat_mul(x, y), *) }
L_Div: {
  NEED2();
  {
    ValueRef& a = sp[-2];
    const ValueRef& b = sp[-1];
    if (a.is_number() && b.is_number()) {
      double y = b.number_as_double();
      if (y != 0.0) {
        a.put_float(a.number_as_double() / y);
        (--sp)->put_nil();
        NEXT();
      }
    }
  }
  sub_op = kDiv;
  goto arith_slow;
}
L_Mod: {
  NEED2();
  {
    ValueRef& a = sp[-2];
    const ValueRef& b = sp[-1];
    if (a.is_int() && b.is_int() && b.as_int() != 0) {
      a.put_int(int_rem(a.as_int(), b.as_int()));
      (--sp)->put_nil();
      NEXT();
    }
  }
  sub_op = kMod;
  goto arith_slow;
}
L_Pow:
  NEED2();
  sub_op = kPow;
  goto arith_slow;
arith_slow: {
  // sub_op: the operation of the instruction at ip, which may be the first of a fused sequence.
  if (!generic_arith(sub_op, sp[-2], sp[-1], err)) {
    sp -= 2;
    sp[0].clear();
    sp[1].clear();
    goto fail;
  }
  (--sp)->clear();
  NEXT();
}
L_Neg: {
  if (sp == base) FAIL(kStackUnderflow);
  ValueRef& x = sp[-1];
  if (x.is_int()) {
    x.put_int(static_cast<int64_t>(0ull - static_cast<uint64_t>(x.as_int())));
  } else if (x.is_float()) {
    x.put_float(-x.as_float());
  } else {
    (--sp)->clear();
    FAIL(kNegType);
  }
  NEXT();
}

#define TYPED_BINARY(CHECK, MSG, BODY)                 \
  NEED2();                                             \
  {                                                    \
    ValueRef& a = sp[-2];                              \
    ValueRef& b = sp[-1];                              \
    if (!(a.CHECK() && b.CHECK())) {                   \
      sp -= 2;                                         \
      sp[0].clear();                                   \
      sp[1].clear();                                   \
      FAIL(MSG);                                       \
    }                                                  \
    BODY                                               \
    (--sp)->put_nil();                                 \
  }                                                    \
  NEXT();

L_AddInt: { TYPED_BINARY(is_int, kExpectedInt, a.put_int(sat_add(a.as_int(), b.as_int()));) }
L_SubInt: { TYPED_BINARY(is_int, kExpectedInt, a.put_int(sat_sub(a.as_int(), b.as_int()));) }
L_MulInt: { TYPED_BINARY(is_int, kExpectedInt, a.put_int(sat_mul(a.as_int(), b.as_int()));) }
L_ModInt: {
  TYPED_BINARY(is_int, kExpectedInt, if (b.as_int() == 0) {
    sp -= 2;
    sp[0].put_nil();
    sp[1].put_nil();
    FAIL(kModZero);
  } a.put_int(int_rem(a.as_int(), b.as_int()));)
}
L_AddFloat: { TYPED_BINARY(is_float, kExpectedFloat, a.put_float(a.as_float() + b.as_float());) }
L_SubFloat: { TYPED_BINARY(is_float, kExpectedFloat, a.put_float(a.as_float() - b.as_float());) }
L_MulFloat: { TYPED_BINARY(is_float, kExpectedFloat, a.put_float(a.as_float() * b.as_float());) }
L_DivFloat: {
  TYPED_BINARY(is_float, kExpectedFloat, if (b.as_float() == 0.0) {
    sp -= 2;
    sp[0].put_nil();
    sp[1].put_nil();
    FAIL(kDivZero);
  } a.put_float(a.as_float() / b.as_float());)
}
L_ModFloat: {
  TYPED_BINARY(is_float, kExpectedFloat, if (b.as_float() == 0.0) {
    sp -= 2;
    sp[0].put_nil();
    sp[1].put_nil();
    FAIL(kModZero);
  } a.put_float(std::fmod(a.as_float(), b.as_float()));)
}
L_EqInt: { TYPED_BINARY(is_int, kExpectedInt, a.put_bool(a.as_int() == b.as_int());) }
L_LtInt: { TYPED_BINARY(is_int, kExpectedInt, a.put_bool(a.as_int() < b.as_int());) }
L_EqFloat: {
  TYPED_BINARY(is_float, kExpectedFloat, a.put_bool(std::fabs(a.as_float() - b.as_float()) < kEpsilon);)
}
L_LtFloat: { TYPED_BINARY(is_float, kExpectedFloat, a.put_bool(a.as_float() < b.as_float());) }

L_Eq:
  sub_op = 0;
  goto equality;
L_Ne:
  sub_op = 1;
equality: {
  NEED2();
  bool eq;
  if (sp[-2].is_int() && sp[-1].is_int()) {
    eq = sp[-2].as_int() == sp[-1].as_int();
  } else if (sp[-2].is_number() && sp[-1].is_number()) {
    eq = std::fabs(sp[-2].number_as_double() - sp[-1].number_as_double()) < kEpsilon;
  } else {
    eq = values_equal(sp[-2], sp[-1]);
  }
  if (sub_op != 0) eq = !eq;
  sp[-1].clear();
  sp[-2] = ValueRef::boolean(eq);
  --sp;
  NEXT();
}

L_Lt:
  sub_op = kCmpLt;
  goto compare;
L_Le:
  sub_op = kCmpLe;
  goto compare;
L_Gt:
  sub_op = kCmpGt;
  goto compare;
L_Ge:
  sub_op = kCmpGe;
compare: {
  // b is checked (and popped) before a is even looked at.
  if (sp == base) FAIL(kStackUnderflow);
  if (!sp[-1].is_number()) {
    (--sp)->clear();
    FAIL(kExpectedNumber);
  }
  if (DEPTH() < 2) {
    (--sp)->put_nil();
    FAIL(kStackUnderflow);
  }
  if (!sp[-2].is_number()) {
    sp -= 2;
    sp[0].clear();
    sp[1].put_nil();
    FAIL(kExpectedNumber);
  }
  double x = sp[-2].number_as_double(), y = sp[-1].number_as_double();
  bool r;
  switch (sub_op) {
    case kCmpLt: r = x < y; break;
    case kCmpLe: r = x <= y; break;
    case kCmpGt: r = x > y; break;
    default: r = x >= y; break;
  }
  sp[-1].put_nil();
  sp[-2].put_bool(r);
  --sp;
  NEXT();
}
L_And:
  sub_op = 0;
  goto logic;
L_Or:
  sub_op = 1;
logic: {
  NEED2();
  bool x = is_truthy(sp[-2]), y = is_truthy(sp[-1]);
  bool r = sub_op == 0 ? (x && y) : (x || y);
  sp[-1].clear();
  sp[-2] = ValueRef::boolean(r);
  --sp;
  NEXT();
}
L_Not:
  if (sp == base) FAIL(kStackUnderflow);
  sp[-1] = ValueRef::boolean(!is_truthy(sp[-1]));
  NEXT();

// Forward jumps inside the code; backward ones and those leaving the code have forms of their own.
L_Jump:
  ++executed;
  ip = exec + ip->arg;
  DISPATCH();
L_JumpIfFalse:
L_JumpIfTrue: {
  if (sp == base) FAIL(kStackUnderflow);
  bool t = is_truthy(sp[-1]);
  (--sp)->clear();
  ++executed;
  if (t == (ip->opcode == Opcode::JumpIfTrue)) {
    ip = exec + ip->arg;
  } else {
    ++ip;
  }
  DISPATCH();
}
L_JumpIfFalseBack:
L_JumpIfTrueBack: {
  if (sp == base) FAIL(kStackUnderflow);
  bool t = is_truthy(sp[-1]);
  (--sp)->clear();
  if (t != (ip->opcode == static_cast<Opcode>(detail::kJumpBack + 2))) NEXT();
  goto L_JumpBack;
}
L_PollPoint: {
  if (poll != nullptr) {
    if (poll_countdown > CodeUnit::kPollPointWeight) {
      poll_countdown -= CodeUnit::kPollPointWeight;
    } else {
      poll_countdown = poll_interval;
      pc_ = PC();  // not run yet
      SYNC_SP();
      executed_ = executed;
      POLL_BETWEEN(pc_);
    }
  }
  goto* kLabels[unit->poll_ops[PC()]];
}
L_JumpBack: {
  uint64_t target = ip->arg;
  ++executed;
  // A jump to itself is no loop for the recorder, but it still spins forever: poll there too.
  if (__builtin_expect(jit_ != nullptr, 0)) {
    uint64_t from = PC();
    if (target < from) {
      ip = exec + target;
      SYNC();
      pc_ = target;
      on_backward_jump(*jit_, unit->code, target, from);
    }
  }
  ip = exec + target;
  if (poll != nullptr && --poll_countdown == 0) {
    poll_countdown = poll_interval;
    pc_ = target;
    SYNC_SP();
    executed_ = executed;
    POLL_BETWEEN(target);
  }
  DISPATCH();
}
L_JumpIfFalseOut:
L_JumpIfTrueOut: {
  if (sp == base) FAIL(kStackUnderflow);
  bool t = is_truthy(sp[-1]);
  (--sp)->clear();
  if (t != (ip->opcode == static_cast<Opcode>(detail::kJumpOut + 2))) NEXT();
  goto L_JumpOut;
}
L_JumpOut:
  ++executed;
  END_AT(ip->arg);

L_Call: {
  POLL();
  {
    // Fast paths: a callee this call site already resolved (a body or a builtin), with room for the frame
    // and its registers. Everything else (first calls, natives, growth) goes through do_call.
    const CallSite& site = unit->sites[static_cast<uint32_t>(ip->imm)];
    // The site knows how far down its callee is (a site not filled yet: one value down, matching nothing).
    if (site.span <= static_cast<size_t>(reinterpret_cast<char*>(sp) - reinterpret_cast<char*>(base))) {
      uint64_t argc = ip->arg;
      ValueRef* f = reinterpret_cast<ValueRef*>(reinterpret_cast<char*>(sp) - site.span);
      if (f->kind() == ValueKind::Function) {
        if (f->heap_identity() == site.unit_id) {
          ValueRef* window = R + unit->reg_count;
          if (frame_top_ >= frame_fast_end_ || window > regs_fast_end_) goto call_slow;
          *frame_top_++ = Frame{unit, ip + 1, base, R};
          R = window;
          // The new window's registers are all nil (every return clears its window): fill them without
          // releasing anything.
          size_t bound = site.bind;
          for (size_t i = 0; i < bound; ++i) R[i].put(std::move(f[i + 1]));
          for (size_t i = bound; i < argc; ++i) f[i + 1].clear();
          f->put_nil();  // a function value: nothing to release
          sp = f;
          base = f;
          unit = site.unit;
          exec = ip = unit->exec.data();
          ++executed;
          DISPATCH();
        }
        if (f->heap_identity() == site.builtin_id) {
          if (site.builtin == detail::kBuiltinLen && argc != 0) {
            // len: a size read, nothing to allocate or fail.
            const ValueRef& a = f[1];
            int64_t n = a.kind() == ValueKind::String  ? static_cast<int64_t>(a.as_string().size())
                        : a.kind() == ValueKind::Array ? static_cast<int64_t>(a.as_array().size())
                        : a.kind() == ValueKind::Object ? static_cast<int64_t>(a.as_object().size())
                                                        : 0;
            while (sp > f + 1) (--sp)->clear();
            sp = f;
            (sp++)->put_int(n);  // over a function value: nothing to release
            NEXT();
          }
          if (site.builtin >= detail::kBuiltinCos || site.builtin == detail::kBuiltinSqrt) {
            // sqrt, cos, sin: a float of a number (0.0 for anything else or no argument), nothing to fail.
            double x = 0.0;
            if (argc != 0 && f[1].is_number()) {
              double v = f[1].number_as_double();
              x = site.builtin == detail::kBuiltinSqrt ? std::sqrt(v)
                  : site.builtin == detail::kBuiltinCos ? std::cos(v)
                                                        : std::sin(v);
            }
            while (sp > f) (--sp)->clear();
            (sp++)->put_float(x);  // over a function value: nothing to release
            NEXT();
          }
          // print and input call out to the host, which may call back in and move the stack: they take the
          // slow path, which holds no pointer into it across the call.
          if (site.builtin == detail::kBuiltinPrint || site.builtin == detail::kBuiltinInput) goto call_slow;
          SYNC();
          bool ok;
          {
            ValueRef out;
            ok = call_builtin(site.builtin, f + 1, argc, out, err);
            while (sp > f + 1) (--sp)->clear();
            sp = f;
            sp->put_nil();
            if (ok) (sp++)->put(std::move(out));
          }
          if (!ok) goto fail;
          NEXT();
        }
      } else if (f->kind() == ValueKind::Method && f->method_function().heap_identity() == site.method_id) {
        ValueRef* window = R + unit->reg_count;
        if (frame_top_ >= frame_fast_end_ || window > regs_fast_end_) goto call_slow;
        *frame_top_++ = Frame{unit, ip + 1, base, R};
        R = window;
        // The receiver goes to register 0 (when the body has one), the arguments after it.
        if (site.unit->reg_count > 0) {
          ValueRef& receiver = f->method_receiver_mut();
          // A method value held only by this slot (the usual `o.m(...)`) hands its receiver over and is
          // freed right here.
          if (f->unique()) {
            R[0].put(std::move(receiver));
            f->free_spent_method();
          } else {
            R[0].put(receiver);
          }
        }
        size_t bound = site.bind;
        for (size_t i = 0; i < bound; ++i) R[i + 1].put(std::move(f[i + 1]));
        for (size_t i = bound; i < argc; ++i) f[i + 1].clear();
        f->clear();
        sp = f;
        base = f;
        unit = site.unit;
        exec = ip = unit->exec.data();
        ++executed;
        DISPATCH();
      } else if (f->kind() == ValueKind::Method && site.kind == CallSite::MethodUnit &&
                 retarget_method_site(unit->sites[static_cast<uint32_t>(ip->imm)], *f, ip->arg)) {
        // A site that sees methods of several classes: pointed at this one's body, it runs again inline.
        DISPATCH();
      }
    }
  }
call_slow:
  SYNC();
  CallOutcome outcome = do_call(ip->arg, err);
  RELOAD();
  if (outcome == CallOutcome::Failed) {
    --ip;  // a failed call changed no frame: ip is back on the Call
    goto fail;
  }
  ++executed;
  DISPATCH();
}
// Both returns leave the returned value in the slot that held the callee (the callee's first stack slot,
// always inside the stack) with nothing above it, and the callee's window nil (the inline call path relies on
// that), then resume the caller.
#define RESUME_CALLER()                                                          \
  do {                                                                           \
    sp = base + 1;                                                               \
    for (ValueRef *p = R, *e = R + unit->reg_count; p != e; ++p) p->clear();     \
    const Frame* fr = --frame_top_;                                              \
    unit = fr->unit;                                                             \
    exec = unit->exec.data();                                                    \
    ip = fr->return_ip;                                                          \
    base = fr->base;                                                             \
    R = fr->regs;                                                                \
  } while (0)
L_Return: {
  if (frame_top_ != frames_.data()) {
    // The top value moves down to the callee's first slot (an empty stack leaves nil there).
    if (sp != base) {
      ValueRef* top = sp - 1;
      for (ValueRef* p = base; p != top; ++p) p->clear();
      if (top != base) base->put(std::move(*top));
    }
    RESUME_CALLER();
    ++executed;
    DISPATCH();
  }
  SYNC();
  if (!do_return(err)) goto fail;
  RELOAD();
  ++executed;
  DISPATCH();
}
// `if x`, `while x`: the register's truth decides the branch; nothing is pushed.
L_FusedTestReg: {
  uint64_t arg = ip->arg;
  executed += 2;
  if (is_truthy(R[arg & 0xFF]) == (((arg >> 8) & 1) != 0)) {
    ip = exec + (arg >> 32);
  } else {
    ip += 2;
  }
  DISPATCH();
}
// `return x`: the register's value goes straight to the caller (its window is cleared right after). In the
// main program, or where the push would need the stack to grow, the two instructions run as written.
L_FusedReturnReg: {
  if (frame_top_ == frames_.data() || sp == slimit) goto L_LoadReg;
  for (ValueRef* p = base; p != sp; ++p) p->clear();
  base->put(std::move(R[static_cast<uint8_t>(ip->arg)]));
  RESUME_CALLER();
  executed += 2;
  DISPATCH();
}
// `return a op b`: two numbers (and no zero divisor) in a function body give the result straight to the
// caller; anything else runs the operator as written.
#define OP_RETURN(OP)                                                                               \
  {                                                                                                 \
    if (frame_top_ == frames_.data() || DEPTH() < 2 || !number_op<detail::kBin##OP>(sp[-2], sp[-1], fused)) \
      goto L_##OP;                                                                                  \
    sp[-1].put_nil();                                                                               \
    sp[-2].put_nil();                                                                               \
    for (ValueRef *p = base, *e = sp - 2; p != e; ++p) p->clear();                                  \
    base->put(fused);                                                                               \
    RESUME_CALLER();                                                                                \
    executed += 2;                                                                                  \
    DISPATCH();                                                                                     \
  }
L_FusedReturnAdd: OP_RETURN(Add)
L_FusedReturnSub: OP_RETURN(Sub)
L_FusedReturnMul: OP_RETURN(Mul)
L_FusedReturnDiv: OP_RETURN(Div)
#undef OP_RETURN
#undef RESUME_CALLER

L_StoreReg:
  if (sp == base) FAIL(kStackUnderflow);
  R[static_cast<uint8_t>(ip->arg)] = std::move(*--sp);
  NEXT();
// Also the first instruction of fused sequences, whose operand keeps the slot in its low 8 bits.
L_LoadReg:
  PUSH(R[static_cast<uint8_t>(ip->arg)]);
  NEXT();
L_RegisterError:
  err = register_error(ip->arg);
  goto fail;

L_StoreGlobal: {
  if (sp == base) FAIL(kStackUnderflow);
  SYNC();
  ValueRef* slot = global_slot(*unit, ip->arg, true);
  {
    WriteGuard g(globals_lock_);
    *slot = std::move(*--sp);
  }
  NEXT();
}
L_LoadGlobalCached: {
  GlobalCache* cache = reinterpret_cast<GlobalCache*>(ip->arg);
  if (cache->version != globals_version_) {
    SYNC();
    global_slot(*unit, static_cast<uint64_t>(cache - unit->global_cache.data()), false);  // refills the entry
  }
  PUSH(*cache->value);
  NEXT();
}
L_LoadGlobal: {
  SYNC();
  const ValueRef* slot = global_slot(*unit, ip->arg, false);
  if (slot != nullptr) {
    PUSH(*slot);
  } else {
    PUSH(ValueRef());
  }
  NEXT();
}

// Handlers below keep their non-trivial locals in an inner block that closes before dispatching: a
// computed goto leaving a scope does not run destructors.
L_MakeArray: {
  uint64_t n = ip->arg;
  if (n > DEPTH()) {
    while (sp > base) (--sp)->clear();
    FAIL(kStackUnderflow);
  }
  if (n == 0) ENSURE(1);  // nothing popped: the result takes a new slot
  SYNC();
  {
    std::vector<ValueRef> items;
    items.reserve(std::max<uint64_t>(n, 8));
    ValueRef* first = sp - n;
    for (ValueRef* p = first; p < sp; ++p) items.push_back(std::move(*p));
    sp = first;
    (sp++)->put(ValueRef::array(std::move(items)));
  }
  NEXT();
}
L_MakeObject: {
  uint64_t n = ip->arg;
  if (n > DEPTH() / 2) {
    while (sp > base) (--sp)->clear();
    FAIL(kStackUnderflow);
  }
  if (n == 0) ENSURE(1);
  SYNC();
  {
    ValueRef* first = sp - 2 * n;
    const detail::ObjectSite& site = unit->object_sites[static_cast<uint32_t>(ip->imm)];
    ValueRef out;
    if (!detail::build_from_site(site, first, n, out))
      out = build_object(first, n, unit->object_sites[static_cast<uint32_t>(ip->imm)]);
    sp = first;
    (sp++)->put(std::move(out));
  }
  NEXT();
}

L_GetIndex: {
  NEED2();
  {
    ValueRef& c = sp[-2];
    ValueRef& i = sp[-1];
    if (c.kind() == ValueKind::Array && i.is_int()) {
      const auto& items = c.as_array();
      int64_t n = static_cast<int64_t>(items.size());
      int64_t idx = i.as_int();
      if (idx < 0) idx += n;
      ValueRef out = idx >= 0 && idx < n ? items[idx] : ValueRef();
      c = std::move(out);
      (--sp)->put_nil();
    } else if (c.kind() == ValueKind::Object && i.kind() == ValueKind::String) {
      SYNC();
      detail::MethodSite& site = unit->method_sites[static_cast<uint32_t>(ip->imm)];
      ValueRef out;
      out = read_member(c, i, site);
      c = std::move(out);
      (--sp)->clear();
    } else {
      sp -= 2;
      sp[0].clear();
      sp[1].clear();
      FAIL(kInvalidIndex);
    }
  }
  NEXT();
}

L_SetIndex: {
  if (DEPTH() < 3) {
    while (sp > base) (--sp)->clear();
    FAIL(kStackUnderflow);
  }
  SYNC();
  {
    ValueRef v = std::move(sp[-1]);
    ValueRef i = std::move(sp[-2]);
    ValueRef& c = sp[-3];
    sp -= 2;
    if (c.kind() == ValueKind::Array || c.kind() == ValueKind::Object) {
      ValueRef* parked = nullptr;  // a global let go of for the store, put back if the store fails
      if (!c.unique()) {
        // `SetIndex, Dup, StoreReg r` (or `StoreGlobal k`) overwrites the variable that still holds the old
        // container right after this store; letting go of that handle first lets the store happen in place.
        const Instruction* code = unit->code.data();
        uint64_t pc = PC() + 1;
        const Instruction& n1 = code[pc];
        if (n1.opcode == Opcode::Dup && pc + 1 < unit->code_size) {
          const Instruction& n2 = code[pc + 1];
          if (n2.opcode == Opcode::StoreReg && n2.arg < kRegisterLimit) {
            if (R[n2.arg].identity() == c.identity()) R[n2.arg] = ValueRef();
          } else if (n2.opcode == Opcode::StoreGlobal) {
            ValueRef* slot = global_slot(*unit, n2.arg, false);
            if (slot != nullptr && slot->identity() == c.identity()) {
              WriteGuard g(globals_lock_);
              *slot = ValueRef();
              parked = slot;
            }
          }
        }
        if (parked == nullptr) make_unique(c);
      }
      if (parked != nullptr) [[unlikely]] {
        store_into_parked(c, i, v, *parked, globals_lock_);
      } else if (c.kind() == ValueKind::Array) {
        if (i.is_int()) {
          auto& items = c.array_mut();
          int64_t n = static_cast<int64_t>(items.size());
          int64_t idx = i.as_int();
          if (idx < 0) idx += n;
          if (idx >= 0 && idx < n) items[idx] = std::move(v);
        }
      } else {
        std::string key = i.kind() == ValueKind::String ? std::string(i.as_string()) : to_text(i);
        c.object_mut().set(std::move(key), std::move(v));
      }
    }
  }
  NEXT();
}

L_LoadConst:
  PUSH(unit->constants[ip->arg]);
  NEXT();
L_ConstantError:
  err = constant_error(ip->arg);
  goto fail;

L_Concat:
  NEED2();
  concat_count = 1;
  goto concat;
L_FusedConcat:
  concat_count = ip->arg;
  if (DEPTH() < concat_count + 1) goto L_Concat;
concat: {
  // concat_count Concat instructions in a row join the texts of the concat_count + 1 top values, deepest
  // first, into one string.
  SYNC();
  ValueRef* first = sp - (concat_count + 1);
  // The register the result is stored over next (StoreReg r, or Dup; StoreReg r): the join may take its
  // old value's place.
  ValueRef* target = nullptr;
  {
    const Instruction* code = unit->code.data();
    uint64_t after = PC() + concat_count;
    if (code[after].opcode == Opcode::Dup && after + 1 < unit->code_size) ++after;
    if (code[after].opcode == Opcode::StoreReg && code[after].arg < kRegisterLimit) target = &R[code[after].arg];
  }
  if (!join_texts(first, sp, target)) {
    // An array or object among the operands, or a text past the rendering limit. Joined at once, such a
    // text would fail here, where the instructions one by one fail at the Concat that passes it: a run goes
    // one at a time, and a single Concat renders part by part (failing past the limit).
    if (concat_count > 1) goto L_Concat;
    std::string text;
    for (ValueRef* p = first; p < sp; ++p) append_part(text, *p);
    *first = ValueRef::string(text);
  }
  while (sp > first + 1) (--sp)->clear();
  executed += concat_count;
  ip += concat_count;
  DISPATCH();
}

// n loads and n - 1 Concat (see join_form): the texts are read where they lie and only the result is
// pushed. Operands other than strings and ints, or a text past the limit, run the loads as written.
L_FusedJoin: {
  const uint32_t form = static_cast<uint32_t>(ip->imm);
  const size_t n = form & 0xF;
  ENSURE(1);
  {
    const Instruction* loads = unit->code.data() + PC();
    const ValueRef* ops[detail::kJoinMax];
    for (size_t k = 0; k < n; ++k)
      ops[k] = (form >> (4 + k)) & 1 ? &unit->constants[loads[k].arg] : &R[static_cast<uint8_t>(loads[k].arg)];
    const uint32_t target = (form >> 12) & 0x1FF;
    if (!join_in_place(ops, n, target != 0 ? &R[target - 1] : nullptr, *sp)) {
      if ((form >> 4) & 1) goto L_LoadConst;
      goto L_LoadReg;
    }
  }
  ++sp;
  executed += 2 * n - 1;
  ip += 2 * n - 1;
  DISPATCH();
}

// `for i in range(a, b)`: with the site resolved to the builtin range and two ints, the Call and the
// GetIter become one step that makes the counting state (detail::range_state) instead of an array of
// b - a ints; a range too large for memory still fails in the Call, as does anything unusual.
L_FusedRangeIter: {
  {
    const CallSite& site = unit->sites[static_cast<uint32_t>(ip->imm)];
    if (site.kind != CallSite::Builtin || site.builtin != detail::kBuiltinRange || DEPTH() < 3 ||
        (poll != nullptr && poll_countdown == 1))
      goto L_Call;
    ValueRef* f = sp - 3;
    if (f->kind() != ValueKind::Function || f->heap_identity() != site.builtin_id || !f[1].is_int() || !f[2].is_int())
      goto L_Call;
    int64_t start = f[1].as_int(), end = f[2].as_int();
    if (start < end) {
      uint64_t count = static_cast<uint64_t>(end) - static_cast<uint64_t>(start);
      if (count > UINT64_MAX / sizeof(ValueRef) || !detail::fits_in_memory(count * sizeof(ValueRef))) goto L_Call;
    }
    --poll_countdown;
    SYNC();
    std::vector<ValueRef> state;
    state.reserve(3);
    state.push_back(detail::range_marker());
    state.push_back(ValueRef::integer(start));
    state.push_back(ValueRef::integer(end));
    sp -= 2;  // two ints: nothing to release
    sp[0].put_nil();
    sp[1].put_nil();
    f->put(ValueRef::array(std::move(state)));  // over the builtin (an interned name): nothing to release
  }
  executed += 2;
  ip += 2;
  DISPATCH();
}

L_FusedForNext: {
  uint64_t arg = ip->arg;
  ValueRef& st = R[arg & 0xFF];
  if (st.kind() != ValueKind::Array || !st.unique()) goto L_LoadReg;
  {
    std::vector<ValueRef>& pair = st.array_mut();
    if (detail::is_range_state(pair)) {
      int64_t k = pair[1].as_int();
      if (k < pair[2].as_int()) {
        pair[1].put_int(k + 1);
        R[(arg >> 8) & 0xFF] = ValueRef::integer(k);
        executed += 9;
        ip += 9;
        DISPATCH();
      }
      // Exhausted: the loop leaves with nil on the stack and nil for a state.
      ENSURE(1);
      R[arg & 0xFF].clear();
      (sp++)->put_nil();
      executed += 8;
      ip = exec + (arg >> 32);
      DISPATCH();
    }
    if (pair.size() != 2 || !pair[1].is_int() || pair[1].as_int() < 0 || pair[0].kind() != ValueKind::Array)
      goto L_LoadReg;
    uint64_t k = static_cast<uint64_t>(pair[1].as_int());
    const std::vector<ValueRef>& items = pair[0].as_array();
    if (k < items.size() && !items[k].is_nil()) {
      {
        // Dispatching must not leave the scope of a value with a destructor.
        ValueRef item = items[k];
        pair[1].put_int(static_cast<int64_t>(k + 1));
        R[(arg >> 8) & 0xFF] = std::move(item);
      }
      executed += 9;
      ip += 9;
      DISPATCH();
    }
  }
  // The end of the items or a nil element: the loop leaves with the nil element on the stack.
  ENSURE(1);
  {
    ValueRef& state = R[arg & 0xFF];
    std::vector<ValueRef>& pair = state.array_mut();
    uint64_t k = static_cast<uint64_t>(pair[1].as_int());
    if (k < pair[0].as_array().size()) {
      pair[1].put_int(static_cast<int64_t>(k + 1));
    } else {
      state.clear();  // an exhausted iterator is replaced by nil
    }
  }
  (sp++)->put_nil();
  executed += 8;
  ip = exec + (arg >> 32);
  DISPATCH();
}

L_Len: {
  if (sp == base) FAIL(kStackUnderflow);
  ValueRef& x = sp[-1];
  int64_t n;
  switch (x.kind()) {
    case ValueKind::String: n = static_cast<int64_t>(x.as_string().size()); break;
    case ValueKind::Array: n = static_cast<int64_t>(x.as_array().size()); break;
    case ValueKind::Object: n = static_cast<int64_t>(x.as_object().size()); break;
    default:
      (--sp)->clear();
      FAIL(kLenType);
  }
  x = ValueRef::integer(n);
  NEXT();
}

L_GetIter: {
  if (sp == base) FAIL(kStackUnderflow);
  {
    ValueKind k = sp[-1].kind();
    if (k != ValueKind::String && k != ValueKind::Array && k != ValueKind::Object) {
      (--sp)->clear();
      FAIL(kIterType);
    }
  }
  SYNC();
  {
    ValueRef& c = sp[-1];
    ValueRef items;
    if (c.kind() == ValueKind::String) {
      // One string object per character: refuse what could never fit rather than thrash towards it.
      if (!detail::fits_in_memory(c.as_string().size() * (sizeof(ValueRef) + 64))) {
        (--sp)->clear();
        FAIL(detail::kOutOfMemory);
      }
      items = ValueRef::array(split_scalars(c.as_string()));
    } else if (c.kind() == ValueKind::Array) {
      items = c;
    } else {
      items = ValueRef::array(c.as_object().sorted_keys());
    }
    std::vector<ValueRef> state;
    state.reserve(2);
    state.push_back(std::move(items));
    state.push_back(ValueRef::integer(0));
    c = ValueRef::array(std::move(state));
  }
  NEXT();
}

L_IterNext: {
  if (sp == base) FAIL(kStackUnderflow);
  if (sp[-1].kind() == ValueKind::Array && detail::is_range_state(sp[-1].as_array())) {
    ENSURE(1);
    {
      ValueRef& st = sp[-1];
      int64_t k = st.as_array()[1].as_int();
      if (k >= st.as_array()[2].as_int()) {
        st = ValueRef();
        (sp++)->put_nil();
        NEXT();
      }
      if (!st.unique()) release_replaced_state(*unit, PC() + 1, R, st);
      if (st.unique()) {
        st.array_mut()[1].put_int(k + 1);
      } else {
        SYNC();
        std::vector<ValueRef> next{st.as_array()[0], ValueRef::integer(k + 1), st.as_array()[2]};
        st = ValueRef::array(std::move(next));
      }
      (sp++)->put_int(k);
    }
    NEXT();
  }
  {
    const ValueRef& s = sp[-1];
    const char* bad = nullptr;
    if (s.kind() != ValueKind::Array || s.as_array().size() != 2) bad = kIterState;
    else if (!s.as_array()[1].is_int() || s.as_array()[1].as_int() < 0) bad = kIterIndex;
    else if (s.as_array()[0].kind() != ValueKind::Array) bad = kIterState;
    if (bad != nullptr) {
      (--sp)->clear();
      FAIL(bad);
    }
  }
  ENSURE(1);
  {
    ValueRef& st = sp[-1];
    uint64_t k = static_cast<uint64_t>(st.as_array()[1].as_int());
    if (k >= st.as_array()[0].as_array().size()) {
      st = ValueRef();
      (sp++)->put_nil();
    } else {
      ValueRef item = st.as_array()[0].as_array()[k];
      if (!st.unique()) release_replaced_state(*unit, PC() + 1, R, st);
      if (st.unique()) {
        st.array_mut()[1] = ValueRef::integer(static_cast<int64_t>(k + 1));
      } else {
        SYNC();
        std::vector<ValueRef> next;
        next.reserve(2);
        next.push_back(st.as_array()[0]);
        next.push_back(ValueRef::integer(static_cast<int64_t>(k + 1)));
        st = ValueRef::array(std::move(next));
      }
      (sp++)->put(std::move(item));
    }
  }
  NEXT();
}

L_Halt:
  state_.kind = VMStateKind::Halted;
  state_.message.clear();
  NEXT();
L_Nop:
  NEXT();
L_End:
  END_AT(PC());

// Compare a register with an immediate or another register and branch forward, as the four instructions
// would: numbers compare as doubles; anything else takes the instruction-by-instruction path.
#define FUSED_CMP(OPER, IMM)                                   \
  {                                                            \
    uint64_t arg = ip->arg;                                    \
    const ValueRef& x = R[arg & 0xFF];                         \
    double a, b;                                               \
    if (IMM) {                                                 \
      /* an int beside a 32-bit immediate orders as its double does */ \
      if (x.is_int()) {                                        \
        executed += 4;                                         \
        if ((x.as_int() OPER ip->imm) == (((arg >> 20) & 1) != 0)) { \
          ip = exec + (arg >> 32);                             \
        } else {                                               \
          ip += 4;                                             \
        }                                                      \
        DISPATCH();                                            \
      }                                                        \
      if (!x.is_float()) goto L_LoadReg;                       \
      a = x.as_float();                                        \
      b = ip->imm;                                             \
    } else {                                                   \
      const ValueRef& y = R[(arg >> 8) & 0xFF];                \
      if (!x.is_number() || !y.is_number()) goto L_LoadReg;    \
      a = x.number_as_double();                                \
      b = y.number_as_double();                                \
    }                                                          \
    executed += 4;                                             \
    if ((a OPER b) == (((arg >> 20) & 1) != 0)) {              \
      ip = exec + (arg >> 32);                                 \
    } else {                                                   \
      ip += 4;                                                 \
    }                                                          \
    DISPATCH();                                                \
  }

L_CmpLtRI: FUSED_CMP(<, true)
L_CmpLeRI: FUSED_CMP(<=, true)
L_CmpGtRI: FUSED_CMP(>, true)
L_CmpGeRI: FUSED_CMP(>=, true)
L_CmpLtRR: FUSED_CMP(<, false)
L_CmpLeRR: FUSED_CMP(<=, false)
L_CmpGtRR: FUSED_CMP(>, false)
L_CmpGeRR: FUSED_CMP(>=, false)

// The same for == and !=: two ints compare exactly, other numbers within the equality's tolerance.
#define FUSED_EQ(NEGATE, IMM)                                                                     \
  {                                                                                               \
    uint64_t arg = ip->arg;                                                                       \
    const ValueRef& x = R[arg & 0xFF];                                                            \
    bool eq;                                                                                      \
    if (IMM) {                                                                                    \
      if (x.is_int()) {                                                                           \
        eq = x.as_int() == ip->imm;                                                               \
      } else if (x.is_float()) {                                                                  \
        eq = std::fabs(x.as_float() - static_cast<double>(ip->imm)) < kEpsilon;                   \
      } else {                                                                                    \
        goto L_LoadReg;                                                                           \
      }                                                                                           \
    } else {                                                                                      \
      const ValueRef& y = R[(arg >> 8) & 0xFF];                                                   \
      if (x.is_int() && y.is_int()) {                                                             \
        eq = x.as_int() == y.as_int();                                                            \
      } else if (x.is_number() && y.is_number()) {                                                \
        eq = std::fabs(x.number_as_double() - y.number_as_double()) < kEpsilon;                   \
      } else {                                                                                    \
        goto L_LoadReg;                                                                           \
      }                                                                                           \
    }                                                                                             \
    executed += 4;                                                                                \
    if ((eq != (NEGATE)) == (((arg >> 20) & 1) != 0)) {                                           \
      ip = exec + (arg >> 32);                                                                    \
    } else {                                                                                      \
      ip += 4;                                                                                    \
    }                                                                                             \
    DISPATCH();                                                                                   \
  }

L_CmpEqRI: FUSED_EQ(false, true)
L_CmpNeRI: FUSED_EQ(true, true)
L_CmpEqRR: FUSED_EQ(false, false)
L_CmpNeRR: FUSED_EQ(true, false)

// Register arithmetic stored to a register through the stack's top: two ints saturate, any float makes it
// a float op; anything else goes the long way.
#define FUSED_ARITH(SAT, OPER, IMM)                                                             \
  {                                                                                             \
    uint64_t arg = ip->arg;                                                                     \
    const ValueRef& a = R[arg & 0xFF];                                                          \
    int64_t ri;                                                                                 \
    double rf;                                                                                  \
    bool is_int;                                                                                \
    if (IMM) {                                                                                  \
      if (a.is_int()) {                                                                         \
        ri = SAT(a.as_int(), static_cast<int64_t>(ip->imm));                                    \
        is_int = true;                                                                          \
      } else if (a.is_float()) {                                                                \
        rf = a.as_float() OPER static_cast<double>(ip->imm);                                    \
        is_int = false;                                                                         \
      } else {                                                                                  \
        goto L_LoadReg;                                                                         \
      }                                                                                         \
    } else {                                                                                    \
      const ValueRef& b = R[(arg >> 8) & 0xFF];                                                 \
      if (a.is_int() && b.is_int()) {                                                           \
        ri = SAT(a.as_int(), b.as_int());                                                       \
        is_int = true;                                                                          \
      } else if (a.is_number() && b.is_number()) {                                              \
        rf = a.number_as_double() OPER b.number_as_double();                                    \
        is_int = false;                                                                         \
      } else {                                                                                  \
        goto L_LoadReg;                                                                         \
      }                                                                                         \
    }                                                                                           \
    ValueRef& c = R[(arg >> 24) & 0xFF];                                                        \
    c = is_int ? ValueRef::integer(ri) : ValueRef::floating(rf);                                \
    executed += 6;                                                                              \
    ip += 6;                                                                                    \
    DISPATCH();                                                                                 \
  }

L_AddRRS: FUSED_ARITH(sat_add, +, false)
L_AddRIS: FUSED_ARITH(sat_add, +, true)
L_SubRRS: FUSED_ARITH(sat_sub, -, false)
L_SubRIS: FUSED_ARITH(sat_sub, -, true)
L_MulRRS: FUSED_ARITH(sat_mul, *, false)
L_MulRIS: FUSED_ARITH(sat_mul, *, true)

L_FusedStoreTop:
  if (sp == base) goto L_Dup;
  R[ip->arg] = std::move(*--sp);
  executed += 3;
  ip += 3;
  DISPATCH();

// Number operations with operands from registers, immediates and constants (see kFusedBin). A pair that
// is not two numbers (or a zero divisor) runs the first instruction as written instead.
#define OPERAND_A R[arg & 0xFF]
#define OPERAND_B R[(arg >> 8) & 0xFF]
#define OPERAND_IMM ValueRef::integer(ip->imm)
#define OPERAND_K_HIGH unit->constants[arg >> 32]
#define OPERAND_K unit->constants[arg]
#define DEST_PUSH \
  ENSURE(1);      \
  (sp++)->put(fused);
#define DEST_TOP sp[-1].put(fused);
#define DEST_REG R[(arg >> 16) & 0xFF] = fused;
#define DEST_POP_REG          \
  (--sp)->put_nil();          \
  R[(arg >> 16) & 0xFF] = fused;
#define DEST_POP_REG_IMM      \
  (--sp)->put_nil();          \
  R[static_cast<uint8_t>(ip->imm)] = fused;
#define DEST_POP2_REG         \
  sp -= 2;                    \
  sp[0].put_nil();            \
  sp[1].put_nil();            \
  R[arg & 0xFF] = fused;
#define FUSED_BIN(OP, LEFT, RIGHT, NEED, DEST, COUNT, FALLBACK)                        \
  {                                                                                  \
    uint64_t arg = ip->arg;                                                          \
    (void)arg;                                                                       \
    if (too_shallow(DEPTH(), NEED)) goto FALLBACK;                                   \
    if (!number_op<detail::kBin##OP>(LEFT, RIGHT, fused)) goto FALLBACK;             \
    DEST                                                                             \
    executed += COUNT;                                                               \
    ip += COUNT;                                                                     \
    DISPATCH();                                                                      \
  }
#define BIN_HANDLERS(OP)                                                                               \
  L_Bin##OP##_RR: FUSED_BIN(OP, OPERAND_A, OPERAND_B, 0, DEST_PUSH, 3, L_LoadReg)                      \
  L_Bin##OP##_RI: FUSED_BIN(OP, OPERAND_A, OPERAND_IMM, 0, DEST_PUSH, 3, L_LoadReg)                    \
  L_Bin##OP##_RC: FUSED_BIN(OP, OPERAND_A, OPERAND_K_HIGH, 0, DEST_PUSH, 3, L_LoadReg)                 \
  L_Bin##OP##_TR: FUSED_BIN(OP, sp[-1], OPERAND_A, 1, DEST_TOP, 2, L_LoadReg)                          \
  L_Bin##OP##_TI: FUSED_BIN(OP, sp[-1], OPERAND_IMM, 1, DEST_TOP, 2, L_Push)                           \
  L_Bin##OP##_TC: FUSED_BIN(OP, sp[-1], OPERAND_K, 1, DEST_TOP, 2, L_LoadConst)                        \
  L_Bin##OP##_RR_S: FUSED_BIN(OP, OPERAND_A, OPERAND_B, 0, DEST_REG, 4, L_LoadReg)                     \
  L_Bin##OP##_RI_S: FUSED_BIN(OP, OPERAND_A, OPERAND_IMM, 0, DEST_REG, 4, L_LoadReg)                   \
  L_Bin##OP##_RC_S: FUSED_BIN(OP, OPERAND_A, OPERAND_K_HIGH, 0, DEST_REG, 4, L_LoadReg)                \
  L_Bin##OP##_TR_S: FUSED_BIN(OP, sp[-1], OPERAND_A, 1, DEST_POP_REG, 3, L_LoadReg)                    \
  L_Bin##OP##_TI_S: FUSED_BIN(OP, sp[-1], OPERAND_IMM, 1, DEST_POP_REG, 3, L_Push)                     \
  L_Bin##OP##_TC_S: FUSED_BIN(OP, sp[-1], OPERAND_K, 1, DEST_POP_REG_IMM, 3, L_LoadConst)              \
  L_Bin##OP##_SS_S: FUSED_BIN(OP, sp[-2], sp[-1], 2, DEST_POP2_REG, 2, L_##OP)                          \
  L_Bin##OP##_CR: FUSED_BIN(OP, OPERAND_K, R[static_cast<uint8_t>(ip->imm)], 0, DEST_PUSH, 3, L_LoadConst)

  BIN_HANDLERS(Add)
  BIN_HANDLERS(Sub)
  BIN_HANDLERS(Mul)
  BIN_HANDLERS(Div)
  BIN_HANDLERS(Lt)
  BIN_HANDLERS(Le)
  BIN_HANDLERS(Gt)
  BIN_HANDLERS(Ge)
  BIN_HANDLERS(Mod)
  BIN_HANDLERS(Eq)
  BIN_HANDLERS(Ne)

// x op2 (a op1 b) with x the top of the stack and a, b registers: both operators on numbers (and no zero
// divisor) are done here and the result replaces x; anything else runs the four instructions as written.
#define PAIR_HANDLER(OP1, OP2)                                                                     \
  L_Pair##OP1##OP2: {                                                                              \
    uint64_t arg = ip->arg;                                                                        \
    if (sp == base || !number_op<detail::kBin##OP1>(OPERAND_A, OPERAND_B, fused) ||                \
        !number_op<detail::kBin##OP2>(sp[-1], fused, sp[-1]))                                      \
      goto L_LoadReg;                                                                              \
    executed += 4;                                                                                 \
    ip += 4;                                                                                       \
    DISPATCH();                                                                                    \
  }
#define PAIR_HANDLERS(OP1) PAIR_HANDLER(OP1, Add) PAIR_HANDLER(OP1, Sub) PAIR_HANDLER(OP1, Mul) PAIR_HANDLER(OP1, Div)
  PAIR_HANDLERS(Add)
  PAIR_HANDLERS(Sub)
  PAIR_HANDLERS(Mul)
  PAIR_HANDLERS(Div)

// Element reads from a container held in a register: no handle to the container is taken. Misses on an
// object (methods) and anything unusual run the first instruction as written.
L_FusedIndexRR: {
  ENSURE(1);
  uint64_t arg = ip->arg;
  const ValueRef& c = OPERAND_A;
  const ValueRef& i = OPERAND_B;
  if (c.kind() == ValueKind::Array && i.is_int()) {
    const auto& items = c.as_array();
    int64_t n = static_cast<int64_t>(items.size());
    int64_t idx = i.as_int();
    if (idx < 0) idx += n;
    if (idx >= 0 && idx < n) sp->put(items[idx]);
    ++sp;
    executed += 3;
    ip += 3;
    DISPATCH();
  }
  if (c.kind() == ValueKind::Object && i.kind() == ValueKind::String) {
    detail::MethodSite& site = unit->method_sites[static_cast<uint32_t>(ip->imm)];
    const ValueRef* fn = nullptr;
    detail::MemberHit hit = detail::member_hit(c, i, site, *sp, fn);
    if (hit != detail::MemberHit::Done) {
      SYNC_AT(2);
      sp->put(hit == detail::MemberHit::Method ? ValueRef::method(c, *fn) : read_member(c, i, site));
    }
    ++sp;
    executed += 3;
    ip += 3;
    DISPATCH();
  }
  goto L_LoadReg;
}
L_FusedIndexRI:
L_FusedIndexRRI: {
  ENSURE(1);
  uint64_t arg = ip->arg;
  const ValueRef& c = OPERAND_A;
  if (c.kind() != ValueKind::Array) goto L_LoadReg;
  int64_t idx = ip->imm;
  uint64_t count = 3;
  if (ip->opcode == static_cast<Opcode>(detail::kFusedIndexRRI)) {
    const ValueRef& i = OPERAND_B;
    if (!i.is_int()) goto L_LoadReg;
    idx = sat_add(i.as_int(), idx);
    count = 5;
  }
  const auto& items = c.as_array();
  int64_t n = static_cast<int64_t>(items.size());
  if (idx < 0) idx += n;
  if (idx >= 0 && idx < n) sp->put(items[idx]);
  ++sp;
  executed += count;
  ip += count;
  DISPATCH();
}
L_FusedIndexRC: {
  ENSURE(1);
  uint64_t arg = ip->arg;
  const ValueRef& c = OPERAND_A;
  const ValueRef& key = OPERAND_K_HIGH;
  if (c.kind() == ValueKind::Object && key.kind() == ValueKind::String) {
    detail::MethodSite& site = unit->method_sites[static_cast<uint32_t>(ip->imm)];
    const ValueRef* fn = nullptr;
    detail::MemberHit hit = detail::member_hit(c, key, site, *sp, fn);
    if (hit != detail::MemberHit::Done) {
      SYNC_AT(2);
      sp->put(hit == detail::MemberHit::Method ? ValueRef::method(c, *fn) : read_member(c, key, site));
    }
    ++sp;
    executed += 3;
    ip += 3;
    DISPATCH();
  }
  goto L_LoadReg;
}

// o.m() with no arguments: the read runs as FusedIndexRC does, but a method whose body the call site already
// runs (or can be pointed at) is entered at once, o going straight to the receiver register: no method
// value is made. A call that would poll, or find no room for its frame, takes the read and the Call apart.
L_FusedCallMethodRC: {
  ENSURE(1);
  uint64_t arg = ip->arg;
  const ValueRef& c = OPERAND_A;
  const ValueRef& key = OPERAND_K_HIGH;
  if (c.kind() == ValueKind::Object && key.kind() == ValueKind::String) {
    detail::MethodSite& site = unit->method_sites[static_cast<uint32_t>(ip->imm)];
    const ValueRef* fn = nullptr;
    detail::MemberHit hit = detail::member_hit(c, key, site, *sp, fn);
    if (hit == detail::MemberHit::Method) {
      CallSite& call = unit->sites[static_cast<uint32_t>(ip[3].imm)];
      const void* id = fn->heap_identity();
      if ((call.method_id == id || (call.kind == CallSite::MethodUnit && retarget_method_site(call, id, 0))) &&
          !(poll != nullptr && poll_countdown == 1) && frame_top_ < frame_fast_end_ &&
          R + unit->reg_count <= regs_fast_end_) {
        --poll_countdown;
        *frame_top_++ = Frame{unit, ip + 4, base, R};
        const ValueRef* receiver = &c;
        R += unit->reg_count;
        unit = call.unit;
        if (unit->reg_count > 0) R[0].put(*receiver);
        base = sp;
        exec = ip = unit->exec.data();
        executed += 4;
        DISPATCH();
      }
    }
    if (hit != detail::MemberHit::Done) {
      SYNC_AT(2);
      sp->put(hit == detail::MemberHit::Method ? ValueRef::method(c, *fn) : read_member(c, key, site));
    }
    ++sp;
    executed += 3;
    ip += 3;
    DISPATCH();
  }
  goto L_LoadReg;
}

// a[i] = v as seven instructions would do it, with the array in register a updated in place: only when a
// holds the only handle to an array and the index is an int inside it (negative from the end); anything
// else runs the first instruction as written. The value register is never a (checked when fused).
L_FusedStoreRRR:
L_FusedStoreRRI:
L_FusedStoreRRC: {
  uint64_t arg = ip->arg;
  ValueRef& c = R[arg & 0xFF];
  const ValueRef& i = R[(arg >> 8) & 0xFF];
  if (c.kind() != ValueKind::Array || !i.is_int() || !c.unique()) goto L_LoadReg;
  {
    std::vector<ValueRef>& items = c.array_mut();
    int64_t n = static_cast<int64_t>(items.size());
    int64_t idx = i.as_int();
    if (idx < 0) idx += n;
    if (idx < 0 || idx >= n) goto L_LoadReg;
    uint32_t op = static_cast<uint32_t>(ip->opcode);
    if (op == detail::kOpFusedStoreRRR) {
      items[static_cast<size_t>(idx)] = R[(arg >> 16) & 0xFF];
    } else if (op == detail::kOpFusedStoreRRI) {
      items[static_cast<size_t>(idx)] = ValueRef::integer(ip->imm);
    } else {
      items[static_cast<size_t>(idx)] = unit->constants[arg >> 32];
    }
  }
  executed += 7;
  ip += 7;
  DISPATCH();
}

// a[i] = v (a[i + k] = v) with a computed value (see FusedStoreBeginRR in vm_internal.h): the opening pushes
// nil in the container's place and the index, so that a stays the array's only holder while the value is
// computed, and marks the stack depth it left; the closing store, finding the stack at that mark, updates
// the array in place. Only the opening sets the mark and the closing store (or a failure in between, see
// close_open_store) clears it, so the closing forms also stand where the opening ran as written (a's handle
// under the index): they then run as written. When a holds no array alone, the closing store puts a's
// handle in the nil's place, as the instructions would have pushed it, and hands over to SetIndex.
L_FusedStoreBeginRR: {
  ENSURE(2);
  uint64_t arg = ip->arg;
  sp[1].put(OPERAND_B);  // sp[0] stays nil
  sp += 2;
  store_mark_ = DEPTH() - 2;
  store_reg_ = static_cast<uint32_t>(arg & 0xFF);
  executed += 2;
  ip += 2;
  DISPATCH();
}
L_FusedStoreBeginRRI: {
  ENSURE(2);
  uint64_t arg = ip->arg;
  const ValueRef& i = OPERAND_B;
  if (!i.is_int()) {
    store_mark_ = kNoStore;
    goto L_LoadReg;
  }
  sp[1].put_int(sat_add(i.as_int(), ip->imm));
  sp += 2;
  store_mark_ = DEPTH() - 2;
  store_reg_ = static_cast<uint32_t>(arg & 0xFF);
  executed += 4;
  ip += 4;
  DISPATCH();
}
L_FusedStoreEnd: {
  if (DEPTH() != store_mark_ + 3) goto L_SetIndex;
  store_mark_ = kNoStore;
  {
    ValueRef& held = R[ip->arg];
    if (held.kind() != ValueKind::Array || !held.unique()) {
      sp[-3].put(held);
      goto L_SetIndex;
    }
    store_element(held.array_mut(), sp[-2], sp[-1]);
  }
  sp[-1].clear();
  sp[-2].clear();
  sp -= 3;
  executed += 4;
  ip += 4;
  DISPATCH();
}
// The same with the value's last operator: two numbers (and no zero divisor) are stored straight away,
// anything else runs the operator as written, which leads to FusedStoreEnd.
#define STORE_END_OP(OP)                                                                    \
  {                                                                                         \
    if (DEPTH() != store_mark_ + 4) goto L_##OP;                                            \
    {                                                                                       \
      ValueRef& held = R[ip->arg];                                                          \
      if (held.kind() != ValueKind::Array || !held.unique() ||                              \
          !number_op<detail::kBin##OP>(sp[-2], sp[-1], fused))                              \
        goto L_##OP;                                                                        \
      store_element(held.array_mut(), sp[-3], fused);                                       \
    }                                                                                       \
    store_mark_ = kNoStore;                                                                 \
    sp[-1].put_nil();                                                                       \
    sp[-2].put_nil();                                                                       \
    sp[-3].clear();                                                                         \
    sp -= 4;                                                                                \
    executed += 5;                                                                          \
    ip += 5;                                                                                \
    DISPATCH();                                                                             \
  }
L_FusedStoreEndAdd: STORE_END_OP(Add)
L_FusedStoreEndSub: STORE_END_OP(Sub)
L_FusedStoreEndMul: STORE_END_OP(Mul)
L_FusedStoreEndDiv: STORE_END_OP(Div)
L_FusedStoreEndMod: STORE_END_OP(Mod)

// The read that opens a nested store g[t][k] = v (see nested_store_root): with the outer array held only by
// register g and the stack (whose copy the write-back consumes), the element is moved out of it instead of
// copied, so that the inner store finds it with one holder and updates it in place; the write-back
// (SetIndex; Dup; StoreReg g; Pop) puts it back in place too. Nothing in between reads g or jumps, and a
// failure in between ends the frame that holds g. Anything else runs Dup as written.
L_FusedTakeElement: {
  if (sp == base) goto L_Dup;
  ENSURE(1);
  {
    uint64_t arg = ip->arg;
    ValueRef& c = sp[-1];
    const ValueRef& held = R[arg & 0xFF];
    const ValueRef& k = R[(arg >> 8) & 0xFF];
    if (c.kind() != ValueKind::Array || held.kind() != ValueKind::Array || held.heap_identity() != c.heap_identity() ||
        !k.is_int() || c.use_count() != 2)
      goto L_Dup;
    std::vector<ValueRef>& items = c.array_mut();
    int64_t n = static_cast<int64_t>(items.size());
    int64_t idx = k.as_int();
    if (idx < 0) idx += n;
    if (idx < 0 || idx >= n) goto L_Dup;
    (sp++)->put(std::move(items[static_cast<size_t>(idx)]));
  }
  executed += 3;
  ip += 3;
  DISPATCH();
}

// SetIndex; Dup; StoreReg r; Pop, the container being the array that r holds and nothing else but this
// stack: the store happens in place and r keeps the array, as the four instructions would leave it.
L_FusedSetIndexStore: {
  if (DEPTH() < 3) goto L_SetIndex;
  {
    ValueRef& c = sp[-3];
    const ValueRef& r = R[ip->arg];
    if (c.kind() != ValueKind::Array || r.kind() != ValueKind::Array || r.heap_identity() != c.heap_identity() ||
        c.use_count() != 2)
      goto L_SetIndex;
    if (sp[-2].is_int()) {
      auto& items = c.array_mut();
      int64_t n = static_cast<int64_t>(items.size());
      int64_t idx = sp[-2].as_int();
      if (idx < 0) idx += n;
      if (idx >= 0 && idx < n) items[idx] = std::move(sp[-1]);
    }
  }
  sp[-1].clear();
  sp[-2].clear();
  sp[-3].clear();
  sp -= 3;
  executed += 4;
  ip += 4;
  DISPATCH();
}

L_FusedMove: {
  uint64_t arg = ip->arg;
  OPERAND_B = OPERAND_A;
  executed += 2;
  ip += 2;
  DISPATCH();
}
L_FusedSetImm:
  R[(ip->arg >> 8) & 0xFF] = ValueRef::integer(ip->imm);
  executed += 2;
  ip += 2;
  DISPATCH();
L_FusedSetConst:
  R[static_cast<uint8_t>(ip->imm)] = unit->constants[ip->arg];
  executed += 2;
  ip += 2;
  DISPATCH();

// A comparison (or `and`) of the two top values and a forward JumpIfFalse on its result.
#define CMP_BRANCH(OP, FALLBACK)                                              \
  {                                                                          \
    if (DEPTH() < 2 || !number_op<detail::kBin##OP>(sp[-2], sp[-1], fused)) goto FALLBACK; \
    sp -= 2;                                                                 \
    sp[0].put_nil();                                                         \
    sp[1].put_nil();                                                         \
    executed += 2;                                                           \
    if (fused.as_bool()) {                                                   \
      ip += 2;                                                               \
    } else {                                                                 \
      ip = exec + ip->arg;                                                   \
    }                                                                        \
    DISPATCH();                                                              \
  }
L_CmpBranchLt: CMP_BRANCH(Lt, L_Lt)
L_CmpBranchEq: CMP_BRANCH(Eq, L_Eq)
L_CmpBranchNe: CMP_BRANCH(Ne, L_Ne)
L_CmpBranchLe: CMP_BRANCH(Le, L_Le)
L_CmpBranchGt: CMP_BRANCH(Gt, L_Gt)
L_CmpBranchGe: CMP_BRANCH(Ge, L_Ge)
L_FusedAndBranch: {
  if (DEPTH() < 2) goto L_And;
  bool both = is_truthy(sp[-2]) && is_truthy(sp[-1]);
  sp -= 2;
  sp[0].clear();
  sp[1].clear();
  executed += 2;
  if (both) {
    ip += 2;
  } else {
    ip = exec + ip->arg;
  }
  DISPATCH();
}

end_of_code: {
  // pc_, sp_ and executed_ are synced by the jump here.
  if (state_.kind == VMStateKind::Paused) return make_err(std::string(kPaused));
  if (state_.kind == VMStateKind::Error) return make_err(std::string(state_.message));
  if (stack_depth() == 0) return ValueRef();
  ValueRef result = std::move(stack_[--sp_]);
  return result;
}

fail_const:
  err = fail_msg;
fail:
  SYNC();
  close_open_store();
  return make_err(error_at(PC(), err));

#undef PC
#undef SYNC_SP
#undef SYNC
#undef SYNC_AT
#undef RELOAD
#undef DISPATCH
#undef NEXT
#undef FAIL
#undef END_AT
#undef ENSURE
#undef PUSH
#undef DEPTH
#undef NEED2
#undef POLL
#undef POLL_BETWEEN
#undef GENERIC_ARITH
#undef TYPED_BINARY
#undef FUSED_CMP
#undef FUSED_ARITH
#undef OPERAND_A
#undef OPERAND_B
#undef OPERAND_IMM
#undef OPERAND_K_HIGH
#undef OPERAND_K
#undef DEST_PUSH
#undef DEST_TOP
#undef DEST_REG
#undef DEST_POP_REG
#undef DEST_POP_REG_IMM
#undef DEST_POP2_REG
#undef FUSED_BIN
#undef BIN_HANDLERS
#undef CMP_BRANCH
#undef STORE_END_OP
#undef PAIR_HANDLER
#undef PAIR_HANDLERS
#undef BIN_LABELS
}

}  // namespace tarnwick

