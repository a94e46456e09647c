// Conversions between runtime values and Python objects, the bridge through which scripts call Python
// callables, and the poll hook that lets a signal or another thread stop a long run.
#include "pyedge/convert.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <ctime>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "pyedge/api.h"
#include "vm_engine/limits.h"
#include "vm_engine/pool.h"

namespace tarnwick::py {

namespace {

constexpr const char kNativeErrorPrefix[] = "Native error: ";
constexpr const char kStrFailed[] = "<exception str() failed>";
constexpr const char kNoException[] = "attempted to fetch exception but none was set";
// Never shown: a run stopped by an interrupt re-raises the parked exception instead of returning text.
constexpr const char kInterrupted[] = "Interrupted";
constexpr const char kWriteFailedText[] = "cannot write to standard output: ";

bool is_numpy_bool(PyObject* obj) {
  const char* name = Py_TYPE(obj)->tp_name;
  return std::strcmp(name, "numpy.bool_") == 0 || std::strcmp(name, "numpy.bool") == 0;
}

}  // namespace

bool utf8_of(PyObject* str, std::string& out) {
  Utf8Text text(str);
  if (!text.ok()) return false;
  out.assign(text.text());
  return true;
}

void discard_python_error() {
  if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) {
    PyErr_Clear();
    PyErr_SetInterrupt();
    return;
  }
  PyErr_Clear();
}

