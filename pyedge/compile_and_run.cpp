// The one-shot pipeline (compile_and_run) and the native-binding registry's Python functions.
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "pyedge/api.h"
#include "pyedge/registry.h"
#include "parser/runtime.h"
#include "pyedge/convert.h"

namespace tarnwick::py {

namespace {

PyObject* raise_syntax_error(const Failure& failure, std::string_view source) {
  return raise_placed_syntax_error(failure.text(), failure.line, failure.column, source, "<string>");
}

// Runs source with the registry's current bindings. Returns the result text, or nullptr with the Python
// exception set: SyntaxError for source that does not compile, or whatever interrupted the run.
PyObject* run_source(std::string_view source) {
  auto pending = std::make_shared<PendingException>();
  std::optional<Outcome> outcome;
  {
    // The snapshot is taken under the registry lock; the natives are built from it after the lock is
    // dropped, so nothing below can contend with a callback that changes the registry mid-run.
    std::vector<NamedNative> natives;
    for (BindingRef& binding : registry_snapshot()) {
      natives.push_back(NamedNative{binding.name, make_python_native(binding.callback, pending)});
      Py_DECREF(binding.callback);
    }
    SignalPoll poll(*pending);
    StdioIO io(*pending);
    outcome.emplace(run_once(source, natives, &SignalPoll::poll, &poll, &io));
    // Leaving this scope destroys the natives, which may release the last reference to a callback and so
    // run its __del__: no exception may be set yet.
  }
  if (pending->has()) {
    pending->restore();
    return nullptr;
  }
  if (outcome->ok()) return text_to_python(to_display(outcome->value()));
  const Failure& failure = outcome->error();
  if (failure.is_source_error()) return raise_syntax_error(failure, source);
  return text_to_python(failure.text());
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
  return run_source(text);
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
  // A name with lone surrogates has no text of its own in the registry: it would replace the binding of
  // every other such name that differs only in its surrogates.
  if (PyUnicode_AsUTF8AndSize(name, nullptr) == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return nullptr;
    PyErr_Clear();
    PyErr_Format(PyExc_ValueError, "the binding name %R is not valid text (it holds lone surrogates)", name);
    return nullptr;
  }
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
