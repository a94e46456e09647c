// tarnwick._native.Program: source compiled once, run by any runtime (pyedge/program.cpp). The Runtime type
// (pyedge/runtime.cpp) runs it and lends it the way a runtime reports a source that does not compile.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <string_view>

#include "parser/runtime.h"

namespace tarnwick::py {

// Adds the Program type to `module`; false with a Python error set.
bool add_program_type(PyObject* module);

// The compiled program and the name it was given, when `obj` is a Program (of any subclass); nullptr
// otherwise.
const CompiledProgram* compiled_program(PyObject* obj, const std::string** filename = nullptr);

// Raises ScriptSyntaxError for a source failure, with the fields Runtime.run gives it; returns nullptr.
PyObject* raise_source_error(const Failure& failure, std::string_view source, const std::string& filename);

}  // namespace tarnwick::py
