#include "vm_engine/text_join.h"

#include <string>
#include <string_view>

namespace tarnwick {

namespace {

// Texts that stay within a page cannot reach any ceiling worth setting: only longer ones ask.
inline bool within_text_limit(size_t bytes) { return bytes <= 4096 || bytes <= text_limit(); }

// Writes the texts of strings and ints (the caller has measured them).
inline char* write_parts(char* out, const ValueRef* p, const ValueRef* end) {
  for (; p < end; ++p) {
    if (p->kind() == ValueKind::String) {
      std::string_view text = p->as_string();
      std::memcpy(out, text.data(), text.size());
      out += text.size();
    } else {
      out = write_int_text(out, p->as_int());
    }
  }
  return out;
}

// The join when nil, a boolean, a float or a function value is among the operands (no containers): their
// texts are rendered first, then everything after a leading string is copied once into the result.
bool join_rendered(ValueRef* first, ValueRef* end, ValueRef* alias, size_t measured) {
  if (!within_text_limit(measured)) return false;
  bool extend = first->kind() == ValueKind::String;
  std::string tail;
  for (const ValueRef* p = extend ? first + 1 : first; p < end; ++p) {
    if (p->kind() == ValueKind::String) {
      tail += p->as_string();
    } else if (p->is_int()) {
      char digits[24];
      tail.append(digits, write_int_text(digits, p->as_int()));
    } else {
      tail += to_text(*p);
    }
  }
  if (!extend) {
    if (!within_text_limit(tail.size())) return false;
    *first = ValueRef::string(tail);
    return true;
  }
  size_t head = first->as_string().size();
  size_t total = head + tail.size();
  if (!within_text_limit(total)) return false;
  if (alias != nullptr) alias->clear();
  if (first->unique()) {
    std::memcpy(first->string_grow(total) + head, tail.data(), tail.size());
    return true;
  }
  char* out;
  ValueRef joined = ValueRef::string_for_writing(total, out);
  std::memcpy(out, first->as_string().data(), head);
  std::memcpy(out + head, tail.data(), tail.size());
  *first = std::move(joined);
  return true;
}

}  // namespace

bool join_texts(ValueRef* first, ValueRef* end, ValueRef* alias) {
  size_t total = 0;
  bool rendered = false;
  for (const ValueRef* p = first; p < end; ++p) {
    switch (p->kind()) {
      case ValueKind::String: total += p->as_string().size(); break;
      case ValueKind::Int: total += int_text_size(p->as_int()); break;
      case ValueKind::Array:
      case ValueKind::Object: return false;
      default: rendered = true; break;
    }
  }
  if (rendered) return join_rendered(first, end, alias, total);
  if (!within_text_limit(total)) return false;
  if (first->kind() == ValueKind::String) {
    if (alias != nullptr) alias->clear();
    if (first->unique()) {
      size_t head = first->as_string().size();
      write_parts(first->string_grow(total) + head, first + 1, end);
      return true;
    }
  }
  if (total == 0) {
    *first = ValueRef::string(std::string_view());
    return true;
  }
  char* out;
  ValueRef joined = ValueRef::string_for_writing(total, out);
  write_parts(out, first, end);
  *first = std::move(joined);
  return true;
}

}  // namespace tarnwick
