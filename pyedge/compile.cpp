// compile(source): the main program's opcode bytes and serialised constant table as two lists of ints.
#include <array>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "parser/compiler.h"
#include "pyedge/api.h"
#include "pyedge/convert.h"

namespace tarnwick::py {

namespace {

// The ints 0 to 255, made once and kept: the lists below share them instead of asking for each element.
PyObject* const* byte_ints() {
  static PyObject* ints[256] = {};
  if (ints[255] == nullptr) {
    for (int i = 0; i < 256; ++i) {
      if (ints[i] == nullptr && (ints[i] = PyLong_FromLong(i)) == nullptr) return nullptr;
    }
  }
  return ints;
}

// Fills a new list of `size` ints in order; fill(put) calls put(byte) exactly `size` times.
template <class Fill>
PyObject* byte_list(size_t size, Fill fill) {
  PyObject* const* ints = byte_ints();
  if (ints == nullptr) return nullptr;
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(size));
  if (list == nullptr) return nullptr;
  PyObject** items = reinterpret_cast<PyListObject*>(list)->ob_item;
  fill([&](uint8_t byte) { *items++ = Py_NewRef(ints[byte]); });
  return list;
}

PyObject* opcode_list(std::span<const Instruction> code) {
  static const auto table = [] {
    std::array<uint8_t, kOpcodeCount> t{};
    for (int i = 0; i < kOpcodeCount; ++i) t[i] = compile_byte(static_cast<Opcode>(i));
    return t;
  }();
  return byte_list(code.size(), [&](auto put) {
    for (const Instruction& in : code) {
      auto i = static_cast<uint32_t>(in.opcode);
      put(i < table.size() ? table[i] : compile_byte(in.opcode));
    }
  });
}

// The serialised constant table (tag byte, then the little-endian payload, per constant).
PyObject* constant_list(const std::vector<Constant>& constants) {
  size_t size = 0;
  for (const Constant& c : constants) {
    size += 1;
    switch (c.kind) {
      case Constant::Kind::Nil: break;
      case Constant::Kind::Bool: size += 1; break;
      case Constant::Kind::Int:
      case Constant::Kind::Float: size += 8; break;
      case Constant::Kind::String: size += 4 + c.string_value.size(); break;
    }
  }
  return byte_list(size, [&](auto put) {
    auto put_le = [&](uint64_t v, int bytes) {
      for (int k = 0; k < bytes; ++k) put(static_cast<uint8_t>(v >> (8 * k)));
    };
    for (const Constant& c : constants) {
      put(static_cast<uint8_t>(c.kind));
      switch (c.kind) {
        case Constant::Kind::Nil: break;
        case Constant::Kind::Bool: put(c.bool_value ? 0x01 : 0x00); break;
        case Constant::Kind::Int: put_le(static_cast<uint64_t>(c.int_value), 8); break;
        case Constant::Kind::Float: {
          uint64_t bits;
          std::memcpy(&bits, &c.float_value, sizeof bits);
          put_le(bits, 8);
          break;
        }
        case Constant::Kind::String:
          put_le(static_cast<uint32_t>(c.string_value.size()), 4);
          for (char ch : c.string_value) put(static_cast<uint8_t>(ch));
          break;
      }
    }
  });
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

  // The same stages and failures as compile_source, but only the main program is compiled: that is all
  // compile() hands back.
  auto program = parse_source(text.text());
  if (!program) return raise_syntax_error(program.error(), text.text());
  auto compiled = compile_main_program(program.value());
  if (!compiled) return raise_syntax_error(compile_source_error(std::move(compiled.error())), text.text());

  PyObject* opcodes = opcode_list(compiled->code);
  if (opcodes == nullptr) return nullptr;
  PyObject* constants = constant_list(*compiled->constants);
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