PyObject* text_to_python(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

PyObject* source_line_to_python(std::string_view source, uint64_t line) {
  if (line == 0) Py_RETURN_NONE;
  size_t start = 0;
  for (uint64_t n = 1; n < line; ++n) {
    size_t nl = source.find('\n', start);
    if (nl == std::string_view::npos) Py_RETURN_NONE;
    start = nl + 1;
  }
  size_t end = source.find('\n', start);
  return text_to_python(source.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
}

namespace {

// Converting a large value can take a while without running any Python code, so signals are checked
// every this many converted elements.
constexpr uint32_t kSignalCheckInterval = 1u << 16;

// Stops a conversion when an interrupt arrives, if the caller can carry it out of the run (`sink`);
// without a sink, conversions never stop and only re-arm a swallowed KeyboardInterrupt.
class InterruptCheck {
 public:
  explicit InterruptCheck(PendingException* sink) : sink_(sink) {}

  // After a protocol call of the object failed: drops the error, unless it is an interrupt to carry out,
  // which is parked in the sink. False when the conversion has to stop.
  bool drop_error() {
    if (sink_ != nullptr && is_control_flow_exception()) {
      sink_->take_current();
      return false;
    }
    discard_python_error();
    return true;
  }

  // Once per element: now and then runs pending signal handlers. False when one raised (the exception
  // is parked in the sink).
  bool tick() {
    if (sink_ == nullptr || --countdown_ != 0) return true;
    countdown_ = kSignalCheckInterval;
    if (PyErr_CheckSignals() == 0) return true;
    sink_->take_current();
    return false;
  }

 private:
  PendingException* sink_;
  uint32_t countdown_ = kSignalCheckInterval;
};

class FromPython {
 public:
  FromPython(PendingException* sink, Bridge* bridge) : check_(sink), bridge_(bridge) {}
  ~FromPython() {
    for (auto& entry : done_) Py_DECREF(entry.first);
  }
  ValueRef convert(PyObject* root);
  // A dict key that is not a str, or an object that no rule could convert (Runtime rules): the exception
  // is set and the result is meaningless.
  bool failed_hard() const { return hard_error_; }

 private:
  struct Frame {
    PyObject* source;  // the sequence or dict being converted (owned)
    PyObject* items;   // owned, from PySequence_Fast (a dict: a list of its values)
    PyObject* keys;    // owned list of a dict's keys; nullptr for a sequence
    Py_ssize_t next = 0;
    std::vector<ValueRef> values;
  };

  // Rules 1 to 4 (str, integer protocol, float protocol, bool). True when one of them applied.
  bool scalar(PyObject* obj, ValueRef& out);
  // Rules 6 and 7 (None, str() of anything else).
  ValueRef fallback(PyObject* obj);
  ValueRef text(PyObject* str);
  void failed() {
    if (!check_.drop_error()) stopped_ = true;
  }
  // No rule is left for `obj`, whose str() raised: by the Runtime's rules a hard error (TypeError chained
  // to the cause), otherwise dropped like any other failure.
  void last_rule_failed(PyObject* obj);
  // A str's text could not be had (out of memory): by the Runtime's rules that error stands.
  void text_failed() {
    if (bridge_ != nullptr && !is_control_flow_exception()) {
      hard_error_ = true;
      return;
    }
    failed();
  }
  bool halted() const { return stopped_ || hard_error_; }
  ValueRef abandon(PyObject* obj);
  // Asked before making storage of `bytes` for the value: false, with MemoryError set and the conversion
  // stopped, when the runtime's memory limit refuses it. Refusing here, before anything is made, keeps a
  // native that returns a huge list from taking the memory first and the run noticing later.
  bool room_for(uint64_t bytes) {
    if (bytes < 4096 || detail::account_allows(bytes)) return true;
    out_of_memory();
    return false;
  }
  void out_of_memory() {
    hard_error_ = stopped_ = true;
    PyErr_NoMemory();
  }
  // Opens a frame for a dict (Runtime rules). False when a key is not a str (hard error set) or Python
  // ran out of memory.
  bool open_dict(PyObject* obj);
  ValueRef close(Frame& frame);

  InterruptCheck check_;
  Bridge* bridge_;
  bool stopped_ = false;
  bool hard_error_ = false;
  std::vector<Frame> stack_;
  std::unordered_set<PyObject*> open_;  // containers on the current path, to cut cycles
  // Containers converted already, each holding a reference to its key so that the address stays its own.
  std::unordered_map<PyObject*, ValueRef> done_;
};

ValueRef FromPython::text(PyObject* str) {
  // Its UTF-8 text has at least as many bytes as it has characters: asked before the copy is made.
  if (!room_for(static_cast<uint64_t>(PyUnicode_GET_LENGTH(str)))) return shared_empty_string();
  std::string utf8;
  if (utf8_of(str, utf8)) {
    try {
      return ValueRef::string(std::move(utf8));
    } catch (const std::bad_alloc&) {
      out_of_memory();
      return shared_empty_string();
    }
  }
  text_failed();
  return shared_empty_string();
}

ValueRef FromPython::fallback(PyObject* obj) {
  if (obj == Py_None) return shared_nil();
  PyObject* s = PyObject_Str(obj);
  if (s == nullptr) {
    last_rule_failed(obj);
    return shared_empty_string();
  }
  ValueRef v = text(s);
  Py_DECREF(s);
  return v;
}

void FromPython::last_rule_failed(PyObject* obj) {
  // The one-shot modules promise a value for anything; a Runtime's host is told instead of being handed a
  // value that silently lost the object.
  if (bridge_ == nullptr || is_control_flow_exception()) {
    failed();
    return;
  }
  PyObject *type, *cause, *traceback;
  PyErr_Fetch(&type, &cause, &traceback);
  PyErr_NormalizeException(&type, &cause, &traceback);
  if (cause != nullptr && traceback != nullptr) PyException_SetTraceback(cause, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  PyErr_Format(PyExc_TypeError, "cannot convert %.100s to a Tarnwick value: its str() raised", Py_TYPE(obj)->tp_name);
  if (cause != nullptr) {
    PyObject *new_type, *error, *new_traceback;
    PyErr_Fetch(&new_type, &error, &new_traceback);
    PyErr_NormalizeException(&new_type, &error, &new_traceback);
    if (error != nullptr) {
      PyException_SetContext(error, Py_NewRef(cause));
      PyException_SetCause(error, Py_NewRef(cause));
    }
    PyErr_Restore(new_type, error, new_traceback);
    Py_DECREF(cause);
  }
  hard_error_ = true;
}

bool FromPython::scalar(PyObject* obj, ValueRef& out) {
  if (PyUnicode_Check(obj)) {
    out = text(obj);
    return true;
  }
  if (PyIndex_Check(obj)) {
    PyObject* index = PyNumber_Index(obj);
    if (index != nullptr) {
      int overflow = 0;
      long long v = PyLong_AsLongLongAndOverflow(index, &overflow);
      Py_DECREF(index);
      if (overflow == 0 && !(v == -1 && PyErr_Occurred())) {
        out = SmallIntPool::get(static_cast<int64_t>(v));
        return true;
      }
    }
    if (PyErr_Occurred()) failed();
    if (stopped_) return true;
  }
  if (PyFloat_Check(obj)) {
    out = ValueRef::floating(PyFloat_AS_DOUBLE(obj));
    return true;
  }
  // Only types that implement the float protocol are asked, so that ordinary objects do not pay for a
  // TypeError each.
  PyNumberMethods* num = Py_TYPE(obj)->tp_as_number;
  if (num != nullptr && (num->nb_float != nullptr || num->nb_index != nullptr)) {
    double d = PyFloat_AsDouble(obj);
    if (!(d == -1.0 && PyErr_Occurred())) {
      out = ValueRef::floating(d);
      return true;
    }
    failed();
    if (stopped_) return true;
  }
  if (PyBool_Check(obj) || is_numpy_bool(obj)) {
    int truth = PyObject_IsTrue(obj);
    if (truth >= 0) {
      out = shared_bool(truth == 1);
      return true;
    }
    failed();
    if (stopped_) return true;
  }
  return false;
}

// Releases everything held after an interrupt or a hard error; the result is never looked at.
ValueRef FromPython::abandon(PyObject* obj) {
  Py_XDECREF(obj);
  for (Frame& f : stack_) {
    Py_DECREF(f.items);
    Py_XDECREF(f.keys);
    Py_DECREF(f.source);
  }
  stack_.clear();
  return shared_nil();
}

bool FromPython::open_dict(PyObject* obj) {
  PyObject* keys = PyDict_Keys(obj);
  if (keys == nullptr) return false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys); ++i) {
    PyObject* key = PyList_GET_ITEM(keys, i);
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "a dict becomes a Tarnwick object only with str keys, not %.100s",
                   Py_TYPE(key)->tp_name);
      Py_DECREF(keys);
      return false;
    }
  }
  // An entry takes its value, its key's text and its places in the shape's index.
  constexpr uint64_t kEntryBytes = sizeof(ValueRef) + sizeof(std::string) + 2 * sizeof(uint32_t);
  if (!room_for(static_cast<uint64_t>(PyList_GET_SIZE(keys)) * kEntryBytes)) {
    Py_DECREF(keys);
    return false;
  }
  PyObject* values = PyDict_Values(obj);
  if (values == nullptr) {
    Py_DECREF(keys);
    return false;
  }
  Frame frame{obj, values, keys, 0, {}};
  frame.values.reserve(static_cast<size_t>(PyList_GET_SIZE(values)));
  open_.insert(obj);
  stack_.push_back(std::move(frame));
  return true;
}

