// The virtual machine: one value stack and one register stack shared by all frames (each frame sees a
// window of them), immutable shared function bodies, a global table behind a reader-writer lock with
// per-constant look-up caches, the method cache, natives and builtins.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/result.h"
#include "vm_engine/bytecode.h"
#include "vm_engine/jit.h"
#include "vm_engine/limits.h"
#include "vm_engine/value.h"

namespace tarnwick {

// A function callable from scripts by name; the Python bridge is one implementation.
struct NativeCallable {
  virtual ~NativeCallable() = default;
  virtual Result<ValueRef, std::string> call(const std::vector<ValueRef>& args) = 0;
};

enum class VMStateKind { Running, Paused, Halted, Error };

struct VMState {
  VMStateKind kind = VMStateKind::Running;
  std::string message;  // only for Error
};

using RunResult = Result<ValueRef, std::string>;

// Asked now and then (at taken backward jumps and at calls) whether the run must stop; a returned text
// ends the run with that error and sets VM::interrupted().
using PollFn = std::optional<std::string> (*)(void* ctx);

// Where print writes and input reads when a host takes them over (instead of standard output and input).
// A returned error text ends the run with that error, as a failing native does.
struct HostIO {
  virtual ~HostIO() = default;
  // One call per print: the line it wrote, newline included.
  virtual std::optional<std::string> write(std::string_view text) = 0;
  // The answer to input(prompt) (the prompt is nullopt when input() had no argument); nil for no answer.
  virtual Result<ValueRef, std::string> read_line(const std::optional<std::string>& prompt) = 0;
};

// One level of the script's call stack when a run failed: the function (empty for the main program) and
// the line and column of the instruction it was running (0 when unknown).
struct TraceEntry {
  std::string function;
  uint64_t line = 0;
  std::string origin;  // the name load() was given with the code
  uint64_t column = 0;
};

// The process-wide standard-output lock taken by print and input.
std::mutex& stdout_lock();

// The eighteen builtin names, in the order their globals are created.
const std::vector<std::string>& builtin_names();

// A lock that is cheap when uncontended (one atomic operation each way); writers wait for readers.
class RwLock {
 public:
  void lock() noexcept;
  void unlock() noexcept { state_.store(0, std::memory_order_release); }
  void lock_shared() noexcept;
  void unlock_shared() noexcept { state_.fetch_sub(2, std::memory_order_release); }

 private:
  std::atomic<uint32_t> state_{0};  // bit 0: writer; the rest: readers * 2
};

namespace detail {
struct CodeUnit;
struct CallSite;
struct MethodSite;
struct ObjectSite;
}  // namespace detail

class VM {
 public:
  // Function table: name -> record, later duplicates replacing earlier ones. Globals: the builtins in their
  // order, then one Function value per function entry.
  VM(std::vector<Instruction> code, std::vector<uint64_t> lines, std::vector<Constant> constants,
     std::vector<FunctionRecord> functions);
  ~VM();
  // An empty machine: the builtins only, and no code until load().
  VM();
  VM(const VM&) = delete;
  VM& operator=(const VM&) = delete;

  // Runs from the current pc to the end of the running code unit or the first failing instruction.
  RunResult run();

