// Placeholder until this entry point is implemented.
#include "parser/py_api.h"

namespace tarnwick::py {

PyObject* vm_engine_type() { return Py_NewRef(Py_None); }

}  // namespace tarnwick::py
