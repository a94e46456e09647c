// The one entry through which every host runs Tarnwick source: a Runtime owns one VM whose globals,
// functions and classes persist from run to run, its natives, its print and input, and the limits of what
// a run may consume. The one-shot pipeline is a fresh Runtime used once (run_once).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/result.h"
#include "vm_engine/bytecode.h"
#include "vm_engine/value.h"
#include "vm_engine/vm.h"

namespace tarnwick {

// Why a run or call ended without a value.
enum class FailureKind {
  Lex,
  Parse,
  Compile,
  Runtime,           // the script failed (the VM's error text)
  Interrupted,       // Runtime::interrupt()
  InstructionLimit,  // RunLimits::max_instructions
  TimeLimit,         // RunLimits::timeout_seconds
  MemoryLimit,       // RunLimits::max_memory
  Host,              // the host's poll asked to stop
};

struct Failure {
  FailureKind kind = FailureKind::Runtime;
  // Lex: the lexer's message; Parse: the parse error's display text; Compile: the compiler's message
  // (without its line); otherwise the run's error text, "Line {n}: " prefix included when the line is known.
  std::string message;
  uint64_t line = 0;    // 0 when unknown
  uint64_t column = 0;  // 0 when unknown
  std::vector<TraceEntry> trace;  // the script's call stack for run-time failures, outermost first

  // The text the one-shot pipeline reports: "Lex error: ...", "Parse error: ...", "Compile error: Line n:
  // ...", or "Runtime error: ..." for everything that ended a run.
  std::string text() const;
  bool is_source_error() const noexcept {
    return kind == FailureKind::Lex || kind == FailureKind::Parse || kind == FailureKind::Compile;
  }
};

using Outcome = Result<ValueRef, Failure>;

// Limits of one run or call; 0 means none.
struct RunLimits {
  uint64_t max_instructions = 0;
  double timeout_seconds = 0;
  uint64_t max_memory = 0;  // bytes of live values of this runtime (its memory account)
};

// Texts that end a run stopped from outside.
extern const char kInterruptedText[];
extern const char kInstructionLimitText[];
extern const char kTimeLimitText[];
extern const char kMemoryLimitText[];
extern const char kRunInCall[];

// Source compiled, with its main code optimized, once: what a run loads. It is never changed after it is
// made, and a run loads a copy of it, so one compiled program runs in any number of runtimes, again and
// again, and on several threads at once.
class CompiledProgram {
 public:
  // Lexes, parses, compiles and optimizes `source`; a Lex, Parse or Compile failure when it does not
  // compile, as Runtime::run reports it.
  static Result<CompiledProgram, Failure> compile(std::string_view source);
  const BytecodeProgram& bytecode() const noexcept { return bytecode_; }

 private:
  CompiledProgram() = default;
  BytecodeProgram bytecode_;
  friend class Runtime;
};

class Runtime {
 public:
  Runtime();
  ~Runtime();
  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;

  // Compiles `source` and runs it as this runtime's next main program. Functions, classes and globals it
  // defines stay; its top-level lets end with it. `origin` names the script in tracebacks.
  Outcome run(std::string_view source, const std::string& origin = std::string());
  // Runs a program compiled before, as run(source) would run its source; `program` is left as it was.
  Outcome run(const CompiledProgram& program, const std::string& origin = std::string());
  // Calls a function, method or native value with `args` (nil for a value that cannot be called).
  Outcome call(ValueRef callee, ValueRef* args, size_t argc);  // the arguments are moved from `args`
  Outcome call(ValueRef callee, std::vector<ValueRef> args) { return call(std::move(callee), args.data(), args.size()); }

  ValueRef global(const std::string& name) const;
  void set_global(const std::string& name, ValueRef value);
  std::vector<std::string> global_names() const { return vm_->global_names(); }

  // Adds a native under `name` (replacing one of that name) for every later run and call.
  void add_native(const std::string& name, std::shared_ptr<NativeCallable> fn);
  // Where print and input go (nullptr: the process's streams). Not owned.
  void set_io(HostIO* io) noexcept { vm_->set_io(io); }
  void set_limits(const RunLimits& limits) noexcept;
  const RunLimits& limits() const noexcept { return limits_; }
  // Asked at every poll, after the limits: a returned text ends the run as a Host failure with that text.
  void set_host_poll(PollFn fn, void* ctx) noexcept {
    host_poll_ = fn;
    host_ctx_ = ctx;
  }
  // Whether run() refuses a program with more variables in use at once than a frame has registers, as a
  // Compile failure (the default), instead of running it into "Register n out of bounds".
  void set_refuse_register_overflow(bool refuse) noexcept { refuse_register_overflow_ = refuse; }
  // Taken backward jumps and calls between two polls.
  void set_poll_interval(uint32_t n) noexcept { vm_->set_poll_interval(n); }

  // Ends the run or call in progress at its next poll (Interrupted); does nothing when none is. Safe from
  // any thread and from a signal handler.
  void interrupt() noexcept { interrupt_.store(true, std::memory_order_relaxed); }

  // The memory account this runtime's values are charged to; hosts install it (ChargeScope) around
  // whatever they do with the runtime's values outside run and call.
  MemoryAccount& memory() noexcept { return account_; }
  VM& vm() noexcept { return *vm_; }

 private:
  static std::optional<std::string> poll(void* self);
  Outcome finish(RunResult result, bool main_program, bool nested);
  Outcome start(BytecodeProgram program, const std::string& origin);
  void begin();

  MemoryAccount account_;
  std::unique_ptr<VM> vm_;
  RunLimits limits_;
  std::atomic<bool> interrupt_{false};
  PollFn host_poll_ = nullptr;
  void* host_ctx_ = nullptr;
  bool refuse_register_overflow_ = true;
  // Per run or call.
  uint64_t start_count_ = 0;
  int64_t deadline_ns_ = 0;
  FailureKind stop_kind_ = FailureKind::Interrupted;
  std::optional<FailureKind> nested_stop_;
  std::optional<std::pair<FailureKind, std::string>> stop_;  // the stop found by a poll of this run or call  // a call from a native was stopped from outside
};

// The one-shot pipeline: a fresh runtime with `natives` runs `source` once.
struct NamedNative {
  std::string name;
  std::shared_ptr<NativeCallable> fn;
};
Outcome run_once(std::string_view source, const std::vector<NamedNative>& natives = {},
                 PollFn host_poll = nullptr, void* host_ctx = nullptr, HostIO* io = nullptr);

}  // namespace tarnwick
