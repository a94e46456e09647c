// Module initialisation of tarnwick_parser: its function table and the PyParser type. The functions live in
// pyedge/ (tokens, syntax_tree, compile, compile_and_run, registry).
#include "pyedge/api.h"
#include "pyedge/module.h"

namespace {

using namespace tarnwick;

PyMethodDef kMethods[] = {
    {"lex", py::guarded_method<py::lex>(), METH_VARARGS | METH_KEYWORDS,
     "lex(source)\n--\n\n"},
    {"parse_tokens", py::guarded_method<py::parse_tokens>(),
     METH_VARARGS | METH_KEYWORDS, "parse_tokens(py_tokens)\n--\n\nMain parsing function"},
    {"compile", py::guarded_method<py::compile>(),
     METH_VARARGS | METH_KEYWORDS, "compile(source)\n--\n\n"},
    {"compile_and_run", py::guarded_method<py::compile_and_run>(),
     METH_VARARGS | METH_KEYWORDS,
     "compile_and_run(source)\n--\n\nCompile and execute Tarnwick source in one shot, inside this module."},
    {"set_native_binding", py::guarded_method<py::set_native_binding>(),
     METH_VARARGS | METH_KEYWORDS,
     "set_native_binding(name, callback)\n--\n\nRegister a Python callable as a native Tarnwick function.\n"
     "These are checked before user-defined functions and builtins."},
    {"clear_native_bindings", py::guarded_method<py::clear_native_bindings>(), METH_NOARGS,
     "clear_native_bindings()\n--\n\nClear all registered native bindings."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "tarnwick_parser", nullptr, 0, nullptr,
                       nullptr, nullptr, nullptr, nullptr};

PyObject* g_module = nullptr;

bool fill(PyObject* module) {
  return py::add_to_module(module, "PyParser", py::pyparser_type()) && PyModule_AddFunctions(module, kMethods) == 0;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_tarnwick_parser() {
  return py::init_module_once(kModule, g_module, fill);
}