  // Makes `code` the main program and adds the functions (a function of a name already defined replaces
  // it, and its global is set again), keeping every other global. The machine must be idle: it starts
  // over at pc 0 of the new main program with an empty stack.
  void load(std::vector<Instruction> code, std::vector<uint64_t> lines, std::vector<Constant> constants,
            std::vector<FunctionRecord> functions, const std::string& origin = std::string());
  // Calls `callee` (a function, method or native value) with `args` and runs until it returns: its value,
  // or the error that ended the call. A callee that is not callable gives nil, as in a script. Leaves the
  // machine idle when it succeeds; after a failure, reset_execution() makes it idle again. Called from a
  // native during a run or call (nested()), it leaves that run as it found it, success or failure.
  // The arguments are moved from `args`.
  RunResult call(ValueRef callee, ValueRef* args, size_t argc);
  RunResult call(ValueRef callee, std::vector<ValueRef> args) { return call(std::move(callee), args.data(), args.size()); }
  // True while a run or call is in progress (a native calling back in sees this).
  bool nested() const noexcept { return run_depth_ > 0; }
  // True when a host may call into this machine now: it is idle, or its innermost run waits on a native or on
  // print/input, where its state is saved as for a native's own callback. Anywhere else (a poll in the middle
  // of an instruction, where a signal handler may run) a nested call would move the stack from under the
  // instruction in progress.
  bool accepts_nested_calls() const noexcept { return run_depth_ == 0 || callout_depth_ == run_depth_; }
  // Drops the stack, the registers and every frame of an unfinished or failed run, and the main program's
  // registers; globals, functions and caches stay. Afterwards run() has nothing left to do.
  void reset_execution();
  // Gives back stack storage that a deep run or call grew, once the machine is idle (no frame, nothing on
  // the stack); whatever its registers still hold is dropped with it.
  void release_spare_stacks() {
    if (stack_.size() > kKeptSlots || regs_.size() > kKeptSlots || frames_.size() > kKeptFrames)
      release_grown_stacks();
  }
  // The call stack at the last failure, outermost first (empty when the last run succeeded).
  const std::vector<TraceEntry>& last_trace() const noexcept { return last_trace_; }

  // Adds a native under `name` (replacing) and stores a NativeFn global of that name.
  void add_native(const std::string& name, std::shared_ptr<NativeCallable> fn);

  void enable_jit();
  JitState* jit() noexcept { return jit_.get(); }
  const JitState* jit() const noexcept { return jit_.get(); }

  void set_poll_hook(PollFn fn, void* ctx) noexcept { poll_fn_ = fn; poll_ctx_ = ctx; }
  // Taken backward jumps and calls between two polls (at least 1); takes effect at the next run.
  void set_poll_interval(uint32_t n) noexcept { poll_interval_ = n == 0 ? 1 : n; }
  // True when the last run ended because the poll hook asked it to.
  bool interrupted() const noexcept { return interrupted_; }

  // Where print and input write and read (standard output and input unless redirected).
  void set_stdio(std::FILE* in, std::FILE* out) noexcept { in_ = in; out_ = out; }
  // A host that takes print and input over (nullptr: back to the streams above). Not owned.
  void set_io(HostIO* io) noexcept { io_ = io; }

  const VMState& state() const noexcept { return state_; }
  // "Running", "Paused", "Halted", or Error("...") with the message escaped.
  std::string state_debug_text() const;

  uint64_t instructions_executed() const noexcept { return executed_; }
  // Values on the running code unit's stack.
  uint64_t stack_depth() const noexcept { return sp_ - static_cast<size_t>(base_ - stack_.data()); }
  uint64_t call_depth() const noexcept { return static_cast<uint64_t>(frame_top_ - frames_.data()); }
  uint64_t pc() const noexcept { return pc_; }

  // Global table access for embedders and tests (takes the globals lock). A global set to nil reads as
  // absent, as it does in a script; global_names() lists the others.
  ValueRef global(const std::string& name) const;
  void set_global(const std::string& name, ValueRef value);
  std::vector<std::string> global_names() const;
  // The slot of a global (nullptr when it has never been set): it stays where it is for the machine's
  // life, so a host may keep it and read the global's current value through it (reading nil once deleted).
  const ValueRef* global_ref(const std::string& name) const;
  // What `obj.name` reads in a script: the object's entry, else the method its class gives (bound to it),
  // else nil. Nil for anything but an object.
  ValueRef member(const ValueRef& obj, std::string_view name);

 private:
  // A saved caller: everything a return restores, ready to use. The pointers follow their storage when it
  // grows (grow_stack, ensure_registers).
  struct Frame {
    const detail::CodeUnit* unit;  // the caller's code
    const Instruction* return_ip;  // in the caller's executable code, just after the Call
    ValueRef* base;                // the caller's stack base, in stack_
    ValueRef* regs;                // the caller's register window, in regs_
  };
  enum class CallOutcome { Entered, Pushed, Failed };

