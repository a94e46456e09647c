// The one-shot pipeline (compile_and_run) and the native-binding registry's Python functions.
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "parser/compiler.h"
#include "parser/py_api.h"
#include "parser/py_registry.h"
#include "vm_engine/compiler.h"
#include "vm_engine/pyconvert.h"
#include "vm_engine/vm.h"

namespace tarnwick::py {

namespace {

constexpr const char kRuntimeErrorPrefix[] = "Runtime error: ";

PyObject* raise_syntax_error(const SourceError& error) {
  std::string text;
  switch (error.kind) {
    case SourceError::Kind::Lex:
      text = "Lex error: " + error.message;
      break;
    case SourceError::Kind::Parse:
      text = "Parse error: " + error.message;  // already the parse error's display text
      break;
    case SourceError::Kind::Compile:
      text = "Compile error: ";
      if (error.line != 0) text += "Line " + std::to_string(error.line) + ": ";
      text += error.message;
      break;
  }
  PyObject* message = text_to_python(text);
  if (message != nullptr) {
    PyErr_SetObject(PyExc_SyntaxError, message);
    Py_DECREF(message);
  }
  return nullptr;
}

// Runs a compiled program with the registry's current bindings. Returns the result text, or nullptr
// with the Python exception set when the run was interrupted.
PyObject* run_program(BytecodeProgram program) {
  OptimizeResult optimized = optimize_main(program.code, program.lines);
  auto pending = std::make_shared<PendingException>();
  std::optional<std::string> text;
  {
    VM vm(std::move(optimized.code), std::move(program.lines), std::move(program.constants),
          std::move(program.functions));
    // The snapshot is taken under the registry lock; the natives are built from it after the lock is
    // dropped, so nothing below can contend with a callback that changes the registry mid-run.
    for (BindingRef& binding : registry_snapshot()) {
      vm.add_native(binding.name, make_python_native(binding.callback, pending));
      Py_DECREF(binding.callback);
    }
    std::optional<RunResult> result;
    {
      SignalPoll poll(vm, *pending);
      result.emplace(vm.run());
    }
    if (!pending->has()) {
      text = result->ok() ? to_display(result->value()) : kRuntimeErrorPrefix + result->error();
    }
    // Leaving this scope destroys the machine and its natives, which may release the last reference to
    // a callback and so run its __del__: no exception may be set yet.
  }
  if (pending->has()) {
    pending->restore();
    return nullptr;
  }
  return text_to_python(*text);
}

}  // namespace

PyObject* compile_and_run(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"source", nullptr};
  PyObject* source = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:compile_and_run", const_cast<char**>(kwlist), &source)) {
    return nullptr;
  }
  if (!PyUnicode_Check(source)) return argument_type_error("source", source, "PyString");
  std::string text;
  if (!utf8_of(source, text)) return nullptr;
  auto compiled = compile_source(text);
  if (!compiled.ok()) return raise_syntax_error(compiled.error());
  return run_program(std::move(compiled).value());
}

PyObject* set_native_binding(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"name", "callback", nullptr};
  PyObject* name = nullptr;
  PyObject* callback = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:set_native_binding", const_cast<char**>(kwlist), &name,
                                   &callback)) {
    return nullptr;
  }
  if (!PyUnicode_Check(name)) return argument_type_error("name", name, "PyString");
  std::string text;
  if (!utf8_of(name, text)) return nullptr;
  registry_set(std::move(text), callback);
  Py_RETURN_NONE;
}

PyObject* clear_native_bindings(PyObject*, PyObject*) {
  registry_clear();
  Py_RETURN_NONE;
}

}  // namespace tarnwick::py
