// The Python-visible entry points of both modules. Each lives in a file of this folder (the Python edge:
// the only code that includes Python.h); parser/lib.cpp and vm_engine/lib.cpp register them in their
// fixed order. Includes from here point only down, into the core; the core never includes this folder.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "parser/token.h"

namespace tarnwick::py {

// Every Python entry point is registered through Guarded<fn>::call: an exception escaping the engine (an
// allocation that fails once the host is out of memory, or has set an address-space limit) becomes
// MemoryError, or RuntimeError for anything else, instead of terminating the interpreter.
template <auto F>
struct Guarded;
template <typename R, typename... A, R (*F)(A...)>
struct Guarded<F> {
  static R call(A... args) noexcept {
    try {
      return F(args...);
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
    } catch (const std::exception& e) {
      PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
      PyErr_SetString(PyExc_RuntimeError, "internal error");
    }
    if constexpr (std::is_pointer_v<R>) {
      return nullptr;
    } else {
      return static_cast<R>(-1);
    }
  }
};

// Guarded<F>::call in the forms that method tables and type slots take.
template <auto F>
PyCFunction guarded_method() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&Guarded<F>::call));
}
template <auto F>
getter guarded_getter() {
  return &Guarded<F>::call;
}
template <auto F>
void* guarded_slot() {
  return reinterpret_cast<void*>(&Guarded<F>::call);
}

// tarnwick_parser
PyObject* lex(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* parse_tokens(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* compile(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* compile_and_run(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* set_native_binding(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* clear_native_bindings(PyObject* self, PyObject* unused);
// Returns the ready PyParser type (a new reference), or nullptr with an exception set.
PyObject* pyparser_type();

// Raises SyntaxError `message` with lineno, offset (when not 0), text (the source line, when `source` has it)
// and filename set. str() of the exception stays `message`, as for one made from the message alone; the
// class is a subclass of SyntaxError for that reason. Always returns nullptr.
PyObject* raise_placed_syntax_error(const std::string& message, uint64_t line, uint64_t column,
                                    std::string_view source, const char* filename);
// The syntax tree of parse_tokens(lex(source)) with positions: every expression dictionary also holds
// "line" and "column" of its own token, every statement dictionary its "line". Raises like compile().
PyObject* positioned_syntax_tree(std::string_view source);

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

// A Python str as UTF-8. A str holding lone surrogates has no UTF-8 form; there each surrogate becomes
// U+FFFD, one character for one, so columns and texts stay aligned with what the caller wrote.
class Utf8Text {
 public:
  explicit Utf8Text(PyObject* str) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str, &size);
    if (data != nullptr) {
      text_ = std::string_view(data, static_cast<size_t>(size));
      ok_ = true;
      return;
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return;
    PyErr_Clear();
    PyObject* bytes = PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass");
    if (bytes == nullptr) return;
    std::string_view raw(PyBytes_AS_STRING(bytes), static_cast<size_t>(PyBytes_GET_SIZE(bytes)));
    owned_.reserve(raw.size());
    for (size_t i = 0; i < raw.size(); ++i) {
      // A surrogate encodes as ED A0..BF 80..BF; nothing else valid starts with ED followed by A0 or more.
      if (static_cast<unsigned char>(raw[i]) == 0xED && i + 2 < raw.size() &&
          static_cast<unsigned char>(raw[i + 1]) >= 0xA0) {
        owned_ += "\xEF\xBF\xBD";
        i += 2;
      } else {
        owned_ += raw[i];
      }
    }
    Py_DECREF(bytes);
    text_ = owned_;
    ok_ = true;
  }
  Utf8Text(const Utf8Text&) = delete;
  Utf8Text& operator=(const Utf8Text&) = delete;

  bool ok() const { return ok_; }
  std::string_view text() const { return text_; }

 private:
  std::string owned_;
  std::string_view text_;
  bool ok_ = false;
};

// Helper for argument errors: "argument '{name}': '{type}' object cannot be converted to '{target}'".
inline PyObject* argument_type_error(const char* name, PyObject* obj, const char* target) {
  std::string prefix = std::string("argument '") + name + "': ";
  return conversion_type_error(prefix.c_str(), obj, target);
}

}  // namespace tarnwick::py
