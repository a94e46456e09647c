// libFuzzer target: the lexer on arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "parser/lexer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view source(reinterpret_cast<const char*>(data), size);
  auto result = tarnwick::tokenize(source);
  if (result.ok()) {
    // The list always ends with Eof, and every token renders.
    const auto& tokens = result.value();
    if (tokens.empty() || tokens.back().kind != tarnwick::TokenKind::Eof) __builtin_trap();
    for (const auto& t : tokens) {
      (void)tarnwick::token_debug(t);
      (void)tarnwick::token_value_text(t);
    }
  } else if (result.error().message.empty()) {
    __builtin_trap();
  }
  return 0;
}
