// Objects and classes: member reads (layout entries, then the class chain), object construction with
// shared frozen shapes, and the method cache behind method calls.
#include "vm_engine/vm.h"

#include <mutex>

#include "vm_engine/members.h"
#include "vm_engine/vm_internal.h"

namespace tarnwick {

using detail::CallSite;
using detail::CodeUnit;
using detail::GlobalCache;
using detail::ReadGuard;

ValueRef VM::member(const ValueRef& obj, std::string_view name) {
  if (obj.kind() != ValueKind::Object) return ValueRef();
  detail::MethodSite site;
  return read_member(obj, ValueRef::string(name), site);
}

ValueRef VM::read_member(const ValueRef& c, const ValueRef& key, detail::MethodSite& site) {
  using Site = detail::MethodSite;
  {
    ValueRef out;
    const ValueRef* fn = nullptr;
    switch (detail::member_hit(c, key, site, out, fn)) {
      case detail::MemberHit::Done: return out;
      case detail::MemberHit::Method: return ValueRef::method(c, *fn);
      case detail::MemberHit::Miss: break;
    }
  }
  const ObjectMap& m = c.as_object();
  const detail::Shape* shape = m.shape();
  // Only a frozen shape is remembered: a cache holds it, and a shape that objects grow one key at a time
  // would have to be copied at every growth once a cache held it.
  bool remember = shape != nullptr && shape->frozen;
  auto fill = [&](Site::Kind kind, size_t slot, const ValueRef* cls, const ValueRef& function) {
    Site::Way* way = nullptr;
    for (Site::Way& w : site.ways) {
      if (w.kind == Site::None) {
        way = &w;
        break;
      }
    }
    if (way == nullptr) {
      way = &site.ways[site.next];
      site.next = static_cast<uint8_t>((site.next + 1) % Site::kWays);
    }
    way->kind = kind;
    way->slot = static_cast<uint32_t>(slot);
    way->shape = detail::ShapeRef(shape);
    way->shape_id = shape;
    way->key = key;
    way->key_id = key.heap_identity();
    way->class_name = cls != nullptr ? *cls : ValueRef();
    way->class_id = cls != nullptr ? cls->heap_identity() : nullptr;
    way->function = function;
  };
  size_t slot = m.find_slot(key.as_string());
  if (slot != ObjectMap::npos) {
    if (remember) fill(Site::Entry, slot, nullptr, ValueRef());
    return m.value(slot);
  }
  size_t cls = m.find_slot("__class__");
  if (cls == ObjectMap::npos) {
    if (remember) fill(Site::Absent, 0, nullptr, ValueRef());
    return ValueRef();
  }
  const ValueRef& class_name = m.value(cls);
  if (class_name.kind() != ValueKind::String) return ValueRef();
  ValueRef function = class_method(class_name, key, site);
  if (remember) fill(Site::Method, cls, &class_name, function);
  return function.is_nil() ? ValueRef() : ValueRef::method(c, function);
}

ValueRef VM::build_object(ValueRef* pairs, size_t n, detail::ObjectSite& site) {
  ObjectMap map;
  map.reserve(std::min<uint64_t>(n, 64));
  // Walked in source order; when a key repeats, the earliest pair wins (as popping from the top down and
  // letting later inserts replace would decide), and entries keep source order.
  for (size_t j = 0; j < n; ++j) {
    const ValueRef& k = pairs[2 * j];
    if (k.kind() == ValueKind::String && map.find(k.as_string()) == nullptr)
      map.append_new(std::string(k.as_string()), std::move(pairs[2 * j + 1]));
  }
  // Distinct string keys (the literal's usual case): the next object built from the same key strings
  // shares this one's shape.
  if (n > 0 && map.size() == n) {
    std::vector<ValueRef> keys;
    keys.reserve(n);
    for (size_t j = 0; j < n; ++j) keys.push_back(pairs[2 * j]);
    site.shape = detail::ShapeRef(map.freeze_shape());
    site.keys = std::move(keys);
  }
  for (size_t j = 0; j < 2 * n; ++j) pairs[j].clear();
  return ValueRef::object(std::move(map));
}


// The function implementing `member` for class `class_name` (both strings), or nil: what a way of the site
// or its last lookup already knows for these very strings, else the method cache's answer.
ValueRef VM::class_method(const ValueRef& class_name, const ValueRef& member, detail::MethodSite& site) {
  const void* cls = class_name.heap_identity();
  const void* key = member.heap_identity();
  for (const auto& w : site.ways)
    if (w.kind == detail::MethodSite::Method && w.class_id == cls && w.key_id == key) return w.function;
  if (site.class_name.kind() == ValueKind::String && site.class_name.heap_identity() == cls &&
      site.member.heap_identity() == key)
    return site.function;
  std::optional<std::string> found = lookup_method(std::string(class_name.as_string()), std::string(member.as_string()));
  site.class_name = class_name;
  site.member = member;
  site.function = found ? ValueRef::function(std::move(*found)) : ValueRef();
  return site.function;
}

std::optional<std::string> VM::lookup_method(const std::string& class_name, const std::string& member) {
  auto key = std::make_pair(class_name, member);
  {
    std::lock_guard<std::mutex> lock(method_cache_lock_);
    auto it = method_cache_.find(key);
    if (it != method_cache_.end()) return it->second;
  }
  std::optional<std::string> found;
  {
    ReadGuard g(globals_lock_);
    std::vector<std::string> visited;  // a cycle of parents ends the walk as "not found"
    std::string cur = class_name;
    for (;;) {
      if (std::find(visited.begin(), visited.end(), cur) != visited.end()) break;
      visited.push_back(cur);
      auto git = globals_.find(cur);
      if (git == globals_.end() || git->second.kind() != ValueKind::Object) break;
      const ObjectMap& cmap = git->second.as_object();
      const ValueRef* methods = cmap.find("__methods__");
      if (methods != nullptr && methods->kind() == ValueKind::Object) {
        const ValueRef* fn = methods->as_object().find(member);
        if (fn != nullptr && fn->kind() == ValueKind::String) {
          found = fn->as_string();
          break;
        }
      }
      const ValueRef* parent = cmap.find("__parent__");
      if (parent == nullptr || parent->kind() != ValueKind::String || parent->as_string().empty()) break;
      cur = parent->as_string();
    }
    std::lock_guard<std::mutex> lock(method_cache_lock_);
    method_cache_.emplace(std::move(key), found);
  }
  return found;
}

}  // namespace tarnwick
