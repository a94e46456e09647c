// Building texts: int rendering and the one-allocation join behind Concat.
#include "vm_engine/text_join.h"

#include <string>
#include <string_view>

namespace tarnwick {

namespace {

// Texts that stay within a page cannot reach any ceiling worth setting: only longer ones ask.
inline bool within_text_limit(size_t bytes) { return bytes <= 4096 || bytes <= text_limit(); }

// Copies a text; short ones, what interpolations mostly join, without calling out.
inline char* put_text(char* out, std::string_view text) {
  size_t n = text.size();
  const char* s = text.data();
  if (n > 16) {
    std::memcpy(out, s, n);
  } else if (n >= 8) {
    uint64_t head, tail;
    std::memcpy(&head, s, 8);
    std::memcpy(&tail, s + n - 8, 8);
    std::memcpy(out, &head, 8);
    std::memcpy(out + n - 8, &tail, 8);
  } else if (n >= 4) {
    uint32_t head, tail;
    std::memcpy(&head, s, 4);
    std::memcpy(&tail, s + n - 4, 4);
    std::memcpy(out, &head, 4);
    std::memcpy(out + n - 4, &tail, 4);
  } else if (n > 0) {
    out[0] = s[0];
    out[n / 2] = s[n / 2];
    out[n - 1] = s[n - 1];
  }
  return out + n;
}

// Operands whose int text length the measuring pass keeps for the writing pass.
constexpr size_t kKeptWidths = 32;

// Writes the texts of strings and ints (the caller has measured them), p being operand `k` of the join;
// `widths[k]` is the text length of an int operand k < kKeptWidths.
inline void write_parts(char* out, const ValueRef* p, const ValueRef* end, const uint8_t* widths, size_t k) {
  for (; p < end; ++p, ++k) {
    if (p->kind() == ValueKind::String) {
      out = put_text(out, p->as_string());
    } else {
      int64_t v = p->as_int();
      out = write_int_text(out, v, k < kKeptWidths ? widths[k] : int_text_size(v));
    }
  }
}

// `x = f"{x}..."`: when the register the result is about to replace holds the text being extended, that
// handle goes first, so that the text can grow in place.
inline void release_alias(const ValueRef* first, ValueRef* target) {
  if (target != nullptr && first->kind() == ValueKind::String && target->identity() == first->identity())
    target->clear();
}

// A String of `size` bytes to write the result into: the block of the text the result is about to replace
// when nothing else holds it and it fits (not much larger, so that a long text's block is not kept for a
// short one), else a new one.
inline ValueRef result_string(size_t size, ValueRef* target, char*& out) {
  if (target != nullptr && target->kind() == ValueKind::String && target->unique()) {
    size_t capacity = target->string_capacity();
    if (capacity >= size && capacity <= 2 * size + 64) {
      ValueRef reused = std::move(*target);
      out = reused.string_grow(size);
      return reused;
    }
  }
  return ValueRef::string_for_writing(size, out);
}

// The join when nil, a boolean, a float or a function value is among the operands (no containers): their
// texts are rendered first, then everything after a leading string is copied once into the result.
bool join_rendered(ValueRef* first, ValueRef* end, ValueRef* target, size_t measured) {
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
  release_alias(first, target);
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

bool join_texts(ValueRef* first, ValueRef* end, ValueRef* target) {
  size_t total = 0;
  bool rendered = false;
  uint8_t widths[kKeptWidths];
  size_t k = 0;
  for (const ValueRef* p = first; p < end; ++p, ++k) {
    switch (p->kind()) {
      case ValueKind::String: total += p->as_string().size(); break;
      case ValueKind::Int: {
        size_t width = int_text_size(p->as_int());
        if (k < kKeptWidths) widths[k] = static_cast<uint8_t>(width);
        total += width;
        break;
      }
      case ValueKind::Array:
      case ValueKind::Object: return false;
      default: rendered = true; break;
    }
  }
  if (rendered) return join_rendered(first, end, target, total);
  if (!within_text_limit(total)) return false;
  if (first->kind() == ValueKind::String) {
    release_alias(first, target);
    if (first->unique()) {
      size_t head = first->as_string().size();
      write_parts(first->string_grow(total) + head, first + 1, end, widths, 1);
      return true;
    }
  }
  if (total == 0) {
    *first = ValueRef::string(std::string_view());
    return true;
  }
  char* out;
  ValueRef joined = result_string(total, target, out);
  write_parts(out, first, end, widths, 0);
  *first = std::move(joined);
  return true;
}

bool join_in_place(const ValueRef* const* ops, size_t n, ValueRef* target, ValueRef& out) {
  size_t total = 0;
  uint8_t widths[kKeptWidths];
  bool target_free = target != nullptr;
  for (size_t k = 0; k < n; ++k) {
    const ValueRef* p = ops[k];
    if (p->kind() == ValueKind::String) {
      total += p->as_string().size();
    } else if (p->kind() == ValueKind::Int) {
      size_t width = int_text_size(p->as_int());
      if (k < kKeptWidths) widths[k] = static_cast<uint8_t>(width);
      total += width;
    } else {
      return false;
    }
    if (k != 0 && p == target) target_free = false;
  }
  if (!within_text_limit(total)) return false;
  char* at;
  if (ops[0] == target) {
    if (target_free && target->kind() == ValueKind::String && target->unique()) {
      out = std::move(*target);
      size_t head = out.as_string().size();
      at = out.string_grow(total) + head;
      for (size_t k = 1; k < n; ++k) {
        const ValueRef* p = ops[k];
        at = p->kind() == ValueKind::String ? put_text(at, p->as_string())
                                            : write_int_text(at, p->as_int(), k < kKeptWidths ? widths[k] : int_text_size(p->as_int()));
      }
      return true;
    }
    target_free = false;
  }
  if (total == 0) {
    out = ValueRef::string(std::string_view());
    return true;
  }
  out = target_free ? result_string(total, target, at) : ValueRef::string_for_writing(total, at);
  for (size_t k = 0; k < n; ++k) {
    const ValueRef* p = ops[k];
    at = p->kind() == ValueKind::String ? put_text(at, p->as_string())
                                        : write_int_text(at, p->as_int(), k < kKeptWidths ? widths[k] : int_text_size(p->as_int()));
  }
  return true;
}

}  // namespace tarnwick
