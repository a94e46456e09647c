// The process-wide registry of Python callables that scripts run by compile_and_run can call.
//
// Locking rule: the registry mutex is only ever held for map operations and reference-count increments.
// It is never held while a script runs, and never while Python code that could re-enter runs (a
// replaced or cleared callback is released only after the mutex is dropped, since its __del__ may call
// back into the registry).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <utility>
#include <vector>

namespace tarnwick::py {

// One binding taken out of the registry: the name and a strong reference the holder must release.
struct BindingRef {
  std::string name;
  PyObject* callback = nullptr;
};

// Stores callback (a new strong reference is taken) under name. Releases the replaced object, if any,
// outside the lock. Needs the GIL.
void registry_set(std::string name, PyObject* callback);

// Empties the registry; every stored object is released outside the lock. Needs the GIL.
void registry_clear();

// A copy of the current bindings, each with its own new strong reference. Needs the GIL.
std::vector<BindingRef> registry_snapshot();

}  // namespace tarnwick::py