ValueRef FromPython::close(Frame& top) {
  ValueRef done;
  if (top.keys == nullptr) {
    done = ValueRef::array(std::move(top.values));
  } else {
    std::vector<std::pair<std::string, ValueRef>> entries;
    Py_ssize_t n = std::min<Py_ssize_t>(PyList_GET_SIZE(top.keys), static_cast<Py_ssize_t>(top.values.size()));
    entries.reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      std::string key;
      if (!utf8_of(PyList_GET_ITEM(top.keys, i), key)) {
        text_failed();
        if (halted()) break;
      }
      entries.emplace_back(std::move(key), std::move(top.values[static_cast<size_t>(i)]));
    }
    done = ValueRef::object(std::move(entries));
  }
  open_.erase(top.source);
  // The reference the frame held moves to the table of converted containers.
  done_.emplace(top.source, done);
  Py_DECREF(top.items);
  Py_XDECREF(top.keys);
  return done;
}

ValueRef FromPython::convert(PyObject* root) {
  PyObject* obj = Py_NewRef(root);
  for (;;) {
    // Convert obj (an owned reference) unless it opens a new container.
    if (!check_.tick()) stopped_ = true;
    ValueRef value;
    bool have = !stopped_ && scalar(obj, value);
    if (halted()) return abandon(obj);
    if (!have) {
      auto seen = done_.find(obj);
      if (seen != done_.end()) {
        value = seen->second;
        have = true;
      } else if (bridge_ != nullptr && bridge_->unwrap_callable(obj, value)) {
        have = true;
      }
    }
    if (!have && bridge_ != nullptr && PyDict_Check(obj) && open_.count(obj) == 0) {
      if (!open_dict(obj)) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) hard_error_ = true;
        if (hard_error_ || !check_.drop_error()) return abandon(obj);
      } else {
        obj = nullptr;  // now owned by the frame
      }
    } else if (!have && PySequence_Check(obj) && open_.count(obj) == 0) {
      // A sequence met again inside itself, or one that cannot be iterated, goes on to the last rules.
      PyObject* items = PySequence_Fast(obj, "");
      if (items != nullptr && !room_for(static_cast<uint64_t>(PySequence_Fast_GET_SIZE(items)) * sizeof(ValueRef))) {
        Py_DECREF(items);
        return abandon(obj);
      }
      if (items != nullptr) {
        Frame frame{obj, items, nullptr, 0, {}};
        frame.values.reserve(static_cast<size_t>(PySequence_Fast_GET_SIZE(items)));
        open_.insert(obj);
        stack_.push_back(std::move(frame));
        obj = nullptr;  // now owned by the frame
      } else {
        failed();
        if (stopped_) return abandon(obj);
      }
    }
    if (obj != nullptr) {
      if (!have) value = fallback(obj);
      if (halted()) return abandon(obj);
      Py_DECREF(obj);
      obj = nullptr;
      if (stack_.empty()) return value;
      stack_.back().values.push_back(std::move(value));
    }
    // Find the next element to convert, closing every finished container on the way.
    for (;;) {
      Frame& top = stack_.back();
      // The size is read again each time: converting an element can run Python code that shrinks a list.
      if (top.next < PySequence_Fast_GET_SIZE(top.items)) {
        obj = PySequence_Fast_GET_ITEM(top.items, top.next);
        ++top.next;
        Py_INCREF(obj);
        break;
      }
      ValueRef done;
      try {
        done = close(top);
      } catch (const std::bad_alloc&) {
        // The frame still holds its references: abandon() releases them.
        out_of_memory();
        return abandon(nullptr);
      }
      stack_.pop_back();
      if (halted()) return abandon(nullptr);
      if (stack_.empty()) return done;
      stack_.back().values.push_back(std::move(done));
    }
  }
}

}  // namespace

