// The module tarnwick._native: the Runtime type (a persistent engine for one host) and the callables that
// stand for script functions in Python. The tarnwick package wraps both (tarnwick/runtime.py).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "pyedge/api.h"
#include "pyedge/module.h"

#include <structmember.h>

#include "parser/compiler.h"
#include "parser/lexer.h"
#include "parser/runtime.h"
#include "vm_engine/compiler.h"
#include "vm_engine/disassembler.h"
#include "vm_engine/limits.h"
#include "pyedge/convert.h"
#include "pyedge/program.h"

namespace tarnwick::py {

namespace {

constexpr char kReentered[] =
    "this Runtime is already running a script on this thread (a native, output or input callback called back "
    "into it)";
constexpr char kClosed[] = "this Runtime is closed";
constexpr char kBusy[] =
    "this Runtime is in the middle of a script's instruction on this thread (a signal handler called into it); "
    "only natives and output/input callbacks may call back into a running script";

// The exception classes of tarnwick.errors, looked up when the module is made.
struct ExceptionClasses {
  PyObject* script_error = nullptr;
  PyObject* syntax_error = nullptr;
  PyObject* interrupted = nullptr;
  PyObject* instruction_limit = nullptr;
  PyObject* time_limit = nullptr;
  PyObject* memory_limit = nullptr;
} g_errors;

PyTypeObject* g_runtime_type = nullptr;
PyTypeObject* g_function_type = nullptr;

struct RuntimeObject;

// A script function, method or native of one runtime, callable from Python.
struct FunctionObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  RuntimeObject* runtime;  // strong
  ValueRef* value;
};

// print and input through the host's callables.
class CallbackIO final : public HostIO {
 public:
  CallbackIO(PyObject* output, PyObject* input, PendingException& pending, PendingException& cause)
      : output_(Py_XNewRef(output)), input_(Py_XNewRef(input)), pending_(pending), cause_(cause), stdio_(pending) {}
  ~CallbackIO() override {
    Py_XDECREF(output_);
    Py_XDECREF(input_);
  }
  PyObject* output() const { return output_; }
  PyObject* input() const { return input_; }

  // A run on a worker thread goes without the interpreter lock: print and input take it for the host's part.
  std::optional<std::string> write(std::string_view text) override {
    PyGILState_STATE gil = PyGILState_Ensure();
    std::optional<std::string> r = write_locked(text);
    PyGILState_Release(gil);
    return r;
  }

  Result<ValueRef, std::string> read_line(const std::optional<std::string>& prompt) override {
    PyGILState_STATE gil = PyGILState_Ensure();
    Result<ValueRef, std::string> r = read_line_locked(prompt);
    PyGILState_Release(gil);
    return r;
  }

 private:
  std::optional<std::string> write_locked(std::string_view text) {
    if (output_ == nullptr) return stdio_.write(text);
    PyObject* arg = text_to_python(text);
    PyObject* r = arg != nullptr ? PyObject_CallOneArg(output_, arg) : nullptr;
    Py_XDECREF(arg);
    if (r == nullptr) return take_callback_failure(&pending_, &cause_);
    Py_DECREF(r);
    return std::nullopt;
  }

  Result<ValueRef, std::string> read_line_locked(const std::optional<std::string>& prompt) {
    if (input_ == nullptr) return stdio_.read_line(prompt);
    PyObject* arg = text_to_python(prompt.value_or(std::string()));
    PyObject* r = arg != nullptr ? PyObject_CallOneArg(input_, arg) : nullptr;
    Py_XDECREF(arg);
    if (r == nullptr) return make_err(take_callback_failure(&pending_, &cause_));
    ValueRef v;
    if (r != Py_None) {
      PyObject* s = PyUnicode_Check(r) ? Py_NewRef(r) : PyObject_Str(r);
      std::string line;
      bool ok = s != nullptr && utf8_of(s, line);
      Py_XDECREF(s);
      if (!ok) {
        Py_DECREF(r);
        return make_err(take_callback_failure(&pending_, &cause_));
      }
      v = ValueRef::string(line);
    }
    Py_DECREF(r);
    return v;
  }

  PyObject* output_;
  PyObject* input_;
  PendingException& pending_;
  PendingException& cause_;
  StdioIO stdio_;  // whichever of the two has no callable
};

class RuntimeBridge final : public Bridge {
 public:
  explicit RuntimeBridge(RuntimeObject* owner) : owner_(owner) {}
  PyObject* wrap_callable(const ValueRef& v) override;
  bool unwrap_callable(PyObject* obj, ValueRef& out) override;

 private:
  RuntimeObject* owner_;  // borrowed: the bridge lives inside it
};

// The global slots of the names call() was asked for last (slots never move; the value is read at each
// call), so that a repeated call neither encodes nor hashes the name.
class CalleeCache {
 public:
  ~CalleeCache() {
    for (Entry& e : entries_) Py_XDECREF(e.name);
  }
  const ValueRef* find(PyObject* name) const {
    for (const Entry& e : entries_)
      if (e.name == name) return e.slot;
    return nullptr;
  }
  void add(PyObject* name, const ValueRef* slot) {
    Entry& e = entries_[next_++ % kSize];
    Py_XSETREF(e.name, Py_NewRef(name));
    e.slot = slot;
  }

