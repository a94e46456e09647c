// Placeholder until this entry point is implemented.
#include "parser/py_api.h"

namespace tarnwick::py {

PyObject* parse_tokens(PyObject*, PyObject*, PyObject*) { PyErr_SetString(PyExc_NotImplementedError, "parse_tokens"); return nullptr; }
PyObject* pyparser_type() { return Py_NewRef(Py_None); }

}  // namespace tarnwick::py
