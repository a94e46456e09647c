// compile(source): the main program's opcode bytes and serialised constant table as two lists of ints.
#include <string>
#include <string_view>
#include <vector>

#include "parser/compiler.h"
#include "pyedge/api.h"

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

PyObject* raise_syntax_error(const SourceError& error) {
  std::string message = error.message;
  // Lex and parse texts already say where they happened; a compile error gets its line in front.
  if (error.kind == SourceError::Kind::Compile && error.line != 0) {
    message = "Line " + std::to_string(error.line) + ": " + message;
  }
  PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (text == nullptr) return nullptr;
  PyErr_SetObject(PyExc_SyntaxError, text);
  Py_DECREF(text);
  return nullptr;
}

}  // namespace

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
  if (!compiled) return raise_syntax_error(compiled.error());

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