 private:
  static constexpr size_t kSize = 8;
  struct Entry {
    PyObject* name = nullptr;
    const ValueRef* slot = nullptr;
  };
  Entry entries_[kSize];
  size_t next_ = 0;
};

struct State {
  explicit State(RuntimeObject* owner) : poll(*pending), bridge(owner) {}
  Runtime rt;
  // Control-flow exceptions (a Ctrl-C, SystemExit from a native) that end a run and propagate.
  std::shared_ptr<PendingException> pending = std::make_shared<PendingException>();
  // The exception of the native or callback that failed the run, chained to the ScriptError.
  std::shared_ptr<PendingException> cause = std::make_shared<PendingException>();
  SignalPoll poll;
  RuntimeBridge bridge;
  std::unique_ptr<CallbackIO> io;
  PyObject* natives = nullptr;  // name -> callable, as registered (for listing and the garbage collector)
  // Every native made for this runtime that may still be alive, with its callable (to which the native
  // holds one strong reference for its whole life, as make_python_native promises): the garbage collector
  // has to see those references, or a host whose native refers back to its runtime is never collected.
  // Entries no one else holds any more are dropped at the next register.
  std::vector<std::pair<std::shared_ptr<NativeCallable>, PyObject*>> made_natives;
  // Serialises threads. `owner`, `depth`, `waiters` and `closing` change only with the GIL held, so an
  // uncontended operation takes no lock at all; a thread that finds another's operation in progress waits
  // (without the GIL) for `generation` to move, which the owner does when its last operation ends.
  unsigned long owner = 0;
  int depth = 0;  // nested operations of the owner thread
  int waiters = 0;
  bool closing = false;  // closed while threads waited: the last of them frees the state
  std::mutex wait_lock;
  std::condition_variable wait_cv;
  uint64_t generation = 0;  // guarded by wait_lock
  bool running = false;
  CalleeCache callees;
};

struct RuntimeObject {
  PyObject_HEAD
  State* st;
  PyObject* weakrefs;
};

RuntimeObject* as_runtime(PyObject* self) { return reinterpret_cast<RuntimeObject*>(self); }

// --- Entering a runtime --------------------------------------------------------------------------------

// Holds a runtime for one operation. Another thread's operation waits (with the interpreter lock released)
// until the one in progress ends. The owner thread may nest operations where its run waits on the host (a
// native calling a script function back), but not run a new program while one runs, and nothing but reads
// at any other point of a run (a signal handler that fires at a poll, in the middle of an instruction).
enum class Use { Read, Plain, Call, Run };

class Entry {
 public:
  Entry(RuntimeObject* self, Use use) : self_(self) {
    const bool runs = use == Use::Call || use == Use::Run;
    State* st = self->st;
    if (st == nullptr) {
      PyErr_SetString(PyExc_RuntimeError, kClosed);
      return;
    }
    unsigned long me = PyThread_get_thread_ident();
    if (st->depth > 0 && st->owner == me) {
      if (use == Use::Run && st->running) {
        PyErr_SetString(PyExc_RuntimeError, kReentered);
        return;
      }
      if (use != Use::Read && !st->rt.vm().accepts_nested_calls()) {
        PyErr_SetString(PyExc_RuntimeError, kBusy);
        return;
      }
    } else {
      if (st->depth > 0 && !wait_turn(self)) return;
      st = self->st;
      st->owner = me;
    }
    ++st->depth;
    if (runs) {
      saved_running_ = st->running;
      if (!saved_running_) {
        st->pending->clear();
        st->cause->clear();
      }
      st->running = true;
    }
    runs_ = runs;
    ok_ = true;
  }
  ~Entry() {
    if (!ok_) return;
    State* st = self_->st;
    if (runs_) st->running = saved_running_;
    if (--st->depth == 0) {
      st->owner = 0;
      if (st->waiters > 0) wake(st);
    }
  }

  static void wake(State* st) {
    {
      std::lock_guard<std::mutex> guard(st->wait_lock);
      ++st->generation;
    }
    st->wait_cv.notify_all();
  }
  Entry(const Entry&) = delete;
  Entry& operator=(const Entry&) = delete;
  bool ok() const { return ok_; }

 private:
  // Waits until no other thread's operation is in progress; false with an exception set when the runtime was
  // closed meanwhile or a signal handler raised (Ctrl-C reaches a main thread that waits here). The wait
  // lock is never held while the interpreter lock is taken: the thread that holds the interpreter lock may
  // need the wait lock to hand the runtime over.
  static bool wait_turn(RuntimeObject* self) {
    State* st = self->st;
    ++st->waiters;
    bool raised = false;
    while (st->depth > 0 && !st->closing) {
      uint64_t seen;
      {
        std::lock_guard<std::mutex> guard(st->wait_lock);
        seen = st->generation;
      }
      Py_BEGIN_ALLOW_THREADS
      {
        std::unique_lock<std::mutex> guard(st->wait_lock);
        st->wait_cv.wait_for(guard, std::chrono::milliseconds(20), [st, seen] { return st->generation != seen; });
      }
      Py_END_ALLOW_THREADS
      if (PyErr_CheckSignals() != 0) {
        raised = true;
        break;
      }
    }
    --st->waiters;
    if (st->closing) {
      if (st->waiters == 0) delete st;
      if (!raised) PyErr_SetString(PyExc_RuntimeError, kClosed);
      return false;
    }
    return !raised;
  }

