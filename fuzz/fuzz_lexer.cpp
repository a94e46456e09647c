// libFuzzer target: any byte string either lexes or fails with a message; a token list always ends with
// Eof, positions never go backwards, and every text payload is well-formed UTF-8.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "parser/lexer.h"

namespace {

bool valid_utf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    unsigned char b = static_cast<unsigned char>(s[i]);
    size_t len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    if (len == 0 || i + len > s.size()) return false;
    for (size_t k = 1; k < len; ++k) {
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    }
    i += len;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view source(reinterpret_cast<const char*>(data), size);
  auto result = tarnwick::tokenize(source);
  if (!result.ok()) {
    if (result.error().message.empty() || !valid_utf8(result.error().message)) std::abort();
    return 0;
  }
  const auto& tokens = result.value();
  if (tokens.empty() || tokens.back().kind != tarnwick::TokenKind::Eof) std::abort();
  uint64_t line = 1, column = 1;
  for (const auto& t : tokens) {
    if (t.line < line || (t.line == line && t.column < column) || t.column == 0) std::abort();
    line = t.line;
    column = t.column;
    if (!valid_utf8(t.text)) std::abort();
  }
  return 0;
}