namespace {

// The common scalars, and short texts, converted as the rules would without setting up a conversion.
inline bool quick_scalar(PyObject* obj, ValueRef& out) {
  if (inline_scalar_from_python(obj, out)) return true;
  if (PyUnicode_CheckExact(obj)) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (data == nullptr) {
      PyErr_Clear();  // lone surrogates: the full conversion replaces them
      return false;
    }
    if (size >= 4096) return false;  // the full conversion asks the memory limit first
    out = ValueRef::string(std::string_view(data, static_cast<size_t>(size)));
    return true;
  }
  return false;
}

}  // namespace

ValueRef from_python(PyObject* obj, PendingException* interrupt) {
  ValueRef quick;
  if (quick_scalar(obj, quick)) return quick;
  return FromPython(interrupt, nullptr).convert(obj);
}

bool from_python(PyObject* obj, Bridge& bridge, ValueRef& out, PendingException* interrupt) {
  if (quick_scalar(obj, out)) return true;
  FromPython conversion(interrupt, &bridge);
  out = conversion.convert(obj);
  if (conversion.failed_hard()) return false;
  return interrupt == nullptr || !interrupt->has();
}

namespace {

// A scalar or function-like value as a new Python object; nullptr with an exception on failure.
PyObject* leaf_to_python(const ValueRef& v, Bridge* bridge) {
  switch (v.kind()) {
    case ValueKind::Nil:
      return Py_NewRef(Py_None);
    case ValueKind::Bool:
      return PyBool_FromLong(v.as_bool() ? 1 : 0);
    case ValueKind::Int:
      return PyLong_FromLongLong(v.as_int());
    case ValueKind::Float:
      return PyFloat_FromDouble(v.as_float());
    case ValueKind::String:
      return text_to_python(v.as_string());
    default:
      if (bridge != nullptr) return bridge->wrap_callable(v);
      return text_to_python(to_text(v));
  }
}

struct OutFrame {
  const ValueRef* value;  // an Array or Object, kept alive by the root handle
  PyObject* target;       // borrowed: owned by its parent (or it is the root)
  size_t next = 0;
};

}  // namespace

