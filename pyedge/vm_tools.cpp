// The VM module's two tool functions: emit_ir and optimize_bytecode.
#include <string>
#include <string_view>

#include "pyedge/api.h"
#include "vm_engine/bytecode.h"
#include "vm_engine/compiler.h"
#include "vm_engine/ir.h"

namespace tarnwick::py {

namespace {

std::string_view bytes_view(PyObject* bytes) {
  return std::string_view(PyBytes_AS_STRING(bytes), static_cast<size_t>(PyBytes_GET_SIZE(bytes)));
}

}  // namespace

PyObject* emit_ir(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"trace_name", "opcodes_str", nullptr};
  PyObject* name_obj = nullptr;
  PyObject* code_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:emit_ir", const_cast<char**>(kwlist), &name_obj, &code_obj)) {
    return nullptr;
  }
  if (!PyUnicode_Check(name_obj)) return argument_type_error("trace_name", name_obj, "PyString");
  if (!PyBytes_Check(code_obj)) return argument_type_error("opcodes_str", code_obj, "PyBytes");

  // surrogatepass both ways: any str goes through unchanged instead of raising on lone surrogates.
  PyObject* name_utf8 = PyUnicode_AsEncodedString(name_obj, "utf-8", "surrogatepass");
  if (name_utf8 == nullptr) return nullptr;
  std::string name(bytes_view(name_utf8));
  Py_DECREF(name_utf8);

  std::string text;
  try {
    text = emit(name, decode_vm_bytes(bytes_view(code_obj)));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass");
}

PyObject* optimize_bytecode(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"bytecode", nullptr};
  PyObject* code_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:optimize_bytecode", const_cast<char**>(kwlist), &code_obj)) {
    return nullptr;
  }
  if (!PyBytes_Check(code_obj)) return argument_type_error("bytecode", code_obj, "PyBytes");

  std::string out;
  try {
    out = encode_vm_bytes(optimize(decode_vm_bytes(bytes_view(code_obj))).code);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  return PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
}

}  // namespace tarnwick::py
