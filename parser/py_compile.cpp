// Placeholder until this entry point is implemented.
#include "parser/py_api.h"

namespace tarnwick::py {

PyObject* compile(PyObject*, PyObject*, PyObject*) { PyErr_SetString(PyExc_NotImplementedError, "compile"); return nullptr; }

}  // namespace tarnwick::py