 private:
  RuntimeObject* self_;
  bool ok_ = false;
  bool runs_ = false;
  bool saved_running_ = false;
};

// --- Running without the interpreter lock ---------------------------------------------------------------

// The thread CPython runs signal handlers on.
unsigned long g_main_thread = 0;

// Runs `work` (a run or call of the engine). On a worker thread the interpreter lock is released for it, so
// that runtimes on different threads run in parallel: natives, print and input take the lock back for what
// needs Python, and nothing else in a run touches Python. The main thread keeps the lock, since only there
// must the run check for signals (Ctrl-C), and hands it over to other threads when they ask.
// `st` is held by the calling thread (its Entry), which is therefore its owner.
template <class Work>
Outcome run_engine(const State* st, Work&& work) {
  if (st->owner == g_main_thread) return work();
  PyThreadState* state = PyEval_SaveThread();
  Outcome outcome = work();
  PyEval_RestoreThread(state);
  return outcome;
}

// The Runtime's poll: signals and the lock hand-over concern only a run that holds the lock.
std::optional<std::string> runtime_poll(void* ctx) {
  if (!PyGILState_Check()) return std::nullopt;
  return SignalPoll::poll(ctx);
}

// --- Results and errors --------------------------------------------------------------------------------

PyObject* failure_class(FailureKind kind) {
  switch (kind) {
    case FailureKind::Interrupted: return g_errors.interrupted;
    case FailureKind::InstructionLimit: return g_errors.instruction_limit;
    case FailureKind::TimeLimit: return g_errors.time_limit;
    case FailureKind::MemoryLimit: return g_errors.memory_limit;
    default: return g_errors.script_error;
  }
}

PyObject* raise_syntax(const Failure& failure, std::string_view source, const std::string& filename) {
  PyObject* text = source_line_to_python(source, failure.line);
  if (text == nullptr) return nullptr;
  PyObject* lineno = failure.line != 0 ? PyLong_FromUnsignedLongLong(failure.line) : Py_NewRef(Py_None);
  PyObject* offset = failure.column != 0 ? PyLong_FromUnsignedLongLong(failure.column) : Py_NewRef(Py_None);
  PyObject* exc = nullptr;
  if (lineno != nullptr && offset != nullptr) {
    exc = PyObject_CallFunction(g_errors.syntax_error, "N(sNNN)", text_to_python(failure.text()), filename.c_str(),
                                lineno, offset, text);
    lineno = offset = text = nullptr;  // stolen
  }
  Py_XDECREF(lineno);
  Py_XDECREF(offset);
  Py_XDECREF(text);
  if (exc == nullptr) return nullptr;
  PyErr_SetObject(g_errors.syntax_error, exc);
  Py_DECREF(exc);
  return nullptr;
}

// `filename` names the script when the failure's stack does not (a failure before or outside any frame).
PyObject* raise_failure(State* st, const Failure& failure, const std::string& filename_default = std::string()) {
  if (st->pending->has()) {
    st->pending->restore();
    return nullptr;
  }
  PyObject* stack = PyList_New(0);
  if (stack == nullptr) return nullptr;
  std::string filename = filename_default.empty() ? "<script>" : filename_default;
  for (const TraceEntry& e : failure.trace) {
    std::string file = e.origin.empty() ? "<script>" : e.origin;
    if (e.function != "...") filename = file;
    PyObject* entry = Py_BuildValue("(NKNK)", text_to_python(file), static_cast<unsigned long long>(e.line),
                                    text_to_python(e.function.empty() ? "<main>" : e.function),
                                    static_cast<unsigned long long>(e.column));
    if (entry == nullptr || PyList_Append(stack, entry) != 0) {
      Py_XDECREF(entry);
      Py_DECREF(stack);
      return nullptr;
    }
    Py_DECREF(entry);
  }
  PyObject* cls = failure_class(failure.kind);
  PyObject* exc = PyObject_CallFunction(cls, "NKNNK", text_to_python(failure.message),
                                        static_cast<unsigned long long>(failure.line), stack,
                                        text_to_python(filename), static_cast<unsigned long long>(failure.column));
  if (exc == nullptr) return nullptr;
  if (st->cause->has()) {
    PyException_SetCause(exc, Py_NewRef(st->cause->value()));
    st->cause->clear();
  }
  PyErr_SetObject(cls, exc);
  Py_DECREF(exc);
  return nullptr;
}

// The Python result of an operation on the runtime, or nullptr with the exception set.
PyObject* finish(RuntimeObject* self, Outcome& outcome, std::string_view source = {},
                 const std::string& filename = std::string()) {
  State* st = self->st;
  if (st->pending->has()) {
    st->pending->restore();
    return nullptr;
  }
  if (outcome.ok()) {
    ChargeScope scope(&st->rt.memory());
    return to_python(outcome.value(), nullptr, &st->bridge);
  }
  const Failure& failure = outcome.error();
  if (failure.is_source_error()) return raise_syntax(failure, source, filename);
  return raise_failure(st, failure, filename);
}

// --- Calls --------------------------------------------------------------------------------------------

// Converts a host value by the runtime's rules into `out`, under the runtime's memory limit: what a host
// hands in is held like what the script makes. False with the exception set (MemoryLimitExceeded when the
// limit refused it).
bool value_from_host(State* st, PyObject* obj, ValueRef& out) {
  MemoryAccount& account = st->rt.memory();
  ChargeScope scope(&account);
  const bool enforce = account.enforce, exceeded = account.exceeded;
  account.enforce = true;
  account.exceeded = false;
  bool ok = from_python(obj, st->bridge, out, st->pending.get());
  const bool refused = account.exceeded;
  account.enforce = enforce;
  account.exceeded = exceeded || refused;
  if (ok) return true;
  if (st->pending->has()) {
    st->pending->restore();
    return false;
  }
  if (refused) {
    PyErr_Clear();
    Failure failure;
    failure.kind = FailureKind::MemoryLimit;
    failure.message = kMemoryLimitText;
    raise_failure(st, failure);
  }
  return false;
}

// Converts Python arguments by the runtime's rules into `out` (n values); false with the exception set.
bool convert_args(State* st, PyObject* const* args, size_t n, ValueRef* out) {
  for (size_t i = 0; i < n; ++i)
    if (!inline_scalar_from_python(args[i], out[i]) && !value_from_host(st, args[i], out[i])) return false;
  return true;
}

// The engine values of a call's arguments: a few in place (only as many as there are made and dropped),
// more on the heap.
class ArgValues {
 public:
  explicit ArgValues(size_t n) : n_(n) {
    if (n > kInline) {
      more_.resize(n);
      values_ = more_.data();
      return;
    }
    values_ = reinterpret_cast<ValueRef*>(inline_);
    for (size_t i = 0; i < n; ++i) ::new (values_ + i) ValueRef();
  }
  ~ArgValues() {
    if (n_ <= kInline)
      for (size_t i = 0; i < n_; ++i) values_[i].~ValueRef();
  }
  ArgValues(const ArgValues&) = delete;
  ArgValues& operator=(const ArgValues&) = delete;
  ValueRef* data() noexcept { return values_; }

