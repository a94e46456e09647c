// The initialisation rule every module of the shared object follows: one module object per process,
// owned by the main interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tarnwick::py {

// The engine's process-wide state (the native-binding registry, the shared values) belongs to one
// interpreter, and the native call bridge takes the interpreter lock through the GIL-state API, which only
// knows the main interpreter: a native called from a sub-interpreter's thread would wait on it for ever.
// So every other interpreter's import is refused.
//
// `def` must have m_size >= 0. With -1, CPython initialises the module once, keeps a copy of its
// dictionary and hands that copy to every later import (another interpreter's included) without calling
// the entry again; with 0 it calls the entry on every import that does not find the name in sys.modules,
// and this function decides. `fill` adds the module's contents and returns false with a Python error set.
inline PyObject* init_module_once(PyModuleDef& def, PyObject*& module, bool (*fill)(PyObject* module)) {
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    PyErr_Format(PyExc_ImportError, "%s cannot be initialised in a sub-interpreter", def.m_name);
    return nullptr;
  }
  if (module != nullptr) return Py_NewRef(module);
  PyObject* created = PyModule_Create(&def);
  if (created == nullptr) return nullptr;
  if (!fill(created)) {
    Py_DECREF(created);
    return nullptr;
  }
  module = Py_NewRef(created);
  return created;
}

// Adds `value` to the module under `name`; always consumes `value` (PyModule_AddObject steals only on
// success). False with a Python error set when `value` is nullptr or the add fails.
inline bool add_to_module(PyObject* module, const char* name, PyObject* value) {
  if (value == nullptr) return false;
  const int rc = PyModule_AddObjectRef(module, name, value);
  Py_DECREF(value);
  return rc == 0;
}

}  // namespace tarnwick::py