PyObject* to_python(const ValueRef& root, PendingException* interrupt, Bridge* bridge) {
  InterruptCheck check(interrupt);
  auto make_container = [](const ValueRef& v) -> PyObject* {
    return v.kind() == ValueKind::Array ? PyList_New(static_cast<Py_ssize_t>(v.as_array().size())) : PyDict_New();
  };
  if (root.kind() != ValueKind::Array && root.kind() != ValueKind::Object) return leaf_to_python(root, bridge);

  PyObject* result = make_container(root);
  if (result == nullptr) return nullptr;
  // Containers held by more than one handle may appear again further on: each converts once (the result
  // tree keeps the Python object alive, so the borrowed pointers stay valid).
  std::unordered_map<const void*, PyObject*> converted;
  if (!root.unique()) converted.emplace(root.heap_identity(), result);
  std::vector<OutFrame> stack;
  stack.push_back(OutFrame{&root, result, 0});
  while (!stack.empty()) {
    OutFrame& top = stack.back();
    const bool is_array = top.value->kind() == ValueKind::Array;
    const size_t count = is_array ? top.value->as_array().size() : top.value->as_object().size();
    if (top.next == count) {
      stack.pop_back();
      continue;
    }
    if (!check.tick()) {
      Py_DECREF(result);
      return nullptr;
    }
    const size_t i = top.next++;
    const ValueRef& child = is_array ? top.value->as_array()[i] : top.value->as_object().value(i);
    bool nested = child.kind() == ValueKind::Array || child.kind() == ValueKind::Object;
    PyObject* item;
    if (nested && !child.unique()) {
      auto [it, fresh] = converted.try_emplace(child.heap_identity(), nullptr);
      if (fresh) {
        item = it->second = make_container(child);
      } else {
        item = Py_NewRef(it->second);
        nested = false;
      }
    } else {
      item = nested ? make_container(child) : leaf_to_python(child, bridge);
    }
    if (item == nullptr) {
      Py_DECREF(result);
      return nullptr;
    }
    PyObject* target = top.target;
    if (is_array) {
      PyList_SET_ITEM(target, static_cast<Py_ssize_t>(i), item);  // steals item
    } else {
      PyObject* key = text_to_python(top.value->as_object().key(i));
      int rc = key == nullptr ? -1 : PyDict_SetItem(target, key, item);
      Py_XDECREF(key);
      Py_DECREF(item);  // the dict holds its own reference now (or failed)
      if (rc != 0) {
        Py_DECREF(result);
        return nullptr;
      }
    }
    // `top` may dangle after this push; it is not used again in this round.
    if (nested) stack.push_back(OutFrame{&child, item, 0});
  }
  return result;
}

// --- Interrupts -----------------------------------------------------------------------------------------

PendingException::~PendingException() {
  Py_XDECREF(type_);
  Py_XDECREF(value_);
  Py_XDECREF(traceback_);
}

