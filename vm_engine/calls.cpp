// Frames and calls: the value and register stacks and how they grow, entering and leaving a body,
// resolving a call site, calls made by the host, and the call stack a failure reports.
#include "vm_engine/vm.h"

#include <algorithm>

#include "vm_engine/members.h"
#include "vm_engine/vm_internal.h"

namespace tarnwick {

using detail::CallSite;
using detail::CodeUnit;
using detail::GlobalCache;
using detail::kHostCallUnit;
using detail::kNoCall;
using detail::kSequencePeak;
using detail::kStackOverflow;
using detail::kStackUnderflow;

// A host call runs `Call argc` in a unit of its own, over the callee and the arguments placed on the stack:
// the callee's return comes back to that unit, whose end ends the run with the value. Made from a native
// while a run is in progress, the call runs above everything that run holds and puts it back afterwards.
RunResult VM::call(ValueRef callee, ValueRef* args, size_t argc) {
  // Stubs go only where a new one is made, right below, which then becomes the last one.
  const CodeUnit* stub = last_stub_;
  if (stub == nullptr || last_stub_argc_ != argc) {
    auto found = call_stubs_.find(argc);
    if (found == call_stubs_.end()) {
      // Hosts use a few argument counts; one that tries many more does not keep a unit for each (a unit in
      // use by a call in progress stays).
      if (call_stubs_.size() >= 64 && run_depth_ == 0) call_stubs_.clear();
      auto made = std::make_unique<CodeUnit>(kHostCallUnit, std::vector<Instruction>{make_instr(Opcode::Call, argc)},
                                             std::vector<ValueRef>{}, std::vector<uint64_t>{0}, 0);
      if (sequences_dropped_) made->use_plain_code();
      found = call_stubs_.emplace(argc, std::move(made)).first;
    }
    stub = last_stub_ = found->second.get();
    last_stub_argc_ = argc;
  }
  if (run_depth_ == 0) {
    sp_ = 0;
    base_ = stack_.data();
    window_ = regs_.data();
    frame_top_ = frames_.data();
    if (!push_call(std::move(callee), args, argc)) return make_err(std::string(kStackOverflow));
    unit_ = stub;
    pc_ = 0;
    if (state_.kind != VMStateKind::Running) state_ = VMState();
    return run();
  }
  struct Saved {
    const CodeUnit* unit;
    uint64_t pc;
    size_t base, window, sp, frames;
    VMState state;
    bool operands_taken;
    size_t store_mark;
    uint32_t store_reg;
  };
  Saved saved{unit_, pc_, static_cast<size_t>(base_ - stack_.data()), static_cast<size_t>(window_ - regs_.data()),
              sp_, call_depth(), state_, operands_taken_, store_mark_, store_reg_};
  size_t window_end = saved.window + unit_->reg_count;
  base_ = stack_.data() + sp_;
  window_ = regs_.data() + window_end;
  RunResult result = make_err(std::string(kStackOverflow));
  if (push_call(std::move(callee), args, argc)) {
    unit_ = stub;
    pc_ = 0;
    state_ = VMState();
    result = run();
  }
  if (!result.ok() || call_depth() != saved.frames || sp_ != saved.sp) {
    // Everything the call left above the interrupted run goes.
    for (size_t i = saved.sp; i < stack_.size(); ++i) stack_[i].clear();
    for (size_t i = window_end; i < regs_.size(); ++i) regs_[i].clear();
    frame_top_ = frames_.data() + saved.frames;
    sp_ = saved.sp;
  }
  unit_ = saved.unit;
  pc_ = saved.pc;
  base_ = stack_.data() + saved.base;
  window_ = regs_.data() + saved.window;
  state_ = std::move(saved.state);
  operands_taken_ = saved.operands_taken;
  // An element store the interrupted run had open stays open: its failure must still put the array back.
  store_mark_ = saved.store_mark;
  store_reg_ = saved.store_reg;
  update_frame_room();
  return result;
}

bool VM::push_call(ValueRef callee, ValueRef* args, size_t argc) {
  if (stack_.size() - sp_ <= argc && !grow_stack(argc + 1)) return false;
  stack_[sp_++] = std::move(callee);
  for (size_t i = 0; i < argc; ++i) stack_[sp_++] = std::move(args[i]);
  return true;
}

// Outermost first: each saved frame is a caller stopped at its Call, then the unit that failed. A very
// deep stack keeps its two ends.
void VM::capture_trace() {
  constexpr size_t kEnds = 100;
  last_trace_.clear();
  auto add = [this](const CodeUnit* unit, uint64_t next_pc) {
    if (unit->name == kHostCallUnit) return;
    uint64_t at = next_pc > 0 ? next_pc - 1 : 0;
    const uint64_t position = at < unit->lines.size() ? unit->lines[at] : 0;
    last_trace_.push_back(
        TraceEntry{unit->name, position_exact_line(position), unit->origin, position_column(position)});
  };
  size_t saved = static_cast<size_t>(frame_top_ - frames_.data());
  for (size_t i = 0; i < saved; ++i) {
    if (saved > 2 * kEnds && i == kEnds) {
      last_trace_.push_back(TraceEntry{"...", saved - 2 * kEnds, std::string()});
      i = saved - kEnds;
    }
    const Frame& f = frames_[i];
    add(f.unit, static_cast<uint64_t>(f.return_ip - f.unit->exec.data()));
  }
  add(unit_, std::min<uint64_t>(pc_, unit_->code_size));
}

// Both stacks stop at the slot ceiling: code that pushes or recurses without end gets "Stack overflow"
// long before the machine runs out of memory.
// Fused sequences push less on the way than their instructions would (at most kSequencePeak values more).
// That only shows where the stack cannot grow by that much, so once its room gets that close to the slot
// ceiling every body falls back to its copy without sequences, for good. Checked where the room changes
// (and when a run starts, for a ceiling lowered in between), it costs the loop nothing.
void VM::drop_fused_sequences_near_ceiling() {
  if (sequences_dropped_ || stack_.size() + kSequencePeak <= current_limits().max_stack_slots) return;
  sequences_dropped_ = true;
  auto drop = [](CodeUnit& unit) { unit.use_plain_code(); };
  drop(*main_);
  for (auto& entry : functions_) drop(*entry.second);
}

// Storage grows by moving every value into a bigger vector; the pointers into the old one (the running
// frame's and every saved frame's) are carried over while both are alive.
bool VM::grow_stack(size_t extra) {
  size_t need = sp_ + extra;
  if (need <= stack_.size()) return true;
  uint64_t cap = current_limits().max_stack_slots;
  if (need > cap) return false;
  size_t size = std::min<uint64_t>(std::max(need, stack_.size() * 2), cap);
  if (!detail::account_allows(size * sizeof(ValueRef))) return false;
  std::vector<ValueRef> bigger(size);
  std::move(stack_.begin(), stack_.end(), bigger.begin());
  ValueRef* from = stack_.data();
  ValueRef* to = bigger.data();
  base_ = to + (base_ - from);
  for (Frame* f = frames_.data(); f != frame_top_; ++f) f->base = to + (f->base - from);
  stack_.swap(bigger);
  bigger = std::vector<ValueRef>();
  recharge_stacks();
  drop_fused_sequences_near_ceiling();
  return true;
}

bool VM::ensure_registers(size_t count) {
  if (count <= regs_.size()) return true;
  uint64_t cap = current_limits().max_stack_slots;
  if (count > cap) return false;
  size_t size = std::min<uint64_t>(std::max(count, regs_.size() * 2), cap);
  if (!detail::account_allows(size * sizeof(ValueRef))) return false;
  std::vector<ValueRef> bigger(size);
  std::move(regs_.begin(), regs_.end(), bigger.begin());
  ValueRef* from = regs_.data();
  ValueRef* to = bigger.data();
  window_ = to + (window_ - from);
  for (Frame* f = frames_.data(); f != frame_top_; ++f) f->regs = to + (f->regs - from);
  regs_.swap(bigger);
  bigger = std::vector<ValueRef>();
  recharge_stacks();
  update_frame_room();
  return true;
}

// Brings the account's charge for the stacks to what their storage holds now. Growth asks the account
// first: a refusal ends the run as "Stack overflow" does, and the runtime, whose account recorded the
// refusal, reports its memory limit instead.
void VM::recharge_stacks() noexcept {
  size_t now = (stack_.capacity() + regs_.capacity()) * sizeof(ValueRef) + frames_.capacity() * sizeof(Frame);
  if (now >= stacks_charged_) {
    detail::charge(now - stacks_charged_);
  } else {
    detail::credit(stacks_charged_ - now);
  }
  stacks_charged_ = now;
}

bool VM::push_frame(const Frame& frame) {
  size_t n = static_cast<size_t>(frame_top_ - frames_.data());
  if (n == frames_.size()) {
    size_t want = std::min<uint64_t>(frames_.size() * 2, current_limits().max_call_depth);
    if (want <= n || !detail::account_allows((want - n) * sizeof(Frame))) return false;
    frames_.resize(want);
    recharge_stacks();
    frame_top_ = frames_.data() + n;
  }
  *frame_top_++ = frame;
  update_frame_room();
  return true;
}

bool VM::enter_unit(const CodeUnit* callee, size_t fpos, size_t argc, const ValueRef* receiver) {
  size_t new_base = static_cast<size_t>(window_ - regs_.data()) + unit_->reg_count;
  if (call_depth() >= current_limits().max_call_depth || !ensure_registers(new_base + callee->reg_count) ||
      !push_frame(Frame{unit_, unit_->exec.data() + pc_, base_, window_}))
    return false;
  ValueRef* R = regs_.data() + new_base;
  size_t limit = std::min<uint64_t>(callee->arity, callee->reg_count);
  size_t shift = receiver != nullptr ? 1 : 0;
  if (receiver != nullptr && callee->reg_count > 0) R[0] = *receiver;
  ValueRef* args = stack_.data() + fpos + 1;
  for (size_t i = 0; i < argc && i + shift < limit; ++i) R[i + shift] = std::move(args[i]);
  for (size_t i = fpos; i < sp_; ++i) stack_[i] = ValueRef();
  sp_ = fpos;
  base_ = stack_.data() + fpos;
  window_ = R;
  unit_ = callee;
  pc_ = 0;
  return true;
}

VM::CallOutcome VM::do_call(uint64_t argc, std::string& err) {
  size_t stack_base = static_cast<size_t>(base_ - stack_.data());
  size_t depth = sp_ - stack_base;
  if (argc >= depth) {
    // Too few values for the arguments and the callee: everything there is popped and lost.
    for (size_t i = stack_base; i < sp_; ++i) stack_[i] = ValueRef();
    sp_ = stack_base;
    err = kStackUnderflow;
    return CallOutcome::Failed;
  }
  size_t fpos = sp_ - argc - 1;
  const ValueRef& f = stack_[fpos];

  CallSite scratch;
  CallSite& site = pc_ == 0 || pc_ - 1 >= unit_->code_size || unit_->code[pc_ - 1].opcode != Opcode::Call
                       ? scratch
                       : unit_->sites[static_cast<uint32_t>(unit_->exec[pc_ - 1].imm)];
  // A method is looked up by its implementation (the receiver is not kept); a function or native by
  // its value.
  bool hit = f.kind() == ValueKind::Method
                 ? site.kind == CallSite::MethodUnit && f.method_function().heap_identity() == site.callee_id
                 : site.kind != CallSite::Empty && site.kind != CallSite::MethodUnit && f.identity() != nullptr &&
                       f.identity() == site.callee_id;
  if (!hit) {
    site = CallSite();
    site.kind = CallSite::Nil;
    // A count too large for the span leaves the site without anything the inline paths could match.
    bool spans = argc < (uint64_t{1} << 27);
    site.span = spans ? static_cast<uint32_t>((argc + 1) * sizeof(ValueRef)) : UINT32_MAX & ~uint32_t{15};
    ValueKind k = f.kind();
    if (k == ValueKind::Function || k == ValueKind::NativeFn || k == ValueKind::Method) {
      // What a callee resolves to depends only on its name (interned: its identity stands for it) and on
      // whether it is a method (a method never resolves to a native): a site that sees several callees
      // finds each one's resolution by identity after the first time.
      const void* id = k == ValueKind::Method ? f.method_function().heap_identity() : f.identity();
      auto key = reinterpret_cast<uintptr_t>(id) | (k == ValueKind::Method ? 1 : 0);
      auto known = resolved_calls_.find(key);
      if (known != resolved_calls_.end()) {
        site.kind = static_cast<CallSite::Kind>(known->second.kind);
        site.unit = known->second.unit;
        site.native = known->second.native;
        site.builtin = known->second.builtin;
      } else {
        const std::string& name = f.function_name();
        if (k != ValueKind::Method) {
          auto nit = natives_.find(name);
          if (nit != natives_.end()) {
            site.kind = CallSite::Native;
            site.native = nit->second;
          }
        }
        if (site.kind == CallSite::Nil && k != ValueKind::NativeFn) {
          auto fit = functions_.find(name);
          if (fit != functions_.end()) {
            site.kind = CallSite::Unit;
            site.unit = fit->second.get();
          } else if (k == ValueKind::Function) {
            int b = detail::builtin_index(name);
            if (b >= 0) {
              site.kind = CallSite::Builtin;
              site.builtin = static_cast<int8_t>(b);
            }
          }
        }
        resolved_calls_.emplace(key, ResolvedCall{site.kind, site.unit, site.native, site.builtin});
      }
      if (k != ValueKind::Method) {
        site.callee_id = f.identity();
      } else if (site.kind == CallSite::Unit) {
        site.kind = CallSite::MethodUnit;
        site.callee_id = f.method_function().heap_identity();
      }
      if (spans && site.kind == CallSite::Unit) site.unit_id = site.callee_id;
      if (spans && site.kind == CallSite::Builtin) site.builtin_id = site.callee_id;
      if (spans && site.kind == CallSite::MethodUnit) site.method_id = site.callee_id;
      if (site.kind == CallSite::Unit || site.kind == CallSite::MethodUnit) {
        // A method's receiver takes the first parameter.
        uint64_t params = site.unit->bind_limit;
        if (site.kind == CallSite::MethodUnit) params = params > 0 ? params - 1 : 0;
        site.bind = static_cast<uint16_t>(std::min<uint64_t>(argc, params));
      }
    }
  }

  switch (site.kind) {
    case CallSite::Unit:
    case CallSite::MethodUnit: {
      const CodeUnit* callee = site.unit;
      bool entered;
      if (f.kind() == ValueKind::Method) {
        ValueRef receiver = f.method_receiver();
        entered = enter_unit(callee, fpos, argc, &receiver);
      } else {
        entered = enter_unit(callee, fpos, argc, nullptr);
      }
      if (!entered) {
        for (size_t i = fpos; i < sp_; ++i) stack_[i] = ValueRef();
        sp_ = fpos;
        err = kStackOverflow;
        return CallOutcome::Failed;
      }
      return CallOutcome::Entered;
    }
    case CallSite::Native: {
      std::shared_ptr<NativeCallable> keep = site.native;  // alive even if the native replaces itself
      std::vector<ValueRef> args(std::make_move_iterator(stack_.begin() + fpos + 1),
                                 std::make_move_iterator(stack_.begin() + sp_));
      for (size_t i = fpos; i < sp_; ++i) stack_[i] = ValueRef();
      sp_ = fpos;
      operands_taken_ = true;  // a native that throws leaves nothing of the call to discard
      Result<ValueRef, std::string> result{ValueRef()};
      if (keep) {
        CalloutScope callout(*this);
        result = keep->call(args);
      }
      operands_taken_ = false;
      if (!result.ok()) {
        err = std::move(result.error());
        return CallOutcome::Failed;
      }
      // However long the native took, a stop that came due meanwhile (a timeout, an interrupt) takes effect
      // as it returns rather than at a back edge that may be far away.
      if (keep && !poll_within(err)) return CallOutcome::Failed;
      grow_stack(1);
      stack_[sp_++] = std::move(result.value());
      return CallOutcome::Pushed;
    }
    case CallSite::Builtin: {
      ValueRef out;
      bool ok = call_builtin(site.builtin, stack_.data() + fpos + 1, argc, out, err);
      for (size_t i = fpos; i < sp_; ++i) stack_[i] = ValueRef();
      sp_ = fpos;
      if (!ok) return CallOutcome::Failed;
      // input() may block for long, and print may too when the host takes it over: as after a native.
      if ((site.builtin == detail::kBuiltinInput || (site.builtin == detail::kBuiltinPrint && io_ != nullptr)) &&
          !poll_within(err))
        return CallOutcome::Failed;
      stack_[sp_++] = std::move(out);
      return CallOutcome::Pushed;
    }
    default: {
      for (size_t i = fpos; i < sp_; ++i) stack_[i] = ValueRef();
      sp_ = fpos;
      stack_[sp_++] = ValueRef();
      return CallOutcome::Pushed;
    }
  }
}

bool VM::do_return(std::string& err) {
  if (frame_top_ == frames_.data()) {
    err = kNoCall;
    return false;
  }
  Frame fr = *--frame_top_;
  size_t stack_base = static_cast<size_t>(base_ - stack_.data());
  ValueRef ret;
  if (sp_ > stack_base) ret = std::move(stack_[sp_ - 1]);
  for (size_t i = stack_base; i < sp_; ++i) stack_[i] = ValueRef();
  for (size_t i = 0; i < unit_->reg_count; ++i) window_[i] = ValueRef();
  sp_ = stack_base;
  window_ = fr.regs;
  unit_ = fr.unit;
  pc_ = static_cast<uint64_t>(fr.return_ip - fr.unit->exec.data());
  base_ = fr.base;
  stack_[sp_++] = std::move(ret);
  return true;
}

std::string VM::error_at(uint64_t failed_pc, const std::string& message) const {
  const uint64_t line = failed_pc < unit_->lines.size() ? position_line(unit_->lines[failed_pc]) : 0;
  if (line != 0) return "Line " + std::to_string(line) + ": " + message;
  return message;
}

// A callee window that starts at or below regs_fast_end_ fits whatever body it is for (none has more than
// max_window_ registers); past it the slow path grows the storage or reports the overflow.
void VM::update_frame_room() noexcept { update_frame_room(current_limits()); }

void VM::update_frame_room(const Limits& limits) noexcept {
  room_slots_ = limits.max_stack_slots;
  room_depth_ = limits.max_call_depth;
  uint64_t regs = std::min<uint64_t>(regs_.size(), limits.max_stack_slots);
  uint64_t frames = regs < max_window_ ? 0 : std::min<uint64_t>(frames_.size(), limits.max_call_depth);
  frame_fast_end_ = frames_.data() + frames;
  regs_fast_end_ = regs_.data() + (regs < max_window_ ? 0 : regs - max_window_);
}

// A method call site whose callee is another method than the one it holds: when that method's body was
// resolved before (by any site), the site is pointed at it, so that the call runs the inline path. The
// instruction's argument count is the site's, so its span stays.
bool VM::retarget_method_site(CallSite& site, const ValueRef& method, uint64_t argc) {
  return retarget_method_site(site, method.method_function().heap_identity(), argc);
}

bool VM::retarget_method_site(CallSite& site, const void* id, uint64_t argc) {
  uintptr_t key = reinterpret_cast<uintptr_t>(id) | 1;
  auto& way = resolved_calls_.method_ways[(key >> 4) & (resolved_calls_.method_ways.size() - 1)];
  const CodeUnit* body = way.unit;
  if (way.key != key) {
    auto known = resolved_calls_.find(key);
    if (known == resolved_calls_.end() || known->second.kind != CallSite::Unit) return false;
    body = known->second.unit;
    way = {key, body};
  }
  uint64_t params = body->bind_limit > 0 ? body->bind_limit - 1 : 0;
  site.unit = body;
  site.callee_id = id;
  site.method_id = id;
  site.bind = static_cast<uint16_t>(std::min<uint64_t>(argc, params));
  return true;
}

}  // namespace tarnwick
