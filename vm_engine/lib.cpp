// Module initialisation of tarnwick_vm_engine (the same shared object as tarnwick_parser): its function
// table and the VMEngine type, which live in pyedge/ (vm_engine, vm_tools).
#include "pyedge/api.h"
#include "pyedge/module.h"

namespace {

using namespace tarnwick;

PyMethodDef kMethods[] = {
    {"emit_ir", py::guarded_method<py::emit_ir>(),
     METH_VARARGS | METH_KEYWORDS, "emit_ir(trace_name, opcodes_str)\n--\n\nEmit LLVM IR for a named trace"},
    {"optimize_bytecode", py::guarded_method<py::optimize_bytecode>(),
     METH_VARARGS | METH_KEYWORDS,
     "optimize_bytecode(bytecode)\n--\n\nOptimize Tarnwick bytecode (passed as bytes) and return optimized bytes"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "tarnwick_vm_engine", nullptr, 0, nullptr,
                       nullptr, nullptr, nullptr, nullptr};

PyObject* g_module = nullptr;

bool fill(PyObject* module) {
  return py::add_to_module(module, "VMEngine", py::vm_engine_type()) &&
         PyModule_AddFunctions(module, kMethods) == 0;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_tarnwick_vm_engine() {
  return py::init_module_once(kModule, g_module, fill);
}
