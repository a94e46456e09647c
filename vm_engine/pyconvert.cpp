#include "vm_engine/pyconvert.h"

#include <cstring>
#include <unordered_set>
#include <utility>
#include <vector>

#include "parser/py_api.h"
#include "vm_engine/pool.h"

namespace tarnwick::py {

namespace {

constexpr const char kNativeErrorPrefix[] = "Native error: ";
constexpr const char kStrFailed[] = "<exception str() failed>";
constexpr const char kNoException[] = "attempted to fetch exception but none was set";
// Never shown: a run stopped by an interrupt re-raises the parked exception instead of returning text.
constexpr const char kInterrupted[] = "Interrupted";

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
    if (sink_ != nullptr && PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) {
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
  explicit FromPython(PendingException* sink) : check_(sink) {}
  ValueRef convert(PyObject* root);

 private:
  struct Frame {
    PyObject* source;  // the sequence being converted (owned)
    PyObject* items;   // owned, from PySequence_Fast
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
  ValueRef abandon(PyObject* obj);

  InterruptCheck check_;
  bool stopped_ = false;
  std::vector<Frame> stack_;
  std::unordered_set<PyObject*> open_;  // sequences on the current path, to cut cycles
};

ValueRef FromPython::text(PyObject* str) {
  std::string utf8;
  if (utf8_of(str, utf8)) return ValueRef::string(std::move(utf8));
  failed();
  return shared_empty_string();
}

ValueRef FromPython::fallback(PyObject* obj) {
  if (obj == Py_None) return shared_nil();
  PyObject* s = PyObject_Str(obj);
  if (s == nullptr) {
    failed();
    return shared_empty_string();
  }
  ValueRef v = text(s);
  Py_DECREF(s);
  return v;
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

// Releases everything held after an interrupt; the result is never looked at.
ValueRef FromPython::abandon(PyObject* obj) {
  Py_XDECREF(obj);
  for (Frame& f : stack_) {
    Py_DECREF(f.items);
    Py_DECREF(f.source);
  }
  stack_.clear();
  return shared_nil();
}

ValueRef FromPython::convert(PyObject* root) {
  PyObject* obj = Py_NewRef(root);
  for (;;) {
    // Convert obj (an owned reference) unless it opens a new sequence.
    if (!check_.tick()) stopped_ = true;
    ValueRef value;
    bool have = !stopped_ && scalar(obj, value);
    if (stopped_) return abandon(obj);
    if (!have && PySequence_Check(obj) && open_.count(obj) == 0) {
      // A sequence met again inside itself, or one that cannot be iterated, goes on to the last rules.
      PyObject* items = PySequence_Fast(obj, "");
      if (items != nullptr) {
        Frame frame{obj, items, 0, {}};
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
      if (stopped_) return abandon(obj);
      Py_DECREF(obj);
      obj = nullptr;
      if (stack_.empty()) return value;
      stack_.back().values.push_back(std::move(value));
    }
    // Find the next element to convert, closing every finished sequence on the way.
    for (;;) {
      Frame& top = stack_.back();
      // The size is read again each time: converting an element can run Python code that shrinks a list.
      if (top.next < PySequence_Fast_GET_SIZE(top.items)) {
        obj = PySequence_Fast_GET_ITEM(top.items, top.next);
        ++top.next;
        Py_INCREF(obj);
        break;
      }
      ValueRef done = ValueRef::array(std::move(top.values));
      open_.erase(top.source);
      Py_DECREF(top.items);
      Py_DECREF(top.source);
      stack_.pop_back();
      if (stack_.empty()) return done;
      stack_.back().values.push_back(std::move(done));
    }
  }
}

}  // namespace

ValueRef from_python(PyObject* obj, PendingException* interrupt) { return FromPython(interrupt).convert(obj); }

namespace {

// A scalar or function-like value as a new Python object; nullptr with an exception on failure.
PyObject* leaf_to_python(const ValueRef& v) {
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
      return text_to_python(to_text(v));
  }
}

struct OutFrame {
  const ValueRef* value;  // an Array or Object, kept alive by the root handle
  PyObject* target;       // borrowed: owned by its parent (or it is the root)
  size_t next = 0;
};

}  // namespace

PyObject* to_python(const ValueRef& root, PendingException* interrupt) {
  InterruptCheck check(interrupt);
  auto make_container = [](const ValueRef& v) -> PyObject* {
    return v.kind() == ValueKind::Array ? PyList_New(static_cast<Py_ssize_t>(v.as_array().size())) : PyDict_New();
  };
  if (root.kind() != ValueKind::Array && root.kind() != ValueKind::Object) return leaf_to_python(root);

  PyObject* result = make_container(root);
  if (result == nullptr) return nullptr;
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
    const bool nested = child.kind() == ValueKind::Array || child.kind() == ValueKind::Object;
    PyObject* item = nested ? make_container(child) : leaf_to_python(child);
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

void PendingException::take_current() {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
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

namespace {

std::optional<std::string> poll_signals(void* ctx) {
  if (PyErr_CheckSignals() == 0) return std::nullopt;
  static_cast<PendingException*>(ctx)->take_current();
  return std::string(kInterrupted);
}

}  // namespace

SignalPoll::SignalPoll(VM& vm, PendingException& pending) noexcept : vm_(vm) {
  vm_.set_poll_hook(&poll_signals, &pending);
}

SignalPoll::~SignalPoll() { vm_.set_poll_hook(nullptr, nullptr); }

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

class PythonNative final : public NativeCallable {
 public:
  PythonNative(PyObject* callback, std::shared_ptr<PendingException> pending)
      : callback_(Py_NewRef(callback)), pending_(std::move(pending)) {}

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
        PyObject* item = to_python(args[i], interrupt);
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
      ValueRef value = from_python(returned, interrupt);
      Py_DECREF(returned);
      if (interrupted()) return make_err(std::string(kInterrupted));
      return value;
    }
    if (interrupted()) return make_err(std::string(kInterrupted));
    return failure();
  }

  bool interrupted() const { return pending_ != nullptr && pending_->has(); }

  Result<ValueRef, std::string> failure() {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, kNoException);
    if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt) && pending_ != nullptr) {
      pending_->take_current();
      return make_err(std::string(kInterrupted));
    }
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    std::string text = native_error_text(type, value);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    return make_err(std::move(text));
  }

  PyObject* callback_;
  std::shared_ptr<PendingException> pending_;
};

}  // namespace

std::shared_ptr<NativeCallable> make_python_native(PyObject* callback, std::shared_ptr<PendingException> pending) {
  return std::make_shared<PythonNative>(callback, std::move(pending));
}

}  // namespace tarnwick::py