  RunResult run_loop();
  RunResult run_guarded();
  static void check_long_work(void* self);
  std::string stop_message_;  // why check_long_work stopped the run
  void prepare_run(const Limits& limits);
  RunResult thrown_failure(const std::string& message);
  // Helpers for the slow paths; all of them see the loop state through the members below.
  bool grow_stack(size_t extra);
  void drop_fused_sequences_near_ceiling();
  bool ensure_registers(size_t count);
  CallOutcome do_call(uint64_t argc, std::string& err);
  bool do_return(std::string& err);
  bool call_builtin(int which, const ValueRef* args, size_t argc, ValueRef& out, std::string& err);
  // Asks the poll hook in the middle of one instruction's long work; false (with `err`, and the run
  // marked interrupted) when it says stop.
  bool poll_within(std::string& err);
  // Member `key` (a String) of object `c`: its entry, else the method its class gives; answered by `site`
  // when it can, and remembers there what the next read of the same shape can reuse.
  ValueRef read_member(const ValueRef& c, const ValueRef& key, detail::MethodSite& site);
  // The object of the n key/value pairs at `pairs` (their slots are left nil); remembers its keys in `site`.
  ValueRef build_object(ValueRef* pairs, size_t n, detail::ObjectSite& site);
  // A receiver object's member through its class, remembered per instruction in `site`.
  ValueRef class_method(const ValueRef& class_name, const ValueRef& member, detail::MethodSite& site);
  // Points a method call site at the body of `method` when its resolution is known; false otherwise.
  bool retarget_method_site(detail::CallSite& site, const ValueRef& method, uint64_t argc);
  // The same for the Function (its identity) that implements a method: the fused `o.m()` asks before any
  // method value exists.
  bool retarget_method_site(detail::CallSite& site, const void* function_id, uint64_t argc);
  // The implementing function's name for (class, member), through the method cache.
  std::optional<std::string> lookup_method(const std::string& class_name, const std::string& member);
  ValueRef* global_slot(const detail::CodeUnit& unit, uint64_t k, bool create);
  std::string global_name(const detail::CodeUnit& unit, uint64_t k) const;
  std::string error_at(uint64_t failed_pc, const std::string& message) const;
  void capture_trace();
  // Forgets everything the call sites, member sites and the method cache resolved.
  void forget_resolutions();
  // False (and nothing changed) when the call would pass the call-depth or register ceiling.
  bool enter_unit(const detail::CodeUnit* unit, size_t stack_base, size_t argc_on_stack, const ValueRef* receiver);

  // Code: shared immutable bodies (plus per-VM caches beside them).
  std::unique_ptr<detail::CodeUnit> main_;
  std::unordered_map<std::string, std::unique_ptr<detail::CodeUnit>> functions_;
  // Call resolutions by callee identity (low bit set for a method), for call sites that miss; forgotten
  // whenever functions or natives change.
  struct ResolvedCall {
    uint8_t kind;
    const detail::CodeUnit* unit;
    std::shared_ptr<NativeCallable> native;
    int8_t builtin;
  };
  // In front of the map, for method call sites that move between a few classes' methods: the last
  // method bodies found, by the identity of the function naming each. clear() forgets both.
  struct ResolvedCalls : std::unordered_map<uintptr_t, ResolvedCall> {
    struct MethodWay {
      uintptr_t key = 0;
      const detail::CodeUnit* unit = nullptr;
    };
    std::array<MethodWay, 64> method_ways{};
    void clear() noexcept {
      std::unordered_map<uintptr_t, ResolvedCall>::clear();
      method_ways.fill(MethodWay{});
    }
  };
  ResolvedCalls resolved_calls_;
  std::unordered_map<std::string, std::shared_ptr<NativeCallable>> natives_;