void PendingException::clear_held() {
  Py_CLEAR(type_);
  Py_CLEAR(value_);
  Py_CLEAR(traceback_);
}

void PendingException::take_current() {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type_);
  Py_XDECREF(value_);
  Py_XDECREF(traceback_);
  type_ = type;
  value_ = value;
  traceback_ = traceback;
}

void PendingException::restore() {
  PyErr_Restore(type_, value_, traceback_);
  type_ = value_ = traceback_ = nullptr;
}

bool is_control_flow_exception() {
  return PyErr_ExceptionMatches(PyExc_KeyboardInterrupt) || PyErr_ExceptionMatches(PyExc_SystemExit) ||
         PyErr_ExceptionMatches(PyExc_GeneratorExit);
}

std::optional<std::string> SignalPoll::poll(void* ctx) {
  auto* self = static_cast<SignalPoll*>(ctx);
  // Another thread waited a whole switch interval for the interpreter lock: hand it over as CPython's loop
  // does (releasing the lock then waits until the other thread has taken it).
  if (tarnwick_gil_drop_requested()) {
    PyThreadState* state = PyEval_SaveThread();
    PyEval_RestoreThread(state);
  }
  if (PyErr_CheckSignals() == 0) return std::nullopt;
  self->pending_.take_current();
  return std::string(kInterrupted);
}

SignalPoll::SignalPoll(VM& vm, PendingException& pending) noexcept : vm_(&vm), pending_(pending) {
  vm_->set_poll_hook(&SignalPoll::poll, this);
}

SignalPoll::SignalPoll(PendingException& pending) noexcept : vm_(nullptr), pending_(pending) {}

SignalPoll::~SignalPoll() {
  if (vm_ != nullptr) vm_->set_poll_hook(nullptr, nullptr);
}

// --- Standard streams --------------------------------------------------------------------------------

std::optional<std::string> StdioIO::write(std::string_view text) {
  int error = 0;
  Py_BEGIN_ALLOW_THREADS
  {
    std::lock_guard<std::mutex> lock(stdout_lock());
    errno = 0;
    bool ok = text.empty() || std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
    ok = std::fflush(stdout) == 0 && ok;
    if (!ok) {
      // Lost output is a failure of the script, not something to carry on past; the stream is made
      // usable again for whatever writes next.
      error = errno != 0 ? errno : EIO;
      std::clearerr(stdout);
    }
  }
  Py_END_ALLOW_THREADS
  if (error != 0) return std::string(kWriteFailedText) + std::strerror(error);
  return std::nullopt;
}

Result<ValueRef, std::string> StdioIO::read_line(const std::optional<std::string>& prompt) {
  if (prompt) write(*prompt);
  std::string line;
  bool too_long = false;
  bool failed = false;
  for (;;) {
    int c = EOF;
    int error = 0;
    Py_BEGIN_ALLOW_THREADS
    errno = 0;
    while ((c = std::fgetc(stdin)) != EOF) {
      if (c == '\n') break;
      if (!value_fits(line.size() + 1)) {
        too_long = true;
        break;
      }
      line.push_back(static_cast<char>(c));
    }
    const bool read_failed = c == EOF && std::ferror(stdin);
    error = read_failed ? (errno != 0 ? errno : EIO) : 0;
    if (read_failed) std::clearerr(stdin);
    Py_END_ALLOW_THREADS
    if (too_long) return make_err(std::string("Out of memory"));
    if (error != EINTR) {
      failed = error != 0;
      break;
    }
    // A signal interrupted the wait: its handler runs now; an exception from it ends the run.
    if (PyErr_CheckSignals() != 0) {
      pending_.take_current();
      return make_err(std::string(kInterrupted));
    }
  }
  // The end of input is an empty answer; only a stream that cannot be read gives none.
  if (failed) return ValueRef();
  while (!line.empty() && line.back() == '\r') line.pop_back();
  return ValueRef::string(line);
}

// --- Native call bridge -------------------------------------------------------------------------------