 private:
  static constexpr size_t kInline = 6;
  size_t n_;
  ValueRef* values_;
  alignas(ValueRef) unsigned char inline_[kInline * sizeof(ValueRef)];
  std::vector<ValueRef> more_;
};

// Calls `callee` with the host's arguments; the caller holds the runtime (an Entry for a call) with its
// account installed, so that everything made here (arguments, the result) is this runtime's, freed on the
// way out included.
PyObject* call_entered(RuntimeObject* self, ValueRef callee, PyObject* const* args, size_t nargs) {
  State* st = self->st;
  ArgValues values(nargs);
  if (!convert_args(st, args, nargs, values.data())) return nullptr;
  Outcome outcome = run_engine(st, [&] { return st->rt.call(std::move(callee), values.data(), nargs); });
  if (outcome.ok() && outcome.value().is_int() && !st->pending->has())
    return PyLong_FromLongLong(outcome.value().as_int());  // what finish makes of it, without its set-up
  return finish(self, outcome);
}

bool callable_kind(const ValueRef& v) {
  return v.kind() == ValueKind::Function || v.kind() == ValueKind::Method || v.kind() == ValueKind::NativeFn;
}

// The callee named by a str (a global) or given as a callable of this runtime, into `v`; false with an
// exception.
bool resolve_callee(RuntimeObject* self, PyObject* target, ValueRef& v) {
  if (PyUnicode_Check(target)) {
    State* st = self->st;
    const ValueRef* slot = st->callees.find(target);
    if (slot == nullptr) {
      std::string name;
      if (!utf8_of(target, name)) return false;
      slot = st->rt.vm().global_ref(name);
      if (slot != nullptr) st->callees.add(target, slot);
    }
    if (slot != nullptr) v = *slot;
    if (v.is_nil()) {
      PyErr_Format(PyExc_NameError, "no global named '%U' in this runtime", target);
      return false;
    }
    if (!callable_kind(v)) {
      PyErr_Format(PyExc_TypeError, "global '%U' is a %s, not a function", target, type_name(v));
      return false;
    }
    return true;
  }
  if (self->st->bridge.unwrap_callable(target, v)) return true;
  PyErr_Format(PyExc_TypeError, "expected a function name (str) or a function of this runtime, not %.100s",
               Py_TYPE(target)->tp_name);
  return false;
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  auto* f = reinterpret_cast<FunctionObject*>(callable);
  if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0) {
    PyErr_SetString(PyExc_TypeError, "script functions take no keyword arguments");
    return nullptr;
  }
  RuntimeObject* self = f->runtime;
  Entry entry(self, Use::Call);
  if (!entry.ok()) return nullptr;
  ChargeScope scope(&self->st->rt.memory());
  return call_entered(self, *f->value, args, PyVectorcall_NARGS(nargsf));
}

PyObject* RuntimeBridge::wrap_callable(const ValueRef& v) {
  FunctionObject* f = PyObject_GC_New(FunctionObject, g_function_type);
  if (f == nullptr) return nullptr;
  f->vectorcall = &function_vectorcall;
  f->runtime = reinterpret_cast<RuntimeObject*>(Py_NewRef(reinterpret_cast<PyObject*>(owner_)));
  f->value = new ValueRef(v);
  PyObject_GC_Track(f);
  return reinterpret_cast<PyObject*>(f);
}

bool RuntimeBridge::unwrap_callable(PyObject* obj, ValueRef& out) {
  if (Py_TYPE(obj) != g_function_type) return false;
  auto* f = reinterpret_cast<FunctionObject*>(obj);
  if (f->runtime != owner_ || f->value == nullptr) return false;
  out = *f->value;
  return true;
}

// --- The Runtime type --------------------------------------------------------------------------------

void close_state(RuntimeObject* self) {
  State* st = self->st;
  if (st == nullptr) return;
  self->st = nullptr;
  // Natives and callbacks may run Python code when released (their __del__): nothing may be pending.
  Py_CLEAR(st->natives);
  if (st->waiters > 0) {
    // Threads still wait to use it: they find it closed, and the last one frees it.
    st->closing = true;
    {
      std::lock_guard<std::mutex> guard(st->wait_lock);
      ++st->generation;
    }
    st->wait_cv.notify_all();
    return;
  }
  delete st;
}

PyObject* runtime_new(PyTypeObject* type, PyObject*, PyObject*) {
  auto* self = reinterpret_cast<RuntimeObject*>(type->tp_alloc(type, 0));
  if (self == nullptr) return nullptr;
  self->st = new State(self);
  self->st->natives = PyDict_New();
  if (self->st->natives == nullptr) {
    Py_DECREF(self);
    return nullptr;
  }
  self->st->rt.set_host_poll(&runtime_poll, &self->st->poll);
  return reinterpret_cast<PyObject*>(self);
}

// Reads an optional non-negative number keyword: 0 when None. A count (`whole`) must be a whole number:
// truncating 0.5 would give 0, which means no limit at all.
bool limit_arg(PyObject* obj, const char* name, double& out, bool whole = false) {
  out = 0;
  if (obj == nullptr || obj == Py_None) return true;
  double d = PyFloat_AsDouble(obj);
  if (d == -1.0 && PyErr_Occurred()) return false;
  if (!(d > 0)) {
    PyErr_Format(PyExc_ValueError, "%s must be positive (or None for no limit)", name);
    return false;
  }
  if (whole && d != std::floor(d)) {
    PyErr_Format(PyExc_ValueError, "%s must be a whole number", name);
    return false;
  }
  out = d;
  return true;
}

