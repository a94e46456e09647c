// The VMEngine class: one VM per Python object, guarded by a borrow flag.
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "pyedge/api.h"
#include "vm_engine/compiler.h"
#include "pyedge/convert.h"
#include "vm_engine/vm.h"

namespace tarnwick::py {

namespace {

constexpr const char kAlreadyBorrowed[] = "Already borrowed";
constexpr const char kAlreadyMutablyBorrowed[] = "Already mutably borrowed";

struct EngineObject {
  PyObject_HEAD
  VM* vm;
  // 0: free; -1: borrowed exclusively; n > 0: n shared borrows. Only touched with the GIL held.
  int borrow;
};

EngineObject* as_engine(PyObject* self) { return reinterpret_cast<EngineObject*>(self); }

// Scoped borrows of an engine's VM. A method runs with the GIL held throughout, so the flag only
// refuses re-entrant use: a signal handler or another thread that gets the GIL while a script runs.
class Borrow {
 public:
  static std::optional<Borrow> exclusive(EngineObject* e) {
    if (e->borrow != 0) {
      PyErr_SetString(PyExc_RuntimeError, kAlreadyBorrowed);
      return std::nullopt;
    }
    e->borrow = -1;
    return Borrow(e);
  }
  static std::optional<Borrow> shared(EngineObject* e) {
    if (e->borrow < 0) {
      PyErr_SetString(PyExc_RuntimeError, kAlreadyMutablyBorrowed);
      return std::nullopt;
    }
    ++e->borrow;
    return Borrow(e);
  }
  Borrow(Borrow&& o) noexcept : e_(std::exchange(o.e_, nullptr)) {}
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  Borrow& operator=(Borrow&&) = delete;
  ~Borrow() {
    if (e_ == nullptr) return;
    if (e_->borrow < 0) {
      e_->borrow = 0;
    } else {
      --e_->borrow;
    }
  }

 private:
  explicit Borrow(EngineObject* e) : e_(e) {}
  EngineObject* e_;
};

// Builds a VM from VM-table bytes (any content is accepted). Raises TypeError for a non-bytes argument.
VM* vm_from_bytes(PyObject* bytecode) {
  if (!PyBytes_Check(bytecode)) {
    argument_type_error("bytecode", bytecode, "PyBytes");
    return nullptr;
  }
  // Copied before anything else runs, so later changes by other code cannot reach the loader.
  std::string bytes(PyBytes_AS_STRING(bytecode), static_cast<size_t>(PyBytes_GET_SIZE(bytecode)));
  LoadedProgram loaded = load_bytes(bytes);
  VM* vm = new VM(std::move(loaded.code), {}, {}, {});
  return vm;
}

PyObject* engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"bytecode", nullptr};
  PyObject* bytecode = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:VMEngine", const_cast<char**>(kwlist), &bytecode)) {
    return nullptr;
  }
  VM* vm = vm_from_bytes(bytecode);
  if (vm == nullptr) return nullptr;
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) {
    delete vm;
    return nullptr;
  }
  as_engine(self)->vm = vm;
  as_engine(self)->borrow = 0;
  return self;
}

void engine_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete as_engine(self)->vm;
  as_engine(self)->vm = nullptr;
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* engine_execute(PyObject* self, PyObject*) {
  EngineObject* e = as_engine(self);
  auto borrow = Borrow::exclusive(e);
  if (!borrow) return nullptr;
  PendingException pending;
  std::optional<RunResult> result;
  {
    SignalPoll poll(*e->vm, pending);
    StdioIO io(pending);
    e->vm->set_io(&io);
    result.emplace(e->vm->run());
    e->vm->set_io(nullptr);
  }
  if (pending.has()) {
    result.reset();
    pending.restore();
    return nullptr;
  }
  return text_to_python(result->ok() ? to_display(result->value()) : "Error: " + result->error());
}

PyObject* engine_enable_jit(PyObject* self, PyObject*) {
  EngineObject* e = as_engine(self);
  auto borrow = Borrow::exclusive(e);
  if (!borrow) return nullptr;
  e->vm->enable_jit();
  Py_RETURN_NONE;
}

