// The Python-visible entry points of both modules. Each lives in its own py_*.cpp file; lib.cpp of each
// module registers them in their fixed order. This header is the Python edge only: the core never
// includes it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <vector>

#include "parser/token.h"

namespace tarnwick::py {

// tarnwick_parser
PyObject* lex(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* parse_tokens(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* compile(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* compile_and_run(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* set_native_binding(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* clear_native_bindings(PyObject* self, PyObject* unused);
// Returns the ready PyParser type (a new reference), or nullptr with an exception set.
PyObject* pyparser_type();

// Converts token dictionaries into tokens; false with a Python exception set on failure.
bool tokens_from_dicts(PyObject* py_tokens, std::vector<Token>& out);

// tarnwick_vm_engine
PyObject* vm_engine_type();  // the ready VMEngine type (new reference) or nullptr
PyObject* emit_ir(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* optimize_bytecode(PyObject* self, PyObject* args, PyObject* kwargs);

// Raises TypeError "{prefix}'{type}' object cannot be converted to '{target}'" with {type} the type's
// __name__: the C-level tp_name would add the module of types such as datetime.date.
inline PyObject* conversion_type_error(const char* prefix, PyObject* obj, const char* target) {
  PyObject* type_name = PyType_GetName(Py_TYPE(obj));
  if (type_name == nullptr) return nullptr;
  PyErr_Format(PyExc_TypeError, "%s'%U' object cannot be converted to '%s'", prefix, type_name, target);
  Py_DECREF(type_name);
  return nullptr;
}

// Helper for argument errors: "argument '{name}': '{type}' object cannot be converted to '{target}'".
inline PyObject* argument_type_error(const char* name, PyObject* obj, const char* target) {
  std::string prefix = std::string("argument '") + name + "': ";
  return conversion_type_error(prefix.c_str(), obj, target);
}

}  // namespace tarnwick::py
