/* Whether another Python thread has asked for the interpreter lock.

   A thread that waits for the lock longer than the switch interval (5 ms) raises the interpreter's drop
   request, and CPython's own loop answers it by releasing the lock and waiting until the waiter has taken
   it. A run that holds the lock answers the same request at its polls. Releasing and re-taking the lock
   without a request is worse than useless: the releasing thread wins it back before a waiter on another
   core wakes up, and the wake-up restarts the waiter's interval, so the request never comes.

   The request flag lives in the interpreter's private state; this file alone reads it, in C (the private
   headers are C only), for the CPython version the module is built against. */
#define Py_BUILD_CORE 1
#include <Python.h>
#include <internal/pycore_interp.h>

int tarnwick_gil_drop_requested(void) {
  return _Py_atomic_load_relaxed(&PyInterpreterState_Get()->ceval.gil_drop_request) != 0;
}