PyObject* engine_collect_hot_traces_ir(PyObject* self, PyObject*) {
  EngineObject* e = as_engine(self);
  auto borrow = Borrow::shared(e);
  if (!borrow) return nullptr;
  PyObject* list = PyList_New(0);
  if (list == nullptr) return nullptr;
  const JitState* jit = e->vm->jit();
  if (jit == nullptr) return list;
  for (const auto& [name, trace] : jit->traces) {
    if (!trace.hot || !trace.ir) continue;
    PyObject* entry = PyDict_New();
    PyObject* py_name = text_to_python(trace.name);
    PyObject* py_ir = text_to_python(*trace.ir);
    bool ok = entry != nullptr && py_name != nullptr && py_ir != nullptr &&
              PyDict_SetItemString(entry, "name", py_name) == 0 && PyDict_SetItemString(entry, "ir", py_ir) == 0 &&
              PyList_Append(list, entry) == 0;
    Py_XDECREF(py_name);
    Py_XDECREF(py_ir);
    Py_XDECREF(entry);
    if (!ok) {
      Py_DECREF(list);
      return nullptr;
    }
  }
  return list;
}

PyObject* engine_reset(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"bytecode", nullptr};
  PyObject* bytecode = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:reset", const_cast<char**>(kwlist), &bytecode)) {
    return nullptr;
  }
  EngineObject* e = as_engine(self);
  auto borrow = Borrow::exclusive(e);
  if (!borrow) return nullptr;
  VM* fresh = vm_from_bytes(bytecode);
  if (fresh == nullptr) return nullptr;
  delete std::exchange(e->vm, fresh);
  Py_RETURN_NONE;
}

PyObject* engine_state(PyObject* self, PyObject*) {
  EngineObject* e = as_engine(self);
  auto borrow = Borrow::shared(e);
  if (!borrow) return nullptr;
  return text_to_python(e->vm->state_debug_text());
}

// Adds key -> value (value consumed) to dict; false with an exception set on failure.
bool put(PyObject* dict, const char* key, PyObject* value) {
  if (value == nullptr) return false;
  int rc = PyDict_SetItemString(dict, key, value);
  Py_DECREF(value);
  return rc == 0;
}

PyObject* engine_stats(PyObject* self, PyObject*) {
  EngineObject* e = as_engine(self);
  auto borrow = Borrow::shared(e);
  if (!borrow) return nullptr;
  const VM& vm = *e->vm;
  // The lookup cache's counters: nothing counts into them (the keys stay for callers), so both read 0.
  const uint64_t hits = 0;
  const uint64_t misses = 0;
  const double rate = hits + misses != 0 ? static_cast<double>(hits) / static_cast<double>(hits + misses) : 0.0;
  PyObject* dict = PyDict_New();
  if (dict == nullptr) return nullptr;
  bool ok = put(dict, "instructions_executed", PyLong_FromUnsignedLongLong(vm.instructions_executed())) &&
            put(dict, "stack_depth", PyLong_FromUnsignedLongLong(vm.stack_depth())) &&
            put(dict, "call_depth", PyLong_FromUnsignedLongLong(vm.call_depth())) &&
            put(dict, "cache_hits", PyLong_FromUnsignedLongLong(hits)) &&
            put(dict, "cache_misses", PyLong_FromUnsignedLongLong(misses)) &&
            put(dict, "cache_hit_rate", PyFloat_FromDouble(rate));
  if (ok && vm.jit() != nullptr) ok = put(dict, "jit_stats", text_to_python(vm.jit()->stats_text()));
  if (!ok) {
    Py_DECREF(dict);
    return nullptr;
  }
  return dict;
}

PyMethodDef kMethods[] = {
    {"execute", py::guarded_method<engine_execute>(), METH_NOARGS, "execute($self)\n--\n\n"},
    {"enable_jit", py::guarded_method<engine_enable_jit>(), METH_NOARGS, "enable_jit($self)\n--\n\n"},
    {"collect_hot_traces_ir", py::guarded_method<engine_collect_hot_traces_ir>(), METH_NOARGS,
     "collect_hot_traces_ir($self)\n--\n\n"},
    {"reset", py::guarded_method<engine_reset>(), METH_VARARGS | METH_KEYWORDS,
     "reset($self, bytecode)\n--\n\n"},
    {"state", py::guarded_method<engine_state>(), METH_NOARGS, "state($self)\n--\n\n"},
    {"stats", py::guarded_method<engine_stats>(), METH_NOARGS, "stats($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("VMEngine(bytecode)\n--\n\nPython wrapper for VMEngine")},
    {Py_tp_new, py::guarded_slot<engine_new>()},
    {Py_tp_dealloc, reinterpret_cast<void*>(engine_dealloc)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "tarnwick_vm_engine.VMEngine",
    sizeof(EngineObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

}  // namespace

PyObject* vm_engine_type() { return PyType_FromSpec(&kSpec); }

}  // namespace tarnwick::py
