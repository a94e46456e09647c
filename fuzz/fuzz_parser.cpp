// libFuzzer target: the parser, from source text and from token lists built directly from the bytes
// (the form a Python caller can hand in, with any kinds in any order and no final Eof).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "parser/lexer.h"
#include "parser/parser.h"

using namespace tarnwick;

namespace {

std::vector<Token> tokens_from_bytes(const uint8_t* data, size_t size) {
  static const char* kTexts[] = {"x", "comptime", "extends", "a", "", "f", "{x}", "{", "}"};
  std::vector<Token> tokens;
  for (size_t i = 0; i < size; ++i) {
    Token t;
    t.kind = static_cast<TokenKind>(data[i] % kTokenKindCount);
    t.line = i;
    t.column = data[i];
    t.int_value = data[i];
    t.float_value = data[i] / 7.0;
    t.text = kTexts[data[i] % (sizeof kTexts / sizeof *kTexts)];
    if (t.kind == TokenKind::FString && i + 1 < size) t.text = std::string(1, static_cast<char>(data[++i]));
    tokens.push_back(std::move(t));
  }
  return tokens;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  if (data[0] & 1) {
    (void)Parser(tokens_from_bytes(data + 1, size - 1)).parse_program();
  } else {
    const std::string_view source(reinterpret_cast<const char*>(data + 1), size - 1);
    auto tokens = tokenize(source);
    // The parser reading the lexer through its window must agree with the parser given the whole list.
    Lexer lexer(source, kSourceInPlace);
    auto streamed = Parser(lexer).parse_program();
    if (!streamed.ok()) lexer.finish();
    if (tokens.ok() != (lexer.error() == nullptr)) __builtin_trap();
    if (tokens.ok()) {
      auto whole = Parser(std::move(tokens.value())).parse_program();
      if (whole.ok() != streamed.ok()) __builtin_trap();
      if (!whole.ok() && whole.error().display() != streamed.error().display()) __builtin_trap();
      if (whole.ok() && whole.value().statements.size() != streamed.value().statements.size()) __builtin_trap();
    } else if (tokens.error().message != lexer.error()->message) {
      __builtin_trap();
    }
  }
  return 0;
}
