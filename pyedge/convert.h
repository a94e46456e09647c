// Conversions between runtime values and Python objects, and the pieces both modules share at the
// Python edge: the error slot that carries an interrupt out of a run, the poll hook that lets a signal
// stop a long run, and the bridge through which scripts call Python callables.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "vm_engine/value.h"
#include "vm_engine/vm.h"

namespace tarnwick::py {

// UTF-8 of a str. A lone surrogate (which has no UTF-8 form) becomes U+FFFD, one character for one.
// False with a Python exception set only when out of memory.
bool utf8_of(PyObject* str, std::string& out);

// A new str from UTF-8 text; invalid sequences are replaced rather than failing.
PyObject* text_to_python(std::string_view text);
// The source line `line` (1-based) of `source` without its line break, or None when there is none.
PyObject* source_line_to_python(std::string_view source, uint64_t line);

// Drops the current Python exception. A KeyboardInterrupt is not lost: the interrupt is re-armed so that
// the next signal check (or the interpreter's own) raises it again.
void discard_python_error();

// An exception that has to leave a run as an exception rather than become result text: a
// KeyboardInterrupt raised in a native callback, or whatever a signal handler raised while the run
// polled for signals. Needs the GIL for every operation except has().
class PendingException {
 public:
  PendingException() = default;
  PendingException(const PendingException&) = delete;
  PendingException& operator=(const PendingException&) = delete;
  ~PendingException();

  // Takes the current Python exception (which must be set) into this slot, replacing any earlier one.
  void take_current();
  bool has() const noexcept { return type_ != nullptr; }
  // Drops whatever the slot holds.
  void clear() {
    if (type_ != nullptr || value_ != nullptr || traceback_ != nullptr) clear_held();
  }
  // The exception object held (borrowed, normalised by take_current), or nullptr.
  PyObject* value() const noexcept { return value_; }
  PyObject* type() const noexcept { return type_; }
  // Sets it as the current Python exception, leaving this slot empty.
  void restore();
  // Visits what the slot holds, for the garbage collector of the object that owns the slot.
  int traverse(visitproc visit, void* arg) const {
    Py_VISIT(type_);
    Py_VISIT(value_);
    Py_VISIT(traceback_);
    return 0;
  }

 private:
  void clear_held();
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* traceback_ = nullptr;
};

// What a Runtime adds to the conversions: its script functions become Python callables and come back as
// the values they stand for.
class Bridge {
 public:
  virtual ~Bridge() = default;
  // A new Python callable that calls `v` (a Function, Method or NativeFn value) in the runtime, or nullptr
  // with an exception set.
  virtual PyObject* wrap_callable(const ValueRef& v) = 0;
  // True, with `out` set, when `obj` is a callable that wrap_callable made for this runtime.
  virtual bool unwrap_callable(PyObject* obj, ValueRef& out) = 0;
};

// Python object -> value. Never fails and never leaves a Python exception set: a protocol that raises
// just moves on to the next rule; an object whose str() raises becomes the empty string; a sequence
// that cannot be iterated converts as "anything else"; a sequence met again inside itself becomes the
// str() of that sequence. Nesting depth is bounded by memory only (no native recursion).
// With `interrupt`, a long conversion checks for signals now and then, and a KeyboardInterrupt (raised
// by the object's own methods or by a signal handler) or any exception a signal handler raises stops it:
// the exception is parked in `interrupt` and the result (nil) is meaningless. Without it, a swallowed
// KeyboardInterrupt is re-armed so that the next signal check raises it again. Needs the GIL.
// A container met more than once converts once: every place that holds it gets the same value.
ValueRef from_python(PyObject* obj, PendingException* interrupt = nullptr);

// The same with a Runtime's rules on top: a dict with str keys becomes an object (keys in the dict's
// order), and a callable that `bridge` made becomes its script value. Nothing is lost silently: a dict key
// that is not a str raises TypeError, an object whose str() raises raises TypeError with that exception
// as its __cause__, and running out of memory raises MemoryError. Each gives false with the exception set
// (or parked in `interrupt` when an interrupt stopped the conversion).
bool from_python(PyObject* obj, Bridge& bridge, ValueRef& out, PendingException* interrupt = nullptr);

// An exact int (that fits), float or None, converted as from_python would: true when `obj` is one. Such a
// value is never allocated, so no memory limit can refuse it.
inline bool inline_scalar_from_python(PyObject* obj, ValueRef& out) {
  if (PyLong_CheckExact(obj)) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow != 0) return false;
    out = ValueRef::integer(static_cast<int64_t>(v));
    return true;
  }
  if (PyFloat_CheckExact(obj)) {
    out = ValueRef::floating(PyFloat_AS_DOUBLE(obj));
    return true;
  }
  if (obj == Py_None) {
    out = ValueRef();
    return true;
  }
  return false;
}