int runtime_init(PyObject* op, PyObject* args, PyObject* kwargs) {
  auto* self = as_runtime(op);
  // Replacing the io (or the limits) of a live runtime would pull them from under a callback that is
  // running: a runtime is set up once.
  if (self->st != nullptr && self->st->io) {
    PyErr_SetString(PyExc_RuntimeError, "this Runtime is already initialised");
    return -1;
  }
  static const char* kwlist[] = {"output", "input", "max_memory", "max_instructions", "timeout", nullptr};
  PyObject *output = Py_None, *input = Py_None, *max_memory = Py_None, *max_instructions = Py_None,
           *timeout = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$OOOOO:Runtime", const_cast<char**>(kwlist), &output, &input,
                                   &max_memory, &max_instructions, &timeout))
    return -1;
  for (PyObject* cb : {output, input}) {
    if (cb != Py_None && !PyCallable_Check(cb)) {
      PyErr_Format(PyExc_TypeError, "output and input must be callables or None, not %.100s", Py_TYPE(cb)->tp_name);
      return -1;
    }
  }
  double memory, instructions, seconds;
  if (!limit_arg(max_memory, "max_memory", memory, true) ||
      !limit_arg(max_instructions, "max_instructions", instructions, true) ||
      !limit_arg(timeout, "timeout", seconds))
    return -1;
  Entry entry(self, Use::Plain);
  if (!entry.ok()) return -1;
  State* st = self->st;
  RunLimits limits;
  limits.max_memory = static_cast<uint64_t>(std::min(memory, 1.8e19));
  limits.max_instructions = static_cast<uint64_t>(std::min(instructions, 1.8e19));
  limits.timeout_seconds = seconds;
  st->rt.set_limits(limits);
  st->io = std::make_unique<CallbackIO>(output == Py_None ? nullptr : output, input == Py_None ? nullptr : input,
                                        *st->pending, *st->cause);
  st->rt.set_io(st->io.get());
  return 0;
}

int runtime_traverse(PyObject* op, visitproc visit, void* arg) {
  State* st = as_runtime(op)->st;
  Py_VISIT(Py_TYPE(op));
  if (st == nullptr) return 0;
  Py_VISIT(st->natives);
  for (const auto& made : st->made_natives) Py_VISIT(made.second);
  if (st->io) {
    Py_VISIT(st->io->output());
    Py_VISIT(st->io->input());
  }
  if (int rc = st->pending->traverse(visit, arg)) return rc;
  return st->cause->traverse(visit, arg);
}

int runtime_clear(PyObject* op) {
  // Only garbage is cleared, and garbage runs nothing: no Entry is held.
  auto* self = as_runtime(op);
  if (self->st != nullptr && self->st->depth == 0) close_state(self);
  return 0;
}

void runtime_dealloc(PyObject* op) {
  auto* self = as_runtime(op);
  PyObject_GC_UnTrack(op);
  if (self->weakrefs != nullptr) PyObject_ClearWeakRefs(op);
  close_state(self);
  PyTypeObject* type = Py_TYPE(op);
  type->tp_free(op);
  Py_DECREF(type);
}

std::string name_arg(PyObject* name, const char* fallback) {
  std::string out = fallback;
  if (name != nullptr && name != Py_None) utf8_of(name, out);
  return out;
}

PyObject* runtime_run(PyObject* op, PyObject* args, PyObject* kwargs) {
  auto* self = as_runtime(op);
  static const char* kwlist[] = {"source", "name", nullptr};
  PyObject* source = nullptr;
  PyObject* name = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|U:run", const_cast<char**>(kwlist), &source, &name)) return nullptr;
  const std::string* program_name = nullptr;
  if (const CompiledProgram* program = compiled_program(source, &program_name)) {
    std::string filename = name != nullptr ? name_arg(name, "<script>") : *program_name;
    Entry entry(self, Use::Run);
    if (!entry.ok()) return nullptr;
    ChargeScope scope(&self->st->rt.memory());
    Outcome outcome = run_engine(self->st, [&] { return self->st->rt.run(*program, filename); });
    return finish(self, outcome, {}, filename);
  }
  if (!PyUnicode_Check(source))
    return PyErr_Format(PyExc_TypeError, "run() argument 1 must be str or Program, not %.100s", Py_TYPE(source)->tp_name);
  std::string text;
  if (!utf8_of(source, text)) return nullptr;
  std::string filename = name_arg(name, "<script>");
  Entry entry(self, Use::Run);
  if (!entry.ok()) return nullptr;
  ChargeScope scope(&self->st->rt.memory());
  Outcome outcome = run_engine(self->st, [&] { return self->st->rt.run(text, filename); });
  return finish(self, outcome, text, filename);
}

PyObject* runtime_call(PyObject* op, PyObject* const* args, Py_ssize_t nargs) {
  auto* self = as_runtime(op);
  if (nargs < 1) {
    PyErr_SetString(PyExc_TypeError, "call() needs the function's name");
    return nullptr;
  }
  // The global is read under the runtime's entry: another thread's run may be storing it.
  Entry entry(self, Use::Call);
  if (!entry.ok()) return nullptr;
  ChargeScope scope(&self->st->rt.memory());
  ValueRef callee;
  if (!resolve_callee(self, args[0], callee)) return nullptr;
  return call_entered(self, std::move(callee), args + 1, static_cast<size_t>(nargs - 1));
}

PyObject* runtime_call_method(PyObject* op, PyObject* const* args, Py_ssize_t nargs) {
  auto* self = as_runtime(op);
  if (nargs < 2 || !PyUnicode_Check(args[1])) {
    PyErr_SetString(PyExc_TypeError, "call_method() needs an object and a method name (str)");
    return nullptr;
  }
  // Held from the conversion to the call: another thread may not run or close the runtime in between.
  Entry entry(self, Use::Call);
  if (!entry.ok()) return nullptr;
  State* st = self->st;
  ChargeScope scope(&st->rt.memory());
  ValueRef method;
  {
    ValueRef receiver;
    if (!value_from_host(st, args[0], receiver)) return nullptr;
    if (receiver.kind() != ValueKind::Object) {
      PyErr_Format(PyExc_TypeError, "call_method() needs an object (a dict), not %.100s", Py_TYPE(args[0])->tp_name);
      return nullptr;
    }
    std::string name;
    if (!utf8_of(args[1], name)) return nullptr;
    method = st->rt.vm().member(receiver, name);
  }
  if (!callable_kind(method)) {
    PyErr_Format(PyExc_AttributeError, "the object has no method '%U'", args[1]);
    return nullptr;
  }
  return call_entered(self, std::move(method), args + 2, static_cast<size_t>(nargs - 2));
}

