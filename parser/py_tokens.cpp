// Placeholder until this entry point is implemented.
#include "parser/py_api.h"

namespace tarnwick::py {

PyObject* lex(PyObject*, PyObject*, PyObject*) { PyErr_SetString(PyExc_NotImplementedError, "lex"); return nullptr; }
bool tokens_from_dicts(PyObject*, std::vector<Token>&) { PyErr_SetString(PyExc_NotImplementedError, "tokens_from_dicts"); return false; }

}  // namespace tarnwick::py
