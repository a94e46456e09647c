// Placeholder until these entry points are implemented.
#include "parser/py_api.h"

namespace tarnwick::py {

PyObject* emit_ir(PyObject*, PyObject*, PyObject*) { PyErr_SetString(PyExc_NotImplementedError, "emit_ir"); return nullptr; }
PyObject* optimize_bytecode(PyObject*, PyObject*, PyObject*) { PyErr_SetString(PyExc_NotImplementedError, "optimize_bytecode"); return nullptr; }

}  // namespace tarnwick::py
