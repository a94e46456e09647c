// compile(source): the main program's opcode bytes and serialised constant table as two lists of ints.
#include <string>
#include <string_view>
#include <vector>

#include "parser/compiler.h"
#include "pyedge/api.h"
#include "pyedge/convert.h"

namespace tarnwick::py {

namespace {

PyObject* int_list(const std::vector<uint8_t>& bytes) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(bytes.size()));
  if (list == nullptr) return nullptr;
  for (size_t i = 0; i < bytes.size(); ++i) {
    PyObject* item = PyLong_FromLong(bytes[i]);
    if (item == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

PyObject* raise_syntax_error(const SourceError& error, std::string_view source) {
  std::string message = error.message;
  // Lex and parse texts already say where they happened; a compile error gets its line in front.
  if (error.kind == SourceError::Kind::Compile && error.line != 0) {
    message = "Line " + std::to_string(error.line) + ": " + message;
  }
  return raise_placed_syntax_error(message, error.line, error.column, source, "<string>");
}

PyObject* message_str(PyObject* self, PyObject*) {
  PyObject* msg = PyObject_GetAttrString(self, "msg");
  if (msg == nullptr) return nullptr;
  PyObject* text = PyObject_Str(msg);
  Py_DECREF(msg);
  return text;
}

PyMethodDef kMessageStr = {"__str__", message_str, METH_NOARGS, nullptr};

// SyntaxError whose str() is its message alone, whatever position it carries. Shown as SyntaxError in
// tracebacks; made once per process (the modules refuse sub-interpreters).
PyObject* placed_syntax_error_type() {
  static PyObject* type = nullptr;
  if (type != nullptr) return type;
  PyObject* made = PyErr_NewExceptionWithDoc("builtins.SyntaxError", "Invalid syntax.", PyExc_SyntaxError, nullptr);
  if (made == nullptr) return nullptr;
  PyObject* method = PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(made), &kMessageStr);
  if (method == nullptr || PyObject_SetAttrString(made, "__str__", method) != 0) {
    Py_XDECREF(method);
    Py_DECREF(made);
    return nullptr;
  }
  Py_DECREF(method);
  type = made;
  return type;
}

}  // namespace

PyObject* raise_placed_syntax_error(const std::string& message, uint64_t line, uint64_t column,
                                    std::string_view source, const char* filename) {
  PyObject* type = placed_syntax_error_type();
  if (type == nullptr) return nullptr;
  PyObject* text = source_line_to_python(source, line);
  if (text == nullptr) return nullptr;
  PyObject* lineno = line != 0 ? PyLong_FromUnsignedLongLong(line) : Py_NewRef(Py_None);
  PyObject* offset = column != 0 ? PyLong_FromUnsignedLongLong(column) : Py_NewRef(Py_None);
  PyObject* msg = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  PyObject* exc = nullptr;
  if (lineno != nullptr && offset != nullptr && msg != nullptr) {
    exc = PyObject_CallFunction(type, "N(sNNN)", msg, filename, lineno, offset, text);
  } else {
    Py_XDECREF(msg);
    Py_XDECREF(lineno);
    Py_XDECREF(offset);
    Py_DECREF(text);
  }
  if (exc == nullptr) return nullptr;
  PyErr_SetObject(type, exc);
  Py_DECREF(exc);
  return nullptr;
}

PyObject* compile(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kKeywords[] = {"source", nullptr};
  PyObject* source = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:compile", const_cast<char**>(kKeywords), &source)) {
    return nullptr;
  }
  if (!PyUnicode_Check(source)) return argument_type_error("source", source, "PyString");
  Utf8Text text(source);
  if (!text.ok()) return nullptr;

  auto compiled = compile_source(text.text());
  if (!compiled) return raise_syntax_error(compiled.error(), text.text());

  PyObject* opcodes = int_list(encode_compile_opcodes(compiled->code));
  if (opcodes == nullptr) return nullptr;
  PyObject* constants = int_list(serialize_constants(compiled->constants));
  if (constants == nullptr) {
    Py_DECREF(opcodes);
    return nullptr;
  }
  PyObject* result = PyTuple_New(2);
  if (result == nullptr) {
    Py_DECREF(opcodes);
    Py_DECREF(constants);
    return nullptr;
  }
  PyTuple_SET_ITEM(result, 0, opcodes);
  PyTuple_SET_ITEM(result, 1, constants);
  return result;
}

}  // namespace tarnwick::py
