// Number formatting shared by token texts and value renderings.
#pragma once

#include <charconv>
#include <string>

namespace tarnwick {

// The shortest decimal text that reads back as the same finite double, in fixed notation (no exponent):
// 1.0 -> "1", 0.1 -> "0.1", 1e-7 -> "0.0000001", 1e20 -> "100000000000000000000".
inline std::string shortest_fixed(double value) {
  char buf[400];
  auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed);
  return std::string(buf, res.ptr);
}

}  // namespace tarnwick
