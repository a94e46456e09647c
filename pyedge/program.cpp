// tarnwick._native.Program: source compiled (and its main code optimized) once, for any number of runs in
// any runtimes. A Program never changes after it is made, so runtimes on several threads may run the same
// one; it pickles as its source and name, and is compiled again, once, where it is unpickled: nothing a
// pickle carries is ever loaded as code.
#include "pyedge/program.h"

#include <structmember.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "pyedge/api.h"
#include "pyedge/convert.h"
#include "pyedge/module.h"
#include "vm_engine/limits.h"

namespace tarnwick::py {

namespace {

struct Compiled {
  CompiledProgram program;
  std::string filename;
};

struct ProgramObject {
  PyObject_HEAD
  Compiled* compiled;  // owned; set once by tp_new
  PyObject* source;    // str
  PyObject* filename;  // str
};

PyTypeObject* g_program_type = nullptr;

// Compiling touches nothing of Python's: other threads run meanwhile. The lock is taken back before any
// exception leaves, so the guard of the entry point finds it held.
class WithoutInterpreterLock {
 public:
  WithoutInterpreterLock() : state_(PyEval_SaveThread()) {}
  ~WithoutInterpreterLock() { PyEval_RestoreThread(state_); }
  WithoutInterpreterLock(const WithoutInterpreterLock&) = delete;
  WithoutInterpreterLock& operator=(const WithoutInterpreterLock&) = delete;

 private:
  PyThreadState* state_;
};

PyObject* program_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"source", "filename", nullptr};
  PyObject* source = nullptr;
  PyObject* filename = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "U|U:Program", const_cast<char**>(kwlist), &source, &filename))
    return nullptr;
  std::string text;
  if (!utf8_of(source, text)) return nullptr;
  std::string name = "<script>";
  if (filename != nullptr && !utf8_of(filename, name)) return nullptr;
  // Compiling recurses on the native stack as deep as the parser's nesting limit allows; the reserve a run
  // needs covers that. A thread with less left (where a run would end with "Stack overflow" in any case)
  // gets an error instead of a crash.
  if (!native_stack_room(current_limits().min_native_stack)) {
    PyErr_SetString(PyExc_RecursionError, "Stack overflow: too little native stack left on this thread to compile");
    return nullptr;
  }
  std::optional<Result<CompiledProgram, Failure>> compiled;
  {
    WithoutInterpreterLock unlocked;
    // No runtime's memory account is charged for a program that belongs to none.
    ChargeScope scope(nullptr);
    compiled.emplace(CompiledProgram::compile(text));
  }
  if (!compiled->ok()) return raise_source_error(compiled->error(), text, name);
  auto owned = std::make_unique<Compiled>(Compiled{std::move(*compiled).value(), std::move(name)});
  auto* self = reinterpret_cast<ProgramObject*>(type->tp_alloc(type, 0));
  if (self == nullptr) return nullptr;
  self->compiled = owned.release();
  self->source = Py_NewRef(source);
  self->filename = filename != nullptr ? Py_NewRef(filename) : PyUnicode_FromString("<script>");
  if (self->filename == nullptr) {
    Py_DECREF(self);
    return nullptr;
  }
  return reinterpret_cast<PyObject*>(self);
}

void program_dealloc(PyObject* op) {
  auto* self = reinterpret_cast<ProgramObject*>(op);
  delete self->compiled;
  Py_XDECREF(self->source);
  Py_XDECREF(self->filename);
  PyTypeObject* type = Py_TYPE(op);
  type->tp_free(op);
  Py_DECREF(type);
}

PyObject* program_repr(PyObject* op) {
  auto* self = reinterpret_cast<ProgramObject*>(op);
  return PyUnicode_FromFormat("<tarnwick.Program %R>", self->filename);
}

// Pickled as what made it: the receiving process compiles the source again, once.
PyObject* program_reduce(PyObject* op, PyObject*) {
  auto* self = reinterpret_cast<ProgramObject*>(op);
  return Py_BuildValue("(O(OO))", reinterpret_cast<PyObject*>(Py_TYPE(op)), self->source, self->filename);
}

// A Program never changes: a copy is the program itself.
PyObject* program_copy(PyObject* op, PyObject*) { return Py_NewRef(op); }

PyMethodDef kProgramMethods[] = {
    {"__reduce__", guarded_method<program_reduce>(), METH_NOARGS, nullptr},
    {"__copy__", guarded_method<program_copy>(), METH_NOARGS, nullptr},
    {"__deepcopy__", guarded_method<program_copy>(), METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef kProgramMembers[] = {
    {"source", T_OBJECT_EX, offsetof(ProgramObject, source), READONLY, "The source it was compiled from."},
    {"filename", T_OBJECT_EX, offsetof(ProgramObject, filename), READONLY,
     "The name that tracebacks and syntax errors give the script."},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot kProgramSlots[] = {
    {Py_tp_doc, const_cast<char*>("Program(source, filename='<script>')\n--\n\n"
                                  "Source compiled once, for Runtime.run in any runtime.")},
    {Py_tp_new, guarded_slot<program_new>()},
    {Py_tp_dealloc, reinterpret_cast<void*>(&program_dealloc)},
    {Py_tp_repr, guarded_slot<program_repr>()},
    {Py_tp_methods, kProgramMethods},
    {Py_tp_members, kProgramMembers},
    {0, nullptr},
};
PyType_Spec kProgramSpec = {"tarnwick._native.Program", sizeof(ProgramObject), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, kProgramSlots};

}  // namespace

bool add_program_type(PyObject* module) {
  PyObject* type = PyType_FromSpec(&kProgramSpec);
  if (type == nullptr) return false;
  Py_XSETREF(g_program_type, reinterpret_cast<PyTypeObject*>(Py_NewRef(type)));
  return add_to_module(module, "Program", type);
}

const CompiledProgram* compiled_program(PyObject* obj, const std::string** filename) {
  if (g_program_type == nullptr || !PyObject_TypeCheck(obj, g_program_type)) return nullptr;
  const Compiled* compiled = reinterpret_cast<ProgramObject*>(obj)->compiled;
  if (filename != nullptr) *filename = &compiled->filename;
  return &compiled->program;
}

}  // namespace tarnwick::py