// Whether a script could write `name` (a str): a name it cannot write could never be read or called by
// one, and would hide among the names the host sees.
bool script_name(PyObject* name) {
  if (!PyUnicode_IS_ASCII(name)) return false;
  return is_identifier_name(std::string_view(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(name)),
                                             static_cast<size_t>(PyUnicode_GET_LENGTH(name))));
}

PyObject* not_a_script_name(const char* what, PyObject* name) {
  PyErr_Format(PyExc_ValueError, "%s %R is not a name a script can use: it must be an identifier that is not a keyword",
               what, name);
  return nullptr;
}

PyObject* runtime_register(PyObject* op, PyObject* args, PyObject* kwargs) {
  auto* self = as_runtime(op);
  static const char* kwlist[] = {"name", "callback", nullptr};
  PyObject* name = nullptr;
  PyObject* callback = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "UO:register", const_cast<char**>(kwlist), &name, &callback))
    return nullptr;
  if (!PyCallable_Check(callback)) {
    PyErr_Format(PyExc_TypeError, "a native must be callable, not %.100s", Py_TYPE(callback)->tp_name);
    return nullptr;
  }
  if (!script_name(name)) return not_a_script_name("the native name", name);
  std::string text;
  if (!utf8_of(name, text)) return nullptr;
  Entry entry(self, Use::Plain);
  if (!entry.ok()) return nullptr;
  State* st = self->st;
  if (PyDict_SetItem(st->natives, name, callback) != 0) return nullptr;
  std::shared_ptr<NativeCallable> native = make_python_native(callback, st->pending, &st->bridge, st->cause);
  // Released after the runtime is consistent again: dropping a callable may run its __del__.
  std::vector<std::shared_ptr<NativeCallable>> unused;
  auto& made = st->made_natives;
  for (auto it = made.begin(); it != made.end();) {
    if (it->first.use_count() == 1) {
      unused.push_back(std::move(it->first));
      it = made.erase(it);
    } else {
      ++it;
    }
  }
  made.emplace_back(native, callback);
  st->rt.add_native(text, std::move(native));
  Py_RETURN_NONE;
}

PyObject* runtime_interrupt(PyObject* op, PyObject*) {
  State* st = as_runtime(op)->st;
  if (st != nullptr) st->rt.interrupt();
  Py_RETURN_NONE;
}

// Globals: a global set to nil reads as absent, so deleting one sets it to nil.
PyObject* runtime_global_get(PyObject* op, PyObject* name) {
  auto* self = as_runtime(op);
  if (!PyUnicode_Check(name)) return PyErr_Format(PyExc_TypeError, "global names are str, not %.100s", Py_TYPE(name)->tp_name);
  if (!script_name(name)) {
    PyErr_SetObject(PyExc_KeyError, name);
    return nullptr;
  }
  std::string key;
  if (!utf8_of(name, key)) return nullptr;
  Entry entry(self, Use::Read);
  if (!entry.ok()) return nullptr;
  ChargeScope scope(&self->st->rt.memory());
  ValueRef v = self->st->rt.global(key);
  if (v.is_nil()) {
    PyErr_SetObject(PyExc_KeyError, name);
    return nullptr;
  }
  return to_python(v, nullptr, &self->st->bridge);
}

PyObject* runtime_global_set(PyObject* op, PyObject* const* args, Py_ssize_t nargs) {
  auto* self = as_runtime(op);
  if (nargs != 2 || !PyUnicode_Check(args[0])) {
    PyErr_SetString(PyExc_TypeError, "global names are str");
    return nullptr;
  }
  if (!script_name(args[0])) return not_a_script_name("the global name", args[0]);
  std::string key;
  if (!utf8_of(args[0], key)) return nullptr;
  Entry entry(self, Use::Plain);
  if (!entry.ok()) return nullptr;
  State* st = self->st;
  ChargeScope scope(&st->rt.memory());
  ValueRef v;
  if (args[1] != nullptr) {
    if (!value_from_host(st, args[1], v)) return nullptr;
  } else if (st->rt.global(key).is_nil()) {
    PyErr_SetObject(PyExc_KeyError, args[0]);
    return nullptr;
  }
  st->rt.set_global(key, std::move(v));
  Py_RETURN_NONE;
}

PyObject* runtime_global_del(PyObject* op, PyObject* name) {
  PyObject* args[2] = {name, nullptr};
  return runtime_global_set(op, args, 2);
}

PyObject* runtime_global_names(PyObject* op, PyObject*) {
  auto* self = as_runtime(op);
  Entry entry(self, Use::Read);
  if (!entry.ok()) return nullptr;
  State* st = self->st;
  PyObject* out = PyList_New(0);
  if (out == nullptr) return nullptr;
  const auto& builtins = builtin_names();
  ChargeScope scope(&st->rt.memory());
  for (const std::string& name : st->rt.global_names()) {
    // The builtins, the host's own natives and the functions behind methods ("Class.method") are not the
    // script's globals.
    if (name.find('.') != std::string::npos) continue;
    ValueRef v = st->rt.global(name);
    if ((v.kind() == ValueKind::Function || v.kind() == ValueKind::NativeFn) && v.function_name() == name &&
        (v.kind() == ValueKind::NativeFn || std::find(builtins.begin(), builtins.end(), name) != builtins.end()))
      continue;
    PyObject* s = text_to_python(name);
    if (s == nullptr || PyList_Append(out, s) != 0) {
      Py_XDECREF(s);
      Py_DECREF(out);
      return nullptr;
    }
    Py_DECREF(s);
  }
  return out;
}

PyObject* runtime_memory_used(PyObject* op, void*) {
  State* st = as_runtime(op)->st;
  if (st == nullptr) return PyLong_FromLong(0);
  return PyLong_FromLongLong(std::max<int64_t>(st->rt.memory().current(), 0));
}