namespace {

// "Native error: {qualified type name}: {str}" for the pending Python exception, which is consumed.
std::string native_error_text(PyObject* type, PyObject* value) {
  std::string text = kNativeErrorPrefix;
  std::string part;
  PyObject* qualname = PyType_Check(type) ? PyType_GetQualName(reinterpret_cast<PyTypeObject*>(type)) : nullptr;
  if (qualname != nullptr && utf8_of(qualname, part)) {
    text += part;
  } else {
    if (PyErr_Occurred()) discard_python_error();
    text += PyType_Check(type) ? reinterpret_cast<PyTypeObject*>(type)->tp_name : "?";
  }
  Py_XDECREF(qualname);
  text += ": ";
  PyObject* message = value != nullptr ? PyObject_Str(value) : nullptr;
  if (message != nullptr && utf8_of(message, part)) {
    text += part;
  } else {
    if (PyErr_Occurred()) discard_python_error();
    text += kStrFailed;
  }
  Py_XDECREF(message);
  return text;
}

}  // namespace

std::string take_callback_failure(PendingException* pending, PendingException* cause) {
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, kNoException);
  if (pending != nullptr && is_control_flow_exception()) {
    pending->take_current();
    return kInterrupted;
  }
  if (cause != nullptr) {
    cause->take_current();
    return native_error_text(cause->type(), cause->value());
  }
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  std::string text = native_error_text(type, value);
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(traceback);
  return text;
}

namespace {

class PythonNative final : public NativeCallable {
 public:
  PythonNative(PyObject* callback, std::shared_ptr<PendingException> pending, Bridge* bridge,
               std::shared_ptr<PendingException> cause)
      : callback_(Py_NewRef(callback)), pending_(std::move(pending)), bridge_(bridge), cause_(std::move(cause)) {}

  ~PythonNative() override {
    PyGILState_STATE gil = PyGILState_Ensure();
    Py_DECREF(callback_);
    PyGILState_Release(gil);
  }

  Result<ValueRef, std::string> call(const std::vector<ValueRef>& args) override {
    PyGILState_STATE gil = PyGILState_Ensure();
    Result<ValueRef, std::string> result = call_locked(args);
    PyGILState_Release(gil);
    return result;
  }

 private:
  Result<ValueRef, std::string> call_locked(const std::vector<ValueRef>& args) {
    PendingException* interrupt = pending_.get();
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(args.size()));
    PyObject* returned = nullptr;
    if (tuple != nullptr) {
      bool converted = true;
      for (size_t i = 0; i < args.size(); ++i) {
        PyObject* item = to_python(args[i], interrupt, bridge_);
        if (item == nullptr) {
          converted = false;
          break;
        }
        PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), item);
      }
      if (converted) returned = PyObject_Call(callback_, tuple, nullptr);
      Py_DECREF(tuple);
    }
    if (returned != nullptr) {
      ValueRef value;
      bool ok = true;
      if (bridge_ != nullptr) {
        ok = from_python(returned, *bridge_, value, interrupt);
      } else {
        value = from_python(returned, interrupt);
      }
      Py_DECREF(returned);
      if (interrupted()) return make_err(std::string(kInterrupted));
      if (!ok) return failure();
      return value;
    }
    if (interrupted()) return make_err(std::string(kInterrupted));
    return failure();
  }

  bool interrupted() const { return pending_ != nullptr && pending_->has(); }

  Result<ValueRef, std::string> failure() { return make_err(take_callback_failure(pending_.get(), cause_.get())); }

  PyObject* callback_;
  std::shared_ptr<PendingException> pending_;
  Bridge* bridge_;
  std::shared_ptr<PendingException> cause_;
};

}  // namespace

std::shared_ptr<NativeCallable> make_python_native(PyObject* callback, std::shared_ptr<PendingException> pending,
                                                   Bridge* bridge, std::shared_ptr<PendingException> cause) {
  return std::make_shared<PythonNative>(callback, std::move(pending), bridge, std::move(cause));
}

}  // namespace tarnwick::py
