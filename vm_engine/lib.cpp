// Module initialisation of tarnwick_vm_engine (the same shared object as tarnwick_parser).
#include "parser/py_api.h"

namespace {

using namespace tarnwick;

PyMethodDef kMethods[] = {
    {"emit_ir", py::guarded_method<py::emit_ir>(),
     METH_VARARGS | METH_KEYWORDS, "emit_ir(trace_name, opcodes_str)\n--\n\nEmit LLVM IR for a named trace"},
    {"optimize_bytecode", py::guarded_method<py::optimize_bytecode>(),
     METH_VARARGS | METH_KEYWORDS,
     "optimize_bytecode(bytecode)\n--\n\nOptimize Tarnwick bytecode (passed as bytes) and return optimized bytes"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "tarnwick_vm_engine", nullptr, -1, nullptr,
                       nullptr, nullptr, nullptr, nullptr};

PyObject* g_module = nullptr;
PyInterpreterState* g_interp = nullptr;

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_tarnwick_vm_engine() {
  if (g_module != nullptr) {
    if (PyInterpreterState_Get() != g_interp) {
      PyErr_SetString(PyExc_ImportError, "tarnwick_vm_engine cannot be initialised in a sub-interpreter");
      return nullptr;
    }
    return Py_NewRef(g_module);
  }
  PyObject* module = PyModule_Create(&kModule);
  if (module == nullptr) return nullptr;
  PyObject* type = py::vm_engine_type();
  if (type == nullptr || PyModule_AddObjectRef(module, "VMEngine", type) != 0) {
    Py_XDECREF(type);
    Py_DECREF(module);
    return nullptr;
  }
  Py_DECREF(type);
  if (PyModule_AddFunctions(module, kMethods) != 0) {
    Py_DECREF(module);
    return nullptr;
  }
  g_module = Py_NewRef(module);
  g_interp = PyInterpreterState_Get();
  return module;
}
