// Module initialisation of tarnwick_parser.
#include "parser/py_api.h"

namespace {

using namespace tarnwick;

PyMethodDef kMethods[] = {
    {"lex", py::guarded_method<py::lex>(), METH_VARARGS | METH_KEYWORDS,
     "lex(source)\n--\n\n"},
    {"parse_tokens", py::guarded_method<py::parse_tokens>(),
     METH_VARARGS | METH_KEYWORDS, "parse_tokens(py_tokens)\n--\n\nMain parsing function"},
    {"compile", py::guarded_method<py::compile>(),
     METH_VARARGS | METH_KEYWORDS, "compile(source)\n--\n\n"},
    {"compile_and_run", py::guarded_method<py::compile_and_run>(),
     METH_VARARGS | METH_KEYWORDS,
     "compile_and_run(source)\n--\n\nCompile and execute Tarnwick source in one shot, inside this module."},
    {"set_native_binding", py::guarded_method<py::set_native_binding>(),
     METH_VARARGS | METH_KEYWORDS,
     "set_native_binding(name, callback)\n--\n\nRegister a Python callable as a native Tarnwick function.\n"
     "These are checked before user-defined functions and builtins."},
    {"clear_native_bindings", py::guarded_method<py::clear_native_bindings>(), METH_NOARGS,
     "clear_native_bindings()\n--\n\nClear all registered native bindings."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "tarnwick_parser", nullptr, -1, nullptr,
                       nullptr, nullptr, nullptr, nullptr};

PyObject* g_module = nullptr;
PyInterpreterState* g_interp = nullptr;

// PyModule_AddObject steals only on success; this helper always consumes `value`.
bool add(PyObject* module, const char* name, PyObject* value) {
  if (value == nullptr) return false;
  int rc = PyModule_AddObjectRef(module, name, value);
  Py_DECREF(value);
  return rc == 0;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_tarnwick_parser() {
  if (g_module != nullptr) {
    if (PyInterpreterState_Get() != g_interp) {
      PyErr_SetString(PyExc_ImportError, "tarnwick_parser cannot be initialised in a sub-interpreter");
      return nullptr;
    }
    return Py_NewRef(g_module);
  }
  PyObject* module = PyModule_Create(&kModule);
  if (module == nullptr) return nullptr;
  if (!add(module, "PyParser", py::pyparser_type())) {
    Py_DECREF(module);
    return nullptr;
  }
  if (PyModule_AddFunctions(module, kMethods) != 0) {
    Py_DECREF(module);
    return nullptr;
  }
  g_module = Py_NewRef(module);
  g_interp = PyInterpreterState_Get();
  return module;
}
