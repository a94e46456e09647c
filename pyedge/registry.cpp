// The process-wide registry of Python callables for compile_and_run (see registry.h for its locking rule).
#include "pyedge/registry.h"

#include <map>
#include <mutex>

namespace tarnwick::py {

namespace {

struct Registry {
  std::mutex lock;
  std::map<std::string, PyObject*> map;  // each value holds one strong reference
};

// Created on first use and never destroyed: its references must not be dropped after the interpreter
// has gone away at process exit.
Registry& registry() {
  static Registry* const instance = new Registry();
  return *instance;
}

}  // namespace

void registry_set(std::string name, PyObject* callback) {
  Py_INCREF(callback);
  PyObject* replaced = nullptr;
  {
    Registry& r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    auto [it, inserted] = r.map.try_emplace(std::move(name), callback);
    if (!inserted) {
      replaced = it->second;
      it->second = callback;
    }
  }
  Py_XDECREF(replaced);
}

void registry_clear() {
  std::map<std::string, PyObject*> taken;
  {
    Registry& r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    taken.swap(r.map);
  }
  for (auto& [name, callback] : taken) Py_DECREF(callback);
}

std::vector<BindingRef> registry_snapshot() {
  std::vector<BindingRef> out;
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  out.reserve(r.map.size());
  for (const auto& [name, callback] : r.map) {
    Py_INCREF(callback);
    out.push_back(BindingRef{name, callback});
  }
  return out;
}

}  // namespace tarnwick::py
