// Member reads and object literals: the inline halves of their per-instruction caches. The slow halves,
// which fill the caches, are VM::read_member and VM::build_object.
#pragma once

#include <cstddef>

#include "vm_engine/value.h"
#include "vm_engine/vm_internal.h"

namespace tarnwick::detail {

enum class MemberHit { Miss, Done, Method };

// Reads member `key` (a String) of object `c` into `out` (nil on entry) when a way of `site` knows the
// answer for c's shape. Method: the answer is the method `*fn` bound to c, which the caller makes (it
// allocates, so the caller syncs its position first). Miss: the slow path must decide.
TARNWICK_INLINE MemberHit member_hit(const ValueRef& c, const ValueRef& key, const MethodSite& site, ValueRef& out,
                                     const ValueRef*& fn) {
  const ObjectMap& m = c.as_object();
  const void* shape = m.shape();
  const void* key_id = key.heap_identity();
  // An unused way holds no key, so it never matches: no separate test for it on the way to a hit.
  for (const MethodSite::Way& w : site.ways) {
    if (w.shape_id != shape || w.key_id != key_id) continue;
    if (w.kind == MethodSite::Entry) {
      out.put(m.value(w.slot));
      return MemberHit::Done;
    }
    if (w.kind == MethodSite::Method) {
      const ValueRef& cls = m.value(w.slot);
      if (cls.kind() != ValueKind::String || cls.heap_identity() != w.class_id) continue;
      if (w.function.is_nil()) return MemberHit::Done;  // nil
      fn = &w.function;
      return MemberHit::Method;
    }
    return MemberHit::Done;  // Absent: nil
  }
  return MemberHit::Miss;
}

// Builds the object of the n key/value pairs at `pairs` into `out` (nil on entry) when the keys are the
// very strings the site saw last time, sharing their shape; the pairs' slots are left nil. False when the
// slow path must build it.
TARNWICK_INLINE bool build_from_site(const ObjectSite& site, ValueRef* pairs, size_t n, ValueRef& out) {
  if (site.keys.size() != n || n == 0) return false;
  const ValueRef* keys = site.keys.data();
  for (size_t j = 0; j < n; ++j) {
    const ValueRef& k = pairs[2 * j];
    if (k.kind() != ValueKind::String || k.heap_identity() != keys[j].heap_identity()) return false;
  }
  out.put(ValueRef::object_of_shape(site.shape.get_mut()));
  ObjectMap& map = out.object_mut();
  map.reserve(n);
  for (size_t j = 0; j < n; ++j) {
    map.add_value(std::move(pairs[2 * j + 1]));
    pairs[2 * j].clear();
  }
  return true;
}

}  // namespace tarnwick::detail