// The most source text a run may be given, in bytes, and whether max_memory is what sets it (otherwise the
// engine's largest string does): run_file reads no further.
PyObject* runtime_source_limit(PyObject* op, void*) {
  State* st = as_runtime(op)->st;
  const uint64_t largest = current_limits().max_value_bytes;
  const uint64_t memory = st != nullptr ? st->rt.limits().max_memory : 0;
  const bool by_memory = memory != 0 && memory < largest;
  return Py_BuildValue("(KO)", static_cast<unsigned long long>(by_memory ? memory : largest),
                       by_memory ? Py_True : Py_False);
}

PyObject* runtime_natives(PyObject* op, void*) {
  State* st = as_runtime(op)->st;
  if (st == nullptr) return PyDict_New();
  return PyDict_Copy(st->natives);
}

PyObject* runtime_close(PyObject* op, PyObject*) {
  auto* self = as_runtime(op);
  {
    Entry entry(self, Use::Run);
    if (!entry.ok()) {
      if (self->st == nullptr) PyErr_Clear();
      else return nullptr;
    }
  }
  close_state(self);
  Py_RETURN_NONE;
}

PyMethodDef kRuntimeMethods[] = {
    {"run", guarded_method<runtime_run>(), METH_VARARGS | METH_KEYWORDS,
     "run($self, source, name='<script>')\n--\n\nCompile and run source (or run a Program) in this runtime; return "
     "its result."},
    {"call", guarded_method<runtime_call>(), METH_FASTCALL,
     "call($self, name, /, *args)\n--\n\nCall the script function `name` (or a function of this runtime)."},
    {"call_method", guarded_method<runtime_call_method>(), METH_FASTCALL,
     "call_method($self, obj, name, /, *args)\n--\n\nCall the method `name` of a script object (a dict)."},
    {"register", guarded_method<runtime_register>(), METH_VARARGS | METH_KEYWORDS,
     "register($self, name, callback)\n--\n\nMake a Python callable a native function of this runtime."},
    {"interrupt", guarded_method<runtime_interrupt>(), METH_NOARGS,
     "interrupt($self)\n--\n\nStop the run in progress (from any thread or a signal handler)."},
    {"close", guarded_method<runtime_close>(), METH_NOARGS,
     "close($self)\n--\n\nRelease the runtime's engine now; later use raises RuntimeError."},
    {"_global_get", guarded_method<runtime_global_get>(), METH_O, nullptr},
    {"_global_set", guarded_method<runtime_global_set>(), METH_FASTCALL, nullptr},
    {"_global_del", guarded_method<runtime_global_del>(), METH_O, nullptr},
    {"_global_names", guarded_method<runtime_global_names>(), METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kRuntimeGetSet[] = {
    {"memory_used", guarded_getter<runtime_memory_used>(), nullptr,
     "Bytes of live values charged to this runtime.", nullptr},
    {"natives", guarded_getter<runtime_natives>(), nullptr, "The natives registered, by name (a copy).",
     nullptr},
    {"_source_limit", guarded_getter<runtime_source_limit>(), nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef kRuntimeMembers[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(RuntimeObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// --- The function type ---------------------------------------------------------------------------------

void function_dealloc(PyObject* op) {
  auto* f = reinterpret_cast<FunctionObject*>(op);
  PyObject_GC_UnTrack(op);
  if (f->value != nullptr) {
    State* st = f->runtime != nullptr ? f->runtime->st : nullptr;
    ChargeScope scope(st != nullptr ? &st->rt.memory() : nullptr);
    delete f->value;
  }
  Py_XDECREF(reinterpret_cast<PyObject*>(f->runtime));
  PyTypeObject* type = Py_TYPE(op);
  PyObject_GC_Del(op);
  Py_DECREF(type);
}

int function_traverse(PyObject* op, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(op));
  Py_VISIT(reinterpret_cast<PyObject*>(reinterpret_cast<FunctionObject*>(op)->runtime));
  return 0;
}

int function_clear(PyObject* op) {
  auto* f = reinterpret_cast<FunctionObject*>(op);
  PyObject* rt = reinterpret_cast<PyObject*>(f->runtime);
  if (f->value != nullptr) {
    State* st = f->runtime != nullptr ? f->runtime->st : nullptr;
    ChargeScope scope(st != nullptr ? &st->rt.memory() : nullptr);
    delete f->value;
    f->value = nullptr;
  }
  f->runtime = nullptr;
  Py_XDECREF(rt);
  return 0;
}

PyObject* function_repr(PyObject* op) {
  auto* f = reinterpret_cast<FunctionObject*>(op);
  if (f->value == nullptr) return PyUnicode_FromString("<tarnwick function (released)>");
  const ValueRef& v = *f->value;
  const char* kind = v.kind() == ValueKind::Method ? "method" : v.kind() == ValueKind::NativeFn ? "native" : "function";
  PyObject* name = text_to_python(v.function_name());
  if (name == nullptr) return nullptr;
  PyObject* r = PyUnicode_FromFormat("<tarnwick %s %U>", kind, name);
  Py_DECREF(name);
  return r;
}

PyObject* function_name(PyObject* op, void*) {
  auto* f = reinterpret_cast<FunctionObject*>(op);
  if (f->value == nullptr) Py_RETURN_NONE;
  return text_to_python(f->value->function_name());
}

PyObject* function_runtime(PyObject* op, void*) {
  auto* f = reinterpret_cast<FunctionObject*>(op);
  if (f->runtime == nullptr) Py_RETURN_NONE;
  return Py_NewRef(reinterpret_cast<PyObject*>(f->runtime));
}

PyGetSetDef kFunctionGetSet[] = {
    {"__name__", guarded_getter<function_name>(), nullptr, "The script function's name.", nullptr},
    {"runtime", guarded_getter<function_runtime>(), nullptr, "The Runtime it runs in.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef kFunctionMembers[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot kRuntimeSlots[] = {
    {Py_tp_doc, const_cast<char*>("The engine state of one host (see tarnwick.Runtime).")},
    {Py_tp_new, guarded_slot<runtime_new>()},
    {Py_tp_init, guarded_slot<runtime_init>()},
    {Py_tp_dealloc, reinterpret_cast<void*>(&runtime_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(&runtime_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(&runtime_clear)},
    {Py_tp_methods, kRuntimeMethods},
    {Py_tp_getset, kRuntimeGetSet},
    {Py_tp_members, kRuntimeMembers},
    {0, nullptr},
};
PyType_Spec kRuntimeSpec = {"tarnwick._native.Runtime", sizeof(RuntimeObject), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, kRuntimeSlots};

PyType_Slot kFunctionSlots[] = {
    {Py_tp_doc, const_cast<char*>("A script function of a Runtime; calling it runs it there.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(&function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(&function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(&function_clear)},
    {Py_tp_call, reinterpret_cast<void*>(&PyVectorcall_Call)},
    {Py_tp_repr, guarded_slot<function_repr>()},
    {Py_tp_getset, kFunctionGetSet},
    {Py_tp_members, kFunctionMembers},
    {0, nullptr},
};
PyType_Spec kFunctionSpec = {"tarnwick._native.ScriptFunction", sizeof(FunctionObject), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL, kFunctionSlots};

// The source text of a `source` argument, or false with TypeError set.
bool source_argument(PyObject* source, std::string& out) {
  if (!PyUnicode_Check(source)) {
    argument_type_error("source", source, "PyString");
    return false;
  }
  return utf8_of(source, out);
}

PyObject* module_syntax_tree(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"source", nullptr};
  PyObject* source = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:syntax_tree", const_cast<char**>(kwlist), &source)) return nullptr;
  std::string text;
  if (!source_argument(source, text)) return nullptr;
  return positioned_syntax_tree(text);
}

PyObject* module_disassemble(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"source", "optimized", nullptr};
  PyObject* source = nullptr;
  int optimized = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|p:disassemble", const_cast<char**>(kwlist), &source, &optimized))
    return nullptr;
  std::string text;
  if (!source_argument(source, text)) return nullptr;
  auto compiled = compile_source(text);
  if (!compiled.ok()) {
    const SourceError& e = compiled.error();
    std::string message = e.kind == SourceError::Kind::Lex     ? "Lex error: " + e.message
                          : e.kind == SourceError::Kind::Parse ? "Parse error: " + e.message
                                                               : "Compile error: Line " + std::to_string(e.line) + ": " + e.message;
    return raise_placed_syntax_error(message, e.line, e.column, text, "<string>");
  }
  BytecodeProgram& program = compiled.value();
  if (optimized) {
    // What a run loads: the main program after the rewrites that cannot change a result.
    OptimizeResult done = optimize_main(program.code, program.lines);
    program.code = std::move(done.code);
  }
  return text_to_python(disassemble(program));
}

PyMethodDef kModuleFunctions[] = {
    {"syntax_tree", guarded_method<module_syntax_tree>(), METH_VARARGS | METH_KEYWORDS,
     "syntax_tree(source)\n--\n\nThe syntax tree of parse_tokens(lex(source)), each expression with its \"line\" "
     "and \"column\", each statement with its \"line\"."},
    {"disassemble", guarded_method<module_disassemble>(), METH_VARARGS | METH_KEYWORDS,
     "disassemble(source, optimized=False)\n--\n\nA listing of the compiled code of source: the main program and "
     "every function, each instruction with its decoded operand and source position. With optimized, the "
     "main program as a run loads it."},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "tarnwick._native", "The engine behind tarnwick.Runtime.", 0,
                       kModuleFunctions, nullptr, nullptr, nullptr, nullptr};

bool load_errors() {
  PyObject* errors = PyImport_ImportModule("tarnwick.errors");
  if (errors == nullptr) return false;
  struct {
    const char* name;
    PyObject** slot;
  } wanted[] = {{"ScriptError", &g_errors.script_error},       {"ScriptSyntaxError", &g_errors.syntax_error},
                {"Interrupted", &g_errors.interrupted},        {"InstructionLimitExceeded", &g_errors.instruction_limit},
                {"TimeLimitExceeded", &g_errors.time_limit},   {"MemoryLimitExceeded", &g_errors.memory_limit}};
  bool ok = true;
  for (auto& w : wanted) {
    PyObject* cls = PyObject_GetAttrString(errors, w.name);
    if (cls == nullptr) {
      ok = false;
      break;
    }
    Py_XSETREF(*w.slot, cls);
  }
  Py_DECREF(errors);
  return ok;
}

PyObject* g_native_module = nullptr;

bool fill(PyObject* module) {
  if (!load_errors()) return false;
  PyObject* threading = PyImport_ImportModule("threading");
  PyObject* main = threading != nullptr ? PyObject_CallMethod(threading, "main_thread", nullptr) : nullptr;
  PyObject* ident = main != nullptr ? PyObject_GetAttrString(main, "ident") : nullptr;
  Py_XDECREF(threading);
  Py_XDECREF(main);
  if (ident == nullptr) return false;
  g_main_thread = PyLong_AsUnsignedLong(ident);
  Py_DECREF(ident);
  if (PyErr_Occurred()) return false;
  auto add_type = [module](PyType_Spec* type_def, PyTypeObject*& slot) {
    PyObject* type = PyType_FromSpec(type_def);
    if (type == nullptr) return false;
    Py_XSETREF(slot, reinterpret_cast<PyTypeObject*>(Py_NewRef(type)));
    int rc = PyModule_AddObjectRef(module, strrchr(type_def->name, '.') + 1, type);
    Py_DECREF(type);
    return rc == 0;
  };
  return add_type(&kRuntimeSpec, g_runtime_type) && add_type(&kFunctionSpec, g_function_type) &&
         add_program_type(module);
}

}  // namespace

PyObject* raise_source_error(const Failure& failure, std::string_view source, const std::string& filename) {
  return raise_syntax(failure, source, filename);
}

}  // namespace tarnwick::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__native() {
  using namespace tarnwick::py;
  return init_module_once(kModule, g_native_module, fill);
}
