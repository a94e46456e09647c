// Number formatting shared by token texts and value renderings.
#pragma once

#include <charconv>
#include <string>

namespace tarnwick {

// The shortest decimal text that reads back as the same finite double, in fixed notation (no exponent):
// 1.0 -> "1", 0.1 -> "0.1", 1e-7 -> "0.0000001", 1e20 -> "100000000000000000000".
// The digits are the shortest round-trip digits, padded with zeros: 1e23 -> "1" and 23 zeros, although the
// double's exact value is 99999999999999991611392 (fixed-notation to_chars would print that exact value,
// since every candidate there has the same length).
inline std::string shortest_fixed(double value) {
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<size_t>(res.ptr - buf));  // "-d.ddde+XX"
  std::string out;
  if (!sci.empty() && sci[0] == '-') {
    out += '-';
    sci.remove_prefix(1);
  }
  size_t e = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, e)) {
    if (c != '.') digits += c;
  }
  int exponent = 0;
  std::from_chars(sci.data() + e + 1 + (sci[e + 1] == '+'), sci.data() + sci.size(), exponent);
  // The decimal point goes after `point` digits (negative: that many zeros in front of the digits).
  const long point = static_cast<long>(exponent) + 1;
  const long n = static_cast<long>(digits.size());
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<size_t>(-point), '0');
    out += digits;
  } else if (point >= n) {
    out += digits;
    out.append(static_cast<size_t>(point - n), '0');
  } else {
    out.append(digits, 0, static_cast<size_t>(point));
    out += '.';
    out.append(digits, static_cast<size_t>(point), std::string::npos);
  }
  return out;
}

}  // namespace tarnwick
