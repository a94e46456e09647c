// The Runtime: source to result through one path (compile, optimize the main code, load it into the
// runtime's VM, run), host calls into script functions, and the poll that enforces interrupts and limits.
#include "parser/runtime.h"

#include <ctime>
#include <utility>

#include "parser/compiler.h"
#include "vm_engine/compiler.h"

namespace tarnwick {

const char kInterruptedText[] = "Interrupted";
const char kInstructionLimitText[] = "Instruction limit exceeded";
const char kTimeLimitText[] = "Time limit exceeded";
const char kMemoryLimitText[] = "Memory limit exceeded";
const char kRunInCall[] = "A program cannot be run while this runtime is running another";

namespace {

// Polls are this far apart when a limit is set, so that an instruction budget is kept closely; otherwise
// the VM's own (wider) interval holds.
constexpr uint32_t kLimitedPollInterval = 1024;
constexpr uint32_t kDefaultPollInterval = 1u << 14;

int64_t monotonic_ns() noexcept {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

const char* stop_text(FailureKind kind) {
  switch (kind) {
    case FailureKind::InstructionLimit: return kInstructionLimitText;
    case FailureKind::TimeLimit: return kTimeLimitText;
    case FailureKind::MemoryLimit: return kMemoryLimitText;
    default: return kInterruptedText;
  }
}

// The first register operand a frame does not have, in the main program and then in each body: a
// Compile failure at the line of its statement, or nullopt when every variable fits.
std::optional<Failure> register_overflow(const BytecodeProgram& program) {
  auto first_past = [](const std::vector<Instruction>& code) -> size_t {
    for (size_t i = 0; i < code.size(); ++i) {
      const Instruction& in = code[i];
      if ((in.opcode == Opcode::LoadReg || in.opcode == Opcode::StoreReg) && in.arg >= kFrameRegisters) return i;
    }
    return code.size();
  };
  auto failure = [](const std::vector<uint64_t>& lines, size_t at, const std::string& where) {
    Failure f;
    f.kind = FailureKind::Compile;
    f.message = "Too many variables in " + where + ": at most " + std::to_string(kFrameRegisters) +
                " can be in use at once";
    f.line = at < lines.size() ? position_line(lines[at]) : 0;
    return f;
  };
  if (size_t at = first_past(program.code); at < program.code.size())
    return failure(program.lines, at, "the main program");
  for (const FunctionRecord& fn : program.functions)
    if (size_t at = first_past(fn.code); at < fn.code.size()) return failure(fn.lines, at, "'" + fn.name + "'");
  return std::nullopt;
}

}  // namespace

std::string Failure::text() const {
  switch (kind) {
    case FailureKind::Lex: return "Lex error: " + message;
    case FailureKind::Parse: return "Parse error: " + message;
    case FailureKind::Compile:
      return "Compile error: " + (line != 0 ? "Line " + std::to_string(line) + ": " : std::string()) + message;
    default: return "Runtime error: " + message;
  }
}

Runtime::Runtime() {
  ChargeScope scope(&account_);
  vm_ = std::make_unique<VM>();
  vm_->set_poll_hook(&Runtime::poll, this);
}

Runtime::~Runtime() {
  // Whatever account the destroying thread has installed is not this one's.
  ChargeScope scope(nullptr);
  vm_.reset();
}

void Runtime::set_limits(const RunLimits& limits) noexcept {
  limits_ = limits;
  account_.limit = limits.max_memory;
  bool limited = limits.max_instructions != 0 || limits.timeout_seconds > 0 || limits.max_memory != 0;
  vm_->set_poll_interval(limited ? kLimitedPollInterval : kDefaultPollInterval);
}

void Runtime::add_native(const std::string& name, std::shared_ptr<NativeCallable> fn) {
  ChargeScope scope(&account_);
  vm_->add_native(name, std::move(fn));
}

ValueRef Runtime::global(const std::string& name) const { return vm_->global(name); }

void Runtime::set_global(const std::string& name, ValueRef value) {
  ChargeScope scope(&account_);
  vm_->set_global(name, std::move(value));
}

void Runtime::begin() {
  interrupt_.store(false, std::memory_order_relaxed);
  stop_.reset();
  start_count_ = vm_->instructions_executed();
  deadline_ns_ = 0;
  if (limits_.timeout_seconds > 0) {
    double ns = limits_.timeout_seconds * 1e9;
    deadline_ns_ = monotonic_ns() + (ns > 4e18 ? int64_t{4000000000000000000} : static_cast<int64_t>(ns));
  }
  account_.exceeded = false;
}

std::optional<std::string> Runtime::poll(void* self) {
  auto* rt = static_cast<Runtime*>(self);
  // A stop, once found, holds until control is back with the host: a native that swallows the error of a
  // call it made cannot keep the run going, nor can the calls it makes afterwards.
  if (rt->stop_) {
    rt->stop_kind_ = rt->stop_->first;
    return rt->stop_->second;
  }
  auto stop = [rt](FailureKind kind, std::string text) {
    rt->stop_kind_ = kind;
    rt->stop_.emplace(kind, text);
    return std::optional<std::string>(std::move(text));
  };
  // The host first: a signal handler it runs may interrupt this runtime.
  if (rt->host_poll_ != nullptr) {
    if (auto text = rt->host_poll_(rt->host_ctx_)) return stop(FailureKind::Host, std::move(*text));
  }
  if (rt->interrupt_.load(std::memory_order_relaxed)) return stop(FailureKind::Interrupted, kInterruptedText);
  const RunLimits& l = rt->limits_;
  if (l.max_instructions != 0 && rt->vm_->instructions_executed() - rt->start_count_ >= l.max_instructions)
    return stop(FailureKind::InstructionLimit, kInstructionLimitText);
  if (rt->deadline_ns_ != 0 && monotonic_ns() >= rt->deadline_ns_) return stop(FailureKind::TimeLimit, kTimeLimitText);
  if (rt->account_.over()) return stop(FailureKind::MemoryLimit, kMemoryLimitText);
  return std::nullopt;
}

Outcome Runtime::finish(RunResult result, bool main_program, bool nested) {
  if (result.ok()) {
    if (nested) return std::move(result).value();
    // The main program's registers (its top-level lets) go with it; a call leaves nothing behind unless a
    // body ended without returning.
    if (main_program || vm_->stack_depth() != 0 || vm_->call_depth() != 0) {
      vm_->reset_execution();
    } else {
      vm_->release_spare_stacks();
    }
    return std::move(result).value();
  }
  Failure failure;
  failure.message = std::move(result.error());
  failure.trace = vm_->last_trace();
  if (vm_->interrupted()) {
    failure.kind = stop_kind_;
    if (stop_kind_ != FailureKind::Host) failure.message = stop_text(stop_kind_);
  } else if (account_.exceeded) {
    // An allocation refused for this runtime's limit, not for the machine's: whatever the refusal looked
    // like where it happened ("Out of memory", "Stack overflow", a native's failed conversion).
    failure.kind = FailureKind::MemoryLimit;
    failure.message = kMemoryLimitText;
  }
  if (!failure.trace.empty()) {
    failure.line = failure.trace.back().line;
    failure.column = failure.trace.back().column;
  }
  if (nested) {
    // The run this call came from has to stop too when the call was stopped from outside; a native that
    // swallows the error cannot keep it going.
    if (failure.kind != FailureKind::Runtime) nested_stop_ = failure.kind;
  } else {
    if (failure.kind == FailureKind::Runtime && (stop_ || nested_stop_)) {
      // A native failed (or gave up) because a call it made was stopped: the run ends for that stop.
      failure.kind = stop_ ? stop_->first : *nested_stop_;
      failure.message = failure.kind == FailureKind::Host && stop_ ? stop_->second : stop_text(failure.kind);
    }
    nested_stop_.reset();
    vm_->reset_execution();
  }
  return make_err(std::move(failure));
}

Result<CompiledProgram, Failure> CompiledProgram::compile(std::string_view source) {
  auto compiled = compile_source(source);
  if (!compiled.ok()) {
    SourceError& e = compiled.error();
    Failure failure;
    failure.kind = e.kind == SourceError::Kind::Lex     ? FailureKind::Lex
                   : e.kind == SourceError::Kind::Parse ? FailureKind::Parse
                                                        : FailureKind::Compile;
    failure.message = std::move(e.message);
    failure.line = e.line;
    failure.column = e.column;
    return make_err(std::move(failure));
  }
  CompiledProgram program;
  program.bytecode_ = std::move(compiled.value());
  OptimizeResult optimized = optimize_main(program.bytecode_.code, program.bytecode_.lines);
  program.bytecode_.code = std::move(optimized.code);
  return program;
}

Outcome Runtime::run(std::string_view source, const std::string& origin) {
  ChargeScope scope(&account_);
  if (vm_->nested()) {
    // The program in progress would lose its code.
    Failure failure;
    failure.message = kRunInCall;
    return make_err(std::move(failure));
  }
  // The front end's tokens, tree and code are the script's too: with a limit, building them past it ends
  // the run like any other allocation would.
  account_.exceeded = false;
  account_.enforce = true;
  std::optional<Result<CompiledProgram, Failure>> built;
  try {
    detail::TransientCharges transient;
    built.emplace(CompiledProgram::compile(source));
  } catch (const std::bad_alloc&) {
    account_.enforce = false;
    if (!account_.exceeded) throw;  // the machine's memory, not the limit: as before, the host's to report
    Failure failure;
    failure.kind = FailureKind::MemoryLimit;
    failure.message = kMemoryLimitText;
    return make_err(std::move(failure));
  }
  account_.enforce = false;
  if (!built->ok()) return make_err(std::move(built->error()));
  return start(std::move(built->value().bytecode_), origin);
}

Outcome Runtime::run(const CompiledProgram& program, const std::string& origin) {
  ChargeScope scope(&account_);
  if (vm_->nested()) {
    Failure failure;
    failure.message = kRunInCall;
    return make_err(std::move(failure));
  }
  // The machine takes over what it loads: it gets a copy, and the program stays as it was for the next run.
  return start(program.bytecode_, origin);
}

Outcome Runtime::start(BytecodeProgram program, const std::string& origin) {
  if (refuse_register_overflow_) {
    if (auto overflow = register_overflow(program)) return make_err(std::move(*overflow));
  }
  {
    // Loaded, each instruction is kept twice (as written, and in the copy the loop runs) beside its
    // position: refused up front when that cannot fit.
    uint64_t instructions = program.code.size();
    for (const FunctionRecord& f : program.functions) instructions += f.code.size();
    account_.enforce = true;
    bool fits = detail::account_allows(instructions * (2 * sizeof(Instruction) + sizeof(uint64_t)));
    account_.enforce = false;
    if (!fits) {
      Failure failure;
      failure.kind = FailureKind::MemoryLimit;
      failure.message = kMemoryLimitText;
      return make_err(std::move(failure));
    }
  }
  vm_->load(std::move(program.code), std::move(program.lines), std::move(program.constants),
            std::move(program.functions), origin);
  nested_stop_.reset();
  begin();
  account_.enforce = true;
  RunResult result = vm_->run();
  account_.enforce = false;
  return finish(std::move(result), true, false);
}

Outcome Runtime::call(ValueRef callee, ValueRef* args, size_t argc) {
  ChargeScope scope(&account_);
  // A call from a native of the run in progress counts against that run's limits.
  const bool nested = vm_->nested();
  if (!nested) {
    nested_stop_.reset();
    begin();
  }
  bool enforce = account_.enforce;
  account_.enforce = true;
  if (nested) {
    // A call a native makes is part of the run in progress: it is charged to it and is not started once
    // that run has to stop.
    if (auto stop = poll(this)) {
      account_.enforce = enforce;
      Failure failure;
      failure.kind = stop_kind_;
      failure.message = std::move(*stop);
      return make_err(std::move(failure));
    }
  }
  RunResult result = vm_->call(std::move(callee), args, argc);
  account_.enforce = enforce;
  if (!nested && result.ok() && vm_->stack_depth() == 0 && vm_->call_depth() == 0) {
    // What finish does for a call that returned: the common case, without handing the result on twice.
    vm_->release_spare_stacks();
    return Outcome(std::move(result).value());
  }
  return finish(std::move(result), false, nested);
}

Outcome run_once(std::string_view source, const std::vector<NamedNative>& natives, PollFn host_poll, void* host_ctx,
                 HostIO* io) {
  Runtime rt;
  // The one-shot pipeline runs such a program until it reaches the missing register.
  rt.set_refuse_register_overflow(false);
  rt.set_io(io);
  for (const NamedNative& n : natives) rt.add_native(n.name, n.fn);
  rt.set_host_poll(host_poll, host_ctx);
  return rt.run(source);
}

}  // namespace tarnwick
