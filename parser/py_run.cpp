// Placeholder until this entry point is implemented.
#include "parser/py_api.h"

namespace tarnwick::py {

PyObject* compile_and_run(PyObject*, PyObject*, PyObject*) { PyErr_SetString(PyExc_NotImplementedError, "compile_and_run"); return nullptr; }
PyObject* set_native_binding(PyObject*, PyObject*, PyObject*) { PyErr_SetString(PyExc_NotImplementedError, "set_native_binding"); return nullptr; }
PyObject* clear_native_bindings(PyObject*, PyObject*) { PyErr_SetString(PyExc_NotImplementedError, "clear_native_bindings"); return nullptr; }

}  // namespace tarnwick::py