  // Execution state.
  const detail::CodeUnit* unit_ = nullptr;
  uint64_t pc_ = 0;
  std::vector<ValueRef> stack_;  // storage; slots at and above sp_ hold nil
  size_t sp_ = 0;
  ValueRef* base_ = nullptr;     // the running frame's first stack slot, in stack_
  std::vector<ValueRef> regs_;   // storage; the running frame's window starts at window_
  ValueRef* window_ = nullptr;
  std::vector<Frame> frames_;    // storage: every element is allocated; those below frame_top_ are in use
  Frame* frame_top_ = nullptr;
  // The inline call path pushes a frame only below frame_fast_end_ (within frame storage and the depth
  // ceiling), for a callee window starting at or below regs_fast_end_ (where any body's window fits the
  // register storage and ceiling). Both are set by update_frame_room.
  Frame* frame_fast_end_ = nullptr;
  ValueRef* regs_fast_end_ = nullptr;
  size_t max_window_ = 0;        // the most registers any function body uses
  // The ceilings the two ends were last set for: every change of storage or bodies sets them again, so a
  // run only has to when the ceilings changed.
  uint64_t room_slots_ = UINT64_MAX, room_depth_ = UINT64_MAX;
  // Bytes of the three stacks' storage charged to the memory account: a script that recurses or pushes
  // deep holds them as surely as its values.
  size_t stacks_charged_ = 0;
  void recharge_stacks() noexcept;
  bool push_frame(const Frame& frame);
  // Puts a host call's callee and arguments on the stack; false when they do not fit.
  bool push_call(ValueRef callee, ValueRef* args, size_t argc);
  void update_frame_room() noexcept;
  void update_frame_room(const Limits& limits) noexcept;
  VMState state_;
  uint64_t executed_ = 0;

  // Globals. Slots never move (node-based map) and are never removed, so caches keep slot pointers and
  // only need refreshing when a new name is inserted (globals_version_).
  mutable RwLock globals_lock_;
  std::unordered_map<std::string, ValueRef> globals_;
  uint64_t globals_version_ = 1;

  std::mutex method_cache_lock_;
  std::map<std::pair<std::string, std::string>, std::optional<std::string>> method_cache_;

  std::unique_ptr<JitState> jit_;
  // The code units of host calls, by argument count: `Call argc` alone, so that the call runs through the
  // interpreter's own call path (and its call site remembers the callee, as any other does).
  std::unordered_map<uint64_t, std::unique_ptr<detail::CodeUnit>> call_stubs_;
  // The stub the last host call used: a host calls with the same count again and again.
  const detail::CodeUnit* last_stub_ = nullptr;
  uint64_t last_stub_argc_ = 0;
  std::vector<TraceEntry> last_trace_;
  // Stack storage kept between runs; what a deep run grew past it is given back when the machine is idle.
  static constexpr size_t kKeptSlots = size_t{1} << 14, kKeptFrames = size_t{1} << 12;
  void release_grown_stacks();
  int run_depth_ = 0;  // runs in progress (nested through natives)
  int callout_depth_ = 0;  // the run depth whose native or print/input call is in progress (0: none)
  // Marks the running run as waiting on the host (a native, print or input) for the scope's life.
  struct CalloutScope {
    VM& vm;
    int saved;
    detail::WorkHook& hook;
    detail::WorkHook before;
    // The host's code may make values (conversions) but must never see a stop thrown through it.
    explicit CalloutScope(VM& v) noexcept : vm(v), saved(v.callout_depth_), hook(detail::t_work), before(hook) {
      v.callout_depth_ = v.run_depth_;
      hook.check = nullptr;
    }
    ~CalloutScope() {
      vm.callout_depth_ = saved;
      hook = before;
    }
    CalloutScope(const CalloutScope&) = delete;
    CalloutScope& operator=(const CalloutScope&) = delete;
  };

  PollFn poll_fn_ = nullptr;
  void* poll_ctx_ = nullptr;
  uint32_t poll_interval_ = 1u << 14;
  bool interrupted_ = false;
  bool operands_taken_ = false;  // a native call in progress has taken its operands off the stack
  bool sequences_dropped_ = false;  // every body runs its copy without fused sequences
  // An element store whose opening pushed nil in place of register store_reg_'s array (FusedStoreBeginRR):
  // the depth of that nil above the frame's base, until the closing store; kNoStore otherwise.
  static constexpr size_t kNoStore = SIZE_MAX / 2;
  size_t store_mark_ = kNoStore;
  uint32_t store_reg_ = 0;
  // A failure inside such a store's value leaves the register's handle where the nil is, as the
  // instructions would have left the stack (a later run resumes from there).
  void close_open_store() noexcept;

  std::FILE* in_ = stdin;
  std::FILE* out_ = stdout;
  HostIO* io_ = nullptr;
};

}  // namespace tarnwick