// Value -> new Python object, or nullptr: with a Python exception set when out of memory, or, with
// `interrupt`, with nothing set when a signal handler raised (the exception is parked in `interrupt`).
// No native recursion either. Needs the GIL.
// An array or object held in several places converts once: the Python side shares one list or dict.
// With `bridge`, function, method and native values become callables (bridge->wrap_callable); without
// it, their text.
PyObject* to_python(const ValueRef& value, PendingException* interrupt = nullptr, Bridge* bridge = nullptr);

// Installs a poll hook that runs pending signal handlers: when one raises, the run stops and the
// exception lands in `pending`. The hook is removed again by the destructor, so `pending` only has to
// outlive this guard. Runs with the GIL held (the run holds it but for the moments the hook lets go).
// When another Python thread has waited for the interpreter lock (a watchdog, the main thread handling
// Ctrl-C), the hook hands the lock over to it, as CPython's own loop does.
extern "C" int tarnwick_gil_drop_requested(void);

class SignalPoll {
 public:
  SignalPoll(VM& vm, PendingException& pending) noexcept;
  // Not installed anywhere: a host passes poll() and this object to a poll of its own.
  explicit SignalPoll(PendingException& pending) noexcept;
  ~SignalPoll();
  SignalPoll(const SignalPoll&) = delete;
  SignalPoll& operator=(const SignalPoll&) = delete;

  static std::optional<std::string> poll(void* self);

 private:
  VM* vm_;
  PendingException& pending_;
};

// print and input on the process's standard output and input, as the VM's own would do them, but blocking
// without the interpreter lock: other Python threads run while a script waits for a line, and a signal
// that interrupts the wait runs its handler (an exception it raises ends the run and lands in `pending`).
class StdioIO final : public HostIO {
 public:
  explicit StdioIO(PendingException& pending) noexcept : pending_(pending) {}
  std::optional<std::string> write(std::string_view text) override;
  Result<ValueRef, std::string> read_line(const std::optional<std::string>& prompt) override;

 private:
  PendingException& pending_;
};

// Exceptions that a host uses for control flow rather than errors: KeyboardInterrupt, SystemExit and
// GeneratorExit. Raised inside a run (by a native, or a signal handler), they end it and propagate.
bool is_control_flow_exception();

// Takes the current Python exception (which must be set) after a host callback failed, and gives the
// run's error text for it. A control-flow exception is parked in `pending` (the text then says only that
// the run was interrupted); any other becomes "Native error: {type}: {str}", and with `cause` it is kept
// there too, with its traceback.
std::string take_callback_failure(PendingException* pending, PendingException* cause);

// The native entry for one Python callable (a strong reference is taken). A control-flow exception (see
// above) raised by the callback ends the run and is parked in `pending`; every other exception becomes
// the error text "Native error: {type}: {str}", and with `cause`, the exception itself (with its
// traceback) is kept there for the host to chain. With `bridge`, arguments and results convert by the
// Runtime's rules.
std::shared_ptr<NativeCallable> make_python_native(PyObject* callback, std::shared_ptr<PendingException> pending,
                                                   Bridge* bridge = nullptr,
                                                   std::shared_ptr<PendingException> cause = nullptr);

}  // namespace tarnwick::py
