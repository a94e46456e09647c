// Globals: the table behind its reader-writer lock, the per-constant look-up caches, and the process's
// stdout lock.
#include "vm_engine/vm.h"

#include <algorithm>
#include <thread>

#include "vm_engine/vm_internal.h"

namespace tarnwick {

using detail::CallSite;
using detail::CodeUnit;
using detail::GlobalCache;
using detail::ReadGuard;
using detail::WriteGuard;

void RwLock::lock() noexcept {
  for (;;) {
    uint32_t expected = 0;
    if (state_.compare_exchange_weak(expected, 1, std::memory_order_acquire, std::memory_order_relaxed)) return;
    std::this_thread::yield();
  }
}

void RwLock::lock_shared() noexcept {
  for (;;) {
    uint32_t s = state_.fetch_add(2, std::memory_order_acquire);
    if ((s & 1) == 0) return;
    state_.fetch_sub(2, std::memory_order_relaxed);
    std::this_thread::yield();
  }
}

std::mutex& stdout_lock() {
  static std::mutex m;
  return m;
}

const ValueRef* VM::global_ref(const std::string& name) const {
  ReadGuard g(globals_lock_);
  auto it = globals_.find(name);
  return it == globals_.end() ? nullptr : &it->second;
}

std::vector<std::string> VM::global_names() const {
  ReadGuard g(globals_lock_);
  std::vector<std::string> names;
  names.reserve(globals_.size());
  for (const auto& entry : globals_)
    if (!entry.second.is_nil()) names.push_back(entry.first);
  std::sort(names.begin(), names.end());
  return names;
}

ValueRef VM::global(const std::string& name) const {
  ReadGuard g(globals_lock_);
  auto it = globals_.find(name);
  return it == globals_.end() ? ValueRef() : it->second;
}

void VM::set_global(const std::string& name, ValueRef value) {
  WriteGuard g(globals_lock_);
  auto [it, inserted] = globals_.try_emplace(name);
  it->second = std::move(value);
  if (inserted) ++globals_version_;
}

std::string VM::global_name(const CodeUnit& unit, uint64_t k) const {
  if (k < unit.constants.size() && unit.constants[k].kind() == ValueKind::String) return std::string(unit.constants[k].as_string());
  return "global_" + std::to_string(k);
}

// The slot of the global named by constant k, or nullptr when absent and !create. Cached per constant;
// slots are stable, so a cache entry only goes stale when a new name is inserted.
ValueRef* VM::global_slot(const CodeUnit& unit, uint64_t k, bool create) {
  GlobalCache* cache = k < unit.global_cache.size() ? &unit.global_cache[k] : nullptr;
  if (cache != nullptr && cache->version == globals_version_ && (cache->slot != nullptr || !create)) return cache->slot;
  std::string name = global_name(unit, k);
  ValueRef* slot;
  if (create) {
    WriteGuard g(globals_lock_);
    auto [it, inserted] = globals_.try_emplace(std::move(name));
    if (inserted) ++globals_version_;
    slot = &it->second;
  } else {
    ReadGuard g(globals_lock_);
    auto it = globals_.find(name);
    slot = it == globals_.end() ? nullptr : &it->second;
  }
  if (cache != nullptr) {
    static const ValueRef kAbsent;
    cache->version = globals_version_;
    cache->slot = slot;
    cache->value = slot != nullptr ? slot : &kAbsent;
  }
  return slot;
}

}  // namespace tarnwick
